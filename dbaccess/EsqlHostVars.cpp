#include "EsqlHostVars.h"

namespace esql {

TextFit settle_text(char* buf, std::size_t size, int ind, std::size_t field_size, Trim trim) {
    if (size == 0) {
        return TextFit::TooLong;
    }
    const bool cut = ind > 0 || std::memchr(buf, '\0', size) == nullptr;
    buf[size - 1] = '\0';
    if (ind < 0) {
        buf[0] = '\0';
        return TextFit::Null;
    }
    if (cut) {
        return TextFit::TooLong;
    }
    std::size_t n = std::strlen(buf);
    if (trim == Trim::TrailingBlanks) {
        while (n > 0 && buf[n - 1] == ' ') {
            buf[--n] = '\0';
        }
    }
    return n < field_size ? TextFit::Fits : TextFit::TooLong;
}

}  // namespace esql
