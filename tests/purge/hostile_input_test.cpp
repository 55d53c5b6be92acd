// Hostile contents met by a whole run: odd names and retentions in PurgeDynData, quotes and
// separators in the keys of the other passes, and junk in the token that names the database.
// Each gets a message, never a crash, and no row that should stay is lost.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "PurgeFixture.h"

using purgetest::find_line;
using purgetest::lines;
using purgetest::PurgeTest;
using purgetest::report_line;
using testsupport::RunResult;

using purgetest::expect_own_exit;
using purgetest::observations;

class HostileInputTest : public PurgeTest {};

// Names the earlier suites leave out: a quote or a semicolon in the table name, a semicolon or a
// quote in the column name, an empty name, a name starting with a digit, names of exactly the
// field widths, upper case and blanks inside, bytes above 0x7f, a schema-qualified name.
TEST_F(HostileInputTest, OddNamesInPurgeDynData) {
    db.sql(
        "INSERT INTO PurgeDynData VALUES "
        "('hei''ght', 'obstime', 0, 0), "
        "('height;', 'obstime', 0, 0), "
        "('precip', 'obstime;delete', 0, 0), "
        "('precip ', 'obs''time', 0, 0), "
        "('', 'obstime', 0, 0), "
        "('   ', 'obstime', 0, 0), "
        "('1height', 'obstime', 0, 0), "
        "('abcdefghijklmnopqrs', 'obstime', 0, 0), "  // 19 characters: fits, unknown
        "('temperature', 'abcdefghijklmn', 0, 0), "   // 14 characters: fits, unknown
        "('WI ND', 'OBS TIME', 24, 24), "             // cleans to wind / obstime
        "('public.snow', 'obstime', 24, 24), "
        "(E'ri\\xc3\\xa9ver', 'obstime', 0, 0);" +  // cleans to river, unknown
        observations("height", 10) +
        observations("precip", 10) + observations("temperature", 10) + observations("wind", 48) +
        observations("snow", 48));
    const auto r = run();
    expect_own_exit(r);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto out = lines(r.out);

    // Nothing of the rows with unusable names went.
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 22);
    EXPECT_EQ(db.count("SELECT count(*) FROM precip"), 22);
    EXPECT_EQ(db.count("SELECT count(*) FROM temperature"), 22);
    for (const char* skipped : {"\"hei'ght\" / \"obstime\"", "\"height;\" / \"obstime\"",
                                "\"precip\" / \"obstime;delete\"", "\"precip\" / \"obs'time\"",
                                "\"\" / \"obstime\"", "\"1height\" / \"obstime\""}) {
        EXPECT_GE(find_line(out, std::string("Skipping PurgeDynData row: ") + skipped +
                                     " is not a plain table and column name"),
                  0)
            << skipped << "\n"
            << r.out;
    }
    // Names of the full widths reach the database whole and are refused there.
    EXPECT_GE(find_line(out, "PostgreSQL error 42P01 deleting records"), 0) << r.out;
    EXPECT_GE(find_line(out, "PostgreSQL error 42703 deleting records"), 0) << r.out;
    // Upper case and blanks are cleaned away; a schema-qualified name is a plain name.
    EXPECT_EQ(report_line(r.out, "wind").deleted, 48) << r.out;
    EXPECT_EQ(report_line(r.out, "wind").column, "obstime");
    EXPECT_EQ(report_line(r.out, "public.snow").deleted, 48) << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM wind"), 50);
    EXPECT_EQ(db.count("SELECT count(*) FROM snow"), 50);
    EXPECT_GE(find_line(out, "      96 records deleted from 12 tables"), 0) << r.out;
}

