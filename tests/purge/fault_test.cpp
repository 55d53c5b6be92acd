// Faults met during a run: the connection dying in the middle of the purge, a server that is
// not there or never answers, a hot standby, a signal, a lock held by another session, a role
// that may not delete from one table, and two runs at once. Whatever happens, trevane reports
// the failing step, ends with its own status (128 + N for a signal N it was sent), keeps every
// delete made before the fault and nothing after it, and the next run finishes the work.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::PurgeTest;
using purgetest::report_line;
using testsupport::RunResult;

using purgetest::expect_own_exit;
using purgetest::observations;

namespace {

// Everything that a run leaves behind in the purged tables, as one text to compare: the rows
// of each table by station or product and age in hours, so that two databases filled a moment
// apart compare equal.
std::string contents(const testsupport::TestDatabase& db) {
    std::string all;
    for (const char* table : {"height", "precip", "wind"}) {
        all +=
            db.sql(std::string("SELECT coalesce(string_agg(lid || '/' || value, ',' ORDER BY lid, "
                               "value), '') FROM ") +
                   table) +
            "\n";
    }
    all += db.sql(
               "SELECT coalesce(string_agg(product_id || '/' || product, ',' ORDER BY 1), '') "
               "FROM TextProduct") +
           "\n";
    all += db.sql(
        "SELECT coalesce(string_agg(geoid || '/' || product_id, ',' ORDER BY 1), '') "
        "FROM VTECevent");
    return all;
}

// A PostgreSQL cluster of this test alone (scripts/pg-cluster.sh in a temporary directory), for
// faults that would disturb the other tests: the server itself going away. Stopped at the end.
class PrivateCluster {
   public:
    PrivateCluster() { start(); }
    struct StandbyOf {
        const PrivateCluster& primary;
    };
    // A hot standby of the primary, made with pg_basebackup -R.
    explicit PrivateCluster(StandbyOf of) { start_standby(of.primary); }
    ~PrivateCluster() {
        testsupport::runProgram(script(), {"stop", dir_.path().string()}, {}, 120);
    }
    PrivateCluster(const PrivateCluster&) = delete;
    PrivateCluster& operator=(const PrivateCluster&) = delete;

