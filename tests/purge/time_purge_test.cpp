// The time-based table purge: which rows go, what the report says, and how bad rows are met.

#include <regex>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::observations;
using purgetest::PurgeTest;
using purgetest::report_line;

class TimePurgeTest : public PurgeTest {};

TEST_F(TimePurgeTest, ExactlyTheRowsOlderThanEachCutoffGo) {
    db.sql(
        "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 48), "
        "('Precip  ', '  ObsTime ', 72, 96), ('snow', 'obstime', 1000, 2000);" +
        observations("height", 100, 1) + observations("precip", 100, 1) +
        observations("snow", 100, 1));
    const long long before_height = db.count("SELECT count(*) FROM height");
    const long long before_precip = db.count("SELECT count(*) FROM precip");
    const long long before_snow = db.count("SELECT count(*) FROM snow");

    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    long total = 0;
    for (const auto& [table, hours, before] :
         {std::tuple{std::string("height"), 24, before_height},
          std::tuple{std::string("precip"), 72, before_precip},
          std::tuple{std::string("snow"), 1000, before_snow}}) {
        const auto line = report_line(r.out, table);
        ASSERT_GE(line.deleted, 0) << table << "\n" << r.out;
        EXPECT_EQ(line.column, "obstime");
        const std::string cutoff = "'" + line.host_cutoff + "'";
        // Nothing older than the cutoff is left, and everything at or after it is.
        EXPECT_EQ(db.count("SELECT count(*) FROM " + table + " WHERE obstime < " + cutoff), 0);
        const long long kept =
            db.count("SELECT count(*) FROM " + table + " WHERE obstime >= " + cutoff);
        EXPECT_EQ(kept + line.deleted, before) << table;
        // The cutoff is the retention before the time of the run.
        EXPECT_EQ(db.count("SELECT extract(epoch FROM timezone('UTC', now()) - " + cutoff +
                           "::timestamp)::int / 3600"),
                  hours)
            << table;
        total += line.deleted;
    }
    EXPECT_GT(report_line(r.out, "height").deleted, 0);
    EXPECT_EQ(report_line(r.out, "snow").deleted, 0);
    EXPECT_GE(
        find_line(lines(r.out), "     " + std::to_string(total) + " records deleted from 3 tables"),
        0)
        << r.out;
    // The run's PerfLog row: the rows it deleted, and its elapsed time in seconds.
    EXPECT_EQ(db.count("SELECT num_processed FROM PerfLog"), total);
    const auto out = lines(r.out);
    const int elapsed = find_line(out, "Elapsed Time = ");
    ASSERT_GE(elapsed, 0);
    EXPECT_EQ(db.count("SELECT elapsed_time FROM PerfLog"),
              std::stol(out[elapsed].substr(std::string("Elapsed Time = ").size())));

    // Nothing is left to delete the second time.
    const auto again = run();
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(report_line(again.out, "height").deleted, 0);
    EXPECT_EQ(report_line(again.out, "precip").deleted, 0);
    EXPECT_GE(find_line(lines(again.out), "       0 records deleted from 3 tables"), 0);
}

TEST_F(TimePurgeTest, DateColumnsArePurgedInWholeDaysAndTimeColumnsInHours) {
    const std::string today = "timezone('UTC', now())::date";
    db.sql(
        "INSERT INTO PurgeDynData VALUES ('dailysummary', 'ObsDate   ', 25, 0), "
        "('height', 'obstime', 0, 0);"
        "INSERT INTO DailySummary SELECT 'AAAM1', 'PP', " +
        today +
        " - k, k "
        "FROM generate_series(-1, 5) AS k;" +
        observations("height", 5, 1));
    auto r = run();
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // 25 hours make two days, and the cutoff keeps the time of day of now; compared with a
    // date, the database takes the cutoff's day.
    const auto daily = report_line(r.out, "dailysummary");
    EXPECT_EQ(daily.column, "obsdate");
    EXPECT_EQ(db.count("SELECT " + today + " - '" + daily.host_cutoff + "'::timestamp::date"), 2);
    EXPECT_EQ(daily.deleted, 3);
    EXPECT_EQ(db.count("SELECT max(" + today + " - obsdate) FROM DailySummary"), 2);
    EXPECT_EQ(db.count("SELECT min(" + today + " - obsdate) FROM DailySummary"), -1);

    // 0 hours: the cutoff is now, so every row from before the run goes.
    const auto height = report_line(r.out, "height");
    EXPECT_EQ(height.deleted, 10);
    EXPECT_EQ(db.count("SELECT count(*) FROM height WHERE obstime < timezone('UTC', now())"), 0);

    // 24 hours make one day.
    db.sql("UPDATE PurgeDynData SET num_hours_host = 24 WHERE table_name = 'dailysummary'");
    r = run();
    EXPECT_EQ(report_line(r.out, "dailysummary").deleted, 1) << r.out;
    EXPECT_EQ(db.count("SELECT max(" + today + " - obsdate) FROM DailySummary"), 1);
}

