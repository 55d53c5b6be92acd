#include "PurgeFixture.h"

#include <sstream>

#include "TempDir.h"

namespace purgetest {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

int find_line(const std::vector<std::string>& all, const std::string& prefix) {
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].rfind(prefix, 0) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

ReportLine report_line(const std::string& out, const std::string& table) {
    ReportLine r;
    for (const std::string& line : lines(out)) {
        // " %7d  %-18s  %-12s  %-s": count in columns 2-8, table from column 11.
        if (line.size() < 45 || line.compare(10, table.size(), table) != 0 ||
            line[10 + table.size()] != ' ') {
            continue;
        }
        r.deleted = std::stol(line.substr(0, 8));
        r.table = table;
        std::istringstream rest(line.substr(30));
        rest >> r.column;
        r.host_cutoff = line.substr(44, 19);
        if (line.size() >= 84)
            r.backup_cutoff = line.substr(65, 19);
        return r;
    }
    return r;
}

std::string observations(const std::string& table, int span_hours, int step_hours,
                         const std::string& lids) {
    return "INSERT INTO " + table +
           " (lid, pe, dur, ts, extremum, obstime, value) SELECT l, 'HG', 0, 'RG', 'Z', "
           "date_trunc('second', timezone('UTC', now())) - make_interval(hours => k) "
           "+ interval '30 seconds', k FROM unnest(ARRAY[" +
           lids + "]) AS l, generate_series(0, " + std::to_string(span_hours) + ", " +
           std::to_string(step_hours) + ") AS k;";
}

std::map<std::string, double> read_metrics(const std::string& path, const std::string& database) {
    const std::string label = "database=\"" + database + "\"";
    std::map<std::string, double> samples;
    for (const std::string& line : lines(testsupport::readFile(path))) {
        const auto space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) {
            continue;
        }
        std::string series = line.substr(0, space);
        const auto brace = series.find('{');
        if (brace != std::string::npos && series.compare(brace + 1, label.size(), label) == 0) {
            const std::string rest = series.substr(brace + 1 + label.size());
            if (rest == "}") {
                series.erase(brace);
            } else if (rest[0] == ',') {
                series.erase(brace + 1, label.size() + 1);
            }
        }
        samples[series] = std::stod(line.substr(space + 1));
    }
    return samples;
}

std::string promtool_problems(const std::string& path) {
    const auto r = testsupport::runProgram(
        "/bin/sh", {"-c", "promtool check metrics < \"$1\" 2>&1", "sh", path});
    return r.status == 0 ? "" : "promtool status " + std::to_string(r.status) + ": " + r.out;
}

void expect_own_exit(const testsupport::RunResult& r) {
    EXPECT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_GE(r.status, 0);
    EXPECT_LT(r.status, 128) << "killed by signal " << r.status - 128 << "\n" << r.out << r.err;
}

void PurgeTest::SetUp() {
    REQUIRE_TEST_SERVER();
}

testsupport::RunResult PurgeTest::run(const testsupport::EnvChanges& extra,
                                      const std::vector<std::string>& args) {
    testsupport::EnvChanges env = db.env();
    env["trevane_backup_retention_use"] = std::nullopt;
    env["dpa_grid_dir"] = std::nullopt;
    env["trevane_preview"] = std::nullopt;
    env["PGUSER"] = "trevane";  // the role of sql/trevane_role.sql, not a superuser
    for (const auto& [k, v] : extra) env[k] = v;
    return testsupport::runProgram(testsupport::builtProgram("trevane"), args, env, 300);
}

}  // namespace purgetest