    // (Re)starts the server; the socket's port changes with every start.
    void start() {
        const RunResult r =
            testsupport::runProgram(script(), {"start", dir_.path().string()}, {}, 180);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        read_port();
    }
    void start_standby(const PrivateCluster& primary) {
        const RunResult r = testsupport::runProgram(
            script(), {"standby", primary.dir_.path().string(), dir_.path().string()}, {}, 180);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        read_port();
    }
    // Restarts the server (fast shutdown: every session is ended) on the same socket.
    void restart() {
        const RunResult r =
            testsupport::runProgram(script(), {"restart", dir_.path().string()}, {}, 180);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    // The server's Unix socket.
    std::string socket() const { return (dir_.path() / (".s.PGSQL." + port_)).string(); }
    // Stops the server at once, as a crash would: SIGQUIT to the postmaster.
    void stop_immediately() {
        std::ifstream pidfile(dir_.path() / "data" / "postmaster.pid");
        pid_t pid = 0;
        pidfile >> pid;
        ASSERT_GT(pid, 0);
        ASSERT_EQ(kill(pid, SIGQUIT), 0);
        for (int i = 0; i < 600 && kill(pid, 0) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    // Environment that points a client at this cluster.
    testsupport::EnvChanges env() const {
        return {{"PGHOST", dir_.path().string()}, {"PGPORT", port_}, {"PGUSER", "postgres"}};
    }
    // Runs SQL through psql in database `db` of this cluster.
    std::string sql(const std::string& db, const std::string& text) const {
        const RunResult r = testsupport::runProgram(
            testsupport::psql_program(),
            {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-d", db, "-c", text}, env(), 300);
        EXPECT_EQ(r.status, 0) << text << "\n" << r.err;
        std::string out = r.out;
        if (!out.empty() && out.back() == '\n')
            out.pop_back();
        return out;
    }

    // Waits (up to a minute) until `condition` holds in database `db`.
    void wait_until(const std::string& db, const std::string& condition,
                    const std::string& what) const {
        sql(db, "DO $$ BEGIN FOR i IN 1..1200 LOOP PERFORM pg_stat_clear_snapshot(); IF " +
                    condition +
                    " THEN RETURN; END IF; PERFORM pg_sleep(0.05); END LOOP; RAISE EXCEPTION '" +
                    what + "'; END $$");
    }

   private:
    static std::string script() {
        return std::string(TREVANE_SOURCE_DIR) + "/scripts/pg-cluster.sh";
    }
    void read_port() {
        const std::string env = testsupport::readFile(dir_.path() / "env");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(env, m, std::regex("PGPORT=([0-9]+)"))) << env;
        port_ = m[1];
    }
    testsupport::TempDir dir_;
    std::string port_;
};

}  // namespace

class FaultTest : public PurgeTest {};

// The server stops in immediate mode while trevane deletes from one table. The run reports the
// lost connection in one line and ends with status 1; after the server is back, every delete
// committed before the stop is there, the interrupted one took nothing, and the next run completes.
TEST(TrevaneFaults, ServerStoppedInTheMiddleOfThePurge) {
    PrivateCluster cluster;
    const std::string db = "purge_crash";
    cluster.sql("postgres", "CREATE DATABASE " + db);
    const RunResult schema =
        testsupport::runProgram(testsupport::psql_program(),
                                {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", db, "-f",
                                 std::string(TREVANE_SOURCE_DIR) + "/sql/schema.sql"},
                                cluster.env(), 300);
    ASSERT_EQ(schema.status, 0) << schema.err;
    cluster.sql(db,
                "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 24), "
                "('precip', 'obstime', 24, 24), ('wind', 'obstime', 24, 24);" +
                    observations("height", 48) + observations("precip", 48) +
                    observations("wind", 48) +
                    "CREATE FUNCTION slow_delete() RETURNS trigger LANGUAGE plpgsql AS "
                    "$$ BEGIN PERFORM pg_sleep(60); RETURN NULL; END $$;"
                    "CREATE TRIGGER precip_slow BEFORE DELETE ON precip "
                    "FOR EACH STATEMENT EXECUTE FUNCTION slow_delete();");

    auto trevane_env = [&] {
        testsupport::EnvChanges env = cluster.env();
        for (const char* unset :
             {"APPS_DEFAULTS", "APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG", "APPS_DEFAULTS_SITE",
              "PG_DBPATH", "trevane_preview", "trevane_backup_retention_use", "dpa_grid_dir"}) {
            env[unset] = std::nullopt;
        }
        env["db_name"] = db;
        return env;
    };
    auto run = std::async(std::launch::async, [&] {
        return testsupport::runProgram(testsupport::builtProgram("trevane"), {}, trevane_env(),
                                       120);
    });
    // Once the delete from precip runs (and the earlier commit has reached the log), stop.
    cluster.sql(
        "postgres",
        "DO $$ BEGIN FOR i IN 1..600 LOOP PERFORM pg_stat_clear_snapshot(); "
        "IF EXISTS (SELECT 1 FROM pg_stat_activity WHERE state = 'active' AND "
        "query LIKE 'DELETE FROM precip %') THEN PERFORM pg_sleep(1); RETURN; END IF; "
        "PERFORM pg_sleep(0.05); END LOOP; RAISE EXCEPTION 'no delete from precip'; END $$");
    cluster.stop_immediately();
    const RunResult r = run.get();

    expect_own_exit(r);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const auto out = lines(r.out);
    EXPECT_EQ(report_line(r.out, "height").deleted, 48) << r.out;
    EXPECT_GE(find_line(out, "PostgreSQL error 57P02 deleting records"), 0) << r.out;
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(),
              "trevane: the connection to the database was lost; the run stops (time-based "
              "purge, table precip: PostgreSQL error 57P02)")
        << r.out;

    cluster.start();
    EXPECT_EQ(cluster.sql(db, "SELECT count(*) FROM height"), "50");
    EXPECT_EQ(cluster.sql(db, "SELECT count(*) FROM precip"), "98");
    EXPECT_EQ(cluster.sql(db, "SELECT count(*) FROM wind"), "98");
    EXPECT_EQ(cluster.sql(db, "SELECT count(*) FROM PerfLog"), "0");

    cluster.sql(db, "DROP TRIGGER precip_slow ON precip");
    const RunResult again =
        testsupport::runProgram(testsupport::builtProgram("trevane"), {}, trevane_env(), 120);
    expect_own_exit(again);
    ASSERT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(report_line(again.out, "height").deleted, 0);
    EXPECT_EQ(report_line(again.out, "precip").deleted, 48);
    EXPECT_EQ(report_line(again.out, "wind").deleted, 48);
    EXPECT_EQ(cluster.sql(db, "SELECT count(*) FROM precip") + " " +
                  cluster.sql(db, "SELECT count(*) FROM wind"),
              "50 50");
}

// The backend is terminated while it deletes from one table. The deletes committed before it
// stay done, the failure of that delete and the lost connection are reported, the run stops
// with status 1 without a PerfLog row, and the next run completes the purge.
TEST_F(FaultTest, ConnectionLostInTheMiddleOfThePurge) {
    db.sql(
        "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 24), "
        "('precip', 'obstime', 24, 24), ('wind', 'obstime', 24, 24);" +
        observations("height", 48) + observations("precip", 48) + observations("wind", 48) +
        "CREATE FUNCTION slow_delete() RETURNS trigger LANGUAGE plpgsql AS "
        "$$ BEGIN PERFORM pg_sleep(60); RETURN NULL; END $$;"
        "CREATE TRIGGER precip_slow BEFORE DELETE ON precip "
        "FOR EACH STATEMENT EXECUTE FUNCTION slow_delete();");

    // A second session waits until trevane's delete from precip is running, then ends it.
    const std::string killer =
        "DO $$ DECLARE victim int; BEGIN "
        "FOR i IN 1..600 LOOP "
        "  PERFORM pg_stat_clear_snapshot(); "
        "  SELECT pid INTO victim FROM pg_stat_activity WHERE datname = '" +
        db.name() +
        "' AND state = 'active' AND query LIKE 'DELETE FROM precip %' "
        "  AND pid <> pg_backend_pid(); "
        "  IF victim IS NOT NULL THEN PERFORM pg_terminate_backend(victim); RETURN; END IF; "
        "  PERFORM pg_sleep(0.05); "
        "END LOOP; RAISE EXCEPTION 'the delete from precip never started'; END $$";
    auto terminated =
        std::async(std::launch::async, [&] { return testsupport::run_sql(db.name(), killer); });
    const auto r = run();
    terminated.get();

    expect_own_exit(r);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const auto out = lines(r.out);
    // height went before the fault; precip's delete was cut off, then the cursor was gone.
    EXPECT_EQ(report_line(r.out, "height").deleted, 48) << r.out;
    EXPECT_EQ(report_line(r.out, "precip").deleted, -1) << r.out;
    EXPECT_EQ(report_line(r.out, "wind").deleted, -1) << r.out;
    const int deleting = find_line(out, "PostgreSQL error ");
    ASSERT_GE(deleting, 0) << r.out;
    EXPECT_NE(out[deleting].find(" deleting records"), std::string::npos) << r.out;
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().rfind("trevane: the connection to the database was lost; the run stops "
                               "(time-based purge, table precip: PostgreSQL error 57P0",
                               0),
              0u)
        << r.out;
    EXPECT_EQ(find_line(out, "end time"), -1);

    // The committed delete stays; the interrupted one took nothing; nothing later ran.
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 50);
    EXPECT_EQ(db.count("SELECT count(*) FROM height WHERE obstime < timezone('UTC', now()) - "
                       "interval '24 hours'"),
              0);
    EXPECT_EQ(db.count("SELECT count(*) FROM precip"), 98);
    EXPECT_EQ(db.count("SELECT count(*) FROM wind"), 98);
    EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 0);

