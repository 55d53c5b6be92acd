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
#include <type_traits>
#include <utility>

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

// How a column travels between the database and its field.
enum class HostKind { Text, Short, Int, Float, Double, Timestamp, Date };

enum class Nullable : bool { No = false, Yes = true };

// One column of a table and the record field that holds it.
template <class R>
struct Column {
    const char* name;
    void* (*field)(const R&);  // the field's address within a record
    HostKind kind;
    std::size_t width;  // size of the field in bytes
    int nullCode;       // host-type code of the field's null marker (HostTypeCode)
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

template <class T>
struct KindOf;
template <std::size_t N>
struct KindOf<char[N]> {
    static constexpr HostKind kind = HostKind::Text;
    static constexpr int code = CHAR;
};
template <>
struct KindOf<short> {
    static constexpr HostKind kind = HostKind::Short;
    static constexpr int code = SHORT;
};
template <>
struct KindOf<int> {
    static constexpr HostKind kind = HostKind::Int;
    static constexpr int code = INT;
};
template <>
struct KindOf<float> {
    static constexpr HostKind kind = HostKind::Float;
    static constexpr int code = FLOAT;
};
template <>
struct KindOf<double> {
    static constexpr HostKind kind = HostKind::Double;
    static constexpr int code = DOUBLE;
};
template <>
struct KindOf<timestamp> {
    static constexpr HostKind kind = HostKind::Timestamp;
    static constexpr int code = TIMESTAMP;
};

}  // namespace detail

// A column whose host type follows from its field: char[N] text, short, int, float, double or
// timestamp.
template <auto M>
constexpr Column<detail::RecordOf<M>> column(const char* name, Nullable nullable) {
    using F = detail::FieldOf<M>;
    return {name,      &detail::fieldAddress<M>, detail::KindOf<F>::kind,
            sizeof(F), detail::KindOf<F>::code,  nullable};
}

