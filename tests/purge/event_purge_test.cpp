// The event pass: events older than 30 days go, except the latest of each combination.

#include <cstdlib>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::PurgeTest;

namespace {

// An event of a combination, `days` days old (fractional days allowed).
std::string event(const std::string& geoid, const std::string& office, const std::string& phenom,
                  const std::string& signif, const std::string& product, const std::string& days) {
    auto q = [](const std::string& v) {
        return v == "NULL" ? v : "'" + testsupport::psql_literal(v) + "'";
    };
    return "INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif) "
           "VALUES (" +
           q(geoid) + ", " + q(product) + ", date_trunc('second', localtimestamp) - " + days +
           " * interval '1 day', " + q(office) + ", " + q(phenom) + ", " + q(signif) + ");";
}

}  // namespace

class EventPurgeTest : public PurgeTest {};

TEST_F(EventPurgeTest, OldEventsGoButTheLatestOfEachCombinationStays) {
    db.sql(event("MAZ005", "KBOX", "FL", "W", "P1", "1") +   // recent: stays
           event("MAZ005", "KBOX", "FL", "W", "P2", "40") +  // old: goes
           event("MAZ005", "KBOX", "FL", "W", "P3", "29") +  // inside 30 days: stays
           event("RIZ001", "KBOX", "FL", "A", "P1", "50") +  // latest of its combination
           event("RIZ001", "KBOX", "FL", "A", "P2", "50") +  // shares the latest time: stays
           event("RIZ001", "KBOX", "FL", "A", "P3", "60") +  // goes
           event("RIZ001", "KBOX", "FL", "A", "P4", "70") +  // goes
           // Two more combinations with rows at RIZ001's latest time, which the latest-time
           // lookup of each of the three finds first or after: each keeps exactly its latest rows.
           event("RIZ002", "KBOX", "FL", "A", "P1", "50") +  // its latest: stays
           event("RIZ002", "KBOX", "FL", "A", "P2", "55") +  // goes
           event("RIZ003", "KBOX", "FL", "A", "P1", "50") +  // not its latest: goes
           event("RIZ003", "KBOX", "FL", "A", "P2", "1"));   // stays
    // A latest time with a fraction of a second keeps its row too.
    db.sql(
        "INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif) "
        "VALUES ('NHZ011', 'F1', timestamp '2020-01-01 10:00:00.25', 'KBOX', 'FA', 'Y'), "
        "('NHZ011', 'F2', timestamp '2020-01-01 09:00:00', 'KBOX', 'FA', 'Y')");
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(db.sql("SELECT geoid, product_id FROM VTECevent ORDER BY 1, 2"),
              "MAZ005|P1\nMAZ005|P3\nNHZ011|F1\nRIZ001|P1\nRIZ001|P2\nRIZ002|P1\nRIZ003|P2");
    const auto out = lines(r.out);
    EXPECT_GE(find_line(out, "  purging info for 5 unique event types"), 0) << r.out;
    EXPECT_GE(find_line(out, " For NHZ011:KBOX:FA:Y: last producttime= 2020-01-01 10:00:00.25"), 0)
        << r.out;
    EXPECT_GE(find_line(out, "End purge of VTECevent table at   "), 0);
}

TEST_F(EventPurgeTest, ACombinationWithANullIsSkippedAndTheOthersArePurged) {
    db.sql(event("AAA001", "KBOX", "FL", "W", "P1", "1") +
           event("AAA001", "KBOX", "FL", "W", "P2", "40") +
           event("BBB001", "NULL", "FL", "W", "P1", "1") +
           event("BBB001", "NULL", "FL", "W", "P2", "40") +
           event("CCC001", "KBOX", "FL", "W", "P1", "1") +
           event("CCC001", "KBOX", "FL", "W", "P2", "40"));
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_GE(find_line(lines(r.out), "  Could not parse the LoadUnique output."), 0) << r.out;
    EXPECT_EQ(db.sql("SELECT geoid, product_id FROM VTECevent ORDER BY 1, 2"),
              "AAA001|P1\nBBB001|P1\nBBB001|P2\nCCC001|P1");
}

