#pragma once

// The host variables of a statement: C++ lvalues (char arrays, short, int, float, double, and
// through ts()/pgdate() timestamp and date, each optionally with an int indicator) in the shape
// that the embedded-SQL runtime reads them. A host variable of any other type does not compile.

#include <ecpglib.h>
#include <ecpgtype.h>
#include <pgtypes_date.h>
#include <pgtypes_timestamp.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace esql {

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

namespace detail {

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

}  // namespace detail

}  // namespace esql
