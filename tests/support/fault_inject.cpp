// A preload library for the fault sweep: it wraps the client library's statement calls that the
// embedded-SQL runtime makes (PQexec, PQexecParams, PQexecPrepared, PQprepare), numbers them
// from 1, and at one of them puts a fault in place of the statement. It also wraps the removal
// of grid files and the writing of the metrics file. Driven by the environment:
//
//   FAULT_LOG=file   appends one line per event, in order:
//                      "S <k> <sqlstate> <text>"  statement k reached the server; its outcome
//                                                  ("00000" success, "-----" no answer)
//                      "F <k> <kind> <text>"      the fault was put at statement k (kind
//                                                  "sigterm-held": the program held the signal)
//                      "U <path>"                 a grid file was removed
//                      "E <path>"                 a grid file's removal was made to fail
//                      "M <path>"                 the metrics file was made unwritable
//   FAULT_AT=k       the statement to fault (1-based); unset: no fault
//   FAULT_KIND=kind  one of
//                      55P03 42501 57014 25006 40P01 (any five-character SQLSTATE): the server
//                        raises it in place of the statement
//                      57P01      the server ends the session (pg_terminate_backend) in its place
//                      cut        the connection's socket is shut down just before the call
//                      sigterm    SIGTERM is raised just before the call (the stop lands between
//                                 the program's stop check and the send)
//                      sigterm-inflight  the statement is sent, SIGTERM is raised while it is on
//                                 the server, and its result is collected as the call would
//                      sigkill    the process is killed (SIGKILL) once the statement's answer is in
//                      pause      before the statement is sent, "<k> <text>" is written to the
//                                 Unix socket FAULT_PAUSE and one byte is awaited from it (the
//                                 sweep takes a lock meanwhile, which the statement then meets);
//                                 once its answer is in, "after <k>", and a byte awaited again
//   FAULT_UNLINK=i:errno  the i-th removal (1-based) of a file in the grid directory
//                    ($dpa_grid_dir) fails with that errno; for ENOENT the file is removed first
//                    (someone else took it)
//   FAULT_METRICS=prefix:errno  a file created under the prefix (the metrics file's temporary)
//                    cannot be written: EACCES fails its open, any other errno its writes
//   FAULT_NO_ROW=cursor:k  the k-th fetch (1-based) of that cursor, named as given or with a
//                    "_<token>" after it, answers no row, as a stale cursor of that name would:
//                    the cursor is moved past its last row just before ("F <k> no-row <text>")
#include <dlfcn.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Config {
    int log_fd = -1;
    long fault_at = 0;
    std::string kind;
    std::string pause;     // the sweep's socket for "pause"
    std::string grid_dir;  // with its trailing '/'
    long unlink_at = 0;    // the removal to fail, 0 none
    int unlink_errno = 0;
    std::string metrics_prefix;
    int metrics_errno = 0;
    std::string no_row_cursor;
    long no_row_fetch = 0;
};

// "i:errno", "prefix:errno" or "cursor:k": the part before the last ':' and the number after it.
std::pair<std::string, int> split_number(const char* value) {
    const std::string text = value != nullptr ? value : "";
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return {"", 0};
    }
    return {text.substr(0, colon), std::atoi(text.c_str() + colon + 1)};
}

