// Reads that can't be trusted never delete what retention keeps: a failed lookup, a value padded
// by a char(n) column, or a value longer than its field leaves its key alone, says so in one line
// and is counted in the metrics file; padded names still purge as their bare names, and a lid
// stored with its blanks is deleted as stored. A grid file stays as long as its row.

#include <filesystem>
#include <string>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::observations;
using purgetest::PurgeTest;

namespace {

struct Case {
    const char* name;
    std::string setup;     // SQL run as the owner before the run
    std::string restrict;  // SQL that takes rights away from the run's role (empty: owner)
    bool backup_retention;
    std::string line;           // the one line the run prints about it (a report line: its start)
    std::string left;           // query of what the run must leave
    std::string expected_left;  // its result
    const char* pass;           // the keys_left_alone sample that counts it ("": none)
    const char* grid_left = "grid1,grid2";  // the grid files the run leaves
    int tables_failed = 0;
};

// Observations of stations OWN1 (the office's, hsa ABC) and OTHER1 over 120 hours; host
// retention 240 hours, backup 24.
std::string stations(const std::string& lid_type,
                     const std::string& observed = "'OWN1', 'OTHER1'") {
    return "ALTER TABLE Admin ALTER hsa TYPE char(5); INSERT INTO Admin (hsa) VALUES ('ABC');"
           "ALTER TABLE Location ALTER lid TYPE " +
           lid_type + "; ALTER TABLE height ALTER lid TYPE " + lid_type +
           ";"
           "INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone) VALUES "
           "('OWN1', 'c', 'ABC', 'n', 'r', 'MA', 'ABC', 'EST'), "
           "('OTHER1', 'c', 'XYZ', 'n', 'r', 'NY', 'XYZ', 'EST');"
           "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 240, 24);" +
           observations("height", 120, 1, observed);
}

const char* kRowsByStation =
    "SELECT string_agg(rtrim(lid) || ':' || n, ',' ORDER BY lid) FROM (SELECT lid, count(*) AS n "
    "FROM height GROUP BY lid) s";

}  // namespace

// Each case runs in a database of its own (the fixture's stays empty).
class FailClosedTest : public PurgeTest {};

