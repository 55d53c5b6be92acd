#pragma once

// Typed access to the embedded-SQL runtime. Every statement of the program goes through here:
// a caller names C++ lvalues (char arrays, short, int, float, double, and through ts()/pgdate()
// timestamp and date, each optionally with an int indicator) and the wrapper expands them into
// the runtime's argument lists. A host variable of any other type does not compile.
//
// Prepared statements are kept here, on the client: prepare_on_client() records a text under a
// name and sends nothing, so a faulty statement shows at the step that runs it. Every call
// returns its outcome as a Result, which is what callers read; the runtime's communication area
// is filled as well, for a program that reads it after its own statements (initDbStatus).

#include <ecpgerrno.h>
#include <ecpglib.h>
#include <ecpgtype.h>
#include <pgtypes_date.h>
#include <pgtypes_timestamp.h>
#include <sqlca.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <version>

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

// One host variable in the shape the runtime reads it: value then indicator.
struct HostVar {
    ECPGttype type;
    void* value;
    long varcharsize;
    long arrsize;
    long offset;
    ECPGttype ind_type;
    void* ind_value;
    long ind_varcharsize;
    long ind_arrsize;
    long ind_offset;
};

// timestamp and date are both `long` to the compiler; these say which one is meant.
struct TimestampRef {
    timestamp& value;
};
struct DateRef {
    date& value;
};
inline TimestampRef ts(timestamp& v) {
    return {v};
}
inline DateRef pgdate(date& v) {
    return {v};
}

// The one map from C++ host types to the runtime's type codes. The code of a type is also the
// code of its null marker (IsNull, SetNull). There is no definition for other types, so an
// unsupported host variable fails to compile.
template <class T>
struct HostType;
template <std::size_t N>
struct HostType<char[N]> {
    static constexpr ECPGttype code = ECPGt_char;
};
template <>
struct HostType<short> {
    static constexpr ECPGttype code = ECPGt_short;
};
template <>
struct HostType<int> {
    static constexpr ECPGttype code = ECPGt_int;
};
template <>
struct HostType<float> {
    static constexpr ECPGttype code = ECPGt_float;
};
template <>
struct HostType<double> {
    static constexpr ECPGttype code = ECPGt_double;
};
template <>
struct HostType<TimestampRef> {
    static constexpr ECPGttype code = ECPGt_timestamp;
};
template <>
struct HostType<DateRef> {
    static constexpr ECPGttype code = ECPGt_date;
};

// A host variable of `size` bytes at `value` with the runtime's type code `type`; a text is a
// character array of `size` bytes, which a fetch fills with at most `size` bytes.
inline HostVar raw(ECPGttype type, void* value, std::size_t size) {
    const long n = static_cast<long>(size);
    return {type, value, type == ECPGt_char ? n : 1, 1, n, ECPGt_NO_INDICATOR, nullptr, 0, 0, 0};
}

// A host variable without indicator.
template <class T>
HostVar var(T& v) {
    using U = std::remove_cv_t<T>;
    return raw(HostType<U>::code, const_cast<U*>(&v), sizeof(U));
}
template <std::size_t N>
HostVar var(char (&v)[N]) {
    return raw(ECPGt_char, v, N);
}
inline HostVar var(TimestampRef r) {
    return raw(HostType<TimestampRef>::code, &r.value, sizeof(timestamp));
}
inline HostVar var(DateRef r) {
    return raw(HostType<DateRef>::code, &r.value, sizeof(date));
}

// Adds an indicator (negative for SQL null, positive the length of a cut text) to a host
// variable.
inline HostVar indicated(HostVar h, int& ind) {
    h.ind_type = ECPGt_int;
    h.ind_value = &ind;
    h.ind_varcharsize = 1;
    h.ind_arrsize = 1;
    h.ind_offset = sizeof(int);
    return h;
}

// A host variable with its indicator.
template <class T>
HostVar var(T&& v, int& ind) {
    return indicated(var(std::forward<T>(v)), ind);
}

// ---- Fixed-width texts fetched whole ----
//
// A text column is fetched into a buffer wider than any field and only then fitted to its field:
// so a value is always terminated, a char(n) value padded with blanks still fits when its blanks
// are dropped, and a value longer than its field is told apart instead of being cut into another
// name (it fills the buffer to its last byte, or its indicator says so).

// Room for a fetched text: 256 characters and the terminator. A longer value arrives cut, and its
// indicator says so.
inline constexpr std::size_t kTextFetchSize = 257;