// A date column held in a date_t field: converted to and from the runtime's date.
template <auto M>
constexpr Column<detail::RecordOf<M>> dateColumn(const char* name, Nullable nullable) {
    static_assert(std::is_same_v<detail::FieldOf<M>, date_t>);
    return {name, &detail::fieldAddress<M>, HostKind::Date, sizeof(date_t), INT, nullable};
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
        if (c.kind == HostKind::Text && c.width > kMaxTextWidth) {
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
        if (c.kind != HostKind::Text && c.kind != HostKind::Timestamp) {
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

// Host storage of one column: room for every kind, and its indicator.
struct HostSlot {
    char text[kMaxTextWidth];
    short s;
    int i;
    float f;
    double d;
    timestamp t;
    date dt;
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
    esql::HostVar v{};
    switch (c.kind) {
        case HostKind::Text:
            v = esql::text(slot.text, c.width);
            break;
        case HostKind::Short:
            v = esql::var(slot.s);
            break;
        case HostKind::Int:
            v = esql::var(slot.i);
            break;
        case HostKind::Float:
            v = esql::var(slot.f);
            break;
        case HostKind::Double:
            v = esql::var(slot.d);
            break;
        case HostKind::Timestamp:
            v = esql::var(esql::ts(slot.t));
            break;
        case HostKind::Date:
            v = esql::var(esql::pgdate(slot.dt));
            break;
    }
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

// Field to host variable, with the indicator of a nullable column.
template <class R>
void toHost(const Column<R>& c, const R& rec, HostSlot& slot) {
    const void* field = c.field(rec);
    switch (c.kind) {
        case HostKind::Text: {
            const std::size_t n = strnlen(static_cast<const char*>(field), c.width);
            std::memcpy(slot.text, field, n);
            slot.text[n] = '\0';
            break;
        }
        case HostKind::Short:
            std::memcpy(&slot.s, field, sizeof slot.s);
            break;
        case HostKind::Int:
            std::memcpy(&slot.i, field, sizeof slot.i);
            break;
        case HostKind::Float:
            std::memcpy(&slot.f, field, sizeof slot.f);
            break;
        case HostKind::Double:
            std::memcpy(&slot.d, field, sizeof slot.d);
            break;
        case HostKind::Timestamp:
            std::memcpy(&slot.t, field, sizeof slot.t);
            break;
        case HostKind::Date: {
            date_t d;
            std::memcpy(&d, field, sizeof d);
            // A null date has no calendar value; its indicator carries it.
            slot.dt = IsNull(INT, &d) == 1 ? 0 : date_t_to_pg_date(d);
            break;
        }
    }
    slot.ind = c.nullable == Nullable::Yes ? getIndicator(c.nullCode, field) : 0;
}

// Host variable to field; a null column ends as the field's null marker.
template <class R>
void fromHost(const Column<R>& c, HostSlot& slot, R& rec) {
    void* field = c.field(rec);
    switch (c.kind) {
        case HostKind::Text:
            // A value longer than the field arrives unterminated: keep the field terminated.
            slot.text[c.width - 1] = '\0';
            std::memcpy(field, slot.text, c.width);
            break;
        case HostKind::Short:
            std::memcpy(field, &slot.s, sizeof slot.s);
            break;
        case HostKind::Int:
            std::memcpy(field, &slot.i, sizeof slot.i);
            break;
        case HostKind::Float:
            std::memcpy(field, &slot.f, sizeof slot.f);
            break;
        case HostKind::Double:
            std::memcpy(field, &slot.d, sizeof slot.d);
            break;
        case HostKind::Timestamp:
            std::memcpy(field, &slot.t, sizeof slot.t);
            break;
        case HostKind::Date: {
            const date_t d = pg_date_to_date_t(slot.dt);
            std::memcpy(field, &d, sizeof d);
            break;
        }
    }
    if (c.nullable == Nullable::Yes) {
        setNullIfIndicated(slot.ind, c.nullCode, field);
    }
}

// Writes the three-line report of a failed step (when the module's reports are on) and copies
// the runtime's outcome into the module's status.
inline void fail(ModuleState& st, const char* verb, const char* table, const char* section) {
    if (st.errorLoggingOn != 0) {
        const sqlca_t& ca = esql::area();
        const int len = ca.sqlerrm.sqlerrml;
        const int bounded = len < 0 ? 0
                                    : (len > static_cast<int>(sizeof ca.sqlerrm.sqlerrmc)
                                           ? static_cast<int>(sizeof ca.sqlerrm.sqlerrmc)
                                           : len);
        std::fprintf(stderr, "%s%s() in %s section --- ERROR\n", verb, table, section);
        std::fprintf(stderr, "SQLCODE = (%ld) sql state = (%s)\n", ca.sqlcode,
                     esql::sqlstate().text);
        std::fprintf(stderr, "Error Message (%.*s)\n", bounded, ca.sqlerrm.sqlerrmc);
        std::fflush(stderr);
    }
    initDbStatus(&st.status);
}

// Joins a statement text and a where clause into `buf`. A result that would not fit is refused:
// nothing is run and the communication area reports a program limit.
inline bool compose(char* buf, std::size_t size, const std::string& base, const char* where) {
    const std::size_t w = where == nullptr ? 0 : std::strlen(where);
    if (base.size() + w + 1 > size) {
        char message[128];
        std::snprintf(message, sizeof message,
                      "statement of %zu bytes does not fit in its %zu-byte buffer",
                      base.size() + w + 1, size);
        esql::raise(ECPG_PGSQL, "54000", message);
        return false;
    }
    std::memcpy(buf, base.data(), base.size());
    if (w > 0) {
        std::memcpy(buf + base.size(), where, w);
    }
    buf[base.size() + w] = '\0';
    return true;
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
    const char* fetch;
    const char* close;
};
inline constexpr SelectCursor kGetCursor{"Get", "declare tcur1  cursor with hold for ?",
                                         "fetch tcur1", "close tcur1"};
inline constexpr SelectCursor kSelectCursor{"Select", "declare tcur2  cursor with hold for ?",
                                            "fetch tcur2", "close tcur2"};

// Every row selected by the where clause, as a list headed by its first record; null when no
// row came or on failure.
template <class T>
typename T::Record* select(const T& t, ModuleState& st, const SelectCursor& cur,
                           const char* where) {
    using R = typename T::Record;
    setDbStatusSqlCommand(&st.status, SQL_SELECT);

    char stmt[kStatementSize];
    if (!detail::compose(stmt, sizeof stmt, texts(t).select, where) ||
        (esql::prepare("tid", stmt), esql::sqlcode() < 0)) {
        detail::fail(st, cur.verb, t.name, "Prepare");
        return nullptr;
    }
    esql::openPreparedCursor(cur.declare, "tid");
    if (esql::sqlcode() < 0) {
        detail::fail(st, cur.verb, t.name, "Open cursor");
        return nullptr;
    }
    esql::CursorGuard guard(cur.close);

    detail::HostRow<T::columnCount> row;
    const auto out = detail::bind(t, row);
    detail::RecordList<R> result;
    int rows = 0;

    detail::clear(row);
    esql::exec(esql::Kind::Normal, cur.fetch, esql::none, out);
    if (esql::sqlcode() < 0) {
        detail::fail(st, cur.verb, t.name, "Initial FETCH");
        return nullptr;
    }
    while (esql::sqlcode() == 0) {
        ++rows;
        R* rec = static_cast<R*>(std::calloc(1, sizeof(R)));
        if (rec == nullptr) {
            break;
        }
        for (std::size_t i = 0; i < T::columnCount; ++i) {
            detail::fromHost(t.columns[i], row[i], *rec);
        }
        result.add(rec);

        detail::clear(row);
        esql::exec(esql::Kind::Normal, cur.fetch, esql::none, out);
        if (esql::sqlcode() < 0) {
            detail::fail(st, cur.verb, t.name, "Nth fetch");
            return nullptr;
        }
    }
    initDbStatus(&st.status);
    setDbStatusRowsAffected(&st.status, rows);
    guard.release();
    esql::exec(esql::Kind::Normal, cur.close, esql::none, esql::none);
    return result.release();
}

// The number of rows the where clause selects; -1 on failure.
template <class T>
int count(const T& t, ModuleState& st, const char* where) {
    setDbStatusSqlCommand(&st.status, SQL_SELECT);
    int n = 0;

    char stmt[kStatementSize];
    if (!detail::compose(stmt, sizeof stmt, texts(t).count, where) ||
        (esql::prepare("tid", stmt), esql::sqlcode() < 0)) {
        detail::fail(st, "SelectCount", t.name, "Prepare");
        return -1;
    }
    esql::openPreparedCursor("declare tcur3  cursor with hold for ?", "tid");
    if (esql::sqlcode() < 0) {
        detail::fail(st, "SelectCount", t.name, "Open cursor");
        return -1;
    }
    esql::CursorGuard guard("close tcur3");
    esql::exec(esql::Kind::Normal, "fetch tcur3", esql::none, esql::vars(n));
    if (esql::sqlcode() < 0) {
        detail::fail(st, "SelectCount", t.name, "Initial FETCH");
        return -1;
    }
    initDbStatus(&st.status);
    setDbStatusRowsAffected(&st.status, n);
    guard.release();
    esql::exec(esql::Kind::Normal, "close tcur3", esql::none, esql::none);
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
    detail::clear(row);
    for (std::size_t i = 0; i < T::columnCount; ++i) {
        detail::toHost(t.columns[i], *rec, row[i]);
    }
    const auto in = detail::bind(t, row);
    esql::exec(esql::Kind::Normal, texts(t).insert.c_str(), in, esql::none,
               esql::Options{.forceIndicator = true, .questionMarks = true});
    if (esql::sqlcode() < 0) {
        detail::fail(st, verb, t.name, "Insert");
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
    detail::clear(row);
    for (std::size_t i = 0; i < T::columnCount; ++i) {
        detail::toHost(t.columns[i], *rec, row[i]);
    }
    const auto in = detail::bind(t, row);

    char stmt[kStatementSize];
    if (!detail::compose(stmt, sizeof stmt, texts(t).update, where) ||
        (esql::prepare("uid", stmt), esql::sqlcode() < 0)) {
        detail::fail(st, "Update", t.name, "Prepare");
        return st.status.sqlCode;
    }
    esql::exec(esql::Kind::ExecutePrepared, "uid", in, esql::none,
               esql::Options{.forceIndicator = true, .questionMarks = true});
    if (esql::sqlcode() < 0) {
        detail::fail(st, "Update", t.name, "Execute");
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
    if (!detail::compose(stmt, sizeof stmt, texts(t).remove, where) ||
        (esql::executeImmediate(stmt), esql::sqlcode() < 0)) {
        detail::fail(st, "Delete", t.name, "Execute Immediate");
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
        if (c.kind == HostKind::Timestamp) {
            char text[32] = "";
            timestamp value;
            std::memcpy(&value, field, sizeof value);
            dtimet_to_ansi(value, text);
            text[sizeof text - 1] = '\0';
            detail::append(out, size, used, text, std::strlen(text));
        } else {
            const char* s = static_cast<const char*>(field);
            const std::string quoted = esql::quoteDoubled(std::string_view(s, strnlen(s, c.width)));
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
    if (esql::sqlcode() < 0 || esql::sqlcode() == ECPG_NOT_FOUND) {
        insert(t, st, "Insert", rec);
        setDbStatusSqlCommand(&st.status, SQL_INSERT);
    }
    initDbStatus(&st.status);
    return static_cast<int>(esql::sqlcode());
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