const Config& config() {
    static const Config c = [] {
        Config out;
        if (const char* log = std::getenv("FAULT_LOG"); log != nullptr && *log != '\0') {
            // The process's own open, not the wrapper below, which asks for this configuration.
            using Open = int (*)(const char*, int, ...);
            static const Open real_open = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
            out.log_fd = real_open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        if (const char* at = std::getenv("FAULT_AT"); at != nullptr) {
            out.fault_at = std::strtol(at, nullptr, 10);
        }
        if (const char* kind = std::getenv("FAULT_KIND"); kind != nullptr) {
            out.kind = kind;
        }
        if (const char* pause = std::getenv("FAULT_PAUSE"); pause != nullptr) {
            out.pause = pause;
        }
        if (const char* grid = std::getenv("dpa_grid_dir"); grid != nullptr && *grid != '\0') {
            out.grid_dir = std::string(grid) + "/";
        }
        const auto [at, unlink_errno] = split_number(std::getenv("FAULT_UNLINK"));
        out.unlink_at = std::strtol(at.c_str(), nullptr, 10);
        out.unlink_errno = unlink_errno;
        const auto [prefix, metrics_errno] = split_number(std::getenv("FAULT_METRICS"));
        out.metrics_prefix = prefix;
        out.metrics_errno = metrics_errno;
        const auto [no_row_cursor, no_row_fetch] = split_number(std::getenv("FAULT_NO_ROW"));
        out.no_row_cursor = no_row_cursor;
        out.no_row_fetch = no_row_fetch;
        return out;
    }();
    return c;
}

long statement_count = 0;

void log_line(std::string line) {
    const int fd = config().log_fd;
    if (fd < 0) {
        return;
    }
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    line += '\n';
    // One write per line, so that lines stay whole in the file.
    (void)!write(fd, line.data(), line.size());
}

std::string outcome(const PGresult* res) {
    if (res == nullptr) {
        return "-----";
    }
    const ExecStatusType st = PQresultStatus(res);
    if (st == PGRES_FATAL_ERROR || st == PGRES_NONFATAL_ERROR) {
        const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
        return state != nullptr ? state : "-----";
    }
    return "00000";
}

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using Exec = PGresult* (*)(PGconn*, const char*);

// What the synchronous call would return, once the statement has been sent asynchronously: the
// last result, as PQexec keeps it.
PGresult* collect(PGconn* conn) {
    PGresult* last = nullptr;
    while (PGresult* r = PQgetResult(conn)) {
        PQclear(last);
        last = r;
        const ExecStatusType st = PQresultStatus(r);
        if (st == PGRES_COPY_IN || st == PGRES_COPY_OUT || st == PGRES_COPY_BOTH ||
            PQstatus(conn) == CONNECTION_BAD) {
            break;
        }
    }
    return last;
}

long no_row_fetches = 0;

// Moves the cursor of the fetch `text` past its last row when it is the chosen fetch.
void exhaust_chosen_fetch(PGconn* conn, const std::string& text, long k) {
    const Config& c = config();
    const std::string verb = "fetch ";
    if (c.no_row_cursor.empty() || text.rfind(verb, 0) != 0) {
        return;
    }
    const std::string name = text.substr(verb.size(), text.find(' ', verb.size()) - verb.size());
    const std::string& base = c.no_row_cursor;
    const bool tokened = name.size() > base.size() + 1 && name.rfind(base + "_", 0) == 0 &&
                         name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789",
                                                base.size() + 1) == std::string::npos;
    if ((name != base && !tokened) || ++no_row_fetches != c.no_row_fetch) {
        return;
    }
    static const Exec real_exec = next<Exec>("PQexec");
    PQclear(real_exec(conn, ("MOVE FORWARD ALL IN " + name).c_str()));
    log_line("F " + std::to_string(k) + " no-row " + text);
}

// Tells the sweep that statement k is next and waits until it says go; the sweep's socket, to
// say when the statement's answer is in, or -1.
int pause_before(long k, const std::string& text) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", config().pause.c_str());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    const std::string line = std::to_string(k) + " " + text + "\n";
    (void)!write(fd, line.data(), line.size());
    char go = 0;
    while (read(fd, &go, 1) < 0 && errno == EINTR) {
    }
    return fd;
}

void pause_after(int fd, long k) {
    if (fd < 0) {
        return;
    }
    const std::string line = "after " + std::to_string(k) + "\n";
    (void)!write(fd, line.data(), line.size());
    char go = 0;
    while (read(fd, &go, 1) < 0 && errno == EINTR) {
    }
    close(fd);
}