// Whether trailing blanks of a fetched text are dropped before it is fitted to its field.
enum class Trim : bool { Keep = false, TrailingBlanks = true };

// How a fetched text fits its field.
enum class TextFit { Fits, Null, TooLong };

// What a NULL in the column does. Fails: the column is bound without an indicator, so the fetch
// fails as the runtime fails a null without indicator (SQLSTATE 22002) when the fetch enforces
// indicators. Empty: the column is bound with an indicator and the null arrives as the empty
// text.
enum class OnNull : bool { Fails = false, Empty = true };

// Settles the text fetched into `buf` (`size` bytes, indicator `ind`) for a field of `field_size`
// bytes (at most field_size - 1 characters): terminates it, drops trailing blanks when asked,
// and tells whether what is left fits. A value the indicator reports cut is TooLong.
TextFit settle_text(char* buf, std::size_t size, int ind, std::size_t field_size, Trim trim);

// One text column of a fetch whose field holds N bytes (N - 1 characters). Bind var() in the
// fetch, then read fit(), then the value.
template <std::size_t N>
class FixedText {
    static_assert(N >= 1 && N < kTextFetchSize, "a field must be narrower than the fetch buffer");

   public:
    explicit FixedText(Trim trim = Trim::Keep, OnNull on_null = OnNull::Fails)
        : trim_(trim), on_null_(on_null) {}

    // The host variable to fetch into; clears the previous value.
    HostVar var() {
        buf_[0] = '\0';
        ind_ = 0;
        settled_ = false;
        const HostVar text = raw(ECPGt_char, buf_, sizeof buf_);
        return on_null_ == OnNull::Empty ? indicated(text, ind_) : text;
    }
    // How the fetched value fits the field (a null that arrived fits, as the empty text).
    TextFit fit() {
        if (!settled_) {
            fit_ = settle_text(buf_, sizeof buf_, ind_, N, trim_);
            settled_ = true;
        }
        return fit_;
    }
    bool fits() { return fit() != TextFit::TooLong; }
    // The value, terminated; when it is too long, its first 256 characters, for a message only.
    const char* c_str() {
        fit();
        return buf_;
    }
    // Copies the value into a field of N bytes; false, leaving the field empty, when it is too
    // long.
    bool copy_to(char (&field)[N]) {
        if (!fits()) {
            field[0] = '\0';
            return false;
        }
        std::memcpy(field, buf_, std::strlen(buf_) + 1);
        return true;
    }

   private:
    char buf_[kTextFetchSize] = "";
    int ind_ = 0;
    Trim trim_;
    OnNull on_null_;
    TextFit fit_ = TextFit::Fits;
    bool settled_ = false;
};

inline HostVar to_host(HostVar h) {
    return h;
}
template <class T>
HostVar to_host(T&& v) {
    return var(std::forward<T>(v));
}

// A list of host variables in statement order: lvalues, or var(x, indicator).
template <class... V>
auto vars(V&&... v) {
    return std::array<HostVar, sizeof...(V)>{to_host(std::forward<V>(v))...};
}

inline constexpr std::array<HostVar, 0> none{};

struct Options {
    bool force_indicator = true;  // a null into a variable without indicator is an error (-213)
};

enum class Halt;  // below: why no statement may be sent any more

namespace detail {

// The text of a statement as the server takes it: every "?" place numbered as $1, $2, ... when
// the statement has input variables. A "?" inside a quoted literal or identifier or a comment
// ("-- " to the end of the line, "/* */" nested as the server nests them) is left as it is.
std::string number_placeholders(std::string_view text);

template <std::size_t K, std::size_t N>
auto arg(const std::array<HostVar, N>& v) {
    const HostVar& h = v[K / 10];
    // The ten arguments of one variable, in the order the runtime reads them.
    if constexpr (K % 10 == 0) {
        return h.type;
    } else if constexpr (K % 10 == 1) {
        return static_cast<char*>(h.value);
    } else if constexpr (K % 10 == 2) {
        return h.varcharsize;
    } else if constexpr (K % 10 == 3) {
        return h.arrsize;
    } else if constexpr (K % 10 == 4) {
        return h.offset;
    } else if constexpr (K % 10 == 5) {
        return h.ind_type;
    } else if constexpr (K % 10 == 6) {
        return static_cast<char*>(h.ind_value);
    } else if constexpr (K % 10 == 7) {
        return h.ind_varcharsize;
    } else if constexpr (K % 10 == 8) {
        return h.ind_arrsize;
    } else {
        return h.ind_offset;
    }
}

// The outcome the runtime left in its communication area.
Result last_result();

// How a failed statement leaves the session: None when it only failed, else why no statement
// may follow. `standby_reported`: the server says whether it is a hot standby (in_hot_standby,
// from PostgreSQL 14 on).
Halt halt_after(const Result& failed, bool standby_reported);

// True, with `out` set to the refusal, when no statement may be sent any more (see halt()).
bool refused(Result& out);

// Marks a statement as under way from before the last look at halt() until its answer is in, so
// that a stop asked for in between still reaches it (see interrupt()).
void begin_statement() noexcept;
void end_statement() noexcept;

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
    begin_statement();
    Result refusal;
    if (refused(refusal)) {
        end_statement();
        return refusal;
    }
    ECPGdo(line, kInformixCompat, opt.force_indicator ? 1 : 0, nullptr, false, ECPGst_normal, text,
           arg<I>(in)..., ECPGt_EOIT, arg<J>(out)..., ECPGt_EORT);
    end_statement();
    return settle();
}

