#include "Esql.h"

#include <libpq-fe.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
    Result cause;         // the statement that ended it
    int exit_status = 0;  // given to end_work()
    long failed = 0;
    std::string connect_detail;
    std::string connect_reason;
    std::unordered_set<std::string> close_failed;  // cursors whose close failed: maybe still open
};

Session& session() {
    static Session s;
    return s;
}

// ---- The stop, as the signal handlers see it ----
//
// Everything below is read (and the flags written) by interrupt() and interrupt_tick(), which
// run in signal handlers: plain flags, and values that are set outside the handlers while no
// statement or connect is under way.

volatile std::sig_atomic_t interrupted_by = 0;
volatile std::sig_atomic_t statement_under_way = 0;  // from before the halt check to the answer
volatile std::sig_atomic_t connect_under_way = 0;
volatile std::sig_atomic_t session_socket = -1;  // the connection's socket while connected
PGcancel* volatile running_cancel = nullptr;     // made after a connect, for the handler's cancel
char cancel_errbuf[256];  // PQcancel's message, unused: static for the handler

// Sockets of the process before a connect began, by descriptor: their inode, 0 for none. A
// socket that is not among them at a stop belongs to the connect and is cut.
constexpr int kWatchedDescriptors = 1024;
std::array<ino_t, kWatchedDescriptors> sockets_before_connect{};

bool ticks_ready = false;
timer_t tick_timer{};
constexpr long kTickNanoseconds = 100L * 1000 * 1000;

ino_t socket_inode(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? st.st_ino : 0;
}

void note_sockets_before_connect() {
    for (int fd = 0; fd < kWatchedDescriptors; ++fd) {
        sockets_before_connect[static_cast<std::size_t>(fd)] = socket_inode(fd);
    }
}

// Shuts down every socket opened since the connect began: the client library's wait on it ends
// at once, and so does each further attempt it makes (another address, without SSL).
void cut_connect_sockets() noexcept {
    for (int fd = 0; fd < kWatchedDescriptors; ++fd) {
        const ino_t inode = socket_inode(fd);
        if (inode != 0 && inode != sockets_before_connect[static_cast<std::size_t>(fd)]) {
            shutdown(fd, SHUT_RDWR);
        }
    }
}

void cancel_running() noexcept {
    PGcancel* cancel = running_cancel;
    if (cancel != nullptr) {
        // Documented as safe in a signal handler; the server answers the running statement with
        // its cancellation, which rolls the statement back.
        PQcancel(cancel, cancel_errbuf, static_cast<int>(sizeof cancel_errbuf));
    }
}

void set_ticks(bool on) noexcept {
    if (!ticks_ready) {
        return;
    }
    itimerspec spec{};
    if (on) {
        spec.it_value.tv_nsec = kTickNanoseconds;
        spec.it_interval.tv_nsec = kTickNanoseconds;
    }
    timer_settime(tick_timer, 0, &spec, nullptr);
}

void drop_cancel() {
    session_socket = -1;
    PGcancel* cancel = running_cancel;
    running_cancel = nullptr;  // first, so that a handler never sees it freed
    if (cancel != nullptr) {
        PQfreeCancel(cancel);
    }
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

}  // namespace detail

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

void begin_statement() noexcept {
    statement_under_way = 1;
}

void end_statement() noexcept {
    statement_under_way = 0;
    if (interrupted_by != 0) {
        set_ticks(false);
    }
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
    s.exit_status = 0;
    s.connect_detail.clear();
    s.connect_reason.clear();
    s.close_failed.clear();

    // A stop asked for from here on cuts the connect's sockets (interrupt()).
    note_sockets_before_connect();
    connect_under_way = 1;
    Result refusal;
    if (detail::refused(refusal)) {
        connect_under_way = 0;
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
    connect_under_way = 0;
    if (interrupted_by != 0) {
        set_ticks(false);
    }
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
        PGconn* conn = ECPGget_PGconn(nullptr);
        running_cancel = conn != nullptr ? PQgetCancel(conn) : nullptr;
        session_socket = conn != nullptr ? PQsocket(conn) : -1;
        // A stop that came just before the socket was known: no statement may be sent.
        if (interrupted_by != 0 && session_socket >= 0) {
            shutdown(session_socket, SHUT_WR);
        }
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

void end_work(int exit_status) {
    Session& s = session();
    if (s.halt == Halt::None && interrupted_by == 0) {
        s.halt = Halt::Ended;
        s.exit_status = exit_status;
    }
}

int ended_with() {
    return session().halt == Halt::Ended ? session().exit_status : 0;
}

void interrupt(int signo) noexcept {
    interrupted_by = signo;
    // No byte of a statement leaves after this; what was sent already still gets its answer.
    const int socket = session_socket;
    if (socket >= 0) {
        shutdown(socket, SHUT_WR);
    }
    if (connect_under_way != 0) {
        cut_connect_sockets();
    } else if (statement_under_way != 0) {
        cancel_running();
    }
    if (connect_under_way != 0 || statement_under_way != 0) {
        set_ticks(true);
    }
}

bool set_up_interrupt_ticks(int tick_signo) {
    if (ticks_ready) {
        return true;
    }
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = tick_signo;
    ticks_ready = timer_create(CLOCK_MONOTONIC, &event, &tick_timer) == 0;
    return ticks_ready;
}

void interrupt_tick() noexcept {
    if (interrupted_by == 0) {
        return;
    }
    if (connect_under_way != 0) {
        cut_connect_sockets();
    } else if (statement_under_way != 0) {
        cancel_running();
    } else {
        set_ticks(false);
    }
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
