#include "Esql.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace esql {

namespace {

// The prepared statements of the connection, by name.
std::unordered_map<std::string, std::string>& prepared_statements() {
    static std::unordered_map<std::string, std::string> statements;
    return statements;
}

// The communication area as the runtime leaves it after a statement that succeeded.
void clear_area() {
    sqlca_t& ca = area();
    ca.sqlcode = 0;
    std::memcpy(ca.sqlstate, "00000", 5);
    ca.sqlerrm.sqlerrml = 0;
    ca.sqlerrm.sqlerrmc[0] = '\0';
    std::memset(ca.sqlerrd, 0, sizeof ca.sqlerrd);
    std::memset(&ca.sqlwarn, 0, sizeof ca.sqlwarn);
}

}  // namespace

namespace detail {

std::string number_placeholders(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    int next = 1;
    char quote = '\0';  // the quote character of an open literal or identifier
    bool line_comment = false;
    int block_depth = 0;  // open "/*" comments
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const std::string_view pair = text.substr(i, 2);
        if (line_comment) {
            line_comment = c != '\n';
        } else if (quote != '\0') {
            if (c == quote) {
                quote = '\0';
            }
        } else if (pair == "/*" || (block_depth > 0 && pair == "*/")) {
            block_depth += pair == "/*" ? 1 : -1;
            out += pair;
            ++i;
            continue;
        } else if (block_depth == 0) {
            if (c == '\'' || c == '"') {
                quote = c;
            } else if (pair == "--") {
                line_comment = true;
            } else if (c == '?') {
                out += '$';
                out += std::to_string(next++);
                continue;
            }
        }
        out += c;
    }
    return out;
}

Result last_result() {
    const sqlca_t& ca = area();
    Result r;
    r.code = ca.sqlcode;
    std::memcpy(r.state, ca.sqlstate, 5);
    r.state[5] = '\0';
    r.rows = ca.sqlerrd[2];
    if (ca.sqlcode != 0) {
        const int len = ca.sqlerrm.sqlerrml;
        const std::size_t n =
            len <= 0 ? 0
                     : strnlen(ca.sqlerrm.sqlerrmc,
                               std::min(static_cast<std::size_t>(len), sizeof ca.sqlerrm.sqlerrmc));
        r.message.assign(ca.sqlerrm.sqlerrmc, n);
    }
    return r;
}

const std::string* prepared_text(const char* name, int line) {
    const auto& statements = prepared_statements();
    const auto found = statements.find(name);
    if (found == statements.end()) {
        char message[160];
        std::snprintf(message, sizeof message, "invalid statement name \"%.100s\" on line %d", name,
                      line);
        raise(ECPG_INVALID_STMT, "26000", message);
        return nullptr;
    }
    return &found->second;
}

}  // namespace detail

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

std::string quote_doubled(std::string_view value) {
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

Result connect(const char* target, Where where) {
    ECPGconnect(static_cast<int>(where.line()), kInformixCompat, target, nullptr, nullptr, nullptr,
                1);
    return detail::last_result();
}

Result disconnect(Where where) {
    ECPGdisconnect(static_cast<int>(where.line()), "CURRENT");
    prepared_statements().clear();
    return detail::last_result();
}

Result prepare(const char* name, const char* text, Where where) {
    if (ECPGget_PGconn(nullptr) == nullptr) {
        char message[128];
        std::snprintf(message, sizeof message, "connection \"%s\" does not exist on line %d",
                      "CURRENT", static_cast<int>(where.line()));
        return raise(ECPG_NO_CONN, "08003", message);
    }
    prepared_statements().insert_or_assign(name, text);
    clear_area();
    return detail::last_result();
}

Result execute_immediate(const char* text, Where where) {
    return exec(text, none, none, {}, where);
}

Result raise(long code, const char* state, const char* message) {
    sqlca_t& ca = area();
    ca.sqlcode = code;
    std::memcpy(ca.sqlstate, state, 5);
    std::snprintf(ca.sqlerrm.sqlerrmc, sizeof ca.sqlerrm.sqlerrmc, "%.*s",
                  static_cast<int>(sizeof ca.sqlerrm.sqlerrmc - 1), message);
    ca.sqlerrm.sqlerrml = static_cast<int>(std::strlen(ca.sqlerrm.sqlerrmc));
    ca.sqlerrd[2] = 0;
    return detail::last_result();
}

Cursor::Cursor(std::string_view declare) : declare_(declare) {
    // "declare <name> ..."
    const std::size_t start = declare_.find_first_not_of(' ', declare_.find(' '));
    const std::size_t end = declare_.find(' ', start);
    name_ = declare_.substr(start, end - start);
    fetch_ = "fetch " + name_;
    close_ = "close " + name_;
}

Cursor::~Cursor() {
    if (open_) {
        close();
    }
}

Result Cursor::declare(const char* text, Where where) {
    Result r = exec(text, none, none, {}, where);
    // Declaring it again while it is open fails and leaves it open.
    open_ = open_ || !r.failed();
    return r;
}

Result Cursor::open(const char* prepared_name, Where where) {
    const std::string* text = detail::prepared_text(prepared_name, static_cast<int>(where.line()));
    if (text == nullptr) {
        return detail::last_result();
    }
    // The final "?" of the declare text stands for the prepared text.
    std::string statement = declare_;
    if (!statement.empty() && statement.back() == '?') {
        statement.pop_back();
    }
    statement += *text;
    return declare(statement.c_str(), where);
}

Result Cursor::open(Where where) {
    return declare(declare_.c_str(), where);
}

Result Cursor::close(Where where) {
    open_ = false;
    return exec(close_.c_str(), none, none, {}, where);
}

}  // namespace esql
