// The event pass: events older than 30 days go, except the latest of each combination.

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
