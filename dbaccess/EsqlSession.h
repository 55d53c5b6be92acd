#pragma once

// The one database session of the process and the statements sent on it. Every statement of the
// program goes through here: a caller names its host variables (EsqlHostVars.h) and the wrapper
// expands them into the runtime's argument lists.
//
// Prepared statements are kept here, on the client: prepare_on_client() records a text under a
// name and sends nothing, so a faulty statement shows at the step that runs it. Every call
// returns its outcome as a Result, which is what callers read; the runtime's communication area
// is filled as well, for a program that reads it after its own statements (initDbStatus).

#include <ecpgerrno.h>
#include <ecpglib.h>
#include <sqlca.h>

#include <array>
#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <version>

#include "EsqlHostVars.h"
#include "EsqlStop.h"

namespace esql {

// The runtime's Informix-compatible mode: in-band null markers, and PG_DBPATH naming the database.
inline constexpr int kInformixCompat = 1;

// Where a call was made: the runtime's messages name the caller's line.
#ifdef __cpp_lib_source_location
using Where = std::source_location;
#else
// A compiler whose library offers no std::source_location (clang with this libstdc++) still
// knows the caller's line.
struct Where {
    static constexpr Where current(unsigned line = __builtin_LINE()) { return Where{line}; }
    constexpr unsigned line() const { return line_; }
    unsigned line_;
};
#endif

// The outcome of one statement, as the runtime reports it.
struct Result {
    long code = 0;            // 0 success, 100 no (more) rows, negative an error
    char state[6] = "00000";  // five-character SQLSTATE
    long rows = 0;            // rows processed
    std::string message;      // the runtime's message; empty on success

