// trevane as a process: how a run starts, where it gets its database and how it ends.

#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <regex>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::PurgeTest;
using testsupport::builtProgram;
using testsupport::runProgram;

namespace {

const std::regex kBeginTime(R"(begin time =  [A-Z][a-z]{2} \d{2}, \d{4} - \d{2}:\d{2}:\d{2} GMT)");

testsupport::EnvChanges no_tokens() {
    return {{"db_name", std::nullopt},
            {"APPS_DEFAULTS", std::nullopt},
            {"APPS_DEFAULTS_USER", std::nullopt},
            {"APPS_DEFAULTS_PROG", std::nullopt},
            {"APPS_DEFAULTS_SITE", std::nullopt},
            {"PG_DBPATH", std::nullopt}};
}

}  // namespace

TEST(TrevaneStart, WithoutDbNameStopsAfterTheOpenError) {
    const auto r = runProgram(builtProgram("trevane"), {}, no_tokens());
    ASSERT_EQ(r.status, 1) << r.out << r.err;
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 5u) << r.out;
    EXPECT_EQ(out[0], "ZEFT Database Purge  VORNE OB6  Mar 31, 2005");
    EXPECT_EQ(out[1], "");
    EXPECT_TRUE(std::regex_match(out[2], kBeginTime)) << out[2];
    EXPECT_EQ(out[3], "database name = ");
    EXPECT_EQ(out[4], "PostgreSQL error 1 attempting to open database");
    EXPECT_EQ(r.err, "");
}

TEST(TrevaneStart, UnknownDatabaseIsReportedOnStandardError) {
    REQUIRE_TEST_SERVER();
    auto env = no_tokens();
    env["db_name"] = "no_such_database";
    const auto r = runProgram(builtProgram("trevane"), {}, env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to open database no_such_database - (-402)\n");
    const auto out = lines(r.out);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[out.size() - 2], "PostgreSQL error 2 attempting to open database");
    EXPECT_EQ(out.back(), "The client library says: database \"no_such_database\" does not exist");
}

TEST_F(PurgeTest, RunOverAnEmptyDatabaseEndsNormallyAndLogsItself) {
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto out = lines(r.out);
    const std::vector<std::string> head = {
        "ZEFT Database Purge  VORNE OB6  Mar 31, 2005",
        "",
        "",  // the begin time, matched below
        "database name = " + db.name(),
        "Using num_hours_host field to determine retention for all records",
        "",
        " number",
        " deleted  table name          time column   time cutoff",
        std::string(63, '-'),
        std::string(63, '-'),
        "       0 records deleted from 0 tables",
        "",
        "Begin PurgeProduct:",
    };
    ASSERT_GE(out.size(), head.size() + 8) << r.out;
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (i != 2) {
            EXPECT_EQ(out[i], head[i]) << "line " << i;
        }
    }
    EXPECT_TRUE(std::regex_match(out[2], kBeginTime)) << out[2];

    const int vtec = find_line(out, "Begin purge of VTECevent table at ");
    ASSERT_GE(vtec, 0) << r.out;
    ASSERT_EQ(out.size(), static_cast<std::size_t>(vtec + 9)) << r.out;
    EXPECT_EQ(out[vtec + 1], "  deleting events older than 30 days and which are not the most");
    EXPECT_EQ(out[vtec + 2], "  recent for a given geoid/officeid/phenom/signif combination.");
    EXPECT_EQ(out[vtec + 3], "  no records in VTECevent table");
    EXPECT_EQ(out[vtec + 4], "");
    EXPECT_EQ(out[vtec + 5], "");
    EXPECT_TRUE(std::regex_match(
        out[vtec + 6], std::regex(R"(end time =  [A-Z][a-z]{2} \d{2}, \d{4} - \d{2}:\d{2}:\d{2})")))
        << out[vtec + 6];
    EXPECT_TRUE(std::regex_match(out[vtec + 7], std::regex(R"(Elapsed Time = \d+ sec)")));
    EXPECT_TRUE(
        std::regex_match(out[vtec + 8], std::regex(R"(             = [ \d]{3}\.\d{2} min)")));

    EXPECT_EQ(db.sql("SELECT process, num_processed, num_reads, num_inserts, num_updates, "
                     "num_deletes, cpu_time, io_time FROM PerfLog"),
              "trevane|0|0|0|0|0|0|0");
}

