// Whole runs over the demonstration data: what a run deletes against an expectation computed
// independently in SQL, and what a preview reports against what the following run deletes.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "Admin.h"
#include "DbmsAccess.h"
#include "Esql.h"
#include "PurgeFixture.h"
#include "ScopedEnv.h"
#include "session_setup.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::promtool_problems;
using purgetest::PurgeTest;
using purgetest::read_metrics;
using purgetest::report_line;

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kTables = {"height", "discharge", "precip",       "temperature",
                                          "snow",   "wind",      "dailysummary", "dparadar"};

// Every purged table's row count and a checksum of its remaining keys, in one text.
std::string snapshot(const testsupport::TestDatabase& db) {
    std::string text;
    for (const std::string& t : kTables) {
        text += db.sql("SELECT '" + t +
                       "', count(*), md5(coalesce(string_agg(x::text, ',' ORDER BY "
                       "x::text), '')) FROM " +
                       t + " x") +
                "\n";
    }
    for (const std::string t : {"TextProduct", "VTECevent", "PerfLog"}) {
        text += db.sql("SELECT '" + t +
                       "', count(*), md5(coalesce(string_agg(x::text, ',' ORDER BY "
                       "x::text), '')) FROM " +
                       t + " x") +
                "\n";
    }
    return text;
}

// Sum of the figures that follow `prefix` on the lines that start with it.
long sum_after(const std::string& out, const std::string& prefix) {
    long total = 0;
    for (const std::string& line : lines(out)) {
        if (line.rfind(prefix, 0) == 0)
            total += std::stol(line.substr(prefix.size()));
    }
    return total;
}

}  // namespace

class WholeRunTest : public PurgeTest {
   protected:
    void SetUp() override {
        PurgeTest::SetUp();
        testsupport::psql_file(db.name(), std::string(TREVANE_SOURCE_DIR) + "/sql/demo_data.sql");
        fs::create_directories(dir.path() / "grid");
        for (const std::string& f :
             lines(db.sql("SELECT grid_filename FROM DPARadar WHERE maxvald > 0.0 ORDER BY 1"))) {
            dir.write("grid/" + f, "grid");
        }
        // Rows lie on whole seconds relative to the load: let the clock pass the load's second
        // so that a cutoff never falls on a row.
        sleep(1);
    }
    std::size_t grid_files() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path() / "grid")) ++n;
        return n;
    }
    std::string metrics_file() const { return (dir.path() / "trevane.prom").string(); }
    testsupport::EnvChanges tokens(bool preview) const {
        testsupport::EnvChanges env = {{"trevane_backup_retention_use", "ON"},
                                       {"dpa_grid_dir", (dir.path() / "grid").string()},
                                       {"trevane_metrics_file", metrics_file()},
                                       {"TZ", "Asia/Kolkata"}};
        if (preview)
            env["trevane_preview"] = "ON";
        return env;
    }
};

TEST_F(WholeRunTest, DeletesWhatTheRetentionRulesSayAwayFromUtc) {
    // Expected survivors, computed from the rules directly.
    const std::string now = "timezone('UTC', now())";
    std::map<std::string, long long> expected;
    for (const std::string& t : kTables) {
        const std::string column = t == "dailysummary" ? "obsdate" : "obstime";
        const std::string hours =
            t == "dparadar"
                ? "p.num_hours_host"
                : "CASE WHEN l.hsa = 'BOX' THEN p.num_hours_host ELSE p.num_hours_backup END";
        const std::string retention = t == "dailysummary"
                                          ? "make_interval(days => ceil(" + hours + " / 24.0)::int)"
                                          : "make_interval(hours => " + hours + ")";
        const std::string cutoff = t == "dailysummary" ? "(" + now + " - " + retention + ")::date"
                                                       : now + " - " + retention;
        const std::string join = t == "dparadar" ? "" : " LEFT JOIN Location l ON l.lid = x.lid";
        expected[t] = db.count("SELECT count(*) FROM " + t + " x" + join +
                               ", PurgeDynData p WHERE lower(p.table_name) = '" + t + "' AND x." +
                               column + " >= " + cutoff);
    }
    const long long events = db.count(
        "SELECT count(*) FROM VTECevent v WHERE producttime >= " + now +
        " - interval '30 days' "
        "OR producttime = (SELECT max(producttime) FROM VTECevent w WHERE w.geoid = v.geoid AND "
        "w.office_id = v.office_id AND w.phenom = v.phenom AND w.signif = v.signif)");
    const long long versions = db.count(
        "WITH r AS (SELECT t.*, p.num_versions, row_number() OVER (PARTITION BY t.product_id "
        "ORDER BY t.producttime DESC, t.postingtime DESC) AS n FROM TextProduct t JOIN "
        "PurgeProduct p USING (product_id)), b AS (SELECT * FROM r WHERE n = num_versions) "
        "SELECT count(*) FROM r WHERE num_versions > 0 AND NOT EXISTS (SELECT 1 FROM b WHERE "
        "b.product_id = r.product_id AND r.producttime < b.producttime AND r.postingtime < "
        "b.postingtime)");
    const long long grid_kept =
        db.count("SELECT count(*) FROM DPARadar WHERE maxvald > 0.0 AND obstime >= " + now +
                 " - interval '72 hours'");

    const auto r = run(tokens(false));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string& t : kTables) {
        EXPECT_EQ(db.count("SELECT count(*) FROM " + t), expected[t]) << t;
    }
    EXPECT_EQ(db.count("SELECT count(*) FROM VTECevent"), events);
    EXPECT_EQ(db.count("SELECT count(*) FROM TextProduct"), versions);
    EXPECT_EQ(grid_files(), static_cast<std::size_t>(grid_kept));
    EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 1);
}

