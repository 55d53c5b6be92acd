#pragma once

// Typed access to the embedded-SQL runtime. Every statement of the program goes through here:
// a caller names C++ lvalues (char arrays, short, int, float, double, and through ts()/pgdate()
// timestamp and date, each optionally with an int indicator) and the wrapper expands them into
// the runtime's argument lists. A host variable of any other type does not compile.

#include <ecpgerrno.h>
#include <ecpglib.h>
#include <ecpgtype.h>
#include <pgtypes_date.h>
#include <pgtypes_timestamp.h>
#include <sqlca.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace esql {

// The runtime's Informix-compatible mode: in-band null markers, and PG_DBPATH naming the database.
inline constexpr int kInformixCompat = 1;

// One host variable in the shape the runtime reads it: value then indicator.
struct HostVar {
    ECPGttype type;
    void* value;
    long varcharsize;
    long arrsize;
    long offset;
    ECPGttype indType;
    void* indValue;
    long indVarcharsize;
    long indArrsize;
    long indOffset;
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

template <class T>
struct HostType;  // no definition: an unsupported host type fails to compile
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

namespace detail {
inline HostVar plain(ECPGttype type, void* value, long varcharsize, long offset) {
    return {type, value, varcharsize, 1, offset, ECPGt_NO_INDICATOR, nullptr, 0, 0, 0};
}
inline HostVar withIndicator(HostVar h, int& ind) {
    h.indType = ECPGt_int;
    h.indValue = &ind;
    h.indVarcharsize = 1;
    h.indArrsize = 1;
    h.indOffset = sizeof(int);
    return h;
}
}  // namespace detail

// A host variable without indicator.
template <class T>
HostVar var(T& v) {
    return detail::plain(HostType<std::remove_cv_t<T>>::code, const_cast<std::remove_cv_t<T>*>(&v),
                         1, sizeof(T));
}
template <std::size_t N>
HostVar var(char (&v)[N]) {
    return detail::plain(ECPGt_char, v, static_cast<long>(N), static_cast<long>(N));
}
inline HostVar var(TimestampRef r) {
    return detail::plain(ECPGt_timestamp, &r.value, 1, sizeof(timestamp));
}
inline HostVar var(DateRef r) {
    return detail::plain(ECPGt_date, &r.value, 1, sizeof(date));
}

// A host variable with its indicator (negative for SQL null).
template <class T>
HostVar var(T&& v, int& ind) {
    return detail::withIndicator(var(std::forward<T>(v)), ind);
}

// A character array of `size` bytes given by pointer, for arrays whose size is known only at run
// time; the runtime fills at most `size` bytes when fetching into it.
inline HostVar text(char* v, std::size_t size) {
    return detail::plain(ECPGt_char, v, static_cast<long>(size), static_cast<long>(size));
}

// Adds an indicator to a host variable built elsewhere.
inline HostVar indicated(HostVar h, int& ind) {
    return detail::withIndicator(h, ind);
}

// A text spliced verbatim into the statement in place of its placeholder, such as the text of
// a prepared statement in "declare ... cursor with hold for ?".
inline HostVar statementText(char* text) {
    return detail::plain(ECPGt_char_variable, text, 1, 1);
}

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

enum class Kind : int {
    Normal = ECPGst_normal,             // the text itself is the statement
    ExecutePrepared = ECPGst_execute,   // the text names a prepared statement
    Immediate = ECPGst_exec_immediate,  // the text is run at once, without host variables
};

struct Options {
    bool forceIndicator = true;  // a null into a variable without indicator is an error (-213)
    bool questionMarks = false;  // "?" marks the places of input variables in the text
};

namespace detail {
// The runtime passes a "?" of a statement run directly to the server unchanged, which the
// server rejects; this writes the text with its "?" places (outside quoted literals) numbered
// as $1, $2, ... into `buffer` and returns it.
const char* numberPlaceholders(const char* text, std::string& buffer);

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
        return h.indType;
    } else if constexpr (K % 10 == 6) {
        return static_cast<char*>(h.indValue);
    } else if constexpr (K % 10 == 7) {
        return h.indVarcharsize;
    } else if constexpr (K % 10 == 8) {
        return h.indArrsize;
    } else {
        return h.indOffset;
    }
}

template <std::size_t NI, std::size_t NO, std::size_t... I, std::size_t... J>
bool doCall(Kind kind, const char* text, const std::array<HostVar, NI>& in,
            const std::array<HostVar, NO>& out, Options opt, std::index_sequence<I...>,
            std::index_sequence<J...>) {
    std::string numbered;
    if (opt.questionMarks && kind == Kind::Normal && NI > 0) {
        text = numberPlaceholders(text, numbered);
    }
    return ECPGdo(__LINE__, kInformixCompat, opt.forceIndicator ? 1 : 0, nullptr, opt.questionMarks,
                  static_cast<int>(kind), text, arg<I>(in)..., ECPGt_EOIT, arg<J>(out)...,
                  ECPGt_EORT);
}
}  // namespace detail

// Runs one statement with its input and output host variables; the outcome is in area().
template <std::size_t NI, std::size_t NO>
bool exec(Kind kind, const char* text, const std::array<HostVar, NI>& in,
          const std::array<HostVar, NO>& out, Options opt = {}) {
    return detail::doCall(kind, text, in, out, opt, std::make_index_sequence<NI * 10>{},
                          std::make_index_sequence<NO * 10>{});
}

// The runtime's communication area (sqlca): status code, SQLSTATE, message, rows processed.
inline sqlca_t& area() {
    return *ECPGget_sqlca();
}
inline long sqlcode() {
    return area().sqlcode;
}
// Rows processed by the last statement.
inline long rowsProcessed() {
    return area().sqlerrd[2];
}

// The five-character SQLSTATE of the last statement, terminated.
struct SqlState {
    char text[6];
};
SqlState sqlstate();

// A value made fit to stand between single quotes in a statement: every quote doubled, so
// that O'HARE matches itself and no value can end the literal early.
std::string quoteDoubled(std::string_view value);

// Connects the default connection in the Informix-compatible mode with autocommit on.
bool connect(const char* target);
// Disconnects the current connection.
bool disconnect();
// Records `text` under the statement name `name`, replacing an earlier one of that name.
bool prepare(const char* name, const char* text);
// Runs a text at once, without host variables.
bool executeImmediate(const char* text);
// Opens a cursor over a prepared statement with a declare text ending in "?", such as
// "declare tcur1  cursor with hold for ?".
bool openPreparedCursor(const char* declareText, const char* preparedName, Options opt = {});

// Records a failure found before the runtime was called (such as a statement that does not fit
// its buffer) in the communication area, shaped as the runtime reports its own failures.
void raise(long code, const char* state, const char* message);

// Closes a cursor when it goes out of scope, unless release() was called; the communication
// area is kept as it was, so a failure reported before the close stays visible after it.
class CursorGuard {
   public:
    explicit CursorGuard(const char* closeText) : closeText_(closeText) {}
    ~CursorGuard();
    CursorGuard(const CursorGuard&) = delete;
    CursorGuard& operator=(const CursorGuard&) = delete;
    // The caller closed the cursor itself.
    void release() { closeText_ = nullptr; }

   private:
    const char* closeText_;
};

}  // namespace esql