    // With the delete no longer held up, the next run finishes what the first began.
    db.sql("DROP TRIGGER precip_slow ON precip");
    const auto again = run();
    expect_own_exit(again);
    ASSERT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(report_line(again.out, "height").deleted, 0);
    EXPECT_EQ(report_line(again.out, "precip").deleted, 48);
    EXPECT_EQ(report_line(again.out, "wind").deleted, 48);
    EXPECT_EQ(db.count("SELECT count(*) FROM precip"), 50);
    EXPECT_EQ(db.count("SELECT count(*) FROM wind"), 50);
    EXPECT_EQ(db.count("SELECT num_processed FROM PerfLog"), 96);
}

// Nothing listens where the client library is sent: the open fails, is reported on both
// streams with the client library's reason, and the run ends with status 1 before touching
// anything.
TEST(TrevaneFaults, ConnectionRefusedAtStart) {
    testsupport::TempDir empty;
    for (const auto& [host, port, reason] :
         {std::tuple<std::string, std::string, std::string>{empty.path().string(), "5432",
                                                            "No such file or directory"},
          std::tuple<std::string, std::string, std::string>{"127.0.0.1", "1",
                                                            "Connection refused"}}) {
        const RunResult r = testsupport::runProgram(testsupport::builtProgram("trevane"), {},
                                                    {{"db_name", "hd_ob_box"},
                                                     {"PGHOST", host},
                                                     {"PGPORT", port},
                                                     {"PG_DBPATH", std::nullopt},
                                                     {"APPS_DEFAULTS", std::nullopt},
                                                     {"APPS_DEFAULTS_USER", std::nullopt},
                                                     {"APPS_DEFAULTS_PROG", std::nullopt},
                                                     {"APPS_DEFAULTS_SITE", std::nullopt}},
                                                    60);
        expect_own_exit(r);
        EXPECT_EQ(r.status, 1) << host;
        const auto out = lines(r.out);
        ASSERT_GE(out.size(), 2u);
        EXPECT_EQ(out[out.size() - 2], "PostgreSQL error 2 attempting to open database") << host;
        EXPECT_EQ(out.back(), "The client library says: " + reason) << host;
        EXPECT_NE(r.err.find("Unable to open database hd_ob_box - (-402)\n"), std::string::npos)
            << host << "\n"
            << r.err;
    }
}