// The metrics files of both runs pass promtool and carry the figures of their reports.
TEST_F(WholeRunTest, APreviewChangesNothingAndCountsWhatTheRunThenDeletes) {
    const std::string before = snapshot(db);
    const std::size_t files_before = grid_files();

    const auto preview = run(tokens(true));
    ASSERT_EQ(preview.status, 0) << preview.out << preview.err;
    const std::string preview_file = (dir.path() / "trevane-preview.prom").string();
    EXPECT_EQ(promtool_problems(preview_file), "");
    const auto previewed = read_metrics(preview_file, db.name());
    EXPECT_EQ(snapshot(db), before);
    EXPECT_EQ(grid_files(), files_before);
    const auto out = lines(preview.out);
    const int name_line = find_line(out, "database name = ");
    ASSERT_GE(name_line, 0);
    EXPECT_EQ(out[name_line + 1],
              "Preview only: counting what would be deleted; nothing is deleted.");
    const std::regex total(R"(\s*(\d+) records would be deleted from 8 tables)");
    bool found_total = false;
    for (const auto& line : out) found_total = found_total || std::regex_match(line, total);
    EXPECT_TRUE(found_total) << preview.out;
    const long would_remove = std::count_if(out.begin(), out.end(), [](const std::string& l) {
        return l.rfind("   would remove ", 0) == 0;
    });

    const long long versions_before = db.count("SELECT count(*) FROM TextProduct");
    const long long events_before = db.count("SELECT count(*) FROM VTECevent");
    const auto real = run(tokens(false));
    ASSERT_EQ(real.status, 0) << real.out;
    EXPECT_EQ(promtool_problems(metrics_file()), "");
    const auto done = read_metrics(metrics_file(), db.name());
    for (const std::string& t : kTables) {
        const std::string series = "trevane_last_run_rows_deleted{table=\"" + t + "\"}";
        EXPECT_EQ(report_line(preview.out, t).deleted, report_line(real.out, t).deleted) << t;
        EXPECT_EQ(previewed.at("trevane_preview_" + series.substr(8)),
                  report_line(preview.out, t).deleted)
            << t;
        EXPECT_EQ(done.at(series), report_line(real.out, t).deleted) << t;
    }
    const long long versions_deleted =
        versions_before - db.count("SELECT count(*) FROM TextProduct");
    EXPECT_EQ(sum_after(preview.out, "    (preview: "), versions_deleted);
    EXPECT_EQ(previewed.at("trevane_preview_last_run_text_product_versions_deleted"),
              versions_deleted);
    EXPECT_EQ(done.at("trevane_last_run_text_product_versions_deleted"), versions_deleted);
    EXPECT_EQ(previewed.at("trevane_preview_last_run_grid_files_removed"), would_remove);
    EXPECT_EQ(done.at("trevane_last_run_grid_files_removed"), files_before - grid_files());
    EXPECT_EQ(previewed.at("trevane_preview_requested_by_token"), 1);
    EXPECT_EQ(done.at("trevane_last_run_preview"), 0);
    EXPECT_EQ(sum_after(preview.out, "   (preview: "),
              events_before - db.count("SELECT count(*) FROM VTECevent"));
    EXPECT_EQ(static_cast<std::size_t>(would_remove), files_before - grid_files());
    EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 1);  // the preview wrote none
}

TEST_F(WholeRunTest, OnlyOnOrONMakesAPreview) {
    for (const char* value : {"On", "ON ", "yes"}) {
        auto env = tokens(false);
        env["trevane_preview"] = value;
        sleep(1);  // each run's PerfLog row is keyed by its start second
        const auto r = run(env);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(find_line(lines(r.out), "Preview only"), -1) << value;
        EXPECT_EQ(find_line(lines(r.out), "   (preview: "), -1) << value;
    }
    EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 3);
}

TEST_F(WholeRunTest, APreviewSessionRefusesToWrite) {
    testsupport::ScopedEnv env;  // gives back what the connect settings change
    for (const char* name : {"PGOPTIONS", "PGAPPNAME", "PGCONNECT_TIMEOUT"}) {
        env.unset(name);
    }
    prepare_connection_environment(true, {});
    ASSERT_EQ(OpenDbms(db.name().c_str()), 0);
    const int status = DeleteAdmin(nullptr);
    EXPECT_LT(status, 0);
    EXPECT_STREQ(GetAdminDbStatus()->sqlState, "25006");
    EXPECT_EQ(CloseDbms(), 0);
    EXPECT_EQ(db.count("SELECT count(*) FROM Admin"), 1);
}

TEST_F(WholeRunTest, SendsNoNamedPrepareAndNoDeallocate) {
    const char* cluster = std::getenv("TREVANE_TEST_CLUSTER");
    ASSERT_NE(cluster, nullptr);
    const fs::path log = fs::path(cluster) / "server.log";
    const auto logged_before = fs::file_size(log);
    // Only this test's database logs its statements, each with what the protocol did with it.
    db.sql("ALTER DATABASE " + db.name() + " SET log_min_duration_statement = 0");

    const auto r = run(tokens(false));
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::ifstream in(log);
    in.seekg(static_cast<std::streamoff>(logged_before));
    const std::regex named_parse(R"(ms  parse (?!<unnamed>))");
    long statements = 0;
    long offending = 0;
    std::string first_offending;
    for (std::string line; std::getline(in, line);) {
        if (line.find(" ms  ") == std::string::npos) {
            continue;
        }
        ++statements;
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (std::regex_search(line, named_parse) || lower.find("deallocate") != std::string::npos) {
            first_offending = offending++ == 0 ? line : first_offending;
        }
    }
    EXPECT_GT(statements, 100);  // the whole run was logged
    EXPECT_EQ(offending, 0) << "first: " << first_offending;
}
