#pragma once

// The one implementation behind the table modules (Admin, DPARadar, Location, PerfLog,
// VTECevent). A table is described once, as data: its name, its columns (name, field, host type,
// width, null marker, nullable) and its key. From that description this header derives the
// statement texts, the host-variable bindings, the copies between records and host variables
// with their null handling, and the select, count, insert, update and delete operations. The
// named operations of each module are thin entry points over these templates.

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "DbRecords.h"
#include "DbmsUtils.h"
#include "Esql.h"
#include "List.h"
#include "time_convert.h"

namespace dbaccess {

// Room for a statement text, where clause included.
inline constexpr std::size_t kStatementSize = 10000;
// Room for a key condition built for an update or delete by record.
inline constexpr std::size_t kKeyConditionSize = 8192;
// Result of a write given no record.
inline constexpr int kMissingRecord = -4444;
// The widest character field of any record.
inline constexpr std::size_t kMaxTextWidth = 256;

enum class Nullable : bool { No = false, Yes = true };

// One column of a table and the record field that holds it.
template <class R>
struct Column {
    const char* name;
    void* (*field)(const R&);  // the field's address within a record
    ECPGttype type;            // the runtime's type of the host variable the column travels in
    std::size_t width;         // size of the field in bytes
    std::size_t hostSize;      // size of the host variable in bytes
    int nullCode;              // type code of the field's null marker (IsNull, SetNull)
    Nullable nullable;
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
void* fieldAddress(const RecordOf<M>& r) {
    return const_cast<void*>(static_cast<const void*>(&(r.*M)));
}

// The runtime's type code of a field, from the wrapper's one map; a timestamp field is `long`
// to the compiler and is named as such.
template <class F>
constexpr ECPGttype hostCode() {
    if constexpr (std::is_same_v<F, timestamp>) {
        return esql::HostType<esql::TimestampRef>::code;
    } else {
        return esql::HostType<F>::code;
    }
}

}  // namespace detail

// A column whose host type follows from its field: char[N] text, short, int, float, double or
// timestamp.
template <auto M>
constexpr Column<detail::RecordOf<M>> column(const char* name, Nullable nullable) {
    using F = detail::FieldOf<M>;
    constexpr ECPGttype type = detail::hostCode<F>();
    return {name, &detail::fieldAddress<M>, type, sizeof(F), sizeof(F), type, nullable};
}

// A date column held in a date_t field: converted to and from the runtime's date.
template <auto M>
constexpr Column<detail::RecordOf<M>> dateColumn(const char* name, Nullable nullable) {
    static_assert(std::is_same_v<detail::FieldOf<M>, date_t>);
    return {name,
            &detail::fieldAddress<M>,
            esql::HostType<esql::DateRef>::code,
            sizeof(date_t),
            sizeof(date),
            esql::HostType<date_t>::code,
            nullable};
}

// A table: its name as the statements spell it, its columns in order and its key columns.
template <class R, std::size_t N, std::size_t K>
struct Table {
    using Record = R;
    static constexpr std::size_t columnCount = N;
    const char* name;        // in the select, count, update and delete statements and in reports
    const char* insertName;  // in the insert statement
    std::array<Column<R>, N> columns;
    std::array<std::size_t, K> key;  // indexes into columns, in key-condition order
};

// Checks a description at compile time: every column named, texts fitting the host buffer,
// key columns not nullable and of a kind the key condition can write.
template <class T>
constexpr bool wellFormed(const T& t) {
    for (const auto& c : t.columns) {
        if (c.name == nullptr) {
            return false;  // a column left out of the initialiser
        }
        if (c.type == ECPGt_char && c.width > kMaxTextWidth) {
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

// The statement texts of one table. The where clause is appended to all but the insert.
struct StatementTexts {
    std::string select;  // "SELECT * FROM T "
    std::string count;   // "SELECT COUNT(*) FROM T "
    std::string remove;  // "DELETE FROM T "
    std::string insert;  // "insert into T ( a  , b  ) values (  ? ,  ? )"
    std::string update;  // " UPDATE T SET a = ? , b = ? ,     c = ? " (pieces of five columns)
};

template <class T>
StatementTexts buildTexts(const T& t) {
    StatementTexts s;
    s.select = std::string("SELECT * FROM ") + t.name + " ";
    s.count = std::string("SELECT COUNT(*) FROM ") + t.name + " ";
    s.remove = std::string("DELETE FROM ") + t.name + " ";

    std::string names;
    std::string marks;
    std::string sets;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        const bool last = i + 1 == t.columns.size();
        names += std::string(i == 0 ? "" : ", ") + t.columns[i].name + "  ";
        marks += i == 0 ? "  ?" : " ,  ?";
        sets += std::string(t.columns[i].name) + " = ?";
        if (last) {
            sets += " ";
        } else if ((i + 1) % 5 == 0) {
            sets += " ,     ";
        } else {
            sets += " , ";
        }
    }
    s.insert =
        std::string("insert into ") + t.insertName + " ( " + names + ") values (" + marks + " )";
    s.update = std::string(" UPDATE ") + t.name + " SET " + sets;
    return s;
}

// The texts of a table, built on first use.
template <class T>
const StatementTexts& texts(const T& t) {
    static const StatementTexts s = buildTexts(t);
    return s;
}

// The status record and error-report switch of one table module.
struct ModuleState {
    DbStatus status{};
    int errorLoggingOn = 1;
};

namespace detail {

// Host storage of one column: room for the widest field with its terminator, and its indicator.
struct HostSlot {
    alignas(8) char bytes[kMaxTextWidth + 1];
    int ind;
};

template <std::size_t N>
using HostRow = std::array<HostSlot, N>;

template <std::size_t N>
void clear(HostRow<N>& row) {
    std::memset(static_cast<void*>(row.data()), 0, sizeof(HostSlot) * N);
}

template <class R>
esql::HostVar hostVar(const Column<R>& c, HostSlot& slot) {
    const esql::HostVar v = esql::raw(c.type, slot.bytes, c.hostSize);
    return c.nullable == Nullable::Yes ? esql::indicated(v, slot.ind) : v;
}

// The host variables of all columns in column order, bound to `row`.
template <class T>
std::array<esql::HostVar, T::columnCount> bind(const T& t, HostRow<T::columnCount>& row) {
    std::array<esql::HostVar, T::columnCount> vars{};
    for (std::size_t i = 0; i < T::columnCount; ++i) {
        vars[i] = hostVar(t.columns[i], row[i]);
    }
    return vars;
}

// Field to host variable, with the indicator of a nullable column. A text that fills its whole
// field is written in full and terminated in the slot's spare byte.
template <class R>
void toHost(const Column<R>& c, const R& rec, HostSlot& slot) {
    const void* field = c.field(rec);
    if (c.type == ECPGt_char) {
        const std::size_t n = strnlen(static_cast<const char*>(field), c.width);
        std::memcpy(slot.bytes, field, n);
        slot.bytes[n] = '\0';
    } else if (c.type == ECPGt_date) {
        date_t d;
        std::memcpy(&d, field, sizeof d);
        // A null date has no calendar value; its indicator carries it.
        const date pg = IsNull(c.nullCode, &d) == 1 ? 0 : date_t_to_pg_date(d);
        std::memcpy(slot.bytes, &pg, sizeof pg);
    } else {
        std::memcpy(slot.bytes, field, c.hostSize);
    }
    slot.ind = c.nullable == Nullable::Yes ? getIndicator(c.nullCode, field) : 0;
}

// Every column of a record into its host variable, in column order.
template <class T>
void recordToHost(const T& t, const typename T::Record& rec, HostRow<T::columnCount>& row) {
    clear(row);
    for (std::size_t i = 0; i < T::columnCount; ++i) {
        toHost(t.columns[i], rec, row[i]);
    }
}

// True when the text of a fetched column was longer than its field: the runtime says so in the
// indicator, and a column without one arrives unterminated.
template <class R>
bool textCut(const Column<R>& c, const HostSlot& slot) {
    if (c.type != ECPGt_char) {
        return false;
    }
    if (c.nullable == Nullable::Yes) {
        return slot.ind > 0;
    }
    return std::memchr(slot.bytes, '\0', c.width) == nullptr;
}

// Host variable to field; a null column ends as the field's null marker.
template <class R>
void fromHost(const Column<R>& c, HostSlot& slot, R& rec) {
    void* field = c.field(rec);
    if (c.type == ECPGt_char) {
        // A value longer than the field arrives unterminated: keep the field terminated.
        slot.bytes[c.width - 1] = '\0';
        std::memcpy(field, slot.bytes, c.width);
    } else if (c.type == ECPGt_date) {
        date pg;
        std::memcpy(&pg, slot.bytes, sizeof pg);
        const date_t d = pg_date_to_date_t(pg);
        std::memcpy(field, &d, sizeof d);
    } else {
        std::memcpy(field, slot.bytes, c.width);
    }
    if (c.nullable == Nullable::Yes) {
        setNullIfIndicated(slot.ind, c.nullCode, field);
    }
}

// Writes the three-line report of a failed step (when the module's reports are on) and copies
// the runtime's outcome into the module's status.
inline void fail(ModuleState& st, const esql::Result& r, const char* verb, const char* table,
                 const char* section) {
    if (st.errorLoggingOn != 0) {
        std::fprintf(stderr, "%s%s() in %s section --- ERROR\n", verb, table, section);
        std::fprintf(stderr, "SQLCODE = (%ld) sql state = (%s)\n", r.code, r.state);
        std::fprintf(stderr, "Error Message (%s)\n", r.message.c_str());
        std::fflush(stderr);
    }
    initDbStatus(&st.status);
}

// Joins a statement text and a where clause into `buf`. A result that would not fit is refused:
// nothing is run and the communication area reports a program limit.
inline esql::Result compose(char* buf, std::size_t size, const std::string& base,
                            const char* where) {
    const std::size_t w = where == nullptr ? 0 : std::strlen(where);
    if (base.size() + w + 1 > size) {
        char message[128];
        std::snprintf(message, sizeof message,
                      "statement of %zu bytes does not fit in its %zu-byte buffer",
                      base.size() + w + 1, size);
        return esql::raise(ECPG_PGSQL, "54000", message);
    }
    std::memcpy(buf, base.data(), base.size());
    if (w > 0) {
        std::memcpy(buf + base.size(), where, w);
    }
    buf[base.size() + w] = '\0';
    return {};
}

// Composes a statement and prepares it under `name`; a statement too long fails here.
inline esql::Result composeAndPrepare(const char* name, char* buf, std::size_t size,
                                      const std::string& base, const char* where) {
    esql::Result r = compose(buf, size, base, where);
    return r.failed() ? r : esql::prepare(name, buf);
}

// Releases a list of records from its first record along the next links.
template <class R>
void freeRecords(R* first) {
    Node* n = first == nullptr ? nullptr : &first->node;
    while (n != nullptr) {
        Node* next = ListNext(n);
        std::free(n);
        n = next;
    }
}

// A list of records under construction, released unless handed over.
template <class R>
class RecordList {
   public:
    RecordList() = default;
    ~RecordList() { freeRecords(head_); }
    RecordList(const RecordList&) = delete;
    RecordList& operator=(const RecordList&) = delete;

    void add(R* rec) {
        if (head_ == nullptr) {
            head_ = rec;
            ListInit(&head_->list);
        }
        ListAdd(&head_->list, &rec->node);
    }
    R* release() { return std::exchange(head_, nullptr); }

   private:
    R* head_ = nullptr;
};

// Appends text to a bounded buffer; false when it does not fit (the buffer stays terminated).
inline bool append(char* buf, std::size_t size, std::size_t& used, const char* text,
                   std::size_t n) {
    if (used + n + 1 > size) {
        return false;
    }
    std::memcpy(buf + used, text, n);
    used += n;
    buf[used] = '\0';
    return true;
}

}  // namespace detail

// The cursors of the two selecting operations.
struct SelectCursor {
    const char* verb;  // first word of the report lines ("Get", "Select")
    const char* declare;
};
inline constexpr SelectCursor kGetCursor{"Get", "declare tcur1  cursor with hold for ?"};
inline constexpr SelectCursor kSelectCursor{"Select", "declare tcur2  cursor with hold for ?"};

// A text column whose cut values a select notes: one flag per record, in list order, true when
// the column's value was longer than its field and arrived cut.
struct CutWatch {
    std::size_t column;
    std::vector<bool>* cut;
};

// The index of the column named `name`; the column count when there is none.
template <class T>
constexpr std::size_t columnIndex(const T& t, std::string_view name) {
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        if (name == t.columns[i].name) {
            return i;
        }
    }
    return t.columns.size();
}

// Every row selected by the where clause, as a list headed by its first record; null when no
// row came or on failure.
template <class T>
typename T::Record* select(const T& t, ModuleState& st, const SelectCursor& cur, const char* where,
                           CutWatch watch = {0, nullptr}) {
    std::vector<bool>* cut = watch.column < T::columnCount ? watch.cut : nullptr;
    using R = typename T::Record;
    setDbStatusSqlCommand(&st.status, SQL_SELECT);
    if (cut != nullptr) {
        cut->clear();
    }

    char stmt[kStatementSize];
    esql::Result r = detail::composeAndPrepare("tid", stmt, sizeof stmt, texts(t).select, where);
    if (r.failed()) {
        detail::fail(st, r, cur.verb, t.name, "Prepare");
        return nullptr;
    }
    esql::Cursor cursor(cur.declare);
    r = cursor.open("tid");
    if (r.failed()) {
        detail::fail(st, r, cur.verb, t.name, "Open cursor");
        return nullptr;
    }

    detail::HostRow<T::columnCount> row;
    const auto out = detail::bind(t, row);
    detail::RecordList<R> result;
    int rows = 0;

    detail::clear(row);
    r = cursor.fetch(out);
    if (r.failed()) {
        detail::fail(st, r, cur.verb, t.name, "Initial FETCH");
        return nullptr;
    }
    while (r.code == 0) {
        ++rows;
        R* rec = static_cast<R*>(std::calloc(1, sizeof(R)));
        if (rec == nullptr) {
            break;
        }
        if (cut != nullptr) {
            cut->push_back(detail::textCut(t.columns[watch.column], row[watch.column]));
        }
        for (std::size_t i = 0; i < T::columnCount; ++i) {
            detail::fromHost(t.columns[i], row[i], *rec);
        }
        result.add(rec);

        detail::clear(row);
        r = cursor.fetch(out);
        if (r.failed()) {
            detail::fail(st, r, cur.verb, t.name, "Nth fetch");
            if (cut != nullptr) {
                cut->clear();
            }
            return nullptr;
        }
    }
    initDbStatus(&st.status);
    setDbStatusRowsAffected(&st.status, rows);
    cursor.close();
    return result.release();
}

// The number of rows the where clause selects; -1 on failure.
template <class T>
int count(const T& t, ModuleState& st, const char* where) {
    setDbStatusSqlCommand(&st.status, SQL_SELECT);
    int n = 0;

    char stmt[kStatementSize];
    esql::Result r = detail::composeAndPrepare("tid", stmt, sizeof stmt, texts(t).count, where);
    if (r.failed()) {
        detail::fail(st, r, "SelectCount", t.name, "Prepare");
        return -1;
    }
    esql::Cursor cursor("declare tcur3  cursor with hold for ?");
    r = cursor.open("tid");
    if (r.failed()) {
        detail::fail(st, r, "SelectCount", t.name, "Open cursor");
        return -1;
    }
    r = cursor.fetch(esql::vars(n));
    if (r.failed()) {
        detail::fail(st, r, "SelectCount", t.name, "Initial FETCH");
        return -1;
    }
    initDbStatus(&st.status);
    setDbStatusRowsAffected(&st.status, n);
    cursor.close();
    return n;
}

// Inserts one record: 0, kMissingRecord for no record, or the negative SQL code. `verb` names
// the operation in reports ("Put", "Insert").
template <class T>
int insert(const T& t, ModuleState& st, const char* verb, const typename T::Record* rec) {
    setDbStatusSqlCommand(&st.status, SQL_INSERT);
    if (rec == nullptr) {
        return kMissingRecord;
    }

    detail::HostRow<T::columnCount> row;
    detail::recordToHost(t, *rec, row);
    const esql::Result r = esql::exec(texts(t).insert.c_str(), detail::bind(t, row));
    if (r.failed()) {
        detail::fail(st, r, verb, t.name, "Insert");
        return st.status.sqlCode;
    }
    initDbStatus(&st.status);
    return 0;
}

// Assigns every column of the rows the where clause selects from the record: 0 (also when no
// row matched, with SQL code 100 left in the status), or the negative SQL code.
template <class T>
int update(const T& t, ModuleState& st, const typename T::Record* rec, const char* where) {
    setDbStatusSqlCommand(&st.status, SQL_UPDATE);
    if (rec == nullptr) {
        return kMissingRecord;
    }

    detail::HostRow<T::columnCount> row;
    detail::recordToHost(t, *rec, row);

    char stmt[kStatementSize];
    esql::Result r = detail::composeAndPrepare("uid", stmt, sizeof stmt, texts(t).update, where);
    if (r.failed()) {
        detail::fail(st, r, "Update", t.name, "Prepare");
        return st.status.sqlCode;
    }
    r = esql::execute("uid", detail::bind(t, row));
    if (r.failed()) {
        detail::fail(st, r, "Update", t.name, "Execute");
        return st.status.sqlCode;
    }
    initDbStatus(&st.status);
    return 0;
}

// Deletes the rows the where clause selects (every row without one): 0, or the negative SQL
// code. The command code of the status is left as it was.
template <class T>
int remove(const T& t, ModuleState& st, const char* where) {
    char stmt[kStatementSize];
    esql::Result r = detail::compose(stmt, sizeof stmt, texts(t).remove, where);
    if (!r.failed()) {
        r = esql::execute_immediate(stmt);
    }
    if (r.failed()) {
        detail::fail(st, r, "Delete", t.name, "Execute Immediate");
        return st.status.sqlCode;
    }
    initDbStatus(&st.status);
    return 0;
}

// Writes the key condition of a record, such as "WHERE radid = 'KABC'  AND obstime =
// '2024-01-02 03:04:05' ", into `out` (at least kKeyConditionSize bytes). A single quote in a
// text key is doubled, so the condition matches the record's own row and the value cannot end
// the literal.
template <class T>
void keyCondition(const T& t, const typename T::Record& rec, char* out,
                  std::size_t size = kKeyConditionSize) {
    std::size_t used = 0;
    out[0] = '\0';
    bool first = true;
    for (std::size_t k : t.key) {
        const auto& c = t.columns[k];
        const char* lead = first ? "WHERE " : " AND ";
        first = false;
        detail::append(out, size, used, lead, std::strlen(lead));
        detail::append(out, size, used, c.name, std::strlen(c.name));
        detail::append(out, size, used, " = '", 4);
        const void* field = c.field(rec);
        if (c.type == ECPGt_timestamp) {
            // The whole text, a fraction of a second included, so the condition matches the
            // record's own row.
            timestamp value;
            std::memcpy(&value, field, sizeof value);
            const std::string text = dtimet_to_text(value);
            detail::append(out, size, used, text.data(), text.size());
        } else {
            const char* s = static_cast<const char*>(field);
            const std::string quoted =
                esql::quote_doubled(std::string_view(s, strnlen(s, c.width)));
            detail::append(out, size, used, quoted.data(), quoted.size());
        }
        detail::append(out, size, used, "' ", 2);
    }
}

// Update of `newRec` over the row keyed like `oldRec`.
template <class T>
int updateByRecord(const T& t, ModuleState& st, const typename T::Record* newRec,
                   const typename T::Record* oldRec) {
    if (oldRec == nullptr) {
        setDbStatusSqlCommand(&st.status, SQL_UPDATE);
        return kMissingRecord;
    }
    char where[kKeyConditionSize];
    keyCondition(t, *oldRec, where);
    return update(t, st, newRec, where);
}

// Delete of the row keyed like the record. No record deletes nothing.
template <class T>
int removeByRecord(const T& t, ModuleState& st, const typename T::Record* rec) {
    if (rec == nullptr) {
        return kMissingRecord;
    }
    char where[kKeyConditionSize];
    keyCondition(t, *rec, where);
    return remove(t, st, where);
}

// 1 when a row with the record's key exists, else 0 (also when the count fails).
template <class T>
int exists(const T& t, ModuleState& st, const typename T::Record* rec) {
    if (rec == nullptr) {
        return 0;
    }
    char where[kStatementSize];
    keyCondition(t, *rec, where, sizeof where);
    return count(t, st, where) > 0 ? 1 : 0;
}

// Updates the row with the record's key, or inserts the record when none matched or the update
// failed; the runtime's SQL code after the last statement.
template <class T>
int insertOrUpdate(const T& t, ModuleState& st, const typename T::Record* rec) {
    if (rec == nullptr) {
        return kMissingRecord;
    }
    updateByRecord(t, st, rec, rec);
    setDbStatusSqlCommand(&st.status, SQL_UPDATE);
    // The status holds the outcome of the update: no row matched (100), or it failed.
    if (st.status.sqlCode < 0 || st.status.sqlCode == ECPG_NOT_FOUND) {
        insert(t, st, "Insert", rec);
        setDbStatusSqlCommand(&st.status, SQL_INSERT);
    }
    initDbStatus(&st.status);
    return st.status.sqlCode;
}

// Inserts the record when no row has its key. `*inserted` says whether the insert was tried;
// the result is the status's SQL code (0 when all went well).
template <class T>
int insertIfUnique(const T& t, ModuleState& st, const typename T::Record* rec, bool* inserted) {
    bool flag = false;
    if (rec == nullptr) {
        if (inserted != nullptr) {
            *inserted = false;
        }
        return kMissingRecord;
    }
    if (exists(t, st, rec) != 0) {
        setDbStatusSqlCommand(&st.status, SQL_SELECT);
    } else if (st.status.sqlCode != 0) {
        const int code = st.status.sqlCode;
        if (inserted != nullptr) {
            *inserted = false;
        }
        initDbStatus(&st.status);
        return code;
    } else {
        insert(t, st, "Insert", rec);
        setDbStatusSqlCommand(&st.status, SQL_INSERT);
        flag = true;
    }
    if (inserted != nullptr) {
        *inserted = flag;
    }
    const int code = st.status.sqlCode;
    initDbStatus(&st.status);
    return code;
}

}  // namespace dbaccess
