#pragma once

// A table reached through records, described once as data: its name, its columns (name, field,
// host type, width, null marker, nullable, whether padding blanks are dropped on reading) and its
// key. HostRow.h moves records to and from host variables by this description; TableStatements.h
// derives the statements and the operations from it.

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "Esql.h"
#include "time_convert.h"

namespace dbaccess {

// The widest character field of any record: a fetched text must fit the fetch buffer with its
// terminator, so that a longer value is told apart.
inline constexpr std::size_t kMaxTextWidth = esql::kTextFetchSize - 1;

enum class Nullable : bool { No = false, Yes = true };

// One column of a table and the record field that holds it.
template <class R>
struct Column {
    const char* name;
    void* (*field)(const R&);  // the field's address within a record
    ECPGttype type;            // the runtime's type of the host variable the column travels in
    std::size_t width;         // size of the field in bytes
    std::size_t host_size;     // size of the host variable in bytes
    int null_code;             // type code of the field's null marker (IsNull, SetNull)
    Nullable nullable;
    esql::Trim trim = esql::Trim::Keep;  // a text's trailing blanks dropped on reading
};

namespace detail {

template <class P>
struct MemberTraits;
template <class C, class T>
struct MemberTraits<T C::*> {
    using Record = C;
    using Field = T;
};

template <auto M>
using RecordOf = typename MemberTraits<decltype(M)>::Record;
template <auto M>
using FieldOf = typename MemberTraits<decltype(M)>::Field;

template <auto M>
void* field_address(const RecordOf<M>& r) {
    return const_cast<void*>(static_cast<const void*>(&(r.*M)));
}

// The runtime's type code of a field, from the wrapper's one map; a timestamp field is `long`
// to the compiler and is named as such.
template <class F>
constexpr ECPGttype host_code() {
    if constexpr (std::is_same_v<F, timestamp>) {
        return esql::HostType<esql::TimestampRef>::code;
    } else {
        return esql::HostType<F>::code;
    }
}

}  // namespace detail

// A column whose host type follows from its field: char[N] text, short, int, float, double or
// timestamp. A text column read with Trim::TrailingBlanks loses the blanks that pad a char(n)
// value before it is fitted to its field.
template <auto M>
constexpr Column<detail::RecordOf<M>> column(const char* name, Nullable nullable,
                                             esql::Trim trim = esql::Trim::Keep) {
    using F = detail::FieldOf<M>;
    constexpr ECPGttype type = detail::host_code<F>();
    return {name, &detail::field_address<M>, type, sizeof(F), sizeof(F), type, nullable, trim};
}

// A date column held in a date_t field: converted to and from the runtime's date.
template <auto M>
constexpr Column<detail::RecordOf<M>> date_column(const char* name, Nullable nullable) {
    static_assert(std::is_same_v<detail::FieldOf<M>, date_t>);
    return {name,
            &detail::field_address<M>,
            esql::HostType<esql::DateRef>::code,
            sizeof(date_t),
            sizeof(date),
            esql::HostType<date_t>::code,
            nullable};
}

// A table: its name as the statements spell it, its columns in order and its key columns.
// Descriptions are constants that live as long as the program: the statement texts built from
// one are kept under its address (TableStatements.h).
template <class R, std::size_t N, std::size_t K>
struct Table {
    using Record = R;
    static constexpr std::size_t column_count = N;
    const char* name;         // in the select, count, update and delete statements and in reports
    const char* insert_name;  // in the insert statement
    std::array<Column<R>, N> columns;
    std::array<std::size_t, K> key;  // indexes into columns, in key-condition order
};

// Checks a description at compile time: every column named, texts fitting the fetch buffer,
// trimming only for texts, key columns not nullable and of a kind the key condition can write.
template <class T>
constexpr bool well_formed(const T& t) {
    for (const auto& c : t.columns) {
        if (c.name == nullptr) {
            return false;  // a column left out of the initialiser
        }
        if (c.type == ECPGt_char && (c.width == 0 || c.width > kMaxTextWidth)) {
            return false;
        }
        if (c.type != ECPGt_char && c.trim != esql::Trim::Keep) {
            return false;
        }
    }
    for (std::size_t k : t.key) {
        if (k >= t.columns.size()) {
            return false;
        }
        const auto& c = t.columns[k];
        if (c.nullable == Nullable::Yes) {
            return false;
        }
        if (c.type != ECPGt_char && c.type != ECPGt_timestamp) {
            return false;
        }
    }
    return true;
}

// The index of the column named `name`; the column count when there is none.
template <class T>
constexpr std::size_t column_index(const T& t, std::string_view name) {
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        if (name == t.columns[i].name) {
            return i;
        }
    }
    return t.columns.size();
}

}  // namespace dbaccess
