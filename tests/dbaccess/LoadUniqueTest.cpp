// Distinct values of columns and of joined columns, and the split of joined values.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DbTest.h"
#include "Esql.h"
#include "LoadUnique.h"

namespace dbtest {
namespace {

std::vector<std::string> texts(DistinctValue* first) {
    std::vector<std::string> out;
    if (first == nullptr)
        return out;
    for (Node* n = ListFirst(&first->list); n != nullptr; n = ListNext(n)) {
        out.emplace_back(reinterpret_cast<DistinctValue*>(n)->text);
    }
    return out;
}

std::vector<std::string> fields(char** array) {
    std::vector<std::string> out;
    for (char** p = array; p != nullptr && *p != nullptr; ++p) out.emplace_back(*p);
    return out;
}

class LoadUniqueTest : public DbTest {
   protected:
    void add_event(const char* geoid, const char* product, const char* office, const char* phenom) {
        db().sql(std::string("INSERT INTO VTECevent (geoid, product_id, producttime, office_id, "
                             "phenom, signif) VALUES ('") +
                 geoid + "', '" + product + "', '2024-03-05 08:00', " + office + ", '" + phenom +
                 "', 'W')");
    }
};

TEST_F(LoadUniqueTest, ListsDistinctValuesInTheOrderAsked) {
    db().sql(
        "INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone) "
        "SELECT v, 'c', 'h', 'n', 'r', 's', 'w', 't' FROM unnest(ARRAY['C1','A1','B1']) v");
    db().sql("INSERT INTO Admin (hsa) VALUES ('X'), ('Y')");
    int count = 99;
    testing::internal::CaptureStderr();
    DistinctValue* first = LoadUnique("lid", "Location", "ORDER BY lid", &count);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(texts(first), (std::vector<std::string>{"A1", "B1", "C1"}));
    EXPECT_EQ(ListCount(&first->list), 3);
    FreeUnique(first);

    first = LoadUnique("hsa", "Admin", "WHERE hsa <> 'X'", &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(texts(first), (std::vector<std::string>{"Y"}));
    FreeUnique(first);
}

TEST_F(LoadUniqueTest, JoinedColumnsComeBackSeparatedAndSplitIntoFields) {
    add_event("G1", "P1", "'KABC'", "FL");
    add_event("G1", "P2", "'KABC'", "FL");  // same combination
    add_event("G2", "P1", "'KA|B'", "FA");  // a value holding the separator
    add_event("G3", "P1", "NULL", "FL");    // a null column nulls the whole value

    int count = 0;
    DistinctValue* first =
        LoadUnique("geoid||office_id||phenom||signif", "VTECevent", "ORDER BY 1", &count);
    ASSERT_EQ(count, 3);
    const auto values = texts(first);
    EXPECT_EQ(values, (std::vector<std::string>{"G1|KABC|FL|W", "G2|KA|B|FA|W", ""}));

    std::vector<std::vector<std::string>> split;
    std::vector<int> counts;
    for (Node* n = ListFirst(&first->list); n != nullptr; n = ListNext(n)) {
        int field_count = -1;
        char** array = ParseUnique(reinterpret_cast<DistinctValue*>(n), &field_count);
        ASSERT_NE(array, nullptr);
        split.push_back(fields(array));
        counts.push_back(field_count);
        FreeParseUnique(array);
    }
    EXPECT_EQ(split, (std::vector<std::vector<std::string>>{
                         {"G1", "KABC", "FL", "W"}, {"G2", "KA", "B", "FA", "W"}, {""}}));
    EXPECT_EQ(counts, (std::vector<int>{4, 5, 1}));
    FreeUnique(first);
}

TEST_F(LoadUniqueTest, EmptyTableGivesNoListAndNoMessage) {
    int count = 99;
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadUnique("lid", "Location", " ", &count), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(count, 0);
}

TEST_F(LoadUniqueTest, BadColumnTableOrClauseShowsWhenTheCursorOpens) {
    struct Case {
        const char *field, *table, *where, *state, *message;
    };
    const Case cases[] = {
        {"lidd", "Location", "ORDER BY lidd", "42703", "column \"lidd\" does not exist"},
        {"lid", "Locatoin", "", "42P01", "relation \"locatoin\" does not exist"},
        {"lid", "Location", "WHERE", "42601", "syntax error at end of input"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field + std::string(" ") + c.table + " " + c.where);
        int count = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadUnique(c.field, c.table, c.where, &count), nullptr);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(count, -3);
        const std::string message = esql::area().sqlerrm.sqlerrmc;
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
        EXPECT_EQ(err, std::string("LoadUnique: error in open cursor (-400)\n") +
                           "LoadUnique: error in open cursor (" + message + ")\n" +
                           "LoadUnique: error in open cursor (" + c.state + ")\n" + " table=" +
                           c.table + ":where=" + c.where + ":sqlstmt= SELECT DISTINCT " + c.field +
                           " FROM " + c.table + " " + c.where + " \n");
    }
}

// A cursor of the loader's name left open on the session (by an earlier run, or a close that
// failed) neither answers for the loader's own nor stops it.
TEST_F(LoadUniqueTest, AStaleCursorOfTheSameNameIsNotRead) {
    db().sql("INSERT INTO Admin (hsa) VALUES ('X')");
    ASSERT_EQ(esql::exec("declare selectcur cursor with hold for select 'stale'").code, 0);
    int count = 0;
    DistinctValue* first = LoadUnique("hsa", "Admin", "ORDER BY hsa", &count);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(first->text, "X");
    EXPECT_EQ(esql::halt(), esql::Halt::None);
    FreeUnique(first);
}

TEST_F(LoadUniqueTest, ValuesLongerThanTheRecordAreCutAndTold) {
    const std::string long150(150, 'x');
    const std::string fits119(119, 'y');
    db().sql("INSERT INTO Location (lid, lremark) VALUES ('A1', '" + long150 + "'), ('B1', '" +
             fits119 + "'), ('C1', NULL)");
    int count = 0;
    testing::internal::CaptureStderr();
    DistinctValue* first = LoadUnique("lremark", "Location", "ORDER BY lremark", &count);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "LoadUnique: value longer than 119 characters cut to (" + std::string(119, 'x') + ")\n");
    ASSERT_EQ(count, 3);
    const std::vector<std::string> expected{std::string(119, 'x'), fits119, ""};
    EXPECT_EQ(texts(first), expected);
    FreeUnique(first);

