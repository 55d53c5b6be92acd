// The purge's small building blocks, called in-process.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BinarySearch.h"
#include "DbmsAccess.h"
#include "PgTest.h"
#include "get_location_hsa.h"
#include "lid_in_table.h"
#include "run_metrics.h"
#include "trevane.h"

namespace {

std::string cleaned(std::string text) {
    lower_trim(text.data());
    return text.c_str();
}

}  // namespace

TEST(LowerTrim, KeepsGraphicCharactersLowerCased) {
    EXPECT_EQ(cleaned("  Obs Time\t"), "obstime");
    EXPECT_EQ(cleaned(""), "");
    EXPECT_EQ(cleaned("   "), "");
    EXPECT_EQ(cleaned("ABC     "), "abc");
    EXPECT_EQ(cleaned("a\nb\x01"
                      "c\x80\xff"
                      "D;'"),
              "abcd;'");
}

TEST(MetricsLabel, EscapesBackslashDoubleQuoteAndNewline) {
    EXPECT_EQ(escape_label_value("a\\b\"c\nd'e"), "a\\\\b\\\"c\\nd'e");
}

TEST(BinarySearch, FindsEveryElementOfASortedTable) {
    struct Entry {
        char lid[9];
        char hsa[4];
    };
    std::vector<Entry> table;
    for (const char* lid : {"A", "B1", "BB", "C", "MAZ", "a1", "zz"}) {
        Entry e{};
        std::strcpy(e.lid, lid);
        table.push_back(e);
    }
    for (const auto& e : table) {
        EXPECT_EQ(binary_search(table.data(), e.lid, static_cast<int>(table.size()), sizeof(Entry),
                                compare_char),
                  &e);
    }
    EXPECT_EQ(binary_search(table.data(), "B", 7, sizeof(Entry), compare_char), nullptr);
    EXPECT_EQ(binary_search(table.data(), "zzz", 7, sizeof(Entry), compare_char), nullptr);
    // Missing arguments and empty tables find nothing, without calling the comparison.
    static int calls = 0;
    auto counting = [](const void* a, const void* b) {
        ++calls;
        return compare_char(a, b);
    };
    EXPECT_EQ(binary_search(table.data(), "A", 0, sizeof(Entry), counting), nullptr);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(binary_search(nullptr, "A", 7, sizeof(Entry), counting), nullptr);
    EXPECT_EQ(binary_search(table.data(), "A", 7, 0, counting), nullptr);
    EXPECT_EQ(binary_search(table.data(), "A", 1, sizeof(Entry), counting), table.data());
    EXPECT_EQ(calls, 1);
}

class CatalogTest : public ::testing::Test {
   protected:
    void SetUp() override {
        REQUIRE_TEST_SERVER();
        ASSERT_EQ(OpenDbms(db.name().c_str()), 0);
        free_location_hsa_table();
    }
    void TearDown() override {
        free_location_hsa_table();
        CloseDbms();
    }
    testsupport::TestDatabase db;
};

TEST_F(CatalogTest, LidInTableCountsLidColumnsByRelationName) {
    EXPECT_EQ(lid_in_table("height"), 1);
    EXPECT_EQ(lid_in_table("dparadar"), 0);
    EXPECT_EQ(lid_in_table("Height"), 0);  // relation names match exactly
    EXPECT_EQ(lid_in_table("no'such"), 0);
    db.sql("CREATE SCHEMA archive; CREATE TABLE archive.height (lid text, obstime timestamp)");
    EXPECT_EQ(lid_in_table("height"), 2);
    // The cursor is closed after each lookup, so lookups follow each other freely.
    EXPECT_EQ(lid_in_table("height"), 2);
}

TEST_F(CatalogTest, StationHsaComesFromLocationLoadedOnce) {
    db.sql(
        "INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone) VALUES "
        "('ABC', 'c', 'BOX', 'n', 'r', 'MA', 'BOX', 'EST'), "
        "('LONGLID8', 'c', 'ALY', 'n', 'r', 'NY', 'ALY', 'EST')");
    char lid[16] = "ABC     ";
    char hsa[4] = "";
    int status = 0;
    get_location_hsa(lid, hsa, &status);
    EXPECT_EQ(status, kLocationHsaOk);
    EXPECT_STREQ(hsa, "BOX");

    // Read once: later changes to Location are not seen during the run.
    db.sql("UPDATE Location SET hsa = 'XXX'");
    std::strcpy(lid, "LONGLID8EXTRA");
    get_location_hsa(lid, hsa, &status);
    EXPECT_STREQ(lid, "LONGLID8");  // cut to 8 characters in place
    EXPECT_STREQ(hsa, "ALY");
    std::strcpy(lid, "NOWHERE");
    get_location_hsa(lid, hsa, &status);
    EXPECT_STREQ(hsa, "   ");
    EXPECT_EQ(status, kLocationHsaOk);
}

TEST_F(CatalogTest, AnEmptyLocationIsReportedAtTheFirstLookupOnly) {
    char lid[9] = "ABC";
    char hsa[4] = "";
    int status = 0;
    get_location_hsa(lid, hsa, &status);
    EXPECT_EQ(status, kLocationTableNotLoaded);
    EXPECT_STREQ(hsa, "   ");
    get_location_hsa(lid, hsa, &status);
    EXPECT_EQ(status, kLocationHsaOk);
    EXPECT_STREQ(hsa, "   ");
}
