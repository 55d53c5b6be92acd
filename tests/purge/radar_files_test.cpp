// Radar grid files go with their rows, and only files inside the grid directory are touched.

#include <filesystem>

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
