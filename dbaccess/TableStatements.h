#pragma once

// The one implementation behind the table modules (Admin, DPARadar, Location, PerfLog,
// VTECevent): from a table's description (TableDescription.h) it derives the statement texts,
// the key conditions, and the select, count, insert, update and delete operations. The named
// operations of each module are thin entry points over these templates; they pass their own
// source line, which the runtime's messages then name.
//
// Every statement's outcome comes back from the wrapper as an esql::Result; the module's status
// is built from the outcome of its last statement, never from what the runtime's communication
// area happens to hold.

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DbRecords.h"
#include "DbmsUtils.h"
#include "Esql.h"
#include "HostRow.h"
#include "List.h"
#include "TableDescription.h"
#include "time_convert.h"

namespace dbaccess {

// Room for a statement text, where clause included.
inline constexpr std::size_t kStatementSize = 10000;
// Room for a key condition built for an update or delete by record.
inline constexpr std::size_t kKeyConditionSize = 8192;
// Result of a write given no record.
inline constexpr int kMissingRecord = -4444;

// The statement texts of one table. The where clause is appended to all but the insert.
struct StatementTexts {
    std::string select;  // "SELECT * FROM T "
    std::string count;   // "SELECT COUNT(*) FROM T "
    std::string remove;  // "DELETE FROM T "
    std::string insert;  // "insert into T ( a  , b  ) values (  ? ,  ? )"
    std::string update;  // " UPDATE T SET a = ? , b = ? ,     c = ? " (pieces of five columns)
};

template <class T>
StatementTexts build_texts(const T& t) {
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
        std::string("insert into ") + t.insert_name + " ( " + names + ") values (" + marks + " )";
    s.update = std::string(" UPDATE ") + t.name + " SET " + sets;
    return s;
}

// The texts of one description, built on its first use and kept under its address, so that two
// descriptions of one record type run their own statements. An entry found under the address
// but made from other names (a description that has gone and another in its place) is built
// again.
template <class T>
const StatementTexts& texts(const T& t) {
    struct Kept {
        const char* name;
        const char* insert_name;
        StatementTexts texts;
    };
    static std::unordered_map<const T*, Kept> kept;
    auto [at, added] = kept.try_emplace(&t);
    Kept& k = at->second;
    if (added || k.name != t.name || k.insert_name != t.insert_name) {
        k = Kept{t.name, t.insert_name, build_texts(t)};
    }
    return k.texts;
}

// The status record and error-report switch of one table module, and the outcome of its last
// statement, which the status is built from.
struct ModuleState {
    DbStatus status{};
    int error_logging_on = 1;
    esql::Result last;
};

namespace detail {

// Keeps a statement's outcome as the module's last one.
inline const esql::Result& ran(ModuleState& st, esql::Result r) {
    st.last = std::move(r);
    return st.last;
}

// Copies the outcome of the module's last statement into its status.
inline void settle(ModuleState& st) {
    init_db_status(&st.status, st.last);
}

// Writes the three-line report of the module's last statement, which failed (when the module's
// reports are on), and copies the failure into the module's status.
inline void fail(ModuleState& st, const char* verb, const char* table, const char* section) {
    const esql::Result& r = st.last;
    if (st.error_logging_on != 0) {
        std::fprintf(stderr, "%s%s() in %s section --- ERROR\n", verb, table, section);
        std::fprintf(stderr, "SQLCODE = (%ld) sql state = (%s)\n", r.code, r.state);
        std::fprintf(stderr, "Error Message (%s)\n", r.message.c_str());
        std::fflush(stderr);
    }
    settle(st);
}

// Joins a statement text and a where clause into `buf`. A result that would not fit is refused:
// nothing is run and the failure reports a program limit.
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
inline esql::Result compose_and_prepare(const char* name, char* buf, std::size_t size,
                                        const std::string& base, const char* where,
                                        esql::Where caller) {
    esql::Result r = compose(buf, size, base, where);
    return r.failed() ? r : esql::prepare_on_client(name, buf, caller);
}

// Releases a list of records from its first record along the next links.
template <class R>
void free_records(R* first) {
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
    ~RecordList() { free_records(head_); }
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

// A text column whose over-long values a select notes: one flag per record, in list order, true
// when the column's value did not fit its field (after its padding blanks were dropped, for a
// column that drops them) and was cut.
struct CutWatch {
    std::size_t column;
    std::vector<bool>* cut;
};

// Every row selected by the where clause, as a list headed by its first record; null when no
// row came or on failure. With `max_rows` above 0 the cursor is fetched at most that many times
// and then closed: the same statements, only fewer fetches.
template <class T>
typename T::Record* select(const T& t, ModuleState& st, const SelectCursor& cur, const char* where,
                           esql::Where caller, CutWatch watch = {0, nullptr},
                           std::size_t max_rows = 0) {
    std::vector<bool>* cut = watch.column < T::column_count ? watch.cut : nullptr;
    using R = typename T::Record;
    setDbStatusSqlCommand(&st.status, SQL_SELECT);
    if (cut != nullptr) {
        cut->clear();
    }

    char stmt[kStatementSize];
    if (detail::ran(st, detail::compose_and_prepare("tid", stmt, sizeof stmt, texts(t).select,
                                                    where, caller))
            .failed()) {
        detail::fail(st, cur.verb, t.name, "Prepare");
        return nullptr;
    }
    esql::Cursor cursor(cur.declare);
    if (detail::ran(st, cursor.open("tid", caller)).failed()) {
        detail::fail(st, cur.verb, t.name, "Open cursor");
        return nullptr;
    }

    detail::HostRow<T::column_count> row;
    const auto out = detail::bind_read(t, row);
    const auto fetch = [&]() -> const esql::Result& {
        detail::clear(row);
        return detail::ran(st,
                           detail::checked_fetch(t, row, cursor.fetch(out, {}, caller), caller));
    };
    detail::RecordList<R> result;
    int rows = 0;

    if (fetch().failed()) {
        detail::fail(st, cur.verb, t.name, "Initial FETCH");
        return nullptr;
    }
    while (st.last.code == 0) {
        ++rows;
        R* rec = static_cast<R*>(std::calloc(1, sizeof(R)));
        if (rec == nullptr) {
            break;
        }
        bool watched_cut = false;
        for (std::size_t i = 0; i < T::column_count; ++i) {
            const bool column_cut = detail::from_host(t.columns[i], row[i], *rec);
            watched_cut = watched_cut || (column_cut && i == watch.column);
        }
        if (cut != nullptr) {
            cut->push_back(watched_cut);
        }
        result.add(rec);
        if (max_rows != 0 && static_cast<std::size_t>(rows) >= max_rows) {
            break;
        }

        if (fetch().failed()) {
            detail::fail(st, cur.verb, t.name, "Nth fetch");
            if (cut != nullptr) {
                cut->clear();
            }
            return nullptr;
        }
    }
    detail::settle(st);
    setDbStatusRowsAffected(&st.status, rows);
    detail::ran(st, cursor.close(caller));
    return result.release();
}

// The number of rows the where clause selects; -1 on failure.
template <class T>
int count(const T& t, ModuleState& st, const char* where, esql::Where caller) {
    setDbStatusSqlCommand(&st.status, SQL_SELECT);
    int n = 0;

    char stmt[kStatementSize];
    if (detail::ran(st, detail::compose_and_prepare("tid", stmt, sizeof stmt, texts(t).count, where,
                                                    caller))
            .failed()) {
        detail::fail(st, "SelectCount", t.name, "Prepare");
        return -1;
    }
    esql::Cursor cursor("declare tcur3  cursor with hold for ?");
    if (detail::ran(st, cursor.open("tid", caller)).failed()) {
        detail::fail(st, "SelectCount", t.name, "Open cursor");
        return -1;
    }
    if (detail::ran(st, cursor.fetch(esql::vars(n), {}, caller)).failed()) {
        detail::fail(st, "SelectCount", t.name, "Initial FETCH");
        return -1;
    }
    detail::settle(st);
    setDbStatusRowsAffected(&st.status, n);
    detail::ran(st, cursor.close(caller));
    return n;
}

// Inserts one record: 0, kMissingRecord for no record, or the negative SQL code. `verb` names
// the operation in reports ("Put", "Insert").
template <class T>
int insert(const T& t, ModuleState& st, const char* verb, const typename T::Record* rec,
           esql::Where caller) {
    setDbStatusSqlCommand(&st.status, SQL_INSERT);
    if (rec == nullptr) {
        return kMissingRecord;
    }

    detail::HostRow<T::column_count> row;
    detail::record_to_host(t, *rec, row);
    if (detail::ran(st, esql::exec(texts(t).insert.c_str(), detail::bind_write(t, row), esql::none,
                                   {}, caller))
            .failed()) {
        detail::fail(st, verb, t.name, "Insert");
        return st.status.sqlCode;
    }
    detail::settle(st);
    return 0;
}

// Assigns every column of the rows the where clause selects from the record: 0 (also when no
// row matched, with SQL code 100 left in the status), or the negative SQL code.
template <class T>
int update(const T& t, ModuleState& st, const typename T::Record* rec, const char* where,
           esql::Where caller) {
    setDbStatusSqlCommand(&st.status, SQL_UPDATE);
    if (rec == nullptr) {
        return kMissingRecord;
    }

    detail::HostRow<T::column_count> row;
    detail::record_to_host(t, *rec, row);

    char stmt[kStatementSize];
    if (detail::ran(st, detail::compose_and_prepare("uid", stmt, sizeof stmt, texts(t).update,
                                                    where, caller))
            .failed()) {
        detail::fail(st, "Update", t.name, "Prepare");
        return st.status.sqlCode;
    }
    if (detail::ran(st, esql::execute("uid", detail::bind_write(t, row), esql::none, {}, caller))
            .failed()) {
        detail::fail(st, "Update", t.name, "Execute");
        return st.status.sqlCode;
    }
    detail::settle(st);
    return 0;
}

// Deletes the rows the where clause selects (every row without one): 0, or the negative SQL
// code. The command code of the status is left as it was.
template <class T>
int remove(const T& t, ModuleState& st, const char* where, esql::Where caller) {
    char stmt[kStatementSize];
    esql::Result r = detail::compose(stmt, sizeof stmt, texts(t).remove, where);
    if (!r.failed()) {
        r = esql::execute_immediate(stmt, caller);
    }
    if (detail::ran(st, std::move(r)).failed()) {
        detail::fail(st, "Delete", t.name, "Execute Immediate");
        return st.status.sqlCode;
    }
    detail::settle(st);
    return 0;
}

// Writes the key condition of a record, such as "WHERE radid = 'KABC'  AND obstime =
// '2024-01-02 03:04:05' ", into `out` (at least kKeyConditionSize bytes). A single quote in a
// text key is doubled, so the condition matches the record's own row and the value cannot end
// the literal.
template <class T>
void key_condition(const T& t, const typename T::Record& rec, char* out,
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
            const std::string quoted = esql::escaped(std::string_view(s, strnlen(s, c.width)));
            detail::append(out, size, used, quoted.data(), quoted.size());
        }
        detail::append(out, size, used, "' ", 2);
    }
}

// Update of `new_rec` over the row keyed like `old_rec`.
template <class T>
int update_by_record(const T& t, ModuleState& st, const typename T::Record* new_rec,
                     const typename T::Record* old_rec, esql::Where caller) {
    if (old_rec == nullptr) {
        setDbStatusSqlCommand(&st.status, SQL_UPDATE);
        return kMissingRecord;
    }
    char where[kKeyConditionSize];
    key_condition(t, *old_rec, where);
    return update(t, st, new_rec, where, caller);
}

// Delete of the row keyed like the record. No record deletes nothing.
template <class T>
int remove_by_record(const T& t, ModuleState& st, const typename T::Record* rec,
                     esql::Where caller) {
    if (rec == nullptr) {
        return kMissingRecord;
    }
    char where[kKeyConditionSize];
    key_condition(t, *rec, where);
    return remove(t, st, where, caller);
}

// 1 when a row with the record's key exists, else 0 (also when the count fails).
template <class T>
int exists(const T& t, ModuleState& st, const typename T::Record* rec, esql::Where caller) {
    if (rec == nullptr) {
        return 0;
    }
    char where[kStatementSize];
    key_condition(t, *rec, where, sizeof where);
    return count(t, st, where, caller) > 0 ? 1 : 0;
}

// Updates the row with the record's key, or inserts the record when none matched or the update
// failed; the SQL code of the last statement.
template <class T>
int insert_or_update(const T& t, ModuleState& st, const typename T::Record* rec,
                     esql::Where caller) {
    if (rec == nullptr) {
        return kMissingRecord;
    }
    update_by_record(t, st, rec, rec, caller);
    setDbStatusSqlCommand(&st.status, SQL_UPDATE);
    // The status holds the outcome of the update: no row matched (100), or it failed.
    if (st.status.sqlCode < 0 || st.status.sqlCode == ECPG_NOT_FOUND) {
        insert(t, st, "Insert", rec, caller);
        setDbStatusSqlCommand(&st.status, SQL_INSERT);
    }
    detail::settle(st);
    return st.status.sqlCode;
}

// Inserts the record when no row has its key. `*inserted` says whether the insert was tried;
// the result is the status's SQL code (0 when all went well).
template <class T>
int insert_if_unique(const T& t, ModuleState& st, const typename T::Record* rec, bool* inserted,
                     esql::Where caller) {
    bool flag = false;
    if (rec == nullptr) {
        if (inserted != nullptr) {
            *inserted = false;
        }
        return kMissingRecord;
    }
    if (exists(t, st, rec, caller) != 0) {
        setDbStatusSqlCommand(&st.status, SQL_SELECT);
    } else if (st.status.sqlCode != 0) {
        const int code = st.status.sqlCode;
        if (inserted != nullptr) {
            *inserted = false;
        }
        detail::settle(st);
        return code;
    } else {
        insert(t, st, "Insert", rec, caller);
        setDbStatusSqlCommand(&st.status, SQL_INSERT);
        flag = true;
    }
    if (inserted != nullptr) {
        *inserted = flag;
    }
    const int code = st.status.sqlCode;
    detail::settle(st);
    return code;
}

}  // namespace dbaccess