// Retentions at the ends of the int range, for date columns, time columns and the backup
// period. A cutoff that the calendar cannot hold stops the run with "Error subtracting
// interval" and status 1 (a run that stopped early), before anything is deleted; the smallest int
// puts a time column's cutoff far ahead, so every row goes, as with any negative retention.
TEST_F(HostileInputTest, RetentionsAtTheEndsOfTheIntRange) {
    const std::string today = "timezone('UTC', now())::date";
    db.sql(std::string("INSERT INTO PurgeDynData VALUES ('dailysummary', 'obsdate', 2147483647, 0);"
                       "INSERT INTO DailySummary SELECT 'AAAM1', 'PP', ") +
           today + " - k, k FROM generate_series(-1, 5) AS k;");
    auto r = run();
    expect_own_exit(r);
    EXPECT_EQ(r.status, 1) << r.out;
    ASSERT_FALSE(lines(r.out).empty());
    EXPECT_EQ(lines(r.out).back(), "Error subtracting interval") << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM DailySummary"), 7) << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM PerfLog"), 0);

    // A negative number of days only truncates: -5 hours make 0 days, the cutoff is now.
    db.sql("UPDATE PurgeDynData SET num_hours_host = -5");
    r = run();
    expect_own_exit(r);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(report_line(r.out, "dailysummary").deleted, 5) << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM DailySummary"), 2);

    db.sql(
        "DELETE FROM PurgeDynData; INSERT INTO PurgeDynData VALUES "
        "('height', 'obstime', -2147483648, 0);" +
        observations("height", 10));
    r = run();
    expect_own_exit(r);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(report_line(r.out, "height").deleted, 22) << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 0);
}

// With backup retention on, a backup period that the calendar cannot hold stops the run at the
// first table, status 1, with nothing deleted: no station loses a row.
TEST_F(HostileInputTest, AnUncomputableBackupRetentionStopsBeforeDeleting) {
    db.sql(
        "INSERT INTO Admin (hsa) VALUES ('BOX');"
        "INSERT INTO Location (lid, hsa) VALUES ('OWN1', 'BOX'), ('OTHER1', 'ALY');"
        "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 2147483647);" +
        observations("height", 48, 1, "'OWN1','OTHER1'"));
    const auto r = run({{"trevane_backup_retention_use", "ON"}});
    expect_own_exit(r);
    EXPECT_EQ(r.status, 1) << r.out;
    ASSERT_FALSE(lines(r.out).empty());
    EXPECT_EQ(lines(r.out).back(), "Error subtracting interval") << r.out;
    EXPECT_EQ(db.count("SELECT count(*) FROM height"), 98) << r.out;
}

// Keys of the other passes that carry quotes, backslashes, separators or semicolons.
TEST_F(HostileInputTest, OddKeysInTheProductAndEventPasses) {
    // Product ids: a backslash, a semicolon with a comment, and a plain id whose name the others
    // would match if a quote escaped.
    db.sql(
        "INSERT INTO PurgeProduct VALUES (E'A\\\\B', 1, now(), now()), ('X'';--', 1, now(), "
        "now()), "
        "('X', 5, now(), now());"
        "INSERT INTO TextProduct (product_id, producttime, postingtime) "
        "SELECT p, timestamp '2026-01-10' - make_interval(hours => k), "
        "timestamp '2026-01-10' - make_interval(hours => k) "
        "FROM unnest(ARRAY[E'A\\\\B', 'X'';--', 'X']) AS p, generate_series(1, 3) AS k;");
    // Events: a key holding the separator of the joined keys, one holding a backslash and
    // quotes, and a plain combination that a wrong split of the first would name.
    const auto event = [](const std::string& geoid, const std::string& office,
                          const std::string& product, int days) {
        return "INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif) "
               "VALUES (E'" +
               geoid + "', '" + product + "', date_trunc('second', localtimestamp) - " +
               std::to_string(days) + " * interval '1 day', E'" + office + "', 'FL', 'W');";
    };
    db.sql(event("A|B", "KBOX", "P1", 40) + event("A|B", "KBOX", "P2", 50) +
           event("A", "B", "P1", 40) + event("A", "B", "P2", 50) +
           event("C\\\\''D", "K''X", "P1", 40) + event("C\\\\''D", "K''X", "P2", 50));
    const auto r = run();
    expect_own_exit(r);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto out = lines(r.out);
    EXPECT_EQ(find_line(out, "ERROR"), -1) << r.out;
    EXPECT_EQ(find_line(out, "  ERROR"), -1) << r.out;

    EXPECT_EQ(db.sql("SELECT product_id || '=' || count(*) FROM TextProduct GROUP BY product_id "
                     "ORDER BY product_id"),
              "A\\B=1\nX=3\nX';--=1");
    // The latest event of every combination stays; older ones go where the keys can be told
    // apart, and the combination whose key holds the separator keeps its rows.
    EXPECT_EQ(db.sql("SELECT geoid || '/' || product_id FROM VTECevent ORDER BY 1"),
              "A/P1\nA|B/P1\nA|B/P2\nC\\'D/P1");
}

