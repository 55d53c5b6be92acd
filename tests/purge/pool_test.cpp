// trevane behind a real pgbouncer in front of the test server. In session mode a run leaves
// exactly what a direct run leaves. In transaction mode, with the pool shared with another client
// and some runs stopped midway by SIGTERM, every run either ends as a direct run does or stops
// with the pooler line, and none deletes a row that a direct run keeps.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "PurgeFixture.h"

using purgetest::lines;
using testsupport::EnvChanges;
using testsupport::RunResult;

namespace {

// A pgbouncer of this test alone (scripts/pgbouncer.sh) in front of the test server, in pool
// mode `mode` with the extra settings given; stopped when the object dies.
class Pooler {
   public:
    Pooler(const std::string& mode, const std::vector<std::string>& settings) {
        std::vector<std::string> args = {"start", dir_.path().string(), mode, std::getenv("PGHOST"),
                                         std::getenv("PGPORT")};
        args.insert(args.end(), settings.begin(), settings.end());
        const RunResult r = testsupport::runProgram(script(), args, {}, 60);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        std::smatch m;
        const std::string env = testsupport::readFile(dir_.path() / "env");
        if (std::regex_search(env, m, std::regex("PGPORT=([0-9]+)"))) {
            port_ = m[1];
        }
    }
    ~Pooler() { testsupport::runProgram(script(), {"stop", dir_.path().string()}, {}, 60); }
    Pooler(const Pooler&) = delete;
    Pooler& operator=(const Pooler&) = delete;

    bool started() const { return !port_.empty(); }
    EnvChanges env() const { return {{"PGHOST", dir_.path().string()}, {"PGPORT", port_}}; }

   private:
    static std::string script() {
        return std::string(TREVANE_SOURCE_DIR) + "/scripts/pgbouncer.sh";
    }
    testsupport::TempDir dir_;
    std::string port_;
};

// The purge's data, every time `anchor` less some hours or days and half an hour: cutoffs read
// within half an hour of the anchor select the same rows. Backup stations keep height and wind
// longer than the office's own, and precip shorter; CCCM1 is a station Location does not know.
// Each text product and event combination has its own times, so a cursor read for another one
// shows.
std::string purge_data(const std::string& anchor) {
    const std::string at = "timestamp '" + anchor + "'";
    std::string sql =
        "TRUNCATE PurgeDynData, Admin, Location, height, precip, wind, DPARadar, PurgeProduct, "
        "TextProduct, VTECevent, PerfLog;"
        "INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24), "
        "('height', 'obstime', 24, 48), ('precip', 'obstime', 48, 24), "
        "('wind', 'obstime', 24, 48);"
        "INSERT INTO Admin (hsa) VALUES ('BOX');"
        "INSERT INTO Location (lid, hsa) VALUES ('AAAM1', 'BOX'), ('BBBM1', 'ALY');"
        "INSERT INTO DPARadar (radid, obstime, maxvald) SELECT 'BOX', " +
        at +
        " - make_interval(hours => k) + interval '30 minutes', 0 FROM generate_series(0, 48) k;";
    for (const char* table : {"height", "precip", "wind"}) {
        sql += std::string("INSERT INTO ") + table +
               " (lid, pe, dur, ts, extremum, obstime, value) SELECT l, 'HG', 0, 'RG', 'Z', " + at +
               " - make_interval(hours => k) + interval '30 minutes', k FROM "
               "unnest(ARRAY['AAAM1', 'BBBM1', 'CCCM1']) l, generate_series(0, 72) k;";
    }
    return sql +
           "INSERT INTO PurgeProduct (product_id, num_versions) SELECT 'P' || p, 2 FROM "
           "generate_series(1, 4) p;"
           "INSERT INTO TextProduct (product_id, producttime, postingtime, product) SELECT 'P' || "
           "p, " +
           at + " - make_interval(days => v + 2 * p), " + at +
           " - make_interval(days => v + 2 * p), 'text' FROM generate_series(1, 4) p, "
           "generate_series(0, 4) v;"
           "INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif) "
           "SELECT 'G' || g, 'E' || k, " +
           at +
           " - make_interval(days => 25 + 10 * k + g), 'KBOX', 'FL', 'W' FROM "
           "generate_series(1, 4) g, generate_series(1, 5) k;";
}

// The rows of the purged tables, one key a line, sorted.
std::vector<std::string> rows_left(const testsupport::TestDatabase& db) {
    std::vector<std::string> rows = lines(
        db.sql("SELECT 'height ' || lid || ' ' || obstime FROM height UNION ALL "
               "SELECT 'precip ' || lid || ' ' || obstime FROM precip UNION ALL "
               "SELECT 'wind ' || lid || ' ' || obstime FROM wind UNION ALL "
               "SELECT 'dparadar ' || obstime FROM dparadar UNION ALL "
               "SELECT 'text ' || product_id || ' ' || producttime FROM TextProduct UNION ALL "
               "SELECT 'event ' || geoid || ' ' || producttime FROM VTECevent"));
    std::sort(rows.begin(), rows.end());
    return rows;
}

// The rows of `kept` that are missing from `left` (both sorted).
std::vector<std::string> missing(const std::vector<std::string>& kept,
                                 const std::vector<std::string>& left) {
    std::vector<std::string> out;
    std::set_difference(kept.begin(), kept.end(), left.begin(), left.end(),
                        std::back_inserter(out));
    return out;
}

// The environment of a run with backup retention against `db` as the role trevane, with `env`
// on top.
EnvChanges purge_env(const testsupport::TestDatabase& db, const EnvChanges& env) {
    EnvChanges all = db.env();
    for (const char* unset : {"trevane_preview", "dpa_grid_dir", "PGOPTIONS",
                              "trevane_lock_timeout", "trevane_statement_timeout"}) {
        all[unset] = std::nullopt;
    }
    all["trevane_backup_retention_use"] = "ON";
    all["PGUSER"] = "trevane";
    for (const auto& [k, v] : env) all[k] = v;
    return all;
}

class PoolTest : public purgetest::PurgeTest {
   protected:
    void SetUp() override {
        PurgeTest::SetUp();
        anchor_ = db.sql("SELECT date_trunc('second', timezone('UTC', now()))");
        direct_.sql(purge_data(anchor_));
        const RunResult r = testsupport::runProgram(testsupport::builtProgram("trevane"), {},
                                                    purge_env(direct_, {}), 120);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        kept_ = rows_left(direct_);
        ASSERT_GT(kept_.size(), 100u);
    }
    std::string anchor_;
    testsupport::TestDatabase direct_;
    std::vector<std::string> kept_;  // what a direct run leaves
};

const char* const kPoolerLine =
    "trevane: the database connection does not keep cursors between statements (a pooler in "
    "transaction mode?); trevane needs a session-level connection; the run stops (";

}  // namespace

