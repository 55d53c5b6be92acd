#include "EsqlSession.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

namespace esql {

namespace {

// The session as the statements found it: every connect starts a fresh one, and the count of
// failed statements runs for the whole process.
struct Session {
    Halt halt = Halt::None;
    Result cause;         // the statement that ended it
    int exit_status = 0;  // given to end_work()
    long failed = 0;
    std::string connect_detail;
    std::string connect_reason;
};

Session& session() {
    static Session s;
    return s;
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

std::string client_library_reason(std::string_view log) {
    // The runtime logs the client library's message after "ECPGconnect: ", on the line after its
    // own "opening database" line.
    constexpr std::string_view mark = "]: ECPGconnect: ";
    std::string_view said;
    for (std::size_t at = log.find(mark); at != std::string_view::npos;
         at = log.find(mark, at + mark.size())) {
        const std::string_view rest = log.substr(at + mark.size());
        if (rest.substr(0, 17) != "opening database ") {
            said = rest;
            break;
        }
    }
    said = said.substr(0, said.find('\n'));
    // "connection to server at "HOST" (ADDRESS), port P failed: " or "connection to server on
    // socket "PATH" failed: ", then what went wrong there.
    if (said.substr(0, 21) == "connection to server ") {
        const std::size_t end = said.find(" failed: ");
        if (end != std::string_view::npos) {
            said.remove_prefix(end + 9);
        }
    }
    for (const std::string_view severity : {"FATAL:  ", "ERROR:  ", "PANIC:  "}) {
        if (said.substr(0, severity.size()) == severity) {
            said.remove_prefix(severity.size());
            break;
        }
    }
    while (!said.empty() && (said.back() == ' ' || said.back() == '\r')) {
        said.remove_suffix(1);
    }
    return std::string(said);
}

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

Halt halt_after(const Result& failed, bool standby_reported) {
    if (failed.code == ECPG_NO_CONN || failed.code == ECPG_CONNECT) {
        return Halt::SessionLost;
    }
    if (!failed.failed()) {
        return Halt::None;
    }
    // The connection exception class 08, and an operator or a crash ending the backend.
    const std::string_view state(failed.state);
    if (state.substr(0, 2) == "08" || state == "57P01" || state == "57P02" || state == "57P03") {
        return Halt::SessionLost;
    }
    // A server that says whether it is a standby was asked before any write; one that does not
    // (before PostgreSQL 14) shows it only now.
    if (state == "25006" && !standby_reported) {
        return Halt::CannotWrite;
    }
    return Halt::None;
}

bool refused(Result& out) {
    const Halt why = halt();
    if (why == Halt::None) {
        return false;
    }
    const char* message = why == Halt::Interrupted
                              ? "no statement is started once a stop was asked for"
                          : why == Halt::Ended ? "no statement is sent once the work has ended"
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
        const PGconn* conn = ECPGget_PGconn(nullptr);
        const bool standby_reported =
            conn != nullptr && PQparameterStatus(conn, "in_hot_standby") != nullptr;
        const Halt why = halt_after(r, standby_reported);
        if (why != Halt::None) {
            halt_with(why, r);
        }
    }
    return r;
}

void halt_with(Halt why, const Result& cause) {
    Session& s = session();
    if (s.halt == Halt::None && interrupt_signal() == 0) {
        s.halt = why;
        s.cause = cause;
    }
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

std::string escaped(std::string_view value) {
    value = value.substr(0, value.find('\0'));
    PGconn* conn = ECPGget_PGconn(nullptr);
    if (conn == nullptr) {
        std::string out;
        out.reserve(value.size() + 2);
        for (const char c : value) {
            out += c;
            if (c == '\'' || c == '\\') {
                out += c;
            }
        }
        return out;
    }
    // At most two bytes for each byte of the value, and the terminator.
    std::string out(2 * value.size() + 1, '\0');
    int error = 0;
    const std::size_t n = PQescapeStringConn(conn, out.data(), value.data(), value.size(), &error);
    out.resize(n);
    return out;
}

Result connect(const char* target, Where where) {
    stop::forget_session();
    Session& s = session();
    s.halt = Halt::None;
    s.cause = Result{};
    s.exit_status = 0;
    s.connect_detail.clear();
    s.connect_reason.clear();

    // A stop asked for from here on cuts the connect's sockets (interrupt()).
    stop::begin_connect();
    Result refusal;
    if (detail::refused(refusal)) {
        stop::end_connect();
        return refusal;
    }

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
    stop::end_connect();
    Result r = detail::last_result();
    if (log_stream != nullptr) {
        ECPGdebug(0, nullptr);
        std::fclose(log_stream);
        const std::unique_ptr<char, decltype(&std::free)> owned(log, &std::free);
        if (r.failed() && log != nullptr) {
            s.connect_detail = server_words(std::string_view(log, log_size));
            s.connect_reason = detail::client_library_reason(std::string_view(log, log_size));
        }
    }
    if (!r.failed()) {
        stop::watch_session(ECPGget_PGconn(nullptr));
    }
    return r;
}

Result disconnect(Where where) {
    stop::forget_session();
    ECPGdisconnect(static_cast<int>(where.line()), "CURRENT");
    prepared_statements().clear();
    return detail::last_result();
}

Halt halt() {
    if (session().halt != Halt::None) {
        return session().halt;
    }
    return interrupt_signal() != 0 ? Halt::Interrupted : Halt::None;
}

const Result& halt_cause() {
    return session().cause;
}

void end_work(int exit_status) {
    Session& s = session();
    if (s.halt == Halt::None && interrupt_signal() == 0) {
        s.halt = Halt::Ended;
        s.exit_status = exit_status;
    }
}

int ended_with() {
    return session().halt == Halt::Ended ? session().exit_status : 0;
}

long failed_statement_count() {
    return session().failed;
}

const std::string& connect_failure_detail() {
    return session().connect_detail;
}

const std::string& connect_failure_reason() {
    return session().connect_reason;
}

Result prepare_on_client(const char* name, const char* text, Where where) {
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

}  // namespace esql
