// trevane as a process: how a run starts, where it gets its database and how it ends.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <optional>
#include <regex>
#include <set>

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
        {{"--help"}, 0, "Usage: trevane [--preview | --help | --version]\n", ""},
        {{"--version"}, 0, "trevane " TREVANE_VERSION "\n", ""},
        {{"--preview"}, 0, "ZEFT Database Purge  VORNE OB6  Mar 31, 2005\n", ""},
        {{"-h"}, 2, "", "trevane: unrecognized argument '-h'" + see},
        {{"--Preview"}, 2, "", "trevane: unrecognized argument '--Preview'" + see},
        {{""}, 2, "", "trevane: unrecognized argument ''" + see},
        {{"x", "--help"}, 2, "", "trevane: unrecognized argument 'x'" + see},
        {{"--help", "x"}, 2, "", "trevane: unexpected argument 'x' after '--help'" + see},
        {{"--preview", "--preview"},
         2,
         "",
         "trevane: unexpected argument '--preview' after '--preview'" + see},
        {{"--version", "--help"},
         2,
         "",
         "trevane: unexpected argument '--help' after '--version'" + see},
    };
    for (const Case& c : cases) {
        const auto r = run(tokens, c.args);
        // Of the report and of the help, only the first line.
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        if (c.args[0] == "--preview" && c.status == 0) {
            EXPECT_GE(find_line(lines(r.out), "Preview only: "), 0) << r.out;
            EXPECT_EQ(purgetest::report_line(r.out, "height").deleted, 10) << r.out;
        }
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

    r = run({{"trevane_metrics_file", file}, {"db_name", "no_such_database_either"}});
    ASSERT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(purgetest::read_metrics(file, "no_such_database_either")
                  .at("trevane_last_success_timestamp_seconds"),
              0);
}

// A preview, asked for by --preview or by the token, writes a file of its own next to the
// purge's and leaves the purge's file, here that of a failed run, byte for byte as it was.
TEST_F(PurgeTest, APreviewLeavesTheMetricsOfTheLastPurgeAlone) {
    db.sql("INSERT INTO PurgeDynData VALUES ('height', 'obstime', 0, 0);" +
           purgetest::observations("height", 5, 1));
    const std::string file = (dir.path() / "trevane-east.prom").string();
    const std::string preview_file = (dir.path() / "trevane-east-preview.prom").string();
    auto r = run({{"trevane_metrics_file", file}, {"PGHOST", "/nonexistent"}});
    ASSERT_EQ(r.status, 1) << r.out;
    const std::string failed = testsupport::readFile(file);
    EXPECT_EQ(purgetest::read_metrics(file, db.name()).at("trevane_last_run_preview"), 0);

    struct Case {
        testsupport::EnvChanges env;
        std::vector<std::string> args;
        double by_token;
    };
    const Case cases[] = {
        {{{"trevane_metrics_file", file}}, {"--preview"}, 0},
        {{{"trevane_metrics_file", file}, {"trevane_preview", "ON"}}, {}, 1},
    };
    for (const Case& c : cases) {
        r = run(c.env, c.args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(testsupport::readFile(file), failed);
        EXPECT_EQ(purgetest::promtool_problems(preview_file), "");
        const auto preview = purgetest::read_metrics(preview_file, db.name());
        EXPECT_EQ(preview.at("trevane_preview_last_run_exit_status"), 0);
        EXPECT_EQ(preview.at("trevane_preview_requested_by_token"), c.by_token);
        EXPECT_EQ(preview.at("trevane_preview_last_run_total_rows_deleted"), 10);
        for (const auto& [series, value] : preview) {
            EXPECT_EQ(series.rfind("trevane_preview_", 0), 0u) << series;
        }
        EXPECT_EQ(preview.count("trevane_preview_last_success_timestamp_seconds"), 0u);
    }
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 12);
}

// The label names the database as the session reports it, or as a target that could not be
// reached names it, never the rest of the target: no password reaches the metrics file, nor the
// name of any file that the run makes.
TEST_F(PurgeTest, APasswordInPgDbpathReachesNoFile) {
    const std::string file = (dir.path() / "trevane-east.prom").string();
    struct Case {
        std::string dbpath;
        int status;
        std::string label;
    };
    const Case cases[] = {
        {"unix:postgresql://localhost/" + db.name() + "?password=sekrit7", 0, db.name()},
        {"tcp:postgresql://127.0.0.1:1/nosuch_label?password=sekrit7", 1, "nosuch_label"},
        {"dbname=nosuch_kv password=sekrit7", 1, "nosuch_kv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dbpath);
        const auto r = run({{"trevane_metrics_file", file},
                            {"PG_DBPATH", c.dbpath},
                            {"STATE_DIRECTORY", dir.path().string()}});
        ASSERT_EQ(r.status, c.status) << r.out << r.err;
        const std::string text = testsupport::readFile(file);
        EXPECT_EQ(text.find("sekrit7"), std::string::npos) << text;
        EXPECT_EQ(purgetest::read_metrics(file, c.label).at("trevane_last_run_exit_status"),
                  c.status)
            << text;
        EXPECT_TRUE(std::filesystem::exists(dir.path() / ("trevane-" + c.label + ".lock")));
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            EXPECT_EQ(entry.path().string().find("sekrit7"), std::string::npos) << entry.path();
        }
        sleep(1);  // PerfLog rows are keyed by the start second
    }
}

