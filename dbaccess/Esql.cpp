#include "Esql.h"

#include <libpq-fe.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace esql {

namespace {

// The session as the statements found it: every connect starts a fresh one, and the count of
// failed statements runs for the whole process.
struct Session {
    Halt halt = Halt::None;
    Result cause;  // the statement that ended it
    long failed = 0;
    std::string connect_detail;
    std::unordered_set<std::string> close_failed;  // cursors whose close failed: maybe still open
};

Session& session() {
    static Session s;
    return s;
}

// Read and written by the signal handler: plain flags and a pointer set outside it.
volatile std::sig_atomic_t interrupted_by = 0;
PGcancel* volatile running_cancel = nullptr;  // made after a connect, for the handler's cancel
char cancel_errbuf[256];                      // PQcancel's message, unused: static for the handler

void drop_cancel() {
    PGcancel* cancel = running_cancel;
    running_cancel = nullptr;  // first, so that a handler never sees it freed
    if (cancel != nullptr) {
        PQfreeCancel(cancel);
    }
}

// Whether a failure says that the session is gone: the runtime's own lost-connection statuses,
// the connection exception class 08, an operator or a crash ending the backend (57P01, 57P02,
// 57P03), or a session that cannot write on a server that does not say whether it is a standby.
bool session_gone(const Result& r) {
    if (r.code == ECPG_NO_CONN || r.code == ECPG_CONNECT) {
        return true;
    }
    if (!r.failed()) {
        return false;
    }
    const std::string_view state(r.state);
    if (state.substr(0, 2) == "08" || state == "57P01" || state == "57P02" || state == "57P03") {
        return true;
    }
    if (state == "25006") {
        const PGconn* conn = ECPGget_PGconn(nullptr);
        return conn == nullptr || PQparameterStatus(conn, "in_hot_standby") == nullptr;
    }
    return false;
}

void halt_with(Halt why, const Result& cause) {
    Session& s = session();
    if (s.halt == Halt::None && interrupted_by == 0) {
        s.halt = why;
        s.cause = cause;
    }
}

// The server's words in the runtime's log of a failed connect: the text after its severity.
std::string server_words(std::string_view log) {
    for (const std::string_view severity : {"FATAL:  ", "ERROR:  "}) {
        const std::size_t at = log.rfind(severity);
        if (at != std::string_view::npos) {
            std::string_view rest = log.substr(at + severity.size());
            return std::string(rest.substr(0, rest.find('\n')));
        }
    }
    return {};
}

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

bool refused(Result& out) {
    const Halt why = halt();
    if (why == Halt::None) {
        return false;
    }
    const char* message = why == Halt::Interrupted
                              ? "no statement is started once a stop was asked for"
                              : "no statement is sent once the session is lost";
    sqlca_t& ca = area();
    ca.sqlcode = ECPG_NO_CONN;
    std::memcpy(ca.sqlstate, "08003", 5);
    std::snprintf(ca.sqlerrm.sqlerrmc, sizeof ca.sqlerrm.sqlerrmc, "%s", message);
    ca.sqlerrm.sqlerrml = static_cast<int>(std::strlen(ca.sqlerrm.sqlerrmc));
    ca.sqlerrd[2] = 0;
    out = last_result();
    return true;
}

Result settle() {
    Result r = last_result();
    if (r.failed()) {
        session().failed += 1;
        if (session_gone(r)) {
            halt_with(Halt::SessionLost, r);
        }
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
    drop_cancel();
    Session& s = session();
    s.halt = Halt::None;
    s.cause = Result{};
    s.connect_detail.clear();
    s.close_failed.clear();

    // The runtime keeps what the client library says about a failed connect to its debug log
    // only: it is caught in memory for the length of the connect.
    char* log = nullptr;
    std::size_t log_size = 0;
    FILE* log_stream = open_memstream(&log, &log_size);
    if (log_stream != nullptr) {
        ECPGdebug(1, log_stream);
    }
    ECPGconnect(static_cast<int>(where.line()), kInformixCompat, target, nullptr, nullptr, nullptr,
                1);
    Result r = detail::last_result();
    if (log_stream != nullptr) {
        ECPGdebug(0, nullptr);
        std::fclose(log_stream);
        const std::unique_ptr<char, decltype(&std::free)> owned(log, &std::free);
        if (r.failed() && log != nullptr) {
            s.connect_detail = server_words(std::string_view(log, log_size));
        }
    }
    if (!r.failed()) {
        PGconn* conn = ECPGget_PGconn(nullptr);
        running_cancel = conn != nullptr ? PQgetCancel(conn) : nullptr;
    }
    return r;
}

Result disconnect(Where where) {
    drop_cancel();
    ECPGdisconnect(static_cast<int>(where.line()), "CURRENT");
    prepared_statements().clear();
    return detail::last_result();
}

Halt halt() {
    if (session().halt != Halt::None) {
        return session().halt;
    }
    return interrupted_by != 0 ? Halt::Interrupted : Halt::None;
}

const Result& halt_cause() {
    return session().cause;
}

int interrupt_signal() {
    return interrupted_by;
}

void interrupt(int signo) noexcept {
    interrupted_by = signo;
    PGcancel* cancel = running_cancel;
    if (cancel != nullptr) {
        // Documented as safe in a signal handler; the server answers the running statement with
        // its cancellation, which rolls the statement back.
        PQcancel(cancel, cancel_errbuf, static_cast<int>(sizeof cancel_errbuf));
    }
}

long failed_statement_count() {
    return session().failed;
}

const std::string& connect_failure_detail() {
    return session().connect_detail;
}

Result prepare(const char* name, const char* text, Where where) {
    Result refusal;
    if (detail::refused(refusal)) {
        return refusal;
    }
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
    return detail::settle();
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
    // A cursor of this name that this process has not opened (nor failed to close): the server
    // session is shared with others, and what it keeps was left there by someone else.
    if (!open_ && std::strcmp(r.state, "42P03") == 0 && session().close_failed.count(name_) == 0) {
        halt_with(Halt::NoSessionCursors, r);
    }
    // Declaring it again while it is open fails and leaves it open.
    open_ = open_ || !r.failed();
    return r;
}

Result Cursor::settled_step(Result r) {
    // The cursor this process opened is not where the statement went: the server does not keep
    // cursors from one statement to the next, as behind a pooler in transaction mode.
    if (r.failed() && std::strcmp(r.state, "34000") == 0) {
        halt_with(Halt::NoSessionCursors, r);
    }
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
    const bool was_open = open_;
    open_ = false;
    Result r = exec(close_.c_str(), none, none, {}, where);
    if (r.failed()) {
        session().close_failed.insert(name_);
    } else {
        session().close_failed.erase(name_);
    }
    return was_open ? settled_step(std::move(r)) : r;
}

}  // namespace esql