// Values that would turn into SQL if they were spliced as they are, in every spliced place: a
// station of another office (backup retention), a product id and the four event keys; under
// both settings of standard_conforming_strings. Each key is purged exactly as its plain twin,
// nothing of another key goes, and the server receives every statement with the intended WHERE.
TEST_F(HostileInputTest, SplicedValuesStayValuesUnderEitherStringSetting) {
    const char* cluster = std::getenv("TREVANE_TEST_CLUSTER");
    ASSERT_NE(cluster, nullptr);
    const std::filesystem::path log = std::filesystem::path(cluster) / "server.log";
    struct Keys {
        std::string lid, product, geoid, office, phenom, signif;
    } const cases[] = {
        {"\\'OR 1=1", "\\'OR 1=1--", "G\\';DELETE --\xc3\xa9", "\\'--", "\\'", "\\"},
        {"x';--", "P'';\\\\", "\xc3\xa9\\\\'' OR ''='", "K';--", "'\\", "'"},
    };
    const auto q = [](const std::string& v) { return "$v$" + v + "$v$"; };
    for (const bool conforming : {true, false}) {
        // What the server must see between the quotes: quotes doubled, and backslashes too
        // when it reads them as escapes.
        const auto literal = [conforming](const std::string& v) {
            std::string out;
            for (const char c : v) {
                out += c;
                if (c == '\'' || (c == '\\' && !conforming))
                    out += c;
            }
            return out;
        };
        db.sql("ALTER DATABASE " + db.name() +
               " SET standard_conforming_strings = " + (conforming ? "on" : "off") +
               "; ALTER DATABASE " + db.name() + " SET log_min_duration_statement = 0");
        for (const Keys& k : cases) {
            SCOPED_TRACE(std::string(conforming ? "on: " : "off: ") + k.product);
            db.sql(
                "TRUNCATE PurgeDynData, Admin, Location, height, PurgeProduct, TextProduct, "
                "VTECevent, PerfLog;"
                "INSERT INTO PurgeDynData VALUES ('height', 'obstime', 24, 48);"
                "INSERT INTO Admin (hsa) VALUES ('BOX');"
                "INSERT INTO Location (lid, hsa) VALUES (" +
                q(k.lid) + ", 'ALY'), ('TWIN', 'ALY'), ('OWN1', 'BOX');" +
                observations("height", 72, 1, q(k.lid) + ", 'TWIN', 'OWN1'") +
                "INSERT INTO PurgeProduct VALUES (" + q(k.product) +
                ", 1, now(), now()), ('TWIN', 1, now(), now()), ('KEEP', 5, now(), now());"
                "INSERT INTO TextProduct (product_id, producttime, postingtime) SELECT p, "
                "timestamp '2026-01-10' - make_interval(hours => n), timestamp '2026-01-10' - "
                "make_interval(hours => n) FROM unnest(ARRAY[" +
                q(k.product) +
                ", 'TWIN', 'KEEP']) p, generate_series(1, 3) n;"
                "INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, "
                "signif) SELECT g, 'P' || n, date_trunc('second', localtimestamp) - n * "
                "interval '10 days', o, ph, s FROM (VALUES (" +
                q(k.geoid) + ", " + q(k.office) + ", " + q(k.phenom) + ", " + q(k.signif) +
                "), ('TWIN', 'KBOX', 'FL', 'W')) AS c(g, o, ph, s), generate_series(4, 6) n;");
            const auto logged_before = std::filesystem::file_size(log);
            const auto r = run({{"trevane_backup_retention_use", "ON"}});
            expect_own_exit(r);
            ASSERT_EQ(r.status, 0) << r.out << r.err;

            EXPECT_EQ(db.sql("SELECT string_agg(n::text, ' ' ORDER BY w) FROM (SELECT lid = 'TWIN' "
                             "w, count(*) n FROM height WHERE lid <> 'OWN1' GROUP BY 1) c"),
                      "49 49");
            EXPECT_EQ(db.sql("SELECT string_agg(n::text, ' ' ORDER BY w) FROM (SELECT product_id "
                             "= 'TWIN' w, count(*) n FROM TextProduct WHERE product_id <> 'KEEP' "
                             "GROUP BY 1) c"),
                      "1 1");
            EXPECT_EQ(db.count("SELECT count(*) FROM TextProduct WHERE product_id = 'KEEP'"), 3);
            EXPECT_EQ(db.sql("SELECT string_agg(product_id, ' ' ORDER BY geoid = 'TWIN') FROM "
                             "VTECevent"),
                      "P4 P4");

            std::ifstream in(log);
            in.seekg(static_cast<std::streamoff>(logged_before));
            const std::string said((std::istreambuf_iterator<char>(in)), {});
            for (const std::string& where :
                 {"DELETE FROM height WHERE lid = '" + literal(k.lid) + "' AND ",
                  "DELETE FROM TextProduct WHERE product_id = '" + literal(k.product) +
                      "' AND producttime < '",
                  "DELETE FROM VTECevent  WHERE geoid='" + literal(k.geoid) +
                      "' AND office_id = '" + literal(k.office) + "'  AND phenom='" +
                      literal(k.phenom) + "' AND signif='" + literal(k.signif) +
                      "' AND producttime < '"}) {
                EXPECT_NE(said.find(where), std::string::npos) << where << "\n" << r.out;
            }
        }
    }
}