// The run's role may not delete from precip: that table's error is printed and it keeps its
// rows; every other table, the text products and the events are purged; the run ends with 0.
TEST_F(FaultTest, ARoleThatMayNotDeleteFromOneTable) {
    REQUIRE_TEST_SERVER();
    const std::string role = "purger_" + db.name();
    db.sql(
        "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 24), "
        "('precip', 'obstime', 24, 24), ('wind', 'obstime', 24, 24);" +
        observations("height", 48) + observations("precip", 48) + observations("wind", 48));
    testsupport::run_sql("postgres",
                         "DROP ROLE IF EXISTS " + role + "; CREATE ROLE " + role + " LOGIN");
    db.sql("GRANT SELECT, DELETE ON ALL TABLES IN SCHEMA public TO " + role +
           ";"
           "GRANT INSERT ON PerfLog TO " +
           role +
           ";"
           "REVOKE DELETE ON precip FROM " +
           role + ";");

    const auto r = run({{"PGUSER", role}});
    expect_own_exit(r);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto out = lines(r.out);
    EXPECT_GE(find_line(out, "PostgreSQL error 42501 deleting records"), 0) << r.out;
    EXPECT_EQ(report_line(r.out, "precip").deleted, -1);
    EXPECT_EQ(report_line(r.out, "height").deleted, 48);
    EXPECT_EQ(report_line(r.out, "wind").deleted, 48);
    EXPECT_GE(find_line(out, "      96 records deleted from 3 tables"), 0) << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM precip"), 98);
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 50);
    EXPECT_EQ(db.count("SELECT count(*) FROM wind"), 50);
    EXPECT_EQ(db.count("SELECT num_processed FROM PerfLog"), 96);

    db.sql("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM " + role);
    testsupport::run_sql("postgres", "DROP ROLE " + role);
}

