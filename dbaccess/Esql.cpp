#include "Esql.h"

#include <cstdio>
#include <cstring>

namespace esql {

SqlState sqlstate() {
    SqlState s{};
    std::memcpy(s.text, sqlca().sqlstate, 5);
    s.text[5] = '\0';
    return s;
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
        sqlca().sqlcode = ECPG_INVALID_STMT;
        std::memcpy(sqlca().sqlstate, "26000", 5);
        std::snprintf(sqlca().sqlerrm.sqlerrmc, sizeof sqlca().sqlerrm.sqlerrmc,
                      "invalid statement name \"%s\"", preparedName);
        sqlca().sqlerrm.sqlerrml = static_cast<int>(std::strlen(sqlca().sqlerrm.sqlerrmc));
        return false;
    }
    return exec(Kind::Normal, declareText, std::array<HostVar, 1>{statementText(text)}, none, opt);
}

CursorGuard::~CursorGuard() {
    if (closeText_ != nullptr) {
        const sqlca_t saved = sqlca();
        exec(Kind::Normal, closeText_, none, none);
        sqlca() = saved;
    }
}

}  // namespace esql
