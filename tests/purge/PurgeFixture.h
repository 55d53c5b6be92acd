#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "PgTest.h"
#include "Process.h"
#include "TempDir.h"

namespace purgetest {

// The lines of a text, without their line breaks.
std::vector<std::string> lines(const std::string& text);

// Index of the first line that starts with `prefix`, or -1.
int find_line(const std::vector<std::string>& all, const std::string& prefix);

// One report line of the time-based purge, split into its fields.
struct ReportLine {
    long deleted = -1;
    std::string table;
    std::string column;
    std::string host_cutoff;
    std::string backup_cutoff;
};
// The report line of `table`, or one with deleted -1 when there is none.
ReportLine report_line(const std::string& out, const std::string& table);

// SQL that fills `table` with rows every `step_hours` hours back from now (UTC) over
// `span_hours` hours, at each of `lids`; each row lies half a minute after its hour, well clear
// of any cutoff computed within that half minute.
std::string observations(const std::string& table, int span_hours, int step_hours = 1,
                         const std::string& lids = "'AAAM1','BBBM1'");

// The samples of a metrics file by series, "name" or "name{labels}", as written but for the
// first label database="<database>", which is dropped ("name{database="d",table="t"}" is found as
// "name{table="t"}"). A series without that label is found under its full name.
std::map<std::string, double> read_metrics(const std::string& path, const std::string& database);

// What promtool (found on PATH) says against a metrics file; empty when the file passes.
std::string promtool_problems(const std::string& path);

// A run ended by itself: an exit status of the program, not a signal or the test's timeout.
void expect_own_exit(const testsupport::RunResult& r);

// A fresh database, a token directory and a grid directory for running trevane against it.
class PurgeTest : public ::testing::Test {
   protected:
    void SetUp() override;

    // Runs trevane with db_name pointing at this test's database and the extra tokens given
    // (name, value) in the environment, and with the command line arguments `args`. It logs in
    // as the role trevane of sql/trevane_role.sql (PGUSER in `extra` says otherwise).
    testsupport::RunResult run(const testsupport::EnvChanges& extra = {},
                               const std::vector<std::string>& args = {});

    testsupport::TestDatabase db;
    testsupport::TempDir dir;
};

}  // namespace purgetest
