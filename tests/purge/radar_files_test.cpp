// Radar grid files go with their rows, and only files inside the grid directory are touched.

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::PurgeTest;
using purgetest::report_line;

namespace fs = std::filesystem;

class RadarFilesTest : public PurgeTest {
   protected:
    // A DPARadar row `hours` hours old with its grid file name and maxvald ('NULL' allowed).
    void radar_row(int hours, const std::string& file, const std::string& maxvald) {
        db.sql(
            "INSERT INTO DPARadar (radid, obstime, maxvald, grid_filename) VALUES ('BOX', "
            "date_trunc('second', timezone('UTC', now())) - make_interval(hours => " +
            std::to_string(hours) + "), " + maxvald + ", '" + testsupport::psql_literal(file) +
            "')");
    }
    std::string grid() const { return (dir.path() / "grid").string(); }
    bool exists(const std::string& name) const { return fs::exists(dir.path() / "grid" / name); }
};

TEST_F(RadarFilesTest, FilesOfExpiringRowsGoOnceTheirRowsAreDeleted) {
    db.sql("INSERT INTO PurgeDynData VALUES ('DPARadar', 'obstime', 24, 24)");
    radar_row(30, "old_with_grid", "1.5");
    radar_row(31, "old_zero", "0.0");
    radar_row(32, "old_null", "NULL");
    radar_row(2, "fresh", "2.0");
    radar_row(33, "missing", "1.0");
    radar_row(34, "a_directory", "1.0");
    for (const char* f : {"old_with_grid", "old_zero", "old_null", "fresh", "unrelated"}) {
        dir.write("grid/" + std::string(f), "grid");
    }
    fs::create_directories(dir.path() / "grid" / "a_directory");
    const std::string metrics = (dir.path() / "run.prom").string();
    const auto r = run({{"dpa_grid_dir", grid()}, {"trevane_metrics_file", metrics}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    EXPECT_FALSE(exists("old_with_grid"));
    EXPECT_TRUE(exists("old_zero"));  // maxvald 0: no grid file is taken to exist
    EXPECT_TRUE(exists("old_null"));
    EXPECT_TRUE(exists("fresh"));
    EXPECT_TRUE(exists("unrelated"));
    // The rows go all the same, whatever their maxvald.
    EXPECT_EQ(report_line(r.out, "dparadar").deleted, 5);
    EXPECT_EQ(db.count("SELECT count(*) FROM DPARadar"), 1);

    // A file that is gone already counts as removed; one that cannot be removed is reported with
    // the selection clause and the reason, and counts as a failure.
    const auto out = lines(r.out);
    EXPECT_EQ(find_line(out, "ERROR - Can't delete file " + grid() + "/missing"), -1) << r.out;
    const int at = find_line(out, "ERROR - Can't delete file " + grid() + "/a_directory ");
    ASSERT_GE(at, 0) << r.out;
    EXPECT_EQ(out[at], "ERROR - Can't delete file " + grid() + "/a_directory ");
    EXPECT_EQ(out[at + 1], "   (where clause:  WHERE obstime < '" +
                               report_line(r.out, "dparadar").host_cutoff +
                               "' AND maxvald > 0.0 )");
    EXPECT_EQ(out[at + 2], "   (reason: Is a directory)");
    const auto m = purgetest::read_metrics(metrics, db.name());
    EXPECT_EQ(m.at("trevane_last_run_grid_files_removed"), 2);
    EXPECT_EQ(m.at("trevane_last_run_grid_files_not_removed"), 0);
    EXPECT_EQ(m.at("trevane_last_run_failures"), 1);
}

TEST_F(RadarFilesTest, NamesThatLeaveTheGridDirectoryAreNeverRemoved) {
    db.sql("INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24)");
    dir.write("outside", "keep me");
    dir.write("grid/keep", "keep me");
    radar_row(30, "../outside", "1.0");
    radar_row(31, "", "1.0");
    radar_row(32, "..", "1.0");
    radar_row(33, ".", "1.0");
    radar_row(34, "it's", "1.0");
    dir.write("grid/it's", "grid");
    const auto r = run({{"dpa_grid_dir", grid()}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(fs::exists(dir.path() / "outside"));
    EXPECT_TRUE(fs::exists(dir.path() / "grid"));
    EXPECT_TRUE(exists("keep"));
    EXPECT_FALSE(exists("it's"));  // a quote is no danger to a file name
    const auto out = lines(r.out);
    for (const char* name : {"../outside", "..", "."}) {
        const int at = find_line(out, "ERROR - Can't delete file " + grid() + "/" + name +
                                          " (not a plain file name; left alone)");
        EXPECT_GE(at, 0) << name << "\n" << r.out;
    }
    // An empty name gets the plain failure report: the path is the directory itself.
    const int empty = find_line(out, "ERROR - Can't delete file " + grid() + "/ ");
    ASSERT_GE(empty, 0) << r.out;
    EXPECT_EQ(out[empty], "ERROR - Can't delete file " + grid() + "/ ");
    EXPECT_EQ(db.count("SELECT count(*) FROM DPARadar"), 0);
}

TEST_F(RadarFilesTest, WithoutAGridDirectoryNoFileIsRemoved) {
    db.sql("INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24)");
    radar_row(30, "tmp", "1.0");  // never /tmp at the root of the file system
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_GE(find_line(lines(r.out),
                        "Radar grid files are not removed: the token dpa_grid_dir is not set."),
              0)
        << r.out;
    EXPECT_TRUE(fs::exists("/tmp"));
    EXPECT_EQ(report_line(r.out, "dparadar").deleted, 1);
}

TEST_F(RadarFilesTest, OtherTablesNeverLookForFiles) {
    db.sql(
        "INSERT INTO PurgeDynData VALUES ('dparadar2', 'obstime', 24, 24);"
        "CREATE TABLE dparadar2 (obstime timestamp, maxvald real, grid_filename text)");
    radar_row(30, "kept", "1.0");
    dir.write("grid/kept", "grid");
    const auto r = run({{"dpa_grid_dir", grid()}});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(exists("kept"));
    EXPECT_EQ(find_line(lines(r.out), "ERROR - Can't delete file"), -1);
}

TEST_F(RadarFilesTest, ANameCutByItsFieldIsNeverRemoved) {
    // A column wider than the record's field: the name arrives cut to 20 characters, which
    // here name another file.
    const std::string whole = "kept_by_another_row_name.grid";
    const std::string cut = whole.substr(0, 20);
    db.sql(
        "ALTER TABLE DPARadar ALTER COLUMN grid_filename TYPE varchar(64);"
        "INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24)");
    radar_row(30, whole, "1.0");
    radar_row(31, "plain", "1.0");
    for (const std::string& f : {whole, cut, std::string("plain")}) dir.write("grid/" + f, "grid");
    const auto r = run({{"dpa_grid_dir", grid()}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(exists(whole));
    EXPECT_TRUE(exists(cut));
    EXPECT_FALSE(exists("plain"));
    const auto out = lines(r.out);
    const int at = find_line(out, "ERROR - Can't delete file " + grid() + "/" + cut + " ");
    ASSERT_GE(at, 0) << r.out;
    EXPECT_EQ(out[at], "ERROR - Can't delete file " + grid() + "/" + cut +
                           " (name longer than its field; left alone)");
    EXPECT_EQ(out[at + 1].rfind("   (where clause:  WHERE obstime < '", 0), 0u) << out[at + 1];
    EXPECT_EQ(db.count("SELECT count(*) FROM DPARadar"), 0);
}

namespace {

// A pending list entry as trevane writes it: the row's obstime `hours` hours back (a database
// timestamp: microseconds since 2000-01-01 UTC), the file's identity and its path. `remade`
// lists a file as it was before it was changed.
std::string listed(const std::string& path, int hours, bool remade = false) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        st = {};
    }
    const long long obstime =
        (static_cast<long long>(std::time(nullptr)) - hours * 3600LL - 946684800LL) * 1000000LL;
    const long long mtime =
        st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec - (remade ? 1 : 0);
    return std::to_string(obstime) + " " + std::to_string(st.st_dev) + " " +
           std::to_string(st.st_ino) + " " + std::to_string(mtime) + " " + path + "\n";
}

const std::string kListHeader = "trevane pending radar grid files 1\n";

std::string joined(const std::set<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        out += (out.empty() ? "" : ",") + name;
    }
    return out;
}

}  // namespace

// A list left by a run killed between its delete and the removals: the next run removes the
// listed files once its own delete has succeeded, and only those whose rows were older than its
// cutoff and that are still the files listed; a failed delete leaves every file and the list.
TEST_F(RadarFilesTest, FilesListedByAnEarlierRunGoOnlyOnceTheirRowsAreGone) {
    struct Case {
        const char* name;
        const char* restrict;  // SQL before the run
        const char* files_left;
        const char* listed_after;
    };
    const Case cases[] = {
        {"the delete succeeds", "", "fresh,remade", "fresh"},
        {"the delete is refused", "REVOKE DELETE ON DPARadar FROM trevane",
         "fresh,orphan,remade,rowed", "fresh,gone,orphan,remade,rowed"},
    };
    db.sql("INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24)");
    const fs::path state = dir.path() / "state";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        db.sql("DELETE FROM DPARadar; GRANT DELETE ON DPARadar TO trevane");
        fs::remove_all(grid());
        fs::remove_all(state);
        fs::create_directories(state);
        for (const char* f : {"orphan", "rowed", "fresh", "remade"}) {
            dir.write("grid/" + std::string(f), "grid");
        }
        radar_row(30, "rowed", "1.0");
        radar_row(2, "fresh", "1.0");
        dir.write("state/radar-grid-files.pending",
                  kListHeader + listed(grid() + "/orphan", 30) + listed(grid() + "/rowed", 30) +
                      listed(grid() + "/fresh", 2) + listed(grid() + "/gone", 30) +
                      listed(grid() + "/remade", 30, true));
        if (*c.restrict != '\0') {
            db.sql(c.restrict);
        }

        const auto r = run({{"dpa_grid_dir", grid()}, {"STATE_DIRECTORY", state.string()}});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator(grid())) {
            left.insert(e.path().filename().string());
        }
        EXPECT_EQ(joined(left), c.files_left) << r.out;
        // The list keeps what must wait.
        std::set<std::string> after;
        const auto list = lines(testsupport::readFile(state / "radar-grid-files.pending"));
        for (std::size_t i = 1; i < list.size(); ++i) {
            after.insert(list[i].substr(list[i].rfind('/') + 1));
        }
        EXPECT_EQ(joined(after), c.listed_after) << r.out;
        const auto out = lines(r.out);
        const bool deleted = *c.restrict == '\0';
        EXPECT_EQ(
            find_line(out, "Removed 1 radar grid files whose rows an earlier run deleted") >= 0,
            deleted)
            << r.out;
        EXPECT_EQ(find_line(out, "Radar grid file " + grid() +
                                     "/remade, listed by an earlier run, has changed since; left "
                                     "alone") >= 0,
                  deleted)
            << r.out;
        EXPECT_EQ(db.count("SELECT count(*) FROM DPARadar"), deleted ? 1 : 2);
    }
}

// A run killed once its delete of the radar rows has committed (it waited on a lock, and the
// server ran it after the client was gone) leaves their files; the next run removes them.
TEST_F(RadarFilesTest, AKillBetweenTheDeleteAndTheRemovalsLeavesNoOrphanPastTheNextRun) {
    db.sql("INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24)");
    radar_row(30, "old1", "1.0");
    radar_row(31, "old2", "1.0");
    radar_row(2, "fresh", "1.0");
    for (const char* f : {"old1", "old2", "fresh"}) dir.write("grid/" + std::string(f), "grid");
    const std::string state = (dir.path() / "state").string();
    fs::create_directories(state);
    const auto wait_for = [this](const std::string& condition, const char* what) {
        for (int i = 0; i < 3000; ++i) {
            if (db.count("SELECT count(*) FROM pg_stat_activity WHERE " + condition) > 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << what;
    };

    testsupport::EnvChanges holder_env = db.env();
    holder_env["PGAPPNAME"] = "radar_lock_holder";
    testsupport::Child holder(testsupport::psql_program(),
                              {"-X", "-q", "-d", db.name(), "-c",
                               "BEGIN; LOCK TABLE dparadar IN SHARE MODE; SELECT pg_sleep(600)"},
                              holder_env);
    wait_for("application_name = 'radar_lock_holder' AND query LIKE '%pg_sleep%'",
             "the lock is not held");
    testsupport::EnvChanges env = db.env();
    env["PGUSER"] = "trevane";
    env["dpa_grid_dir"] = grid();
    env["STATE_DIRECTORY"] = state;
    testsupport::Child killed(testsupport::builtProgram("trevane"), {}, env);
    wait_for("wait_event_type = 'Lock' AND query LIKE 'DELETE FROM dparadar %'",
             "no delete from dparadar waits");
    killed.signal(SIGKILL);
    killed.wait();
    db.sql(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
        "'radar_lock_holder'");
    for (int i = 0; i < 3000 && db.count("SELECT count(*) FROM pg_stat_activity WHERE "
                                         "datname = current_database() AND pid <> "
                                         "pg_backend_pid()") > 0;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(db.count("SELECT count(*) FROM DPARadar"), 1) << "the delete did not commit";
    ASSERT_TRUE(exists("old1") && exists("old2"));

    const auto r = run({{"dpa_grid_dir", grid()}, {"STATE_DIRECTORY", state}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(exists("old1"));
    EXPECT_FALSE(exists("old2"));
    EXPECT_TRUE(exists("fresh"));
    EXPECT_GE(
        find_line(lines(r.out), "Removed 2 radar grid files whose rows an earlier run deleted"), 0)
        << r.out;
    EXPECT_FALSE(fs::exists(state + "/radar-grid-files.pending"));
}

// SIGTERM while the delete of the radar rows is on the server: whether the delete commits or is
// cancelled, the files go exactly when their rows do.
TEST_F(RadarFilesTest, AStopDuringTheRadarDeleteKeepsFilesAndRowsTogether) {
    const auto seed = [this] {
        db.sql(
            "DELETE FROM DPARadar; DELETE FROM PurgeDynData; INSERT INTO PurgeDynData VALUES "
            "('dparadar', 'obstime', 24, 24)");
        radar_row(30, "old1", "1.0");
        radar_row(31, "old2", "1.0");
        for (const char* f : {"old1", "old2"}) dir.write("grid/" + std::string(f), "grid");
    };
    const std::string log = (dir.path() / "statements.log").string();
    // The preload comes ahead of a sanitized build's runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    testsupport::EnvChanges env = {
        {"dpa_grid_dir", grid()},
        {"LD_PRELOAD", FAULT_INJECT_LIBRARY},
        {"FAULT_LOG", log},
        {"ASAN_OPTIONS",
         (asan != nullptr ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"}};
    seed();
    ASSERT_EQ(run(env).status, 0);
    std::string at;
    for (const std::string& line : lines(testsupport::readFile(log))) {
        if (line.find(" DELETE FROM dparadar ") != std::string::npos) {
            at = line.substr(2, line.find(' ', 2) - 2);
        }
    }
    ASSERT_FALSE(at.empty()) << testsupport::readFile(log);

    seed();
    env["FAULT_AT"] = at;
    env["FAULT_KIND"] = "sigterm-inflight";
    const auto r = run(env);
    EXPECT_EQ(r.status, 143) << r.out << r.err;
    const long rows = db.count("SELECT count(*) FROM DPARadar");
    EXPECT_TRUE(rows == 0 || rows == 2) << rows;
    EXPECT_EQ(exists("old1"), rows == 2) << r.out;
    EXPECT_EQ(exists("old2"), rows == 2) << r.out;
}

// A pending list that cannot be kept leaves the radar rows and their files alone; a listed file
// that cannot be removed says why, stays listed, and counts as a failure.
TEST_F(RadarFilesTest, APendingListThatCannotBeKeptLeavesRowsAndFiles) {
    struct Case {
        const char* name;
        const char* state;               // the state directory, under the test's directory
        bool listed_directory;           // the list names grid/a_directory, left by an earlier run
        std::string list;                // written as the list before the run, unless empty
        std::vector<std::string> lines;  // {path} stands for the list's path
        long rows_left;
        double left_alone;
    };
    const Case cases[] = {
        {"a list that is not one",
         "state",
         false,
         "garbage\n",
         {"ERROR - Table dparadar left alone: can't read the list of pending radar grid files "
          "{path}: it is not a list of pending grid files"},
         2,
         1},
        {"a list that is a directory",
         "state",
         false,
         "",
         {"ERROR - Table dparadar left alone: can't read the list of pending radar grid files "
          "{path}: reading it: Is a directory"},
         2,
         1},
        {"a listed file that is a directory",
         "state",
         true,
         "",
         {"ERROR - Can't delete file {grid}/a_directory ", "   (reason: Is a directory)",
          "   (listed in {path} by an earlier run)"},
         0,
         0},
    };
    db.sql("INSERT INTO PurgeDynData VALUES ('dparadar', 'obstime', 24, 24)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        db.sql("DELETE FROM DPARadar; DELETE FROM PerfLog");  // two runs may share a second
        fs::remove_all(grid());
        fs::remove_all(dir.path() / "state");
        fs::create_directories(dir.path() / "state");
        fs::create_directories(dir.path() / "grid" / "a_directory");
        radar_row(30, "old1", "1.0");
        radar_row(31, "old2", "1.0");
        for (const char* f : {"old1", "old2"}) dir.write("grid/" + std::string(f), "grid");
        const std::string path = (dir.path() / c.state / "radar-grid-files.pending").string();
        std::string list = c.list;
        if (c.listed_directory) {
            list = kListHeader + listed(grid() + "/a_directory", 30);
        }
        if (!list.empty()) {
            dir.write(std::string(c.state) + "/radar-grid-files.pending", list);
        } else if (!c.listed_directory) {
            fs::create_directories(path);  // a list that can be neither read nor replaced
        }
        const std::string metrics = (dir.path() / "run.prom").string();
        const auto r = run({{"dpa_grid_dir", grid()},
                            {"STATE_DIRECTORY", (dir.path() / c.state).string()},
                            {"trevane_metrics_file", metrics}});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto out = lines(r.out);
        std::vector<std::string> expected;
        for (std::string line : c.lines) {
            for (const auto& [mark, value] :
                 {std::pair<std::string, std::string>{"{path}", path}, {"{grid}", grid()}}) {
                if (const auto at = line.find(mark); at != std::string::npos) {
                    line.replace(at, mark.size(), value);
                }
            }
            expected.push_back(line);
        }
        const int at = find_line(out, expected[0]);
        ASSERT_GE(at, 0) << r.out;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(out[at + i], expected[i]);
        }
        EXPECT_EQ(db.count("SELECT count(*) FROM DPARadar"), c.rows_left);
        EXPECT_EQ(exists("old1"), c.rows_left > 0);
        EXPECT_TRUE(fs::exists(dir.path() / "grid" / "a_directory"));
        const auto m = purgetest::read_metrics(metrics, db.name());
        EXPECT_EQ(m.at("trevane_last_run_failures"), 1) << r.out;
        EXPECT_EQ(m.at("trevane_last_run_keys_left_alone{pass=\"tables\"}"), c.left_alone);
        if (c.listed_directory) {  // it stays listed for a later run
            EXPECT_NE(testsupport::readFile(path).find("/a_directory\n"), std::string::npos);
        }
    }
}