// Runs one statement call: `call` makes it synchronously, `send` starts it asynchronously (for
// the fault in flight). Numbers it, puts the fault when it is the one, and logs it.
template <class Call, class Send>
PGresult* statement(PGconn* conn, const char* text, Call call, Send send) {
    const Config& c = config();
    const long k = ++statement_count;
    const std::string shown = text != nullptr ? text : "";
    exhaust_chosen_fetch(conn, shown, k);
    if (k != c.fault_at || c.kind.empty()) {
        PGresult* res = call();
        log_line("S " + std::to_string(k) + " " + outcome(res) + " " + shown);
        return res;
    }
    if (c.kind == "sigterm") {
        // A program that holds the signal around its stop check and send gets it only after the
        // statement: the log says so, and the statement may then run to its end.
        sigset_t held;
        sigemptyset(&held);
        sigprocmask(SIG_BLOCK, nullptr, &held);
        const bool blocked = sigismember(&held, SIGTERM) == 1;
        log_line("F " + std::to_string(k) + " " + (blocked ? "sigterm-held" : "sigterm") + " " +
                 shown);
        raise(SIGTERM);
        PGresult* res = call();
        log_line("S " + std::to_string(k) + " " + outcome(res) + " " + shown);
        return res;
    }
    log_line("F " + std::to_string(k) + " " + c.kind + " " + shown);
    if (c.kind == "pause" || c.kind == "sigkill") {
        const int sweep = c.kind == "pause" ? pause_before(k, shown) : -1;
        PGresult* res = call();
        log_line("S " + std::to_string(k) + " " + outcome(res) + " " + shown);
        pause_after(sweep, k);
        if (c.kind == "sigkill") {
            raise(SIGKILL);
        }
        return res;
    }
    if (c.kind == "cut") {
        shutdown(PQsocket(conn), SHUT_RDWR);
        return call();  // nothing reaches the server
    }
    if (c.kind == "sigterm-inflight") {
        if (send() == 0) {
            return collect(conn);
        }
        raise(SIGTERM);
        PGresult* res = collect(conn);
        log_line("S " + std::to_string(k) + " " + outcome(res) + " " + shown);
        return res;
    }
    // The server raises the chosen SQLSTATE in place of the statement.
    static const Exec real_exec = next<Exec>("PQexec");
    const std::string fault =
        c.kind == "57P01"
            ? "SELECT pg_terminate_backend(pg_backend_pid())"
            : "DO $$BEGIN RAISE EXCEPTION 'injected fault' USING ERRCODE = '" + c.kind + "'; END$$";
    return real_exec(conn, fault.c_str());
}

