// The operations every table module offers, run against each of the five tables.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Esql.h"
#include "TableTraits.h"

namespace dbtest {
namespace {

// The line of dbaccess/<module>.cpp that a runtime message ending in "on line N" names.
std::string module_line(const std::string& module, const std::string& message) {
    const std::size_t at = message.rfind(" on line ");
    if (at == std::string::npos) {
        return "";
    }
    const int line = std::atoi(message.c_str() + at + 9);
    std::ifstream source(std::string(TREVANE_SOURCE_DIR) + "/dbaccess/" + module + ".cpp");
    std::string text;
    for (int i = 0; i < line && std::getline(source, text); ++i) {
    }
    return text;
}

template <class Traits>
class TableModuleTest : public DbTest {
   protected:
    using R = typename Traits::Record;

    // A record with every field set, under a key.
    static R full(const char* key) {
        R r;
        Traits::fill(r, key);
        return r;
    }
    // A record with every nullable field null, under a key.
    static R nulls(const char* key) {
        R r = full(key);
        Traits::nullify(r);
        return r;
    }
    std::string rows() {
        return db().sql(std::string("SELECT * FROM ") + Traits::table + " ORDER BY 1");
    }
    long long row_count() {
        return db().count(std::string("SELECT count(*) FROM ") + Traits::table);
    }
    const DbStatus& status() { return *Traits::Status(); }
    void expect_status(int command, int rows, int code) {
        EXPECT_EQ(status().sqlCommand, command);
        EXPECT_EQ(status().rowsAffected, rows);
        EXPECT_EQ(status().sqlCode, code);
    }
};

using Tables =
    ::testing::Types<AdminTraits, DPARadarTraits, LocationTraits, PerfLogTraits, VTECeventTraits>;
TYPED_TEST_SUITE(TableModuleTest, Tables);

TYPED_TEST(TableModuleTest, RecordWithEveryFieldSetIsStoredAndReadBack) {
    using T = TypeParam;
    auto rec = this->full("K1");
    EXPECT_EQ(T::Put(&rec), 0);
    this->expect_status(SQL_INSERT, 1, 0);
    EXPECT_EQ(this->rows(), T::full_row("K1"));

    auto* got = T::Get(nullptr);
    ASSERT_NE(got, nullptr);
    this->expect_status(SQL_SELECT, 1, 100);
    EXPECT_EQ(ListCount(&got->list), 1);
    EXPECT_EQ(row_image(*got), row_image(rec));
    T::Free(got);
}

TYPED_TEST(TableModuleTest, NullFieldsAreStoredAsSqlNullAndReadBackAsMarkers) {
    using T = TypeParam;
    auto rec = this->nulls("K1");
    EXPECT_EQ(T::Insert(&rec), 0);
    this->expect_status(SQL_INSERT, 1, 0);

    std::string all_null = std::string("SELECT count(*) FROM ") + T::table + " WHERE true";
    for (const std::string& c : T::nullable()) all_null += " AND " + c + " IS NULL";
    EXPECT_EQ(this->db().count(all_null), 1);

    auto* got = T::Select("");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(row_image(*got), row_image(rec));

    // Written back unchanged, the columns stay null.
    EXPECT_EQ(T::UpdateByRecord(got, got), 0);
    EXPECT_EQ(this->db().count(all_null), 1);
    T::Free(got);
}

TYPED_TEST(TableModuleTest, UpdateByRecordChangesOnlyTheKeyedRow) {
    using T = TypeParam;
    auto a = this->full("K1");
    auto b = this->full("K2");
    ASSERT_EQ(T::Put(&a), 0);
    ASSERT_EQ(T::Put(&b), 0);

    auto changed = a;
    T::change(changed);
    EXPECT_EQ(T::UpdateByRecord(&changed, &a), 0);
    this->expect_status(SQL_UPDATE, 1, 0);
    const std::string q = std::string("SELECT ") + T::changed_column + " FROM " + T::table +
                          " WHERE " + T::key_column + " = ";
    EXPECT_EQ(this->db().sql(q + "'K1'"), T::changed_value);
    EXPECT_NE(this->db().sql(q + "'K2'"), T::changed_value);

    // A key can be changed too.
    auto moved = changed;
    T::set_key(moved, "K3");
    EXPECT_EQ(T::UpdateByRecord(&moved, &changed), 0);
    EXPECT_EQ(this->db().sql(std::string("SELECT string_agg(") + T::key_column + ", ',' ORDER BY " +
                             T::key_column + ") FROM " + T::table),
              "K2,K3");
}

TYPED_TEST(TableModuleTest, UpdateMatchingNoRowSucceedsWithNoDataCode) {
    using T = TypeParam;
    auto rec = this->full("K1");
    EXPECT_EQ(T::Update(&rec, "WHERE false"), 0);
    this->expect_status(SQL_UPDATE, 0, 100);
    EXPECT_EQ(esql::area().sqlcode, 100);
    EXPECT_EQ(this->row_count(), 0);
}

TYPED_TEST(TableModuleTest, InsertOrUpdateUpdatesAnExistingKeyAndInsertsANewOne) {
    using T = TypeParam;
    auto rec = this->full("K1");
    ASSERT_EQ(T::Put(&rec), 0);

    T::change(rec);
    EXPECT_EQ(T::InsertOrUpdate(&rec), 0);
    this->expect_status(SQL_UPDATE, 1, 0);
    EXPECT_EQ(this->row_count(), 1);
    EXPECT_EQ(this->db().sql(std::string("SELECT ") + T::changed_column + " FROM " + T::table),
              T::changed_value);

    auto other = this->full("K2");
    EXPECT_EQ(T::InsertOrUpdate(&other), 0);
    this->expect_status(SQL_INSERT, 1, 0);
    EXPECT_EQ(this->row_count(), 2);
}

TYPED_TEST(TableModuleTest, InsertIfUniqueInsertsOnlyAnAbsentKey) {
    using T = TypeParam;
    auto rec = this->full("K1");
    ASSERT_EQ(T::Put(&rec), 0);

    bool inserted = true;
    T::change(rec);
    EXPECT_EQ(T::InsertIfUnique(&rec, &inserted), 0);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(this->status().sqlCommand, SQL_SELECT);
    EXPECT_EQ(this->row_count(), 1);
    EXPECT_NE(this->db().sql(std::string("SELECT ") + T::changed_column + " FROM " + T::table),
              T::changed_value);

    auto other = this->full("K2");
    EXPECT_EQ(T::InsertIfUnique(&other, &inserted), 0);
    EXPECT_TRUE(inserted);
    this->expect_status(SQL_INSERT, 1, 0);
    EXPECT_EQ(this->row_count(), 2);
}

TYPED_TEST(TableModuleTest, ExistsCountAndDeleteByRecord) {
    using T = TypeParam;
    auto a = this->full("K1");
    auto b = this->full("K2");
    ASSERT_EQ(T::Put(&a), 0);
    ASSERT_EQ(T::Put(&b), 0);
    auto c = this->full("K3");

    EXPECT_EQ(T::Exists(&a), 1);
    this->expect_status(SQL_SELECT, 1, 0);
    EXPECT_EQ(T::Exists(&c), 0);
    this->expect_status(SQL_SELECT, 0, 0);

    EXPECT_EQ(T::Count(nullptr), 2);
    this->expect_status(SQL_SELECT, 2, 0);
    EXPECT_EQ(T::Count((std::string("WHERE ") + T::key_column + " = 'K2'").c_str()), 1);
    this->expect_status(SQL_SELECT, 1, 0);

    // A delete keeps the command code of the operation before it.
    EXPECT_EQ(T::DeleteByRecord(&a), 0);
    this->expect_status(SQL_SELECT, 1, 0);
    EXPECT_EQ(T::Exists(&a), 0);
    EXPECT_EQ(T::Exists(&b), 1);

    EXPECT_EQ(T::DeleteByRecord(&a), 0);
    this->expect_status(SQL_SELECT, 0, 100);

    auto d = this->full("K4");
    ASSERT_EQ(T::Put(&d), 0);
    EXPECT_EQ(T::Delete(nullptr), 0);
    this->expect_status(SQL_INSERT, 2, 0);
    EXPECT_EQ(this->row_count(), 0);
}

TYPED_TEST(TableModuleTest, ThreeRowsComeBackAsOneListInFetchOrder) {
    using T = TypeParam;
    for (const char* key : {"K1", "K3", "K2"}) {
        auto r = this->full(key);
        ASSERT_EQ(T::Put(&r), 0);
    }
    const std::string order = std::string("ORDER BY ") + T::key_column + " DESC";
    for (auto select : {T::Get, T::Select}) {
        auto* first = select(order.c_str());
        ASSERT_NE(first, nullptr);
        this->expect_status(SQL_SELECT, 3, 100);
        ASSERT_EQ(ListCount(&first->list), 3);
        EXPECT_EQ(ListFirst(&first->list), &first->node);
        std::string keys;
        for (Node* n = ListFirst(&first->list); n != nullptr; n = ListNext(n)) {
            keys += std::string(T::key(*reinterpret_cast<typename T::Record*>(n))) + ",";
        }
        EXPECT_EQ(keys, "K3,K2,K1,");
        EXPECT_EQ(ListLast(&first->list), ListNext(ListNext(&first->node)));
        T::Free(first);
    }
}

TYPED_TEST(TableModuleTest, SelectFindingNoRowsReturnsNoList) {
    using T = TypeParam;
    EXPECT_EQ(T::Get(nullptr), nullptr);
    this->expect_status(SQL_SELECT, 0, 100);
    // A grouping clause can leave the count without any row: the count is then 0.
    EXPECT_EQ(T::Count((std::string("WHERE false GROUP BY ") + T::key_column).c_str()), 0);
    this->expect_status(SQL_SELECT, 0, 100);
    T::Free(nullptr);
}

TYPED_TEST(TableModuleTest, FailedStatementsReportThreeLinesAndReturnTheirErrors) {
    using T = TypeParam;
    const std::string name = T::table;
    auto rec = this->full("K1");
    ASSERT_EQ(T::Put(&rec), 0);

    struct Case {
        std::string first;
        std::function<int()> run;
        int expected;      // 0: the SQL code
        std::string call;  // on the module's line that the runtime's message names
    };
    const char* bad = "WHERE nosuch = 1";
    const std::vector<Case> cases = {
        // Preparing sends nothing: a faulty where clause shows at the step that runs it.
        {"Get" + name + "() in Open cursor section",
         [&] { return T::Get(bad) == nullptr ? -1 : 0; }, -1,
         "select(table, state, dbaccess::kGetCursor"},
        {"Select" + name + "() in Open cursor section",
         [&] { return T::Select(bad) == nullptr ? -1 : 0; }, -1, "dbaccess::kSelectCursor"},
        {"SelectCount" + name + "() in Open cursor section", [&] { return T::Count(bad); }, -1,
         "dbaccess::count("},
        {"Update" + name + "() in Execute section", [&] { return T::Update(&rec, bad); }, 0,
         "dbaccess::update("},
        {"Delete" + name + "() in Execute Immediate section", [&] { return T::Delete(bad); }, 0,
         "dbaccess::remove("},
        {"Put" + name + "() in Insert section", [&] { return T::Put(&rec); }, 0, "\"Put\""},
        {"Insert" + name + "() in Insert section", [&] { return T::Insert(&rec); }, 0,
         "\"Insert\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        testing::internal::CaptureStderr();
        const int result = c.run();
        const std::string err = testing::internal::GetCapturedStderr();
        const DbStatus& st = this->status();
        EXPECT_LT(st.sqlCode, 0);
        EXPECT_EQ(result, c.expected == 0 ? st.sqlCode : c.expected);
        EXPECT_EQ(err, report(c.first, st));
        // The message names the line of the module's entry point, not one of the shared code.
        EXPECT_NE(module_line(name, st.errorMessage).find(c.call), std::string::npos)
            << st.errorMessage;
    }
    // The bad column is named by the server; the duplicate key by its constraint.
    EXPECT_EQ(T::Count(bad), -1);
    EXPECT_STREQ(this->status().sqlState, "42703");
    EXPECT_EQ(this->status().sqlCode, -400);
    EXPECT_EQ(T::Put(&rec), -239);
    EXPECT_STREQ(this->status().sqlState, "23505");

    // With reports off the results and the status are the same, and nothing is printed.
    T::SetLogging(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(T::Get(bad), nullptr);
    EXPECT_EQ(T::Put(&rec), -239);
    EXPECT_EQ(T::Exists(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_STREQ(this->status().sqlState, "23505");
    T::SetLogging(1);
}

TYPED_TEST(TableModuleTest, ChangingAKeyOntoAnotherRowFailsAtExecution) {
    using T = TypeParam;
    auto a = this->full("K1");
    auto b = this->full("K2");
    ASSERT_EQ(T::Put(&a), 0);
    ASSERT_EQ(T::Put(&b), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(T::UpdateByRecord(&b, &a), -239);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              report(std::string("Update") + T::table + "() in Execute section", this->status()));
    EXPECT_EQ(this->status().sqlCommand, SQL_UPDATE);
    EXPECT_EQ(this->status().sqlCode, -239);
}

TYPED_TEST(TableModuleTest, MissingRecordsAreRefusedWithoutAStatement) {
    using T = TypeParam;
    auto rec = this->full("K1");
    ASSERT_EQ(T::Put(&rec), 0);
    T::Count(nullptr);  // command 3 now

    testing::internal::CaptureStderr();
    EXPECT_EQ(T::Put(nullptr), -4444);
    EXPECT_EQ(this->status().sqlCommand, SQL_INSERT);
    EXPECT_EQ(this->status().rowsAffected, 1);  // the count's, untouched
    EXPECT_EQ(T::Insert(nullptr), -4444);
    EXPECT_EQ(T::Update(nullptr, ""), -4444);
    EXPECT_EQ(T::UpdateByRecord(&rec, nullptr), -4444);
    EXPECT_EQ(T::DeleteByRecord(nullptr), -4444);
    EXPECT_EQ(T::InsertOrUpdate(nullptr), -4444);
    bool flag = true;
    EXPECT_EQ(T::InsertIfUnique(nullptr, &flag), -4444);
    EXPECT_FALSE(flag);
    EXPECT_EQ(T::Exists(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(this->row_count(), 1);
}

TYPED_TEST(TableModuleTest, TextsThatFillTheirFieldsAreWrittenWhole) {
    using T = TypeParam;
    const auto& d = T::description;
    auto rec = this->full("K1");
    // As many characters as the field holds with its terminator: written and read back exactly.
    char letter = 'a';
    std::vector<std::pair<const char*, std::size_t>> columns;
    for (const auto& c : d.columns) {
        if (c.type == ECPGt_char) {
            auto* field = static_cast<char*>(c.field(rec));
            std::memset(field, letter, c.width - 1);
            field[c.width - 1] = '\0';
            columns.emplace_back(c.name, c.width);
            letter = static_cast<char>(letter == 'z' ? 'a' : letter + 1);
        }
    }
    ASSERT_EQ(T::Put(&rec), 0);
    auto* got = T::Get(nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(row_image(*got), row_image(rec));
    T::Free(got);
    ASSERT_EQ(T::Delete(nullptr), 0);

    // Every byte of the field, without a terminator: all of it is written, nothing past it read.
    std::string widen;
    for (const auto& [name, width] : columns) {
        widen += std::string("ALTER TABLE ") + d.name + " ALTER COLUMN " + name + " TYPE varchar(" +
                 std::to_string(width) + ");";
    }
    this->db().sql(widen);
    for (const auto& c : d.columns) {
        if (c.type == ECPGt_char) {
            auto* field = static_cast<char*>(c.field(rec));
            std::memset(field, field[0], c.width);
        }
    }
    ASSERT_EQ(T::Put(&rec), 0);
    for (const auto& c : d.columns) {
        if (c.type == ECPGt_char) {
            const auto* field = static_cast<const char*>(c.field(rec));
            EXPECT_EQ(this->db().sql(std::string("SELECT ") + c.name + " FROM " + d.name),
                      std::string(field, c.width))
                << c.name;
        }
    }
}

// The tables whose key holds a timestamp.
template <class Traits>
class TimeKeyTest : public TableModuleTest<Traits> {};
using TimeKeyTables = ::testing::Types<DPARadarTraits, PerfLogTraits, VTECeventTraits>;
TYPED_TEST_SUITE(TimeKeyTest, TimeKeyTables);

TYPED_TEST(TimeKeyTest, AKeyTimeWithAFractionOfASecondMatchesItsOwnRow) {
    using T = TypeParam;
    const auto& d = T::description;
    std::string time_key;
    for (const std::size_t k : d.key) {
        if (d.columns[k].type == ECPGt_timestamp) {
            time_key = d.columns[k].name;
        }
    }
    ASSERT_FALSE(time_key.empty());
    auto rec = this->full("K1");
    ASSERT_EQ(T::Put(&rec), 0);
    // A time as now() writes it: microseconds after the second.
    this->db().sql(std::string("UPDATE ") + d.name + " SET " + time_key +
                   " = date_trunc('second', now()) + interval '123456 microseconds'");
    auto* row = T::Get(nullptr);
    ASSERT_NE(row, nullptr);
    char where[8192];
    T::KeyWhere(row, where);
    EXPECT_NE(std::string(where).find(".123456' "), std::string::npos) << where;

    EXPECT_EQ(T::Exists(row), 1);
    EXPECT_EQ(T::UpdateByRecord(row, row), 0);
    this->expect_status(SQL_UPDATE, 1, 0);
    EXPECT_EQ(T::InsertOrUpdate(row), 0);
    this->expect_status(SQL_UPDATE, 1, 0);
    bool inserted = true;
    EXPECT_EQ(T::InsertIfUnique(row, &inserted), 0);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(this->row_count(), 1);
    EXPECT_EQ(T::DeleteByRecord(row), 0);
    EXPECT_EQ(this->row_count(), 0);
    T::Free(row);
}

}  // namespace
}  // namespace dbtest