TEST_F(EventPurgeTest, QuotesInTheKeysAreHarmless) {
    db.sql(event("O'BRIEN", "K'BX", "F'", "'", "P1", "1") +
           event("O'BRIEN", "K'BX", "F'", "'", "P2", "40") +
           event("O'BRIEN", "K'BX", "F'", "'", "P3", "50") +
           event("OTHER", "KBOX", "FL", "W", "P1", "45"));
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(find_line(lines(r.out), "  ERROR on delete"), -1) << r.out;
    EXPECT_EQ(db.sql("SELECT geoid, product_id FROM VTECevent ORDER BY 1, 2"),
              "O'BRIEN|P1\nOTHER|P1");
}

// A lookup that answers no row, as a stale cursor of the same name would, leaves its combination
// alone; the other one is purged.
TEST_F(EventPurgeTest, ALatestTimeLookupThatFindsNoRowLeavesItsCombinationAlone) {
    db.sql(event("G1", "BOX", "FL", "W", "P1", "40") + event("G1", "BOX", "FL", "W", "P2", "50") +
           event("G2", "BOX", "FL", "W", "P1", "40") + event("G2", "BOX", "FL", "W", "P2", "50"));
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string metrics = (dir.path() / "run.prom").string();
    const auto r = run({{"LD_PRELOAD", FAULT_INJECT_LIBRARY},
                        {"FAULT_NO_ROW", "tcur1:1"},
                        {"trevane_metrics_file", metrics},
                        {"ASAN_OPTIONS", (asan != nullptr ? std::string(asan) + ":" : "") +
                                             "verify_asan_link_order=0"}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto out = lines(r.out);
    const int at = find_line(out, "  Combination G");
    ASSERT_GE(at, 0) << r.out;
    const std::string hit = out[at].substr(14, 2);
    EXPECT_EQ(out[at], "  Combination " + hit +
                           ":BOX:FL:W left alone: no row found for its latest "
                           "producttime");
    const std::string other = hit == "G1" ? "G2" : "G1";
    EXPECT_EQ(
        db.sql("SELECT geoid || ':' || count(*) FROM VTECevent GROUP BY geoid ORDER BY geoid"),
        hit < other ? hit + ":2\n" + other + ":1" : other + ":1\n" + hit + ":2");
    const auto samples = purgetest::read_metrics(metrics, db.name());
    EXPECT_EQ(samples.at("trevane_last_run_keys_left_alone{pass=\"events\"}"), 1);
    EXPECT_EQ(samples.at("trevane_last_run_failures"), 0);
}

// "No records" only when the read of the combinations found none; a read that failed says so and
// counts as a failure. Each case adds to the data of the one before.
TEST_F(EventPurgeTest, NoRecordsOnlyWhenTheCombinationsReadFoundNone) {
    struct Case {
        std::string setup;
        const char* line;
        const char* absent;
        double failures;
    };
    const Case cases[] = {
        {"", "  no records in VTECevent table", "ERROR", 0},
        {event("G1", "BOX", "FL", "W", "P1", "40") + event("G1", "BOX", "FL", "W", "P2", "50") +
             "REVOKE SELECT ON VTECevent FROM trevane;",
         "ERROR - could not read the combinations of VTECevent: no event purged", "  no records",
         1},
    };
    const std::string metrics = (dir.path() / "run.prom").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        db.sql(c.setup + "DELETE FROM PerfLog");  // two runs may share a second
        const auto r = run({{"trevane_metrics_file", metrics}});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const auto out = lines(r.out);
        const int at = find_line(out, c.line);
        ASSERT_GE(at, 0) << r.out;
        EXPECT_EQ(out[at], c.line);
        EXPECT_EQ(out.at(at + 1), "");
        EXPECT_EQ(find_line(out, c.absent), -1) << r.out;
        EXPECT_EQ(find_line(out, "End purge of VTECevent table"), -1) << r.out;
        EXPECT_EQ(db.count("SELECT count(*) FROM VTECevent"), c.setup.empty() ? 0 : 2);
        EXPECT_EQ(purgetest::read_metrics(metrics, db.name()).at("trevane_last_run_failures"),
                  c.failures)
            << r.out;
    }
}
