// The purge's small building blocks, called in-process.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BinarySearch.h"
#include "DbmsAccess.h"
#include "PgTest.h"
#include "ScopedEnv.h"
#include "get_location_hsa.h"
#include "journal_output.h"
#include "lid_in_table.h"
#include "run_lock.h"
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

TEST(MetricsLabel, NamesTheDatabaseOfATargetAndNothingElseOfIt) {
    const std::pair<const char*, const char*> cases[] = {
        {"east", "east"},
        {"east@dbhost:5433", "east"},
        {"tcp:postgresql://dbhost:5432/east?password=pw", "east"},
        {"unix:postgresql://localhost/east", "east"},
        {"postgresql://trevane:pw@dbhost/east?sslmode=require", "east"},
        {"dbname=east password=pw", "east"},
        {"host=dbhost password=pw", ""},
        {"postgresql://trevane:pw@dbhost/", ""},
        {"postgresql://dbhost/?dbname=postgresql://trevane:pw@dbhost/east", ""},
        {"dbname='user=trevane password=pw'", ""},
        {"postgresql://trevane:pw@[dbhost/east", ""},
        {"", ""},
    };
    for (const auto& [target, name] : cases) {
        EXPECT_EQ(database_named_by(target), name) << target;
    }
}

TEST(RunFiles, PreviewMetricsAndLockFileNames) {
    EXPECT_EQ(preview_metrics_path("/m/trevane-east.prom"), "/m/trevane-east-preview.prom");
    EXPECT_EQ(preview_metrics_path("/m/trevane.prom.d/metrics"),
              "/m/trevane.prom.d/metrics-preview.prom");
    testsupport::ScopedEnv env;
    env.set("STATE_DIRECTORY", "/var/lib/trevane:/var/lib/other");
    EXPECT_EQ(run_lock_path("east-1.b_c"), "/var/lib/trevane/trevane-east-1.b_c.lock");
    EXPECT_EQ(run_lock_path("../a b'\xc3\x28"), "/var/lib/trevane/trevane-.._a_b___.lock");
    EXPECT_EQ(run_lock_path(std::string(300, 'd')),
              "/var/lib/trevane/trevane-" + std::string(200, 'd') + ".lock");
}

TEST(JournalPrefix, FailuresAndKeysLeftAloneByTheirShape) {
    using S = OutputStream;
    struct Case {
        S stream;
        const char* line;
        const char* previous;
        const char* prefix;
    };
    const Case cases[] = {
        {S::Out, "ZEFT Database Purge  VORNE OB6  Mar 31, 2005", "", ""},
        {S::Out, "      12  height              obstime       2005-03-31 14:00:00", "", ""},
        {S::Out, "   AAA - None deleted; 1 products currently <= 2 max.", "", ""},
        {S::Out, "    DELETE FROM TextProduct WHERE product_id = 'A'", "", ""},
        {S::Out, "PostgreSQL error 42P01 attempting insert into PerfLog table", "", "<3>"},
        {S::Out, "ERROR - Can't OPEN cursor for PurgeProduct (42P01)", "", "<3>"},
        {S::Out, "  ERROR on delete, status = -400", "", "<3>"},
        {S::Out, "  where= WHERE geoid='G' End purge of VTECevent table at x", "<3>", "<3>"},
        {S::Out, "Error subtracting interval", "", "<3>"},
        {S::Out, "error 2  transforming delete_time_host variable", "", "<3>"},
        {S::Out, "trevane: SIGTERM received; the run stops", "", "<3>"},
        {S::Out, "trevane: another run (pid 7) holds the lock of database d (/x); the run stops",
         "", "<3>"},
        {S::Out, "The client library says: database \"x\" does not exist", "", "<3>"},
        {S::Out, "DELETE FROM height WHERE  obstime < 'x' ; ", "", "<3>"},
        {S::Out, "The conversion from a \"time_t\" value to a struct tm", "", "<3>"},
        {S::Out, "The supplied value, 5, is probably not a valid", "<3>", "<3>"},
        {S::Out, "Station ABCDEFGHIJ of height left alone: its lid is longer than 8 characters", "",
         "<4>"},
        {S::Out,
         "  Combination G:O:FL:W left alone: PostgreSQL error 57014 reading its latest "
         "producttime",
         "", "<4>"},
        {S::Out, "ERROR - Can't delete file /g/x (not a plain file name; left alone)", "", "<4>"},
        {S::Out, "   (where clause:  WHERE obstime < 'x' AND maxvald > 0.0 )", "<4>", "<4>"},
        {S::Out, "   (where clause:  WHERE obstime < 'x' AND maxvald > 0.0 )", "<3>", "<3>"},
        {S::Out, "Skipping PurgeDynData row: \"a b\" / \"c\" is not a plain table and column name",
         "", "<4>"},
        {S::Err, "Unable to open database x - (-402)", "", "<3>"},
        {S::Err, "SQLCODE = (-400) sql state = (42P01)", "<3>", "<3>"},
        {S::Err, "NOTICE:  table \"x\" does not exist, skipping", "", ""},
        {S::Err, "DETAIL:  more", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(journal_prefix(c.stream, c.line, c.previous), c.prefix) << c.line;
    }
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