TEST_F(PurgeTest, DatabaseNameComesFromATokenFileAndPgDbpathOverridesIt) {
    const std::string file = dir.write("tokens", "db_name : " + db.name() + "\n");
    auto r = run({{"db_name", std::nullopt}, {"APPS_DEFAULTS", file}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GE(find_line(lines(r.out), "database name = " + db.name()), 0);

    // PG_DBPATH names the database whatever db_name says. PerfLog rows are keyed by the
    // start second, so the second run starts in a later second.
    sleep(1);
    r = run({{"db_name", "no_such_database"}, {"PG_DBPATH", db.name()}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GE(find_line(lines(r.out), "database name = no_such_database"), 0);
    EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 2);
}

TEST_F(PurgeTest, AMissingPerfLogTableIsReportedAndTheRunStillSucceeds) {
    db.sql("DROP TABLE PerfLog");
    const auto r = run();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GE(
        find_line(lines(r.out), "PostgreSQL error 42P01 attempting insert into PerfLog table"), 0)
        << r.out;
}

TEST_F(PurgeTest, APassWhoseTableIsMissingReportsAtTheStepThatRunsItAndTheRunGoesOn) {
    struct Case {
        const char* sql;
        const char* line;   // printed on standard output
        const char* error;  // the start of standard error
    };
    const Case cases[] = {
        {"DROP TABLE PurgeProduct", "ERROR - Can't OPEN cursor for PurgeProduct (42P01)", ""},
        {"INSERT INTO PurgeProduct VALUES ('AAA', 1, now(), now());"
         "DROP TABLE TextProduct",
         "ERROR - Can't OPEN cursor for TextProduct (42P01)", ""},
        {"DROP TABLE VTECevent",
         "ERROR - could not read the combinations of VTECevent: no event purged",
         "LoadUnique: error in open cursor (-400)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        testsupport::TestDatabase fresh;
        fresh.sql(c.sql);
        auto env = fresh.env();
        const auto r = testsupport::runProgram(testsupport::builtProgram("trevane"), {}, env);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_GE(find_line(lines(r.out), c.line), 0) << r.out;
        EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << r.err;
        EXPECT_EQ(fresh.count("SELECT count(*) FROM PerfLog"), 1);
    }
}

TEST_F(PurgeTest, AnyArgumentAnswersWithoutPurging) {
    db.sql("INSERT INTO PurgeDynData VALUES ('height', 'obstime', 0, 0);" +
           purgetest::observations("height", 5, 1));
    const testsupport::EnvChanges tokens = {
        {"db_name", std::nullopt},
        {"APPS_DEFAULTS", dir.write("tokens", "db_name : " + db.name() + "\n")}};
    const std::string see = "; see 'trevane --help'\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;  // of --help, only its first line is compared
        std::string err;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: trevane [--help | --version]\n", ""},
        {{"--version"}, 0, "trevane " TREVANE_VERSION "\n", ""},
        {{"-h"}, 2, "", "trevane: unrecognized argument '-h'" + see},
        {{""}, 2, "", "trevane: unrecognized argument ''" + see},
        {{"x", "--help"}, 2, "", "trevane: unrecognized argument 'x'" + see},
        {{"--help", "x"}, 2, "", "trevane: unexpected argument 'x' after '--help'" + see},
        {{"--version", "--help"},
         2,
         "",
         "trevane: unexpected argument '--help' after '--version'" + see},
    };
    for (const Case& c : cases) {
        const auto r = run(tokens, c.args);
        const std::string out =
            c.args[0] == "--help" && c.status == 0 ? r.out.substr(0, r.out.find('\n') + 1) : r.out;
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 12);
    EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 0);

    // The same token file without arguments does purge: all but the two rows half a minute
    // ahead of now.
    const auto r = run(tokens);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 2);
}

// The metrics file: a run that stops early still writes it and keeps the last success time of
// its database, never another database's; a file that cannot be written is one line of the
// report and changes no exit status.
TEST_F(PurgeTest, AFailedRunKeepsTheLastSuccessTimeInTheMetricsFile) {
    const std::string file = (dir.path() / "trevane.prom").string();
    auto r = run({{"trevane_metrics_file", file}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto succeeded = purgetest::read_metrics(file, db.name());
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0644));
    EXPECT_GT(succeeded.at("trevane_last_success_timestamp_seconds"),
              succeeded.at("trevane_last_run_start_timestamp_seconds"));

    r = run({{"trevane_metrics_file", file}, {"PGHOST", "/nonexistent"}});
    ASSERT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(purgetest::promtool_problems(file), "");
    const auto failed = purgetest::read_metrics(file, db.name());
    EXPECT_EQ(failed.at("trevane_last_run_exit_status"), 1);
    EXPECT_EQ(failed.at("trevane_last_success_timestamp_seconds"),
              succeeded.at("trevane_last_success_timestamp_seconds"));

    r = run({{"trevane_metrics_file", file}, {"db_name", "no_such_database"}});
    ASSERT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(purgetest::read_metrics(file, "no_such_database")
                  .at("trevane_last_success_timestamp_seconds"),
              0);
}

TEST_F(PurgeTest, AMetricsFileThatCannotBeWrittenIsReportedAndLeavesNoTemporaryFile) {
    const auto target = dir.path() / "a_directory";
    std::filesystem::create_directory(target);
    const auto r = run({{"trevane_metrics_file", target.string()}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto out = lines(r.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(),
              "Could not write the metrics file " + target.string() + ": Is a directory");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}