    bool failed() const { return code < 0; }
    bool no_row() const { return code == ECPG_NOT_FOUND; }
};

struct Options {
    bool force_indicator = true;  // a null into a variable without indicator is an error (-213)
};

enum class Halt;  // below: why no statement may be sent any more

namespace detail {

// The text of a statement as the server takes it: every "?" place numbered as $1, $2, ... when
// the statement has input variables. A "?" inside a quoted literal or identifier or a comment
// ("-- " to the end of the line, "/* */" nested as the server nests them) is left as it is.
std::string number_placeholders(std::string_view text);

// The outcome the runtime left in its communication area.
Result last_result();

// How a failed statement leaves the session: None when it only failed, else why no statement
// may follow. `standby_reported`: the server says whether it is a hot standby (in_hot_standby,
// from PostgreSQL 14 on).
Halt halt_after(const Result& failed, bool standby_reported);

// True, with `out` set to the refusal, when no statement may be sent any more (see halt()).
bool refused(Result& out);

// The outcome of the statement just run: counted when it failed, and the session halted when
// the failure says that it is gone or cannot write.
Result settle();

template <std::size_t NI, std::size_t NO, std::size_t... I, std::size_t... J>
Result run(const char* text, const std::array<HostVar, NI>& in, const std::array<HostVar, NO>& out,
           Options opt, int line, std::index_sequence<I...>, std::index_sequence<J...>) {
    std::string numbered;
    if constexpr (NI > 0) {
        numbered = number_placeholders(text);
        text = numbered.c_str();
    }
    stop::begin_statement();
    Result refusal;
    if (refused(refusal)) {
        stop::end_statement();
        return refusal;
    }
    ECPGdo(line, kInformixCompat, opt.force_indicator ? 1 : 0, nullptr, false, ECPGst_normal, text,
           arg<I>(in)..., ECPGt_EOIT, arg<J>(out)..., ECPGt_EORT);
    stop::end_statement();
    return settle();
}

// The first line of the client library's own message in the runtime's log of a failed connect,
// without its "connection to server ... failed: " prefix and the severity of a server's refusal;
// empty when the log holds none.
std::string client_library_reason(std::string_view log);

// The text recorded under a prepared name, or null after recording the runtime's failure for
// a name that was never prepared.
const std::string* prepared_text(const char* name, int line);

// Halts the session for `why`, shown by the failed statement `cause`, unless a halt or a stop
// came first.
void halt_with(Halt why, const Result& cause);

}  // namespace detail

// Runs one statement text with its input and output host variables. "?" marks the places of the
// input variables.
template <std::size_t NI = 0, std::size_t NO = 0>
Result exec(const char* text, const std::array<HostVar, NI>& in = {},
            const std::array<HostVar, NO>& out = {}, Options opt = {},
            Where where = Where::current()) {
    return detail::run(text, in, out, opt, static_cast<int>(where.line()),
                       std::make_index_sequence<NI * 10>{}, std::make_index_sequence<NO * 10>{});
}

// Runs a text at once, without host variables.
Result execute_immediate(const char* text, Where where = Where::current());

// Records `text` under the statement name `name`, replacing an earlier one. Client-side only:
// nothing is sent, there is no PREPARE on the server; execute() sends the text.
Result prepare_on_client(const char* name, const char* text, Where where = Where::current());

// Runs the statement prepared under `name` with its input and output host variables, as one
// statement. A name that was never prepared fails with the runtime's invalid-name status.
template <std::size_t NI = 0, std::size_t NO = 0>
Result execute(const char* name, const std::array<HostVar, NI>& in = {},
               const std::array<HostVar, NO>& out = {}, Options opt = {},
               Where where = Where::current()) {
    const std::string* text = detail::prepared_text(name, static_cast<int>(where.line()));
    if (text == nullptr) {
        return detail::last_result();
    }
    return exec(text->c_str(), in, out, opt, where);
}

// Connects the default connection in the Informix-compatible mode with autocommit on.
Result connect(const char* target, Where where = Where::current());
// Disconnects the current connection; its prepared statements go with it.
Result disconnect(Where where = Where::current());

// Records a failure found before the runtime was called (such as a statement that does not fit
// its buffer) in the communication area, shaped as the runtime reports its own failures.
Result raise(long code, const char* state, const char* message);

// ---- The session's health ----
//
// Once the session is lost or unfit, the program ended its work, or a stop was asked for, the
// wrapper sends no statement any more: every call fails at once with ECPG_NO_CONN ("08003") and
// the runtime is not called. This halt is the one record of why a run stops. A new connect
// starts a fresh session (a signal's stop stays).

enum class Halt {
    None,              // statements are sent
    SessionLost,       // the connection is gone
    NoSessionCursors,  // an open cursor was gone, or a stranger's was found: not a session link
    CannotWrite,       // a write refused as read-only (25006) by a server that does not say
                       // whether it is a standby
    Ended,             // the program ended its work at a failure it reported (end_work())
    Interrupted,       // a stop was asked for (interrupt())
};

// Why statements are refused; None while they are sent.
Halt halt();
// The failed statement that ended the session (SessionLost, NoSessionCursors, CannotWrite).
const Result& halt_cause();
// Ends the work on the session at a failure the caller has reported: no statement is sent any
// more, and `exit_status` is what the program ends with (halt() is Ended). A halt already
// recorded stays.
void end_work(int exit_status);
// The status given to end_work(); 0 when it was not called.
int ended_with();

// Statements of this process that failed (sent and refused by the server, or found faulty before
// sending); statements refused after a halt are not counted.
long failed_statement_count();

// What the client library said about the last connect that failed (the server's own message for
// a refused startup), empty when the last connect succeeded or said nothing.
const std::string& connect_failure_detail();

// The first line of the client library's own message about the last connect that failed, such
// as "password authentication failed for user "purge"" or "SSL error: certificate verify
// failed"; empty when the last connect succeeded or the library said nothing.
const std::string& connect_failure_reason();

// The runtime's communication area, as the runtime leaves it after the last statement. Only the
// wrapper and initDbStatus read it; everything else reads the Result of its own statement.
inline sqlca_t& area() {
    return *ECPGget_sqlca();
}

// A value made fit to stand between single quotes in a statement, escaped as the session's
// server reads such a literal: every quote doubled, and every backslash too while the server
// reports standard_conforming_strings off (the client library keeps what it reported; nothing is
// sent). So O'HARE matches itself, and no value can end the literal early under either setting.
// The value ends at a NUL byte. A value that is not valid in the client encoding comes out as a
// text the server refuses, so the statement that carries it fails and is reported as its own
// failure; it never matches another value. Without a session, quotes and backslashes are doubled.
std::string escaped(std::string_view value);

}  // namespace esql
