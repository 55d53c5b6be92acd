#pragma once

// Host variables of one row of a described table, and the copies between them and a record with
// their null handling. A row is fetched with every text column in the full fetch buffer and with
// an indicator, so that a value is always terminated, a char(n) value can lose its padding
// blanks, and a value longer than its field is told apart from one that fits.

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "DbmsUtils.h"
#include "Esql.h"
#include "TableDescription.h"
#include "time_convert.h"

namespace dbaccess::detail {

// Host storage of one column: room for the fetch buffer of a text, and the column's indicator.
struct HostSlot {
    alignas(8) char bytes[esql::kTextFetchSize];
    int ind;
};

template <std::size_t N>
using HostRow = std::array<HostSlot, N>;

template <std::size_t N>
void clear(HostRow<N>& row) {
    std::memset(static_cast<void*>(row.data()), 0, sizeof(HostSlot) * N);
}

// The host variable a record's field is written from: a text as wide as its field (its spare
// byte terminates a text that fills the field), an indicator for a nullable column.
template <class R>
esql::HostVar write_var(const Column<R>& c, HostSlot& slot) {
    const esql::HostVar v = esql::raw(c.type, slot.bytes, c.host_size);
    return c.nullable == Nullable::Yes ? esql::indicated(v, slot.ind) : v;
}

// The host variable a column is fetched into: a text into the whole fetch buffer and always with
// an indicator (a null where none may be is found after the fetch), other columns as written.
template <class R>
esql::HostVar read_var(const Column<R>& c, HostSlot& slot) {
    if (c.type == ECPGt_char) {
        return esql::indicated(esql::raw(ECPGt_char, slot.bytes, sizeof slot.bytes), slot.ind);
    }
    return write_var(c, slot);
}

// The host variables of all columns in column order, bound to `row` for writing a record.
template <class T>
std::array<esql::HostVar, T::column_count> bind_write(const T& t, HostRow<T::column_count>& row) {
    std::array<esql::HostVar, T::column_count> vars{};
    for (std::size_t i = 0; i < T::column_count; ++i) {
        vars[i] = write_var(t.columns[i], row[i]);
    }
    return vars;
}

// The host variables of all columns in column order, bound to `row` for fetching.
template <class T>
std::array<esql::HostVar, T::column_count> bind_read(const T& t, HostRow<T::column_count>& row) {
    std::array<esql::HostVar, T::column_count> vars{};
    for (std::size_t i = 0; i < T::column_count; ++i) {
        vars[i] = read_var(t.columns[i], row[i]);
    }
    return vars;
}

// Field to host variable, with the indicator of a nullable column. A text that fills its whole
// field is written in full and terminated in the slot's spare byte.
template <class R>
void to_host(const Column<R>& c, const R& rec, HostSlot& slot) {
    const void* field = c.field(rec);
    if (c.type == ECPGt_char) {
        const std::size_t n = strnlen(static_cast<const char*>(field), c.width);
        std::memcpy(slot.bytes, field, n);
        slot.bytes[n] = '\0';
    } else if (c.type == ECPGt_date) {
        date_t d;
        std::memcpy(&d, field, sizeof d);
        // A null date has no calendar value; its indicator carries it.
        const date pg = IsNull(c.null_code, &d) == 1 ? 0 : date_t_to_pg_date(d);
        std::memcpy(slot.bytes, &pg, sizeof pg);
    } else {
        std::memcpy(slot.bytes, field, c.host_size);
    }
    slot.ind = c.nullable == Nullable::Yes ? getIndicator(c.null_code, field) : 0;
}

// Every column of a record into its host variable, in column order.
template <class T>
void record_to_host(const T& t, const typename T::Record& rec, HostRow<T::column_count>& row) {
    clear(row);
    for (std::size_t i = 0; i < T::column_count; ++i) {
        to_host(t.columns[i], rec, row[i]);
    }
}

// A fetch that succeeded, unless a column that may not be null arrived null through the
// indicator every text column is fetched with: that is the runtime's own failure for a null
// without indicator, and is recorded as such.
template <class T>
esql::Result checked_fetch(const T& t, const HostRow<T::column_count>& row, esql::Result fetched,
                           esql::Where caller) {
    if (fetched.code != 0) {
        return fetched;
    }
    for (std::size_t i = 0; i < T::column_count; ++i) {
        const auto& c = t.columns[i];
        if (c.type == ECPGt_char && c.nullable == Nullable::No && row[i].ind < 0) {
            char message[96];
            std::snprintf(message, sizeof message, "null value without indicator on line %d",
                          static_cast<int>(caller.line()));
            return esql::raise(ECPG_MISSING_INDICATOR, "22002", message);
        }
    }
    return fetched;
}

// Host variable to field; a null column ends as the field's null marker. A text is fitted to its
// field (its padding blanks dropped first when the column says so); one that does not fit is
// cut to the field and terminated, and the result is true.
template <class R>
bool from_host(const Column<R>& c, HostSlot& slot, R& rec) {
    void* field = c.field(rec);
    bool cut = false;
    if (c.type == ECPGt_char) {
        cut = esql::settle_text(slot.bytes, sizeof slot.bytes, slot.ind, c.width, c.trim) ==
              esql::TextFit::TooLong;
        const std::size_t n = strnlen(slot.bytes, c.width - 1);
        auto* text = static_cast<char*>(field);
        std::memcpy(text, slot.bytes, n);
        text[n] = '\0';
    } else if (c.type == ECPGt_date) {
        date pg;
        std::memcpy(&pg, slot.bytes, sizeof pg);
        const date_t d = pg_date_to_date_t(pg);
        std::memcpy(field, &d, sizeof d);
    } else {
        std::memcpy(field, slot.bytes, c.width);
    }
    if (c.nullable == Nullable::Yes) {
        setNullIfIndicated(slot.ind, c.null_code, field);
    }
    return cut;
}

}  // namespace dbaccess::detail