TEST_F(FailClosedTest, KeysThatCannotBeTrustedAreLeftAlone) {
    const std::string vtec =
        "INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif) "
        "VALUES ('G1', 'P1', now() - interval '40 days', 'BOX', 'FL', 'W'), "
        "('G1', 'P2', now() - interval '50 days', 'BOX', 'FL', 'W');";
    const std::string products =
        "ALTER TABLE PurgeProduct ALTER product_id TYPE varchar(20);"
        "ALTER TABLE TextProduct ALTER product_id TYPE varchar(20);"
        "INSERT INTO PurgeProduct (product_id, num_versions, producttime, postingtime) VALUES "
        "('ABCDEFGHIJK', 1, now(), now()), "
        "('SHORT', 1, now(), now());"
        "INSERT INTO TextProduct (product_id, producttime, postingtime) SELECT p, now() - "
        "make_interval(hours => k), now() - make_interval(hours => k) FROM unnest(ARRAY["
        "'ABCDEFGHIJK', 'SHORT']) AS p, generate_series(1, 3) AS k;";
    const Case cases[] = {
        {"a failed latest-time lookup", vtec,
         "REVOKE SELECT ON VTECevent FROM {role}; GRANT SELECT (geoid, office_id, phenom, signif, "
         "producttime) ON VTECevent TO {role};",
         false,
         "  Combination G1:BOX:FL:W left alone: PostgreSQL error 42501 reading its latest "
         "producttime",
         "SELECT count(*) FROM VTECevent", "2", "events"},
        {"char(8) lids and a char(5) office hsa", stations("char(8)"), "", true,
         "hsa (from Admin table) = ABC", kRowsByStation, "OTHER1:25,OWN1:121", ""},
        {"a station table that can't be read", stations("varchar(8)"),
         "REVOKE SELECT ON Location FROM {role};", true,
         "Location could not be read: every station keeps its rows back to the earlier of the "
         "host and backup cutoffs",
         kRowsByStation, "OTHER1:121,OWN1:121", ""},
        {"a station list that can't be read", stations("varchar(8)"),
         "REVOKE SELECT ON height FROM {role}; GRANT SELECT (obstime) ON height TO {role};", true,
         "       0  height  ", kRowsByStation, "OTHER1:121,OWN1:121", "", "grid1,grid2", 1},
        {"a varchar lid stored with a trailing blank", stations("varchar(8)", "'OWN1', 'OTHER1 '"),
         "", true, "hsa (from Admin table) = ABC", kRowsByStation, "OTHER1:25,OWN1:121", ""},
        {"a lid lookup that fails, backup keeping longer than host",
         "INSERT INTO Admin (hsa) VALUES ('ABC'); INSERT INTO PurgeDynData VALUES ('height', "
         "'obstime', 24, 72), ('dparadar', 'obstime', 24, 72);"
         "INSERT INTO DPARadar (radid, obstime, maxvald, grid_filename) VALUES ('ABC', "
         "timezone('UTC', now()) - interval '30 hours', 1.0, 'grid1');" +
             observations("height", 120, 1, "'OWN1'"),
         "REVOKE SELECT ON pg_catalog.pg_attribute FROM PUBLIC;", true,
         "ERROR - lid lookup failed for height - backup cutoff value used",
         "SELECT (" + std::string(kRowsByStation) + ") || '/' || (SELECT count(*) FROM DPARadar)",
         "OWN1:73/1", ""},
        {"a lid lookup that fails, host keeping longer than backup",
         "INSERT INTO Admin (hsa) VALUES ('ABC'); INSERT INTO PurgeDynData VALUES ('height', "
         "'obstime', 72, 24);" +
             observations("height", 120, 1, "'OWN1'"),
         "REVOKE SELECT ON pg_catalog.pg_attribute FROM PUBLIC;", true,
         "ERROR - lid lookup failed for height - host cutoff value used", kRowsByStation, "OWN1:73",
         ""},
        {"a read of the expiring radar rows that fails",
         "INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24);"
         "INSERT INTO DPARadar (radid, obstime, maxvald, grid_filename) VALUES "
         "('ABC', timezone('UTC', now()) - interval '30 hours', 1.0, 'grid1'), "
         "('ABC', timezone('UTC', now()) - interval '31 hours', 1.0, 'grid2');",
         "REVOKE SELECT ON DPARadar FROM {role}; GRANT SELECT (obstime) ON DPARadar TO {role};",
         false,
         "Table dparadar left alone: PostgreSQL error 42501 reading the grid files of its "
         "expiring rows",
         "SELECT count(*) FROM DPARadar", "2", "tables"},
        {"a lid longer than its field",
         stations("varchar(20)") + observations("height", 120, 1, "'ABCDEFGHIJ'") +
             "INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone) VALUES "
             "('ABCDEFGHIJ', 'c', 'ABC', 'n', 'r', 'MA', 'ABC', 'EST');",
         "", true, "Station ABCDEFGHIJ of height left alone: its lid is longer than 8 characters",
         kRowsByStation, "ABCDEFGHIJ:121,OTHER1:25,OWN1:121", "tables"},
        {"a product id longer than its field", products, "", false,
         "Product ABCDEFGHIJK left alone: its product_id is longer than 10 characters",
         "SELECT string_agg(product_id || ':' || n, ',' ORDER BY product_id) FROM (SELECT "
         "product_id, count(*) AS n FROM TextProduct GROUP BY product_id) s",
         "ABCDEFGHIJK:3,SHORT:1", "products"},
        {"char(20) names in PurgeDynData and char(n) grid file names",
         "ALTER TABLE PurgeDynData ALTER table_name TYPE char(20), ALTER time_column_name TYPE "
         "char(20); ALTER TABLE DPARadar ALTER grid_filename TYPE char(20);"
         "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 24), ('dparadar', 'obstime', "
         "24, 24);" +
             observations("height", 48, 1, "'OWN1'") +
             "INSERT INTO DPARadar (radid, obstime, maxvald, grid_filename) VALUES ('ABC', "
             "timezone('UTC', now()) - interval '30 hours', 1.0, 'grid1');",
         "", false, "       1  dparadar            obstime  ",
         "SELECT (SELECT count(*) FROM height) || '/' || (SELECT count(*) FROM DPARadar)", "25/0",
         "", "grid2"},
        {"a delete of radar rows that fails",
         "INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24);"
         "INSERT INTO DPARadar (radid, obstime, maxvald, grid_filename) VALUES "
         "('ABC', timezone('UTC', now()) - interval '30 hours', 1.0, 'grid1'), "
         "('ABC', timezone('UTC', now()) - interval '31 hours', 1.0, 'grid2');",
         "REVOKE DELETE ON DPARadar FROM {role};", false, "PostgreSQL error 42501 deleting records",
         "SELECT count(*) FROM DPARadar", "2", "", "grid1,grid2", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TestDatabase fresh;
        std::string restrict = c.restrict;
        testsupport::EnvChanges env = fresh.env();
        fresh.sql(c.setup);
        std::string role;
        if (!restrict.empty()) {
            role = fresh.name() + "_run";
            for (std::size_t at; (at = restrict.find("{role}")) != std::string::npos;) {
                restrict.replace(at, 6, role);
            }
            fresh.sql("DROP ROLE IF EXISTS " + role + "; CREATE ROLE " + role +
                      " LOGIN; GRANT ALL ON ALL TABLES IN SCHEMA public TO " + role + ";" +
                      restrict);
            env["PGUSER"] = role;
        }
        const std::string grid = (dir.path() / "grid").string();
        std::filesystem::remove_all(grid);
        std::filesystem::create_directories(grid);
        dir.write("grid/grid1", "grid");
        dir.write("grid/grid2", "grid");
        const std::string metrics = (dir.path() / "run.prom").string();
        env["trevane_backup_retention_use"] = c.backup_retention ? "ON" : "";
        env["dpa_grid_dir"] = grid;
        env["trevane_preview"] = std::nullopt;
        env["trevane_metrics_file"] = metrics;
        const auto r = testsupport::runProgram(testsupport::builtProgram("trevane"), {}, env, 300);
        if (!role.empty()) {
            fresh.sql("DROP OWNED BY " + role);
            testsupport::run_sql("postgres", "DROP ROLE " + role);
        }

        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const auto out = lines(r.out);
        const int at = find_line(out, c.line);
        ASSERT_GE(at, 0) << r.out << r.err;
        if (c.line.back() != ' ') {
            EXPECT_EQ(out[at], c.line);
        }
        EXPECT_EQ(fresh.sql(c.left), c.expected_left) << r.out;
        const auto samples = purgetest::read_metrics(metrics, fresh.name());
        for (const char* pass : {"tables", "products", "events", "grid_files"}) {
            const std::string series =
                std::string("trevane_last_run_keys_left_alone{pass=\"") + pass + "\"}";
            EXPECT_EQ(samples.count(series) ? samples.at(series) : -1.0,
                      std::string(c.pass) == pass ? 1.0 : 0.0)
                << series;
        }
        EXPECT_EQ(samples.at("trevane_last_run_tables_failed"), c.tables_failed);
        std::string left;
        for (const std::string f : {"grid1", "grid2"}) {
            left += std::filesystem::exists(grid + "/" + f) ? (left.empty() ? "" : ",") + f : "";
        }
        EXPECT_EQ(left, c.grid_left);
    }
}