// Two runs started together over the same database: the one that takes the database's lock
// purges (held up at its delete of precip by another session), the other stops at once with
// exit 75 and its line, and the database ends as after one run.
TEST_F(FaultTest, TwoRunsAtOnceOnePurgesTheOtherStops) {
    const std::string data =
        "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 24), "
        "('precip', 'obstime', 12, 12), ('wind', 'obstime', 0, 0);" +
        observations("height", 300) + observations("precip", 300) + observations("wind", 300) +
        "INSERT INTO PurgeProduct VALUES ('AAA', 2, now(), now()), ('BBB', 1, now(), now());"
        "INSERT INTO TextProduct (product_id, producttime, postingtime, prodtype, product) "
        "SELECT p, timezone('UTC', now()) - make_interval(hours => k), "
        "timezone('UTC', now()) - make_interval(hours => k), 'R', k::text "
        "FROM unnest(ARRAY['AAA','BBB']) AS p, generate_series(1, 6) AS k;"
        "INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif) "
        "SELECT 'G' || (k % 3), 'P' || k, timezone('UTC', now()) - make_interval(days => 10 * k), "
        "'KBOX', 'FL', 'W' FROM generate_series(1, 12) AS k;";
    db.sql(data);
    testsupport::TestDatabase alone;
    alone.sql(data);

    const auto once = testsupport::runProgram(
        testsupport::builtProgram("trevane"), {},
        [&] {
            auto env = alone.env();
            env["trevane_backup_retention_use"] = std::nullopt;
            env["dpa_grid_dir"] = std::nullopt;
            env["trevane_preview"] = std::nullopt;
            return env;
        }(),
        300);
    ASSERT_EQ(once.status, 0) << once.out << once.err;

    testsupport::EnvChanges holder_env;
    holder_env["PGAPPNAME"] = "lock_holder";
    testsupport::Child holder(
        testsupport::psql_program(),
        {"-X", "-q", "-d", db.name(), "-c",
         "BEGIN; LOCK TABLE precip IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(600)"},
        holder_env);
    const std::string held =
        "SELECT count(*) FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid WHERE "
        "a.application_name = 'lock_holder' AND l.granted AND l.relation = 'precip'::regclass";
    for (int i = 0; i < 500 && db.count(held) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(db.count(held), 1);

    auto env = db.env();
    env["trevane_backup_retention_use"] = std::nullopt;
    env["dpa_grid_dir"] = std::nullopt;
    env["trevane_preview"] = std::nullopt;
    env["PGUSER"] = "trevane";
    env["STATE_DIRECTORY"] = dir.path().string();
    testsupport::Child a(testsupport::builtProgram("trevane"), {}, env);
    testsupport::Child b(testsupport::builtProgram("trevane"), {}, env);
    const auto lock = dir.path() / ("trevane-" + db.name() + ".lock");
    std::string holder_pid;
    for (int i = 0; i < 1000 && holder_pid.empty(); ++i) {
        const std::string text = testsupport::readFile(lock);
        for (const testsupport::Child* c : {&a, &b}) {
            if (text == std::to_string(c->pid()) + "\n") {
                holder_pid = std::to_string(c->pid());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(holder_pid.empty());
    testsupport::Child& first = holder_pid == std::to_string(a.pid()) ? a : b;
    testsupport::Child& second = &first == &a ? b : a;

    const RunResult stopped = second.wait(60);
    EXPECT_EQ(stopped.status, 75) << stopped.out << stopped.err;
    const auto out = lines(stopped.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), "trevane: another run (pid " + holder_pid +
                              ") holds the lock of database " + db.name() + " (" + lock.string() +
                              "); the run stops");

    db.sql(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
        "'lock_holder'");
    const RunResult purged = first.wait(120);
    expect_own_exit(purged);
    EXPECT_EQ(purged.status, 0) << purged.out << purged.err;
    EXPECT_EQ(report_line(purged.out, "height").deleted, report_line(once.out, "height").deleted);
    EXPECT_EQ(contents(db), contents(alone));
    EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 1);
}

namespace {

// How a case of the fault matrix disturbs the run.
enum class Fault {
    None,              // only what the case's setting does
    LockHeld,          // another session holds precip in ACCESS EXCLUSIVE mode, and so below:
    RelayKilled,       // trevane connects through a TCP relay, killed while the delete waits
    Restart,           // the server restarts (fast) while the delete waits
    Sigterm,           // trevane gets SIGTERM while the delete waits
    SigtermTwice,      // and again while the cancel hangs on a relay silent to it
    SigtermAtConnect,  // trevane gets SIGTERM while it connects to a listener that never answers
    Standby,           // trevane connects to a hot standby of the cluster
    SilentServer,      // trevane connects to a listener that never answers
};

struct FaultCase {
    const char* name;
    Fault fault;
    const char* setting;  // NAME=value in trevane's environment, or empty
    std::string line;     // a line of the report, exactly
    // "<exit status> <where the line stands: last, inside> | <metrics> | <rows of dparadar,
    // height, precip, wind and PerfLog on the primary> | <grid files left>"
    std::string outcome;
};

// The purge's metrics file, or, after a preview, the preview's own (trevane-preview.prom).
std::string metrics_summary(const std::string& file, const std::string& database) {
    const bool preview = !std::filesystem::exists(file);
    const std::string prefix = preview ? "trevane_preview_" : "trevane_";
    const auto m = purgetest::read_metrics(
        preview ? file.substr(0, file.size() - 5) + "-preview.prom" : file, database);
    const auto at = [&m, &prefix](const char* name) {
        const auto found = m.find(prefix + name);
        return found == m.end() ? std::string("none") : std::to_string(std::lround(found->second));
    };
    const bool success = m.count("trevane_last_success_timestamp_seconds") != 0 &&
                         m.at("trevane_last_success_timestamp_seconds") > 0;
    return std::string(preview ? "preview " : "") + "exit=" + at("last_run_exit_status") +
           " failures=" + at("last_run_failures") +
           " fallback=" + at("last_run_retention_fallback") + " success=" + (success ? "1" : "0");
}

}  // namespace

// Every way the database, the network or the operator can interrupt a run, over real
// components: a hot standby, a read-only session, a relay that dies, a server restart, a signal, a
// lock held by another session, a server that never answers, a signal while connecting, a
// database that takes no connections. Each run stops (or goes on) as the case says, with its one
// line, its metrics, the rows and grid files it leaves, and nothing committed behind its back once
// the lock is released.
TEST(TrevaneFaults, FaultMatrix) {
    const std::string lost =
        "trevane: the connection to the database was lost; the run stops (time-based purge, "
        "table precip: PostgreSQL error 57P02)";
    const std::string stopped_at_precip =
        "1 last | exit=1 failures=1 fallback=0 success=0 | 0 50 98 98 0 | 0";
    const std::string untouched = " | 3 98 98 98 0 | 3";
    const FaultCase cases[] = {
        {"a purge on a hot standby", Fault::Standby, "",
         "trevane: the database server is a hot standby, where nothing can be deleted; the run "
         "stops",
         "1 last | exit=1 failures=0 fallback=0 success=0" + untouched},
        {"a preview on a hot standby", Fault::Standby, "trevane_preview=on",
         "Preview on a hot standby: reading only.",
         "0 inside | preview exit=0 failures=0 fallback=0 success=0" + untouched},
        {"a purge in a read-only session", Fault::None,
         "PGOPTIONS=-c default_transaction_read_only=on",
         "trevane: the database session is read-only (default_transaction_read_only is on), so "
         "nothing can be deleted; the run stops",
         "1 last | exit=1 failures=0 fallback=0 success=0" + untouched},
        {"the relay killed while a delete waits on a lock", Fault::RelayKilled,
         "PGOPTIONS=-c client_connection_check_interval=1s", lost, stopped_at_precip},
        {"a server restart while a delete waits on a lock", Fault::Restart, "", lost,
         stopped_at_precip},
        {"SIGTERM while a delete waits on a lock", Fault::Sigterm, "",
         "trevane: SIGTERM received; the run stops",
         "143 last | exit=143 failures=1 fallback=0 success=0 | 0 50 98 98 0 | 0"},
        {"a second SIGTERM while the cancel hangs", Fault::SigtermTwice,
         "PGOPTIONS=-c client_connection_check_interval=1s",
         "trevane: SIGTERM received; the run stops",
         "143 last | exit=143 failures=1 fallback=0 success=0 | 0 50 98 98 0 | 0"},
        {"a lock timeout", Fault::LockHeld, "trevane_lock_timeout=1s",
         "PostgreSQL error 55P03 deleting records",
         "0 inside | exit=0 failures=1 fallback=0 success=1 | 0 50 98 50 1 | 0"},
        {"a statement timeout with a blank in its value", Fault::LockHeld,
         "trevane_statement_timeout=1 s", "PostgreSQL error 57014 deleting records",
         "0 inside | exit=0 failures=1 fallback=0 success=1 | 0 50 98 50 1 | 0"},
        {"a lock timeout the server rejects", Fault::None, "trevane_lock_timeout=abc",
         "The server rejects trevane_lock_timeout = 'abc': invalid value for parameter "
         "\"lock_timeout\": \"abc\"",
         "1 inside | exit=1 failures=0 fallback=0 success=0" + untouched},
        {"a server that never answers", Fault::SilentServer, "",
         "The client library says: timeout expired",
         "1 last | exit=1 failures=0 fallback=0 success=0" + untouched},
        {"a database the server refuses", Fault::None, "db_name=template0",
         "The client library says: database \"template0\" is not currently accepting connections",
         "1 last | exit=1 failures=0 fallback=0 success=0" + untouched},
        {"SIGTERM while connecting to a server that never answers", Fault::SigtermAtConnect, "",
         "trevane: SIGTERM received; the run stops",
         "143 last | exit=143 failures=0 fallback=0 success=0" + untouched},
        {"backup retention without an Admin row", Fault::None, "trevane_backup_retention_use=ON",
         "Error attempting to read hsa field from Admin table -- All deletes will be based on "
         "num_hours_host values",
         "0 inside | exit=0 failures=0 fallback=1 success=1 | 0 50 50 50 1 | 0"},
    };

    // Servers before 14 report neither in_hot_standby nor default_transaction_read_only, and do
    // not check their clients: a standby or a read-only session shows only when the first delete
    // is refused, which stops the run before any row or file goes; a preview cannot tell that it
    // reads a standby; and a delete whose client went away waits on and commits once the lock goes.
    const std::string refused =
        "trevane: the session is read-only or the server is a standby; the run stops (time-based "
        "purge, table dparadar: PostgreSQL error 25006)";
    const FaultCase before_14[] = {
        {"a purge on a hot standby", Fault::Standby, "", refused,
         "1 last | exit=1 failures=1 fallback=0 success=0" + untouched},
        {"a preview on a hot standby", Fault::Standby, "trevane_preview=on",
         "Preview only: counting what would be deleted; nothing is deleted.",
         "0 inside | preview exit=0 failures=0 fallback=0 success=0" + untouched},
        {"a purge in a read-only session", Fault::None,
         "PGOPTIONS=-c default_transaction_read_only=on", refused,
         "1 last | exit=1 failures=1 fallback=0 success=0" + untouched},
        {"the relay killed while a delete waits on a lock", Fault::RelayKilled, "", lost,
         "1 last | exit=1 failures=1 fallback=0 success=0 | 0 50 50 98 0 | 0"},
        {"a second SIGTERM while the cancel hangs", Fault::SigtermTwice, "",
         "trevane: SIGTERM received; the run stops",
         "143 last | exit=143 failures=1 fallback=0 success=0 | 0 50 50 98 0 | 0"},
    };

    PrivateCluster cluster;
    std::unique_ptr<PrivateCluster> standby;
    const bool old_server = std::stoi(cluster.sql("postgres", "SHOW server_version_num")) < 140000;
    cluster.sql("postgres", "CREATE DATABASE fm_template");
    const RunResult schema =
        testsupport::runProgram(testsupport::psql_program(),
                                {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", "fm_template", "-f",
                                 std::string(TREVANE_SOURCE_DIR) + "/sql/schema.sql"},
                                cluster.env(), 300);
    ASSERT_EQ(schema.status, 0) << schema.err;

    int serial = 0;
    for (const FaultCase& listed : cases) {
        const auto* differs =
            std::find_if(std::begin(before_14), std::end(before_14),
                         [&](const FaultCase& o) { return std::string(o.name) == listed.name; });
        const FaultCase& c = old_server && differs != std::end(before_14) ? *differs : listed;
        SCOPED_TRACE(c.name);
        const std::string db = "fm_" + std::to_string(serial++);
        cluster.sql("postgres", "CREATE DATABASE " + db + " TEMPLATE fm_template");
        cluster.sql(db,
                    "INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24), "
                    "('height', 'obstime', 24, 24), ('precip', 'obstime', 24, 24), "
                    "('wind', 'obstime', 24, 24);" +
                        observations("height", 48) + observations("precip", 48) +
                        observations("wind", 48) +
                        "INSERT INTO DPARadar (radid, obstime, maxvald, grid_filename) "
                        "SELECT 'BOX', timezone('UTC', now()) - make_interval(hours => 30 + k), "
                        "1.5, 'grid' || k FROM generate_series(1, 3) AS k;");
        testsupport::TempDir files;
        for (const char* name : {"grid1", "grid2", "grid3"}) {
            files.write(std::string("grid/") + name, "grid");
        }
        const std::string metrics = (files.path() / "trevane.prom").string();

        testsupport::EnvChanges env = cluster.env();
        for (const char* unset :
             {"APPS_DEFAULTS", "APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG", "APPS_DEFAULTS_SITE",
              "PG_DBPATH", "PGOPTIONS", "PGAPPNAME", "PGCONNECT_TIMEOUT", "trevane_preview",
              "trevane_backup_retention_use", "trevane_lock_timeout",
              "trevane_statement_timeout"}) {
            env[unset] = std::nullopt;
        }
        env["db_name"] = db;
        env["dpa_grid_dir"] = (files.path() / "grid").string();
        env["trevane_metrics_file"] = metrics;
        const std::string setting = c.setting;
        if (!setting.empty()) {
            env[setting.substr(0, setting.find('='))] = setting.substr(setting.find('=') + 1);
        }

        if (c.fault == Fault::Standby) {
            if (!standby) {
                standby = std::make_unique<PrivateCluster>(PrivateCluster::StandbyOf{cluster});
            }
            const std::string lsn = cluster.sql("postgres", "SELECT pg_current_wal_lsn()");
            standby->wait_until("postgres", "pg_last_wal_replay_lsn() >= '" + lsn + "'",
                                "the standby does not catch up");
            for (const auto& [k, v] : standby->env()) env[k] = v;
        }
        std::unique_ptr<testsupport::Child> relay;
        const bool silent = c.fault == Fault::SilentServer || c.fault == Fault::SigtermAtConnect;
        if (c.fault == Fault::RelayKilled || c.fault == Fault::SigtermTwice || silent) {
            std::vector<std::string> args{silent ? "--silent" : cluster.socket()};
            if (c.fault == Fault::SigtermTwice) {
                args.emplace_back("--then-silent");
            }
            relay = std::make_unique<testsupport::Child>(TCP_RELAY_PROGRAM, args);
            for (int i = 0; i < 400 && relay->out().empty(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            const std::string port = relay->out();
            ASSERT_FALSE(port.empty());
            env["PGHOST"] = "127.0.0.1";
            env["PGPORT"] = port.substr(0, port.find('\n'));
        }
        std::unique_ptr<testsupport::Child> holder;
        const bool lock_precip = c.fault == Fault::LockHeld || c.fault == Fault::RelayKilled ||
                                 c.fault == Fault::Restart || c.fault == Fault::Sigterm ||
                                 c.fault == Fault::SigtermTwice;
        if (lock_precip) {
            testsupport::EnvChanges holder_env = cluster.env();
            holder_env["PGAPPNAME"] = "lock_holder";
            holder = std::make_unique<testsupport::Child>(
                testsupport::psql_program(),
                std::vector<std::string>{
                    "-X", "-q", "-d", db, "-c",
                    "BEGIN; LOCK TABLE precip IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(600)"},
                holder_env);
            cluster.wait_until(db,
                               "EXISTS (SELECT 1 FROM pg_locks l JOIN pg_stat_activity a ON "
                               "a.pid = l.pid WHERE a.application_name = 'lock_holder' AND "
                               "l.granted AND l.relation = 'precip'::regclass)",
                               "the lock on precip is not held");
        }

        const auto started = std::chrono::steady_clock::now();
        auto signalled = started;
        testsupport::Child trevane(testsupport::builtProgram("trevane"), {}, env);
        if (c.fault == Fault::SigtermAtConnect) {
            // The listener has taken the connection, and trevane waits for its answer.
            for (int i = 0; i < 1000 && relay->out().find("accepted") == std::string::npos; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            signalled = std::chrono::steady_clock::now();
            trevane.signal(SIGTERM);
        }
        if (c.fault == Fault::RelayKilled || c.fault == Fault::Restart ||
            c.fault == Fault::Sigterm || c.fault == Fault::SigtermTwice) {
            // The session is named trevane, and its delete from precip waits for the lock.
            cluster.wait_until(db,
                               "EXISTS (SELECT 1 FROM pg_stat_activity WHERE application_name = "
                               "'trevane' AND wait_event_type = 'Lock' AND query LIKE "
                               "'DELETE FROM precip %')",
                               "no delete from precip waits");
            if (c.fault == Fault::RelayKilled) {
                relay->signal(SIGKILL);
            } else if (c.fault == Fault::Restart) {
                cluster.restart();
            } else if (c.fault == Fault::SigtermTwice) {
                // The first stop's cancel reaches the relay, which never answers it.
                trevane.signal(SIGTERM);
                for (int i = 0; i < 1000 && relay->out().find("accepted") == std::string::npos;
                     ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                EXPECT_EQ(trevane.out().find("SIGTERM received"), std::string::npos);
                signalled = std::chrono::steady_clock::now();
                trevane.signal(SIGTERM);
            } else {
                signalled = std::chrono::steady_clock::now();
                trevane.signal(SIGTERM);
            }
        }
        const RunResult r = trevane.wait(120);
        const auto ended = std::chrono::steady_clock::now();
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(ended - started).count();

        // Once trevane's session is gone from the server, the lock goes: nothing that trevane
        // sent may then still take effect. A server that does not check its clients keeps the
        // session until the lock goes.
        const auto release_lock = [&cluster] {
            cluster.sql("postgres",
                        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                        "application_name = 'lock_holder'");
            cluster.wait_until("postgres",
                               "NOT EXISTS (SELECT 1 FROM pg_stat_activity WHERE "
                               "application_name = 'lock_holder')",
                               "the lock holder outlives its end");
        };
        if (old_server && (c.fault == Fault::RelayKilled || c.fault == Fault::SigtermTwice)) {
            release_lock();
        }
        cluster.wait_until("postgres",
                           "NOT EXISTS (SELECT 1 FROM pg_stat_activity WHERE application_name "
                           "= 'trevane')",
                           "a session of trevane outlives it");
        release_lock();

        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, 0) << "killed by a signal";
        const auto out = lines(r.out);
        const auto line = std::find(out.begin(), out.end(), c.line);
        const char* where = line == out.end()       ? "missing"
                            : line + 1 == out.end() ? "last"
                                                    : "inside";
        const std::string left = cluster.sql(
            db,
            "SELECT (SELECT count(*) FROM dparadar) || ' ' || (SELECT count(*) FROM height) || ' ' "
            "|| (SELECT count(*) FROM precip) || ' ' || (SELECT count(*) FROM wind) || ' ' || "
            "(SELECT count(*) FROM PerfLog)");
        const auto grid_files =
            std::distance(std::filesystem::directory_iterator(files.path() / "grid"), {});
        EXPECT_EQ(std::to_string(r.status) + " " + where + " | " +
                      metrics_summary(metrics, *env["db_name"]) + " | " + left + " | " +
                      std::to_string(grid_files),
                  c.outcome)
            << r.out << r.err;
        // A server that never answers is given up after the default 30 s.
        EXPECT_LE(seconds, c.fault == Fault::SilentServer ? 45 : 30);
        EXPECT_GE(seconds, c.fault == Fault::SilentServer ? 29 : 0);
        // A signal ends the run at once, in a connect as in a statement.
        if (signalled != started) {
            EXPECT_LE(
                std::chrono::duration_cast<std::chrono::milliseconds>(ended - signalled).count(),
                2000);
        }
    }
}