// One run per database on a host: the lock file of the database in the state directory, else
// /run/trevane, else the temporary directory. A run that finds it held says by whom, exits 75,
// and touches neither the database nor the metrics file.
TEST_F(PurgeTest, ARunThatFindsTheLockOfItsDatabaseHeldStops) {
    db.sql("INSERT INTO PurgeDynData VALUES ('height', 'obstime', 0, 0);" +
           purgetest::observations("height", 5, 1));
    const std::string file = dir.write("trevane.prom", "left by the run that holds the lock\n");
    std::filesystem::create_directories(dir.path() / "tmp");
    struct Case {
        testsupport::EnvChanges env;
        std::filesystem::path lock_dir;
    };
    const Case cases[] = {
        {{{"STATE_DIRECTORY", dir.path().string() + ":/nonexistent"}}, dir.path()},
        {{{"STATE_DIRECTORY", std::nullopt}, {"TMPDIR", (dir.path() / "tmp").string()}},
         dir.path() / "tmp"},
    };
    for (const Case& c : cases) {
        const auto path = c.lock_dir / ("trevane-" + db.name() + ".lock");
        SCOPED_TRACE(path);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(flock(fd, LOCK_EX), 0);
        const std::string pid = std::to_string(getpid()) + "\n";
        ASSERT_EQ(write(fd, pid.data(), pid.size()), static_cast<ssize_t>(pid.size()));
        auto env = c.env;
        env["trevane_metrics_file"] = file;
        auto r = run(env);
        close(fd);
        EXPECT_EQ(r.status, 75) << r.out << r.err;
        const auto out = lines(r.out);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), "trevane: another run (pid " + std::to_string(getpid()) +
                                  ") holds the lock of database " + db.name() + " (" +
                                  path.string() + "); the run stops");
        EXPECT_EQ(testsupport::readFile(file), "left by the run that holds the lock\n");
        EXPECT_EQ(db.count("SELECT count(*) FROM height"), 12);
        EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 0);

        // Let go, the lock is the next run's, which writes its pid into it.
        r = run(env);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(db.count("SELECT count(*) FROM height"), 2);
        EXPECT_NE(testsupport::readFile(path), pid);
        EXPECT_NE(testsupport::readFile(file), "left by the run that holds the lock\n");
        db.sql("DELETE FROM PerfLog; DELETE FROM height;" +
               purgetest::observations("height", 5, 1));
        dir.write("trevane.prom", "left by the run that holds the lock\n");
    }
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

// On the journal (JOURNAL_STREAM names the descriptor that standard output and standard error
// write to), a failure's lines carry "<3>" and a key left alone "<4>"; anywhere else the output
// is byte for byte what it is without the journal.
TEST_F(PurgeTest, OnTheJournalFailuresAndKeysLeftAloneCarryTheirPriority) {
    db.sql(
        "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 0, 0), "
        "('no-such', 'obstime', 0, 0), ('nosuch', 'obstime', 0, 0);"
        "DROP TABLE PurgeProduct; DROP TABLE VTECevent; DROP TABLE PerfLog;");
    const auto dev_ino = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    };
    const std::string other = dir.write("other", "");
    // Both streams into one file, as systemd connects them; numbers masked, for the times.
    const auto run_into = [&](const std::optional<std::string>& journal) {
        const std::string out = dir.write("out", "");
        auto env = db.env();
        env["PGUSER"] = "trevane";
        env["JOURNAL_STREAM"] = journal ? (*journal == "out" ? dev_ino(out) : dev_ino(other))
                                        : std::optional<std::string>();
        const auto r = runProgram(
            "/bin/sh", {"-c", "exec \"$0\" >\"$1\" 2>&1", builtProgram("trevane"), out}, env);
        EXPECT_EQ(r.status, 0) << testsupport::readFile(out);
        return std::regex_replace(testsupport::readFile(out), std::regex(R"(([^<])\d+)"), "$1#");
    };
    const std::string plain = run_into(std::nullopt);
    EXPECT_EQ(run_into("other"), plain);
    const auto journal = lines(run_into("out"));
    const std::pair<std::string, std::string> expected[] = {
        {"Skipping PurgeDynData row: \"no-such\" / \"obstime\"", "<4>"},
        {"PostgreSQL error #P# deleting records", "<3>"},
        {"ERROR - Can't OPEN cursor for PurgeProduct (#P#)", "<3>"},
        // standard error: the loader's and the access layer's reports
        {"LoadUnique: error in open cursor", "<3>"},
        {" table=VTECevent:where=", "<3>"},
        {"ERROR - could not read the combinations of VTECevent", "<3>"},
        {"PutPerfLog() in Insert section --- ERROR", "<3>"},
        {"SQLCODE = (-#) sql state = (#P#)", "<3>"},
        {"Error Message (relation \"perflog\" does not exist", "<3>"},
        {"PostgreSQL error #P# attempting insert into PerfLog table", "<3>"},
    };
    const auto out = lines(plain);
    ASSERT_EQ(journal.size(), out.size()) << plain;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::string prefix;
        for (const auto& [start, p] : expected) {
            if (out[i].rfind(start, 0) == 0) {
                prefix = p;
                seen.insert(start);
            }
        }
        EXPECT_EQ(journal[i], prefix + out[i]);
    }
    EXPECT_EQ(seen.size(), std::size(expected)) << plain;
}