// The database name taken from token files full of junk, or unusable: the run either opens the
// database it was meant to or stops at the open with status 1.
TEST_F(HostileInputTest, JunkAroundAndInTheDatabaseToken) {
    std::string junk;
    junk += std::string(5000, '\xff') + "\n";
    junk += std::string("db_name\0: wrong\n", 16);
    junk += "\x01\x02\x03: \x04\n";
    junk += "db_name # : \n";
    junk += "db_name : " + db.name() + "\n";
    junk += "db_name : \"second\n";
    junk += std::string(3000, '\0') + "\n";
    const std::string tokens = dir.write("junk_tokens", junk);
    auto r = run({{"db_name", std::nullopt}, {"APPS_DEFAULTS", tokens}});
    expect_own_exit(r);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GE(find_line(lines(r.out), "database name = " + db.name()), 0) << r.out;

    const std::string stop = "PostgreSQL error 2 attempting to open database";
    for (const std::string& name :
         {std::string("x'; DROP DATABASE ") + db.name() + "; --", std::string(511, 'd'),
          std::string("\x1b[2J\xc3\x28"), std::string("tcp:postgresql://127.0.0.1:1/x"),
          std::string("unix:postgresql://localhost/nosuch?host=/nonexistent")}) {
        r = run({{"db_name", name}});
        expect_own_exit(r);
        EXPECT_EQ(r.status, 1) << name << "\n" << r.out << r.err;
        const auto out = lines(r.out);
        ASSERT_GE(out.size(), 2u);
        EXPECT_EQ(out[out.size() - 2], stop) << name;
        EXPECT_EQ(out.back().rfind("The client library says: ", 0), 0u) << name;
        EXPECT_NE(r.err.find("Unable to open database "), std::string::npos) << r.err;
    }
    // A value too long for a token, a name that refers to itself, and a token file that is a
    // directory: no name at all.
    std::filesystem::create_directory(dir.path() / "tokens_dir");
    for (const auto& env :
         {testsupport::EnvChanges{{"db_name", std::string(600, 'n')}},
          testsupport::EnvChanges{{"db_name", std::nullopt},
                                  {"APPS_DEFAULTS", dir.write("self", "db_name : $(db_name)\n")}},
          testsupport::EnvChanges{{"db_name", std::nullopt},
                                  {"APPS_DEFAULTS", (dir.path() / "tokens_dir").string()}}}) {
        r = run(env);
        expect_own_exit(r);
        EXPECT_EQ(r.status, 1) << r.out;
        const auto out = lines(r.out);
        EXPECT_GE(find_line(out, "database name = "), 0);
        EXPECT_EQ(out.back(), "PostgreSQL error 1 attempting to open database") << r.out;
    }
    EXPECT_EQ(db.count("SELECT 1"), 1);  // the database is still there
}