TEST_F(PoolTest, ASessionPoolLeavesWhatADirectRunLeaves) {
    Pooler pool("session", {});
    ASSERT_TRUE(pool.started());
    db.sql(purge_data(anchor_));
    const RunResult r = testsupport::runProgram(testsupport::builtProgram("trevane"), {},
                                                purge_env(db, pool.env()), 120);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(rows_left(db), kept_);
}

// Runs in a row through a transaction pool that another client keeps busy; every third is sent
// SIGTERM a moment after it starts. Every run stops at the first cursor step that finds its
// cursor gone with the pooler line, or at the signal. Cursors left on the server sessions by
// earlier runs that stopped never answer for a later run's own (each declare names its cursor
// anew), so no run loses a row, with the pooler's default settings as with
// server_reset_query_always. TREVANE_POOL_RUNS sets the number of runs with the default settings
// (498); server_reset_query_always, which leaves no cursor behind, gets a tenth of them.
TEST_F(PoolTest, ATransactionPoolStopsTheRunWithThePoolerLine) {
    const char* runs_given = std::getenv("TREVANE_POOL_RUNS");
    const int runs = runs_given != nullptr ? std::atoi(runs_given) : 498;
    struct Case {
        const char* name;
        std::vector<std::string> settings;
        int runs;
    } const cases[] = {
        {"default settings", {}, runs},
        {"server_reset_query_always", {"server_reset_query_always=1"}, std::max(runs / 10, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pooler pool("transaction", c.settings);
        ASSERT_TRUE(pool.started());

        // The other client: short statements one after the other, each on whatever server
        // session the pool hands it, so that trevane's statements land on changing ones.
        std::string busy;
        for (int i = 0; i < 20000; ++i) busy += "SELECT pg_sleep(0.002);\n";
        EnvChanges other_env = pool.env();
        other_env["PGAPPNAME"] = "other_client";
        other_env["PGUSER"] = "trevane";  // one pool: the same database and user
        testsupport::Child other(testsupport::psql_program(),
                                 {"-X", "-q", "-d", db.name(), "-f", dir.write("busy.sql", busy)},
                                 other_env);

        std::mt19937 random(7);
        int completed = 0;
        int pooler_line = 0;
        int signalled = 0;
        int lost = 0;
        for (int i = 0; i < c.runs; ++i) {
            SCOPED_TRACE("run " + std::to_string(i));
            db.sql(purge_data(anchor_));
            testsupport::Child trevane(testsupport::builtProgram("trevane"), {},
                                       purge_env(db, pool.env()));
            if (i % 3 == 2) {
                // Once its handlers are in place (the banner is out).
                for (int wait = 0; wait < 500 && trevane.out().empty(); ++wait) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 4));
                trevane.signal(SIGTERM);
            }
            const RunResult r = trevane.wait(120);
            const auto out = lines(r.out);
            const std::string last = out.empty() ? "" : out.back();
            if (r.status == 0) {
                ++completed;
            } else if (r.status == 1 && last.rfind(kPoolerLine, 0) == 0) {
                ++pooler_line;
            } else if (r.status == 143 && last == "trevane: SIGTERM received; the run stops") {
                ++signalled;
            } else {
                ADD_FAILURE() << "stopped without the pooler line, status " << r.status << "\n"
                              << r.out << r.err;
            }
            const auto gone = missing(kept_, rows_left(db));
            lost += static_cast<int>(gone.size());
            EXPECT_TRUE(gone.empty()) << gone.size() << " rows a direct run keeps are gone, first "
                                      << gone.front() << "\n"
                                      << r.out;
        }
        std::cout << c.name << ", " << c.runs << " runs: " << completed << " completed, "
                  << pooler_line << " stopped with the pooler line, " << signalled
                  << " stopped by SIGTERM, " << lost << " lost rows\n";
        EXPECT_GT(pooler_line, 0);
        EXPECT_EQ(lost, 0);
    }
}
