#include "Esql.h"

#include <cstdio>
#include <cstring>

namespace esql {

namespace detail {
const char* numberPlaceholders(const char* text, std::string& buffer) {
    buffer.clear();
    int next = 1;
    char quote = '\0';
    for (const char* p = text; *p != '\0'; ++p) {
        if (quote != '\0') {
            if (*p == quote) {
                quote = '\0';
            }
            buffer += *p;
        } else if (*p == '\'' || *p == '"') {
            quote = *p;
            buffer += *p;
        } else if (*p == '?') {
            buffer += '$';
            buffer += std::to_string(next++);
        } else {
            buffer += *p;
        }
    }
    return buffer.c_str();
}
}  // namespace detail

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

bool disconnect() {
    return ECPGdisconnect(__LINE__, "CURRENT");
}

bool prepare(const char* name, const char* text) {
    return ECPGprepare(__LINE__, nullptr, false, name, text);
}

bool executeImmediate(const char* text) {
    return exec(Kind::Immediate, text, none, none);
}

bool openPreparedCursor(const char* declareText, const char* preparedName, Options opt) {
    // The runtime misreads a "?" that ends the text (it swallows one character past it), so
    // the placeholder is handed over in its numbered form.
    std::string declare(declareText);
    if (!declare.empty() && declare.back() == '?') {
        declare.replace(declare.size() - 1, 1, "$1");
    }
    opt.questionMarks = false;
    char* text = ECPGprepared_statement(nullptr, preparedName, __LINE__);
    if (text == nullptr) {
        // Nothing was prepared under that name: report it as the runtime reports a bad name.
        char message[160];
        std::snprintf(message, sizeof message, "invalid statement name \"%.100s\"", preparedName);
        raise(ECPG_INVALID_STMT, "26000", message);
        return false;
    }
    return exec(Kind::Normal, declare.c_str(), std::array<HostVar, 1>{statementText(text)}, none,
                opt);
}

void raise(long code, const char* state, const char* message) {
    sqlca_t& ca = area();
    ca.sqlcode = code;
    std::memcpy(ca.sqlstate, state, 5);
    std::snprintf(ca.sqlerrm.sqlerrmc, sizeof ca.sqlerrm.sqlerrmc, "%.*s",
                  static_cast<int>(sizeof ca.sqlerrm.sqlerrmc - 1), message);
    ca.sqlerrm.sqlerrml = static_cast<int>(std::strlen(ca.sqlerrm.sqlerrmc));
    ca.sqlerrd[2] = 0;
}

CursorGuard::~CursorGuard() {
    if (closeText_ != nullptr) {
        const sqlca_t saved = area();
        exec(Kind::Normal, closeText_, none, none);
        area() = saved;
    }
}

}  // namespace esql