// The path that (dirfd, path) names, for the paths that the wrappers look at.
std::string full_path(int dirfd, const char* path) {
    if (path == nullptr) {
        return {};
    }
    if (path[0] == '/' || dirfd == AT_FDCWD) {
        return path;
    }
    char dir[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
    const ssize_t n = readlink(link.c_str(), dir, sizeof dir - 1);
    return n > 0 ? std::string(dir, static_cast<std::size_t>(n)) + "/" + path : path;
}

long grid_removals = 0;

// Removes a file as `remove` does, unless it is the grid file whose removal is to fail; logs
// the grid files removed and the failures put in.
template <class Remove>
int removal(const std::string& path, Remove remove) {
    const Config& c = config();
    const bool grid = !c.grid_dir.empty() && path.rfind(c.grid_dir, 0) == 0;
    if (grid && ++grid_removals == c.unlink_at) {
        log_line("E " + path);
        if (c.unlink_errno == ENOENT) {
            remove();
        }
        errno = c.unlink_errno;
        return -1;
    }
    const int rc = remove();
    if (rc == 0 && grid) {
        log_line("U " + path);
    }
    return rc;
}

int metrics_fd = -1;

// Whether a file being created is the metrics file that must not be written.
bool metrics_open_fails(const std::string& path, int flags) {
    const Config& c = config();
    if (c.metrics_prefix.empty() || (flags & O_CREAT) == 0 ||
        path.rfind(c.metrics_prefix, 0) != 0) {
        return false;
    }
    log_line("M " + path);
    if (c.metrics_errno == EACCES) {
        errno = EACCES;
        return true;
    }
    return false;
}

template <class Open>
int opening(const std::string& path, int flags, Open open_it) {
    if (metrics_open_fails(path, flags)) {
        return -1;
    }
    const int fd = open_it();
    if (fd >= 0 && !config().metrics_prefix.empty() && (flags & O_CREAT) != 0 &&
        path.rfind(config().metrics_prefix, 0) == 0) {
        metrics_fd = fd;
    }
    return fd;
}

mode_t mode_of(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

PGresult* PQexec(PGconn* conn, const char* query) {
    static const Exec real = next<Exec>("PQexec");
    return statement(
        conn, query, [&] { return real(conn, query); }, [&] { return PQsendQuery(conn, query); });
}

PGresult* PQexecParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                       const char* const* paramValues, const int* paramLengths,
                       const int* paramFormats, int resultFormat) {
    using Fn = PGresult* (*)(PGconn*, const char*, int, const Oid*, const char* const*, const int*,
                             const int*, int);
    static const Fn real = next<Fn>("PQexecParams");
    return statement(
        conn, command,
        [&] {
            return real(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats,
                        resultFormat);
        },
        [&] {
            return PQsendQueryParams(conn, command, nParams, paramTypes, paramValues, paramLengths,
                                     paramFormats, resultFormat);
        });
}

PGresult* PQexecPrepared(PGconn* conn, const char* stmtName, int nParams,
                         const char* const* paramValues, const int* paramLengths,
                         const int* paramFormats, int resultFormat) {
    using Fn =
        PGresult* (*)(PGconn*, const char*, int, const char* const*, const int*, const int*, int);
    static const Fn real = next<Fn>("PQexecPrepared");
    const std::string shown = std::string("EXECUTE ") + (stmtName != nullptr ? stmtName : "");
    return statement(
        conn, shown.c_str(),
        [&] {
            return real(conn, stmtName, nParams, paramValues, paramLengths, paramFormats,
                        resultFormat);
        },
        [&] {
            return PQsendQueryPrepared(conn, stmtName, nParams, paramValues, paramLengths,
                                       paramFormats, resultFormat);
        });
}

PGresult* PQprepare(PGconn* conn, const char* stmtName, const char* query, int nParams,
                    const Oid* paramTypes) {
    using Fn = PGresult* (*)(PGconn*, const char*, const char*, int, const Oid*);
    static const Fn real = next<Fn>("PQprepare");
    return statement(
        conn, query, [&] { return real(conn, stmtName, query, nParams, paramTypes); },
        [&] { return PQsendPrepare(conn, stmtName, query, nParams, paramTypes); });
}

// Removed grid files are logged in order with the statements, so that the sweep sees whether a
// file went after a stop; one removal may be made to fail.
int unlink(const char* path) {
    using Fn = int (*)(const char*);
    static const Fn real = next<Fn>("unlink");
    return removal(full_path(AT_FDCWD, path), [&] { return real(path); });
}

int unlinkat(int dirfd, const char* path, int flags) {
    using Fn = int (*)(int, const char*, int);
    static const Fn real = next<Fn>("unlinkat");
    return removal(full_path(dirfd, path), [&] { return real(dirfd, path, flags); });
}

int remove(const char* path) {
    using Fn = int (*)(const char*);
    static const Fn real = next<Fn>("remove");
    return removal(full_path(AT_FDCWD, path), [&] { return real(path); });
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    using Fn = int (*)(const char*, int, ...);
    static const Fn real = next<Fn>("open");
    return opening(full_path(AT_FDCWD, path), flags, [&] { return real(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    using Fn = int (*)(const char*, int, ...);
    static const Fn real = next<Fn>("open64");
    return opening(full_path(AT_FDCWD, path), flags, [&] { return real(path, flags, mode); });
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    using Fn = int (*)(int, const char*, int, ...);
    static const Fn real = next<Fn>("openat");
    return opening(full_path(dirfd, path), flags, [&] { return real(dirfd, path, flags, mode); });
}

int mkstemp(char* name) {
    using Fn = int (*)(char*);
    static const Fn real = next<Fn>("mkstemp");
    const std::string path = name != nullptr ? name : "";
    return opening(path, O_CREAT, [&] { return real(name); });
}

int mkstemp64(char* name) {
    using Fn = int (*)(char*);
    static const Fn real = next<Fn>("mkstemp64");
    const std::string path = name != nullptr ? name : "";
    return opening(path, O_CREAT, [&] { return real(name); });
}

int mkostemp(char* name, int flags) {
    using Fn = int (*)(char*, int);
    static const Fn real = next<Fn>("mkostemp");
    const std::string path = name != nullptr ? name : "";
    return opening(path, O_CREAT, [&] { return real(name, flags); });
}

// Writes to the metrics file fail with the chosen errno (ENOSPC: the disk is full).
ssize_t write(int fd, const void* buf, size_t count) {
    using Fn = ssize_t (*)(int, const void*, size_t);
    static const Fn real = next<Fn>("write");
    if (fd >= 0 && fd == metrics_fd) {
        errno = config().metrics_errno;
        return -1;
    }
    return real(fd, buf, count);
}

int close(int fd) {
    using Fn = int (*)(int);
    static const Fn real = next<Fn>("close");
    if (fd == metrics_fd) {
        metrics_fd = -1;
    }
    return real(fd);
}

}  // extern "C"
