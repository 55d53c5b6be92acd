// A preload library for the fault sweep: it wraps the client library's statement calls that the
// embedded-SQL runtime makes (PQexec, PQexecParams, PQexecPrepared, PQprepare), numbers them
// from 1, and at one of them puts a fault in place of the statement. Driven by the environment:
//
//   FAULT_LOG=file   appends one line per event, in order:
//                      "S <k> <sqlstate> <text>"  statement k reached the server; its outcome
//                                                  ("00000" success, "-----" no answer)
//                      "F <k> <kind> <text>"      the fault was put at statement k (kind
//                                                  "sigterm-held": the program held the signal)
//                      "U <path>"                 a file was removed
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
//   FAULT_NO_ROW=cursor:k  the k-th fetch (1-based) of that cursor, named as given or with a
//                    "_<token>" after it, answers no row, as a stale cursor of that name would:
//                    the cursor is moved past its last row just before ("F <k> no-row <text>")

#include <dlfcn.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Config {
    int log_fd = -1;
    long fault_at = 0;
    std::string kind;
    std::string no_row_cursor;
    long no_row_fetch = 0;
};

const Config& config() {
    static const Config c = [] {
        Config out;
        if (const char* log = std::getenv("FAULT_LOG"); log != nullptr && *log != '\0') {
            out.log_fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        if (const char* at = std::getenv("FAULT_AT"); at != nullptr) {
            out.fault_at = std::strtol(at, nullptr, 10);
        }
        if (const char* kind = std::getenv("FAULT_KIND"); kind != nullptr) {
            out.kind = kind;
        }
        if (const char* no_row = std::getenv("FAULT_NO_ROW"); no_row != nullptr) {
            const std::string spec = no_row;
            const std::size_t colon = spec.rfind(':');
            if (colon != std::string::npos) {
                out.no_row_cursor = spec.substr(0, colon);
                out.no_row_fetch = std::strtol(spec.c_str() + colon + 1, nullptr, 10);
            }
        }
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

// Removed files are logged in order with the statements, so that the sweep sees whether a file
// went after a stop.
int unlink(const char* path) {
    using Fn = int (*)(const char*);
    static const Fn real = next<Fn>("unlink");
    const int rc = real(path);
    if (rc == 0) {
        log_line(std::string("U ") + path);
    }
    return rc;
}

}  // extern "C"