// The first line of the client library's own message in the runtime's log of a failed connect,
// without its "connection to server ... failed: " prefix and the severity of a server's refusal;
// empty when the log holds none.
std::string client_library_reason(std::string_view log);

// The text recorded under a prepared name, or null after recording the runtime's failure for
// a name that was never prepared.
const std::string* prepared_text(const char* name, int line);

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
// The signal given to interrupt(); 0 when none was.
int interrupt_signal();

// Ends the work on the session at a failure the caller has reported: no statement is sent any
// more, and `exit_status` is what the program ends with (halt() is Ended). A halt already
// recorded stays.
void end_work(int exit_status);
// The status given to end_work(); 0 when it was not called.
int ended_with();

// Asks for a stop from a signal handler, at any moment, with async-signal-safe calls only:
//  - no statement is started afterwards, and none can be sent: the connection's socket is shut
//    for writing (its answers still come back);
//  - a statement running on the server is cancelled there, and the cancel is repeated (see
//    interrupt_tick()) until its answer is in: a cancel that reaches the server before it has
//    read the statement is ignored there;
//  - a connect under way is cut: every socket opened since it began is shut down, again at every
//    tick, so that the client library gives up at once.
void interrupt(int signo) noexcept;

// Makes the repeats of interrupt() possible: a timer that raises `tick_signo` every 100 ms once a
// stop was asked for, while a statement or a connect is under way. The handler of `tick_signo`
// calls interrupt_tick(). Called once, outside a handler; without it, interrupt() does not repeat.
bool set_up_interrupt_ticks(int tick_signo);
// The timer's handler: cancels again, or cuts the connect again; stops the timer when neither is
// under way any more. Async-signal-safe.
void interrupt_tick() noexcept;

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

// A value made fit to stand between single quotes in a statement: every quote doubled, so
// that O'HARE matches itself and no value can end the literal early.
std::string quote_doubled(std::string_view value);

// A named cursor WITH HOLD. It opens over a prepared statement (or over the complete text of its
// declare statement), fetches into host variables and closes with a status; one still open when
// its scope ends is closed then.
class Cursor {
   public:
    // `declare` is the cursor's declare statement, such as "declare tcur1  cursor with hold
    // for ?", where a final "?" stands for the text of the statement open() is given.
    explicit Cursor(std::string_view declare);
    ~Cursor();
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // Declares and opens the cursor over the statement prepared under `prepared_name`.
    Result open(const char* prepared_name, Where where = Where::current());
    // Declares and opens the cursor with its declare text as it stands.
    Result open(Where where = Where::current());

    // Fetches the next row into `into`.
    template <std::size_t N>
    Result fetch(const std::array<HostVar, N>& into, Options opt = {},
                 Where where = Where::current()) {
        Result r = exec(fetch_.c_str(), none, into, opt, where);
        return open_ ? settled_step(std::move(r)) : r;
    }

    // Closes the cursor; it counts as closed whatever the outcome.
    Result close(Where where = Where::current());

    const std::string& name() const { return name_; }
    bool is_open() const { return open_; }

   private:
    Result declare(const char* text, Where where);
    // A fetch or close of the open cursor that finds no such cursor (34000) stops the run: the
    // server does not keep cursors from one statement to the next, as behind a pooler in
    // transaction mode.
    Result settled_step(Result r);

    std::string declare_;
    std::string name_;
    std::string fetch_;
    std::string close_;
    bool open_ = false;
};

}  // namespace esql