    std::vector<bool> too_long{false};
    testing::internal::CaptureStderr();
    first = LoadUniqueChecked("lremark", "Location", "ORDER BY lremark", &count, too_long);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(texts(first), expected);
    EXPECT_EQ(too_long, (std::vector<bool>{true, false, false}));
    FreeUnique(first);
}

TEST_F(LoadUniqueTest, FetchFailingAfterSomeRowsGivesNoList) {
    // A value the server cannot send in the session's encoding fails its own fetch, after the
    // rows before it came. (A failing expression would fail the open: a cursor kept across
    // commits is computed in full when it is declared.)
    db().sql("INSERT INTO Admin (hsa) VALUES ('A'), ('B\u0151'), ('C')");
    ASSERT_EQ(esql::execute_immediate("SET client_encoding TO 'LATIN1'").code, 0);
    int count = 0;
    std::vector<bool> too_long{false};
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadUniqueChecked("hsa", "Admin", "ORDER BY hsa", &count, too_long), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count, -4);
    EXPECT_TRUE(too_long.empty());
    const std::string head =
        "LoadUnique: error in fetch (-400)\nLoadUnique: error in fetch (character with byte "
        "sequence 0xc5 0x91 in encoding \"UTF8\" has no equivalent in encoding \"LATIN1\" on line ";
    ASSERT_EQ(err.rfind(head, 0), 0u) << err;
    EXPECT_EQ(
        err.substr(err.find(')', head.size())),
        ")\nLoadUnique: error in fetch (22P05)\n"
        " table=Admin:where=ORDER BY hsa:sqlstmt= SELECT DISTINCT hsa FROM Admin ORDER BY hsa "
        "\n");

    // The cursor was closed on the way out.
    ASSERT_EQ(esql::execute_immediate("SET client_encoding TO 'UTF8'").code, 0);
    DistinctValue* first = LoadUnique("hsa", "Admin", "ORDER BY hsa", &count);
    EXPECT_EQ(count, 3);
    FreeUnique(first);
}

TEST(ParseUnique, EmptyFieldsCountAsFields) {
    struct Case {
        const char* text;
        std::vector<std::string> fields;
    };
    for (const Case& c : {Case{"a||b|", {"a", "", "b", ""}}, Case{"", {""}}, Case{"|", {"", ""}},
                          Case{"one", {"one"}}}) {
        SCOPED_TRACE(c.text);
        DistinctValue v{};
        std::snprintf(v.text, sizeof v.text, "%s", c.text);
        int count = -1;
        char** array = ParseUnique(&v, &count);
        ASSERT_NE(array, nullptr);
        EXPECT_EQ(count, static_cast<int>(c.fields.size()));
        EXPECT_EQ(fields(array), c.fields);
        EXPECT_EQ(array[count], nullptr);
        FreeParseUnique(array);
    }

    // A text filling the whole record without terminator is read up to the record's end.
    DistinctValue full;
    std::memset(full.text, 'z', sizeof full.text);
    full.text[10] = '|';
    int count = 0;
    char** array = ParseUnique(&full, &count);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(std::string(array[1]), std::string(109, 'z'));
    FreeParseUnique(array);

    count = 5;
    EXPECT_EQ(ParseUnique(nullptr, &count), nullptr);
    EXPECT_EQ(count, 0);
    FreeUnique(nullptr);
    FreeParseUnique(nullptr);
}

}  // namespace
}  // namespace dbtest
