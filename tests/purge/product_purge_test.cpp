// The text product pass: versions beyond what PurgeProduct allows are deleted.

#include <algorithm>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::PurgeTest;

namespace {

// `n` versions of `id`, one hour apart in both times, the newest an hour ago.
std::string versions(const std::string& id, int n) {
    return "INSERT INTO TextProduct (product_id, producttime, postingtime) SELECT '" +
           testsupport::psql_literal(id) +
           "', timestamp '2026-01-10 00:00:00' - make_interval(hours => k), "
           "timestamp '2026-01-10 00:05:00' - make_interval(hours => k) FROM generate_series(1, " +
           std::to_string(n) + ") AS k;";
}

// The pass's own lines, from "Begin PurgeProduct:" to the start of the event pass.
std::vector<std::string> product_lines(const std::string& out) {
    const auto all = lines(out);
    const int begin = find_line(all, "Begin PurgeProduct:");
    const int end = find_line(all, "Begin purge of VTECevent table at ");
    if (begin < 0 || end < begin)
        return {};
    return {all.begin() + begin + 1, all.begin() + end};
}

// PurgeProduct rows (product, num_versions); its two times are read with the row, so they are set.
std::string products(const std::string& values) {
    return "INSERT INTO PurgeProduct (product_id, num_versions) VALUES " + values +
           "; UPDATE PurgeProduct SET producttime = now(), postingtime = now();";
}

}  // namespace

class ProductPurgeTest : public PurgeTest {};

TEST_F(ProductPurgeTest, KeepsTheNewestVersionsOfEachProduct) {
    db.sql(products("('AAA', 3), ('BBB', 0), ('CCC', -1), ('DDD', 0), ('EEE', 2)") +
           versions("AAA", 5) + versions("BBB", 4) + versions("CCC", 2) + versions("EEE", 2));
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> expected = {
        "   AAA - 2 deleted; were 5 products > 3 max.",
        "    DELETE FROM TextProduct WHERE product_id = 'AAA' AND producttime < '2026-01-09 "
        "21:00:00' AND postingtime < '2026-01-09 21:05:00';",
        "   BBB - 4 deleted; were 4 products > 0 max.",
        "    DELETE FROM TextProduct WHERE product_id = 'BBB';",
        "   CCC - 3 deleted; were 2 products > -1 max.",
        "    DELETE FROM TextProduct WHERE product_id = 'CCC';",
        "   DDD - None deleted; 0 products currently <= 0 max.",
        "   EEE - None deleted; 2 products currently <= 2 max.",
    };
    auto got = product_lines(r.out);
    std::sort(got.begin(), got.end());
    auto want = expected;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << r.out;
    EXPECT_EQ(db.sql("SELECT product_id, count(*) FROM TextProduct GROUP BY 1 ORDER BY 1"),
              "AAA|3\nEEE|2");
    EXPECT_EQ(db.count("SELECT (min(producttime) = timestamp '2026-01-09 21:00:00')::int FROM "
                       "TextProduct WHERE product_id = 'AAA'"),
              1);
}

TEST_F(ProductPurgeTest, ADeleteThatFindsNothingOlderDoesNotEndThePass) {
    // The version after the boundary shares its producttime: nothing is strictly older.
    db.sql(products("('AAA', 1), ('ZZZ', 1)") +
           "INSERT INTO TextProduct (product_id, producttime, postingtime) VALUES "
           "('AAA', '2026-01-10 00:00', '2026-01-10 00:05'), "
           "('AAA', '2026-01-10 00:00', '2026-01-10 00:01');" +
           versions("ZZZ", 3));
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(find_line(lines(r.out), "ERROR - DELETE failed"), -1) << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM TextProduct WHERE product_id = 'AAA'"), 2);
    EXPECT_EQ(db.count("SELECT count(*) FROM TextProduct WHERE product_id = 'ZZZ'"), 1);
}

TEST_F(ProductPurgeTest, AProductIdWithAQuoteIsTrimmedLikeAnyOther) {
    db.sql(products("('O''HARE', 1), ('OX', 1)") + versions("O'HARE", 3) + versions("OX", 3));
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_GE(find_line(lines(r.out), "   O'HARE - 2 deleted; were 3 products > 1 max."), 0)
        << r.out;
    EXPECT_EQ(db.sql("SELECT product_id, count(*) FROM TextProduct GROUP BY 1 ORDER BY 1"),
              "O'HARE|1\nOX|1");
}

TEST_F(ProductPurgeTest, ANullInPurgeProductEndsThePassButNotTheRun) {
    db.sql(
        "ALTER TABLE PurgeProduct DROP CONSTRAINT purgeproduct_pkey, ALTER product_id DROP "
        "NOT NULL;" +
        versions("AAA", 3));
    for (const char* row : {"('AAA', NULL)", "(NULL, 1)"}) {
        SCOPED_TRACE(row);
        db.sql("TRUNCATE PurgeProduct;" + products(row));
        const auto r = run();
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(product_lines(r.out),
                  std::vector<std::string>{"ERROR - Can't FETCH PurgeProduct record (22002)"});
        EXPECT_EQ(db.count("SELECT count(*) FROM TextProduct"), 3);
    }
}
