// lower_trim cleans any text in place: what is left is the graphic characters of the input, in
// order, lower-cased, and never longer than the input.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "trevane.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the input and its terminator, so that any write past it is caught.
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    const std::size_t len = std::strlen(text.get());

    std::unique_ptr<char[]> expected(new char[len + 1]);
    std::size_t n = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (std::isgraph(c))
            expected[n++] = static_cast<char>(std::tolower(c));
    }
    expected[n] = '\0';

    lower_trim(text.get());
    if (std::strcmp(text.get(), expected.get()) != 0)
        std::abort();
    return 0;
}
