#include "Esql.h"

#include <cstdio>
#include <cstring>

namespace esql {

SqlState sqlstate() {
    SqlState s{};
    std::memcpy(s.text, area().sqlstate, 5);
    s.text[5] = '\0';
    return s;
}

std::string quoteDoubled(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    for (const char c : value) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    return out;
}

bool connect(const char* target) {
    return ECPGconnect(__LINE__, kInformixCompat, target, nullptr, nullptr, nullptr, 1);
}

bool disconnect() { return ECPGdisconnect(__LINE__, "CURRENT"); }

bool prepare(const char* name, const char* text) {
    return ECPGprepare(__LINE__, nullptr, false, name, text);
}

bool executeImmediate(const char* text) { return exec(Kind::Immediate, text, none, none); }

bool openPreparedCursor(const char* declareText, const char* preparedName, Options opt) {
    opt.questionMarks = true;
    char* text = ECPGprepared_statement(nullptr, preparedName, __LINE__);
    if (text == nullptr) {
        // Nothing was prepared under that name: report it as the runtime reports a bad name.
        area().sqlcode = ECPG_INVALID_STMT;
        std::memcpy(area().sqlstate, "26000", 5);
        std::snprintf(area().sqlerrm.sqlerrmc, sizeof area().sqlerrm.sqlerrmc,
                      "invalid statement name \"%s\"", preparedName);
        area().sqlerrm.sqlerrml = static_cast<int>(std::strlen(area().sqlerrm.sqlerrmc));
        return false;
    }
    return exec(Kind::Normal, declareText, std::array<HostVar, 1>{statementText(text)}, none, opt);
}

CursorGuard::~CursorGuard() {
    if (closeText_ != nullptr) {
        const sqlca_t saved = area();
        exec(Kind::Normal, closeText_, none, none);
        area() = saved;
    }
}

}  // namespace esql