TEST_F(TimePurgeTest, ATableTheDatabaseDoesNotKnowCountsButHasNoReportLine) {
    // Preparing the delete sends nothing: an unknown table or column shows when it runs, in
    // either retention mode.
    db.sql(
        "INSERT INTO Admin (hsa) VALUES ('BOX');"
        "INSERT INTO PurgeDynData VALUES ('nosuchtable', 'obstime', 24, 24), "
        "('height', 'nosuchcolumn', 24, 24), ('wind', 'obstime', 24, 24);" +
        observations("height", 2, 1));
    for (const char* backup : {"OFF", "ON"}) {
        SCOPED_TRACE(backup);
        const auto r = run({{"trevane_backup_retention_use", backup}});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto out = lines(r.out);
        EXPECT_EQ(report_line(r.out, "nosuchtable").deleted, -1);
        EXPECT_EQ(report_line(r.out, "wind").deleted, 0);
        EXPECT_GE(find_line(out, "PostgreSQL error 42P01 deleting records"), 0) << r.out;
        EXPECT_GE(find_line(out, "PostgreSQL error 42703 deleting records"), 0) << r.out;
        EXPECT_EQ(find_line(out, "PostgreSQL error 42P01 preparing"), -1) << r.out;
        if (std::string(backup) == "OFF") {
            EXPECT_EQ(report_line(r.out, "height").deleted, -1);
            EXPECT_GE(find_line(out, "       0 records deleted from 3 tables"), 0);
        } else {
            // Station by station, the failing statement is printed and the table's loop stops.
            EXPECT_EQ(report_line(r.out, "height").deleted, 0);
            EXPECT_GE(find_line(out, "DELETE FROM height WHERE lid = 'AAAM1' AND  nosuchcolumn"), 0)
                << r.out;
        }
    }
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 6);
}

TEST_F(TimePurgeTest, ANullInPurgeDynDataStopsTheRunAtTheFetch) {
    db.sql(
        "ALTER TABLE PurgeDynData DROP CONSTRAINT purgedyndata_pkey, ALTER table_name DROP "
        "NOT NULL");
    // The row with the NULL is fetched second, in table name order.
    for (const char* row :
         {"('wind', 'obstime', 24, NULL)", "('wind', NULL, 24, 24)", "(NULL, 'obstime', 24, 24)"}) {
        SCOPED_TRACE(row);
        db.sql(
            "TRUNCATE PurgeDynData, height, wind; INSERT INTO PurgeDynData VALUES ('height', "
            "'obstime', 24, 24), " +
            std::string(row) + ";" + observations("height", 48, 1) + observations("wind", 48, 1));
        const auto r = run();
        EXPECT_EQ(r.status, 1);
        const auto out = lines(r.out);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), "PostgreSQL error 22002 from purgedyn_cursor fetch") << r.out;
        // The table fetched before the failure was purged and stays purged; nothing after it
        // ran.
        EXPECT_EQ(report_line(r.out, "height").deleted, 48);
        EXPECT_EQ(db.count("SELECT count(*) FROM height"), 50);
        EXPECT_EQ(db.count("SELECT count(*) FROM wind"), 98);
        EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 0);
    }
}

TEST_F(TimePurgeTest, NamesThatCannotStandInAStatementAreSkippedAndDeleteNothing) {
    db.sql(
        "INSERT INTO PurgeDynData VALUES "
        "('height--', 'obstime', 0, 0), "  // would comment out the WHERE
        "('height', 'obstime--', 0, 0), "
        "('wind;drop', 'obstime', 0, 0), "
        "('discharge', 'obs''time', 0, 0), "
        "('averyveryverylongtablename', 'obstime', 0, 0), "  // longer than 19 characters
        "('temperature', 'averylongcolumnname', 0, 0), "     // longer than 14 characters
        "('  Wind  Speed', 'obstime', 0, 0);" +
        observations("height", 10, 1) + observations("wind", 10, 1) +
        observations("discharge", 10, 1) + observations("temperature", 10, 1));
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 22);
    EXPECT_EQ(db.count("SELECT count(*) FROM wind"), 22);
    EXPECT_EQ(db.count("SELECT count(*) FROM discharge"), 22);
    EXPECT_EQ(db.count("SELECT count(*) FROM temperature"), 22);
    const auto out = lines(r.out);
    EXPECT_GE(find_line(out,
                        "Skipping PurgeDynData row: \"height--\" / \"obstime\" is not a plain "
                        "table and column name"),
              0)
        << r.out;
    EXPECT_GE(find_line(out,
                        "Skipping PurgeDynData row: table name averyveryverylongta... is "
                        "longer than 19 characters"),
              0)
        << r.out;
    EXPECT_GE(find_line(out,
                        "Skipping PurgeDynData row of temperature: column name "
                        "averylongcolum... is longer than 14 characters"),
              0)
        << r.out;
    // "  Wind  Speed" cleans to windspeed, a plain name the database does not know.
    EXPECT_GE(find_line(out, "PostgreSQL error 42P01 deleting records"), 0);
    EXPECT_GE(find_line(out, "       0 records deleted from 7 tables"), 0) << r.out;
}

TEST_F(TimePurgeTest, HugeAndNegativeRetentions) {
    db.sql("INSERT INTO PurgeDynData VALUES ('height', 'obstime', -5, 0);" +
           observations("height", 10, 1));
    // A negative retention puts the cutoff after now: every row up to now goes.
    auto r = run();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(report_line(r.out, "height").deleted, 22);

    db.sql("UPDATE PurgeDynData SET num_hours_host = 2147483647;" + observations("height", 10, 1));
    r = run();
    // About 245,000 years back is before the first representable timestamp: the cutoff cannot
    // be computed, the run stops there with status 1, and no row goes.
    EXPECT_EQ(r.status, 1) << r.out;
    const auto out = lines(r.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), "Error subtracting interval") << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 22);
}
