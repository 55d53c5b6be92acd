// Backup-station retention: stations of other offices keep their rows for the backup period.

#include <filesystem>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::observations;
using purgetest::PurgeTest;
using purgetest::report_line;

namespace {

const char* kStations =
    "INSERT INTO Admin (hsa) VALUES ('BOX');"
    "INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone) VALUES "
    "('OWN1', 'c', 'BOX', 'n', 'r', 'MA', 'BOX', 'EST'), "
    "('OTHER1', 'c', 'ALY', 'n', 'r', 'NY', 'ALY', 'EST');";

long long oldest_hours(const testsupport::TestDatabase& db, const std::string& table,
                       const std::string& lid) {
    return db.count(
        "SELECT ceil(extract(epoch FROM timezone('UTC', now()) - min(obstime)) / "
        "3600) FROM " +
        table + " WHERE lid = '" + lid + "'");
}

}  // namespace

class BackupRetentionTest : public PurgeTest {};

TEST_F(BackupRetentionTest, EachStationGetsTheCutoffOfItsOffice) {
    db.sql(std::string(kStations) +
           "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 72), "
           "('dparadar', 'obstime', 24, 72);" +
           observations("height", 99, 1, "'OWN1', 'OTHER1', 'GONE1', 'O''X'") +
           "INSERT INTO DPARadar (radid, obstime) SELECT 'BOX', timezone('UTC', now()) - "
           "make_interval(hours => k) + interval '30 minutes' FROM generate_series(1, 48) AS k;");
    const auto r = run({{"trevane_backup_retention_use", "ON"}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto out = lines(r.out);
    EXPECT_GE(find_line(out,
                        "Using num_hours_backup field to determine retention for backup "
                        "stations"),
              0);
    EXPECT_GE(find_line(out, "hsa (from Admin table) = BOX"), 0);
    EXPECT_GE(find_line(out,
                        " deleted  table name          time column   time cutoff (host)   "
                        "time cutoff (backup)"),
              0);
    EXPECT_GE(find_line(out, std::string(85, '-')), 0);

    // The office's station keeps 24 hours; the others (one of another office, one that Location
    // does not know, one with a quote in its lid) keep 72.
    EXPECT_EQ(oldest_hours(db, "height", "OWN1"), 24);
    EXPECT_EQ(oldest_hours(db, "height", "OTHER1"), 72);
    EXPECT_EQ(oldest_hours(db, "height", "GONE1"), 72);
    EXPECT_EQ(oldest_hours(db, "height", "O''X"), 72);
    const auto height = report_line(r.out, "height");
    EXPECT_EQ(height.deleted, 75 + 3 * 27);
    EXPECT_FALSE(height.backup_cutoff.empty());

    // A table without lid goes in one statement with the host cutoff, and says so.
    const auto radar = report_line(r.out, "dparadar");
    EXPECT_EQ(radar.deleted, 24);
    const int at = find_line(out, "      24  dparadar");
    ASSERT_GE(at, 0);
    EXPECT_EQ(out[at + 1], "          -- table does not have lid field - host cutoff value used");
}

TEST_F(BackupRetentionTest, OnlyOnOrONSwitchesItOn) {
    db.sql(std::string(kStations) +
           "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 72);" +
           observations("height", 99, 1, "'OTHER1'"));
    for (const char* value : {"On", "ON ", "yes", ""}) {
        const auto r = run({{"trevane_backup_retention_use", value}});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_GE(find_line(lines(r.out),
                            "Using num_hours_host field to determine retention for all records"),
                  0)
            << value;
        EXPECT_EQ(find_line(lines(r.out), "hsa (from Admin table)"), -1) << value;
    }
    EXPECT_EQ(oldest_hours(db, "height", "OTHER1"), 24);
}

TEST_F(BackupRetentionTest, WithoutTheOfficeHsaStationsKeepWhatEitherRetentionKeeps) {
    db.sql(std::string(kStations) +
           "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 72);" +
           observations("height", 99, 1, "'OWN1', 'OTHER1'") +
           "ALTER TABLE Admin RENAME TO admin_away;");
    // A read of Admin that fails: no station can be told to be the office's, so every one keeps
    // its rows back to the earlier of the two cutoffs.
    auto r = run({{"trevane_backup_retention_use", "on"}});
    ASSERT_EQ(r.status, 0) << r.out;
    auto out = lines(r.out);
    int at = find_line(out, "Informix error -400/0 attempting select from Admin table");
    ASSERT_GE(at, 0) << r.out;
    EXPECT_EQ(out[at + 1],
              "Error attempting to read hsa field from Admin table -- every station keeps its "
              "rows back to the earlier of the host and backup cutoffs");
    EXPECT_EQ(oldest_hours(db, "height", "OWN1"), 72);
    EXPECT_EQ(oldest_hours(db, "height", "OTHER1"), 72);

    // An Admin table without a row: the host cutoff for every row.
    db.sql("ALTER TABLE admin_away RENAME TO Admin; DELETE FROM Admin;");
    r = run({{"trevane_backup_retention_use", "on"}});
    ASSERT_EQ(r.status, 0) << r.out;
    out = lines(r.out);
    at = find_line(out, "Using num_hours_backup field");
    ASSERT_GE(at, 0) << r.out;
    EXPECT_EQ(out[at + 1],
              "Error attempting to read hsa field from Admin table -- All deletes will "
              "be based on num_hours_host values");
    EXPECT_GE(find_line(out, " deleted  table name          time column   time cutoff"), 0);
    EXPECT_EQ(oldest_hours(db, "height", "OWN1"), 24);
    EXPECT_EQ(oldest_hours(db, "height", "OTHER1"), 24);
}

TEST_F(BackupRetentionTest, StationsAreFoundWhateverTheDatabaseCollation) {
    // Under a linguistic collation "a1" sorts before "B1"; byte order puts it after "C1".
    db.sql(
        "INSERT INTO Admin (hsa) VALUES ('BOX');"
        "ALTER TABLE Location ALTER COLUMN lid TYPE varchar(8) COLLATE \"und-x-icu\";"
        "INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone) "
        "SELECT l, 'c', 'BOX', 'n', 'r', 'MA', 'BOX', 'EST' FROM "
        "unnest(ARRAY['a1', 'B1', 'b2', 'C1', 'c2', 'D1']) AS l;"
        "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 72);" +
        observations("height", 99, 1, "'a1', 'B1', 'b2', 'C1', 'c2', 'D1'"));
    const auto r = run({{"trevane_backup_retention_use", "ON"}});
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* lid : {"a1", "B1", "b2", "C1", "c2", "D1"}) {
        EXPECT_EQ(oldest_hours(db, "height", lid), 24) << lid;
    }
}

TEST_F(BackupRetentionTest, TablesQualifiedByASecondSchemaAreResolvedInThatSchema) {
    db.sql(std::string(kStations) +
           "CREATE SCHEMA archive;"
           "CREATE TABLE archive.height (LIKE public.height INCLUDING ALL);"
           "CREATE TABLE archive.dparadar (LIKE public.dparadar INCLUDING ALL);"
           // As a site adds its own tables to the role of sql/trevane_role.sql.
           "GRANT USAGE ON SCHEMA archive TO trevane;"
           "GRANT SELECT, DELETE ON archive.height, archive.dparadar TO trevane;"
           "INSERT INTO PurgeDynData VALUES ('archive.height', 'obstime', 24, 72), "
           "('archive.dparadar', 'obstime', 24, 72);" +
           observations("archive.height", 99, 1, "'OWN1', 'OTHER1'") +
           "INSERT INTO archive.dparadar (radid, obstime, maxvald, grid_filename) VALUES ('BOX', "
           "timezone('UTC', now()) - interval '30 hours', 1.0, 'kept');");
    dir.write("grid/kept", "grid");
    const auto r = run(
        {{"trevane_backup_retention_use", "ON"}, {"dpa_grid_dir", (dir.path() / "grid").string()}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // The lid column is found in that schema: each station keeps the retention of its office.
    EXPECT_EQ(oldest_hours(db, "archive.height", "OWN1"), 24);
    EXPECT_EQ(oldest_hours(db, "archive.height", "OTHER1"), 72);
    EXPECT_EQ(report_line(r.out, "archive.height").deleted, 75 + 27);
    // The radar table under another name keeps its rows and its files, and says why.
    EXPECT_GE(find_line(lines(r.out),
                        "Skipping PurgeDynData row: \"archive.dparadar\" names the radar table "
                        "with a schema; list it as dparadar"),
              0)
        << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM archive.dparadar"), 1);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "grid" / "kept"));
}
