// Statement texts, key conditions, and what the accessors do with awkward rows and inputs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Esql.h"
#include "TableDescriptors.h"
#include "TableStatements.h"
#include "TableTraits.h"

namespace dbtest {
namespace {

// A second description of the Admin record, over a table of its own.
constexpr dbaccess::Table<Admin, 11, 1> kAdminCopyTable{
    "AdminCopy", "admincopy", dbaccess::kAdminTable.columns, dbaccess::kAdminTable.key};

struct ExpectedTexts {
    const dbaccess::StatementTexts& made;
    const char* select;
    const char* count;
    const char* remove;
    const char* insert;
    const char* update;
};

TEST(StatementTexts, EachTableSpellsItsStatementsExactly) {
    const ExpectedTexts tables[] = {
        {dbaccess::texts(dbaccess::kAdminTable), "SELECT * FROM Admin ",
         "SELECT COUNT(*) FROM Admin ", "DELETE FROM Admin ",
         "insert into Admin ( focalpoint  , ofc  , phone  , region  , regno  , cd404  , tenyr  , "
         "oneyr  , hsa  , hsa_num  , hb_password  ) values (  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? "
         ",  ? ,  ? ,  ? )",
         " UPDATE Admin SET focalpoint = ? , ofc = ? , phone = ? , region = ? , regno = ? ,     "
         "cd404 = ? , tenyr = ? , oneyr = ? , hsa = ? , hsa_num = ? ,     hb_password = ? "},
        {dbaccess::texts(dbaccess::kDPARadarTable), "SELECT * FROM DPARadar ",
         "SELECT COUNT(*) FROM DPARadar ", "DELETE FROM DPARadar ",
         "insert into DPARadar ( radid  , obstime  , minoff  , maxvalh  , maxvald  , s1_bias_value "
         " , producttime  , nisolbin  , noutint  , noutrep  , areared  , biscanr  , "
         "block_bins_reject  , clutter_bins_rej  , bins_smoothed  , scan_bins_filled  , "
         "high_elev_angle  , scan_rain_area  , nbadscan  , nhourout  , volcovpat  , opermode  , "
         "missper  , supplmess  , grid_filename  ) values (  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? "
         ",  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? )",
         " UPDATE DPARadar SET radid = ? , obstime = ? , minoff = ? , maxvalh = ? , maxvald = ? ,  "
         "   s1_bias_value = ? , producttime = ? , nisolbin = ? , noutint = ? , noutrep = ? ,     "
         "areared = ? , biscanr = ? , block_bins_reject = ? , clutter_bins_rej = ? , bins_smoothed "
         "= ? ,     scan_bins_filled = ? , high_elev_angle = ? , scan_rain_area = ? , nbadscan = ? "
         ", nhourout = ? ,     volcovpat = ? , opermode = ? , missper = ? , supplmess = ? , "
         "grid_filename = ? "},
        {dbaccess::texts(dbaccess::kLocationTable), "SELECT * FROM Location ",
         "SELECT COUNT(*) FROM Location ", "DELETE FROM Location ",
         "insert into location ( lid  , county  , coe  , cpm  , detail  , elev  , hdatum  , hsa  , "
         "hu  , lat  , lon  , lremark  , lrevise  , name  , network  , rb  , rfc  , sbd  , sn  , "
         "state  , waro  , wfo  , wsfo  , type  , des  , det  , post  , stntype  , tzone  ) values "
         "(  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  "
         "? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? )",
         " UPDATE Location SET lid = ? , county = ? , coe = ? , cpm = ? , detail = ? ,     elev = "
         "? , hdatum = ? , hsa = ? , hu = ? , lat = ? ,     lon = ? , lremark = ? , lrevise = ? , "
         "name = ? , network = ? ,     rb = ? , rfc = ? , sbd = ? , sn = ? , state = ? ,     waro "
         "= ? , wfo = ? , wsfo = ? , type = ? , des = ? ,     det = ? , post = ? , stntype = ? , "
         "tzone = ? "},
        {dbaccess::texts(dbaccess::kPerfLogTable), "SELECT * FROM PerfLog ",
         "SELECT COUNT(*) FROM PerfLog ", "DELETE FROM PerfLog ",
         "insert into PerfLog ( process  , start_time  , num_processed  , num_reads  , num_inserts "
         " , num_updates  , num_deletes  , elapsed_time  , cpu_time  , io_time  ) values (  ? ,  ? "
         ",  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? )",
         " UPDATE PerfLog SET process = ? , start_time = ? , num_processed = ? , num_reads = ? , "
         "num_inserts = ? ,     num_updates = ? , num_deletes = ? , elapsed_time = ? , cpu_time = "
         "? , io_time = ? "},
        {dbaccess::texts(dbaccess::kVTECeventTable), "SELECT * FROM VTECevent ",
         "SELECT COUNT(*) FROM VTECevent ", "DELETE FROM VTECevent ",
         "insert into VTECevent ( geoid  , product_id  , producttime  , productmode  , geomode  , "
         "action  , office_id  , phenom  , signif  , etn  , begintime  , endtime  , severity  , "
         "immed_cause  , risetime  , cresttime  , falltime  , record  ) values (  ? ,  ? ,  ? ,  ? "
         ",  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? )",
         " UPDATE VTECevent SET geoid = ? , product_id = ? , producttime = ? , productmode = ? , "
         "geomode = ? ,     action = ? , office_id = ? , phenom = ? , signif = ? , etn = ? ,     "
         "begintime = ? , endtime = ? , severity = ? , immed_cause = ? , risetime = ? ,     "
         "cresttime = ? , falltime = ? , record = ? "},
        // Built after the Admin texts, from a description of the same record type.
        {dbaccess::texts(kAdminCopyTable), "SELECT * FROM AdminCopy ",
         "SELECT COUNT(*) FROM AdminCopy ", "DELETE FROM AdminCopy ",
         "insert into admincopy ( focalpoint  , ofc  , phone  , region  , regno  , cd404  , tenyr "
         " , oneyr  , hsa  , hsa_num  , hb_password  ) values (  ? ,  ? ,  ? ,  ? ,  ? ,  ? ,  ? , "
         " ? ,  ? ,  ? ,  ? )",
         " UPDATE AdminCopy SET focalpoint = ? , ofc = ? , phone = ? , region = ? , regno = ? ,   "
         "  cd404 = ? , tenyr = ? , oneyr = ? , hsa = ? , hsa_num = ? ,     hb_password = ? "},
    };
    for (const ExpectedTexts& t : tables) {
        SCOPED_TRACE(t.select);
        EXPECT_EQ(t.made.select, t.select);
        EXPECT_EQ(t.made.count, t.count);
        EXPECT_EQ(t.made.remove, t.remove);
        EXPECT_EQ(t.made.insert, t.insert);
        EXPECT_EQ(t.made.update, t.update);
    }
}

TEST(KeyCondition, IsWrittenWithItsBlanksAndTimestampText) {
    char where[8192];
    Admin admin;
    AdminTraits::fill(admin, "ABC");
    GetAdminPrimaryKeyWhereString(&admin, where);
    EXPECT_STREQ(where, "WHERE hsa = 'ABC' ");

    DPARadar radar;
    DPARadarTraits::fill(radar, "KAB");
    GetDPARadarPrimaryKeyWhereString(&radar, where);
    EXPECT_STREQ(where, "WHERE radid = 'KAB'  AND obstime = '2024-03-05 06:00:00' ");

    Location loc;
    LocationTraits::fill(loc, "BOON1");
    GetLocationPrimaryKeyWhereString(&loc, where);
    EXPECT_STREQ(where, "WHERE lid = 'BOON1' ");

    PerfLog perf;
    PerfLogTraits::fill(perf, "trevane");
    GetPerfLogPrimaryKeyWhereString(&perf, where);
    EXPECT_STREQ(where, "WHERE process = 'trevane'  AND start_time = '2024-03-05 07:08:09' ");

    VTECevent ev;
    VTECeventTraits::fill(ev, "MOC019");
    GetVTECeventPrimaryKeyWhereString(&ev, where);
    EXPECT_STREQ(where,
                 "WHERE geoid = 'MOC019'  AND product_id = 'KABCFLWABC'  AND producttime = "
                 "'2024-03-05 08:00:00' ");
}

TEST(KeyCondition, DoublesQuotesAndStaysWithinAnUnterminatedField) {
    char where[8192];
    VTECevent ev;
    VTECeventTraits::fill(ev, "x' OR 'a'='a");
    GetVTECeventPrimaryKeyWhereString(&ev, where);
    EXPECT_STREQ(where,
                 "WHERE geoid = 'x'' OR ''a''=''a'  AND product_id = 'KABCFLWABC'  AND "
                 "producttime = '2024-03-05 08:00:00' ");

    Admin admin;
    AdminTraits::fill(admin, "");
    std::memcpy(admin.hsa, "ABCDEF", sizeof admin.hsa);  // no terminator
    GetAdminPrimaryKeyWhereString(&admin, where);
    EXPECT_STREQ(where, "WHERE hsa = 'ABCDEF' ");

    // Nothing to write from no record.
    std::strcpy(where, "unchanged");
    GetAdminPrimaryKeyWhereString(nullptr, where);
    EXPECT_STREQ(where, "unchanged");
}

class AccessorTest : public DbTest {};

TEST_F(AccessorTest, KeyWithAQuoteMatchesItsOwnRowOnly) {
    Admin quoted;
    AdminTraits::fill(quoted, "O'BRN");
    Admin other;
    AdminTraits::fill(other, "OXBRN");
    ASSERT_EQ(PutAdmin(&quoted), 0);
    ASSERT_EQ(PutAdmin(&other), 0);
    EXPECT_EQ(db().sql("SELECT hsa FROM Admin ORDER BY hsa"), "O'BRN\nOXBRN");

    EXPECT_EQ(AdminExists(&quoted), 1);
    bool inserted = true;
    EXPECT_EQ(InsertIfUniqueAdmin(&quoted, &inserted), 0);
    EXPECT_FALSE(inserted);

    Admin changed = quoted;
    AdminTraits::change(changed);
    EXPECT_EQ(UpdateAdminByRecord(&changed, &quoted), 0);
    EXPECT_EQ(GetAdminDbStatus()->rowsAffected, 1);
    EXPECT_EQ(InsertOrUpdateAdmin(&changed), 0);
    EXPECT_EQ(GetAdminDbStatus()->sqlCommand, SQL_UPDATE);

    // A caller's own where clause is used as written, a "?" in its literals and comments too.
    EXPECT_EQ(UpdateAdmin(&changed, "WHERE hsa = 'O''BRN' -- or '?'\n /* ? */ AND phone <> '?'"),
              0);
    EXPECT_EQ(GetAdminDbStatus()->rowsAffected, 1);
    Admin* got = GetAdmin("WHERE hsa = 'O''BRN'");
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got->phone, "555-0199");
    FreeAdmin(got);

    EXPECT_EQ(DeleteAdminByRecord(&quoted), 0);
    EXPECT_EQ(GetAdminDbStatus()->rowsAffected, 1);
    EXPECT_EQ(db().sql("SELECT hsa FROM Admin"), "OXBRN");
}

TEST_F(AccessorTest, KeyValueCannotWidenADelete) {
    VTECevent a;
    VTECevent b;
    VTECeventTraits::fill(a, "G1");
    VTECeventTraits::fill(b, "G2");
    ASSERT_EQ(PutVTECevent(&a), 0);
    ASSERT_EQ(PutVTECevent(&b), 0);

    VTECevent hostile;
    VTECeventTraits::fill(hostile, "x' OR 'a'='a");
    EXPECT_EQ(VTECeventExists(&hostile), 0);
    EXPECT_EQ(DeleteVTECeventByRecord(&hostile), 0);
    EXPECT_EQ(GetVTECeventDbStatus()->sqlCode, 100);
    EXPECT_EQ(GetVTECeventDbStatus()->rowsAffected, 0);
    EXPECT_EQ(db().count("SELECT count(*) FROM VTECevent"), 2);
}

TEST_F(AccessorTest, ASecondDescriptionOfARecordRunsItsOwnStatements) {
    db().sql("CREATE TABLE AdminCopy (LIKE Admin INCLUDING ALL)");
    Admin rec;
    AdminTraits::fill(rec, "ABC");
    ASSERT_EQ(PutAdmin(&rec), 0);
    dbaccess::ModuleState copy;
    const esql::Where here = esql::Where::current();
    AdminTraits::change(rec);
    EXPECT_EQ(dbaccess::insert(kAdminCopyTable, copy, "Put", &rec, here), 0);
    Admin* got = dbaccess::select(kAdminCopyTable, copy, dbaccess::kGetCursor, nullptr, here);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got->phone, "555-0199");
    FreeAdmin(got);
    EXPECT_EQ(db().sql("SELECT phone FROM Admin UNION ALL SELECT phone FROM AdminCopy"),
              "555-0100\n555-0199");
}

// Identifiers and grid file names in char(n) columns come back without their padding; one that
// does not fit its field even so is flagged and cut, and the rest of the list is kept.
TEST_F(AccessorTest, PaddedNamesComeBackBareAndOverLongOnesAreFlagged) {
    db().sql(
        "ALTER TABLE Admin ALTER COLUMN hsa TYPE char(5);"
        "ALTER TABLE Location ALTER COLUMN lid TYPE char(12);"
        "ALTER TABLE Location ALTER COLUMN hsa TYPE char(6);"
        "ALTER TABLE DPARadar ALTER COLUMN grid_filename TYPE char(30);"
        "INSERT INTO Admin (hsa) VALUES ('ABC');"
        "INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone) VALUES "
        "('BOON1', 'c', 'AB', 'n', 'r', 's', 'w', 't'), ('ABCDEFGHI', 'c', 'AB', 'n', 'r', 's', "
        "'w', 't'), ('ABCDEFGH', 'c', 'AB', 'n', 'r', 's', 'w', 't');"
        "INSERT INTO DPARadar (radid, obstime, grid_filename) VALUES "
        "('KA', '2024-03-05 06:00', 'KA0305.grd'), ('KB', '2024-03-05 06:00', "
        "'KB0305_123456789012.grd'), ('KC', '2024-03-05 06:00', NULL);");

    Admin* admin = GetAdmin(nullptr);
    ASSERT_NE(admin, nullptr);
    EXPECT_STREQ(admin->hsa, "ABC");
    FreeAdmin(admin);

    std::vector<bool> cut{true};
    Location* loc = GetLocationWithCutLids("ORDER BY lid", cut);
    ASSERT_NE(loc, nullptr);
    std::vector<std::string> lids;
    for (Node* n = ListFirst(&loc->list); n != nullptr; n = ListNext(n)) {
        lids.push_back(reinterpret_cast<Location*>(n)->lid + std::string("/") +
                       reinterpret_cast<Location*>(n)->hsa);
    }
    EXPECT_EQ(lids, (std::vector<std::string>{"ABCDEFGH/AB", "ABCDEFGH/AB", "BOON1/AB"}));
    EXPECT_EQ(cut, (std::vector<bool>{false, true, false}));
    FreeLocation(loc);

    DPARadar* radar = GetDPARadarWithCutNames("ORDER BY radid", cut);
    ASSERT_NE(radar, nullptr);
    std::vector<std::string> names;
    for (Node* n = ListFirst(&radar->list); n != nullptr; n = ListNext(n)) {
        names.emplace_back(reinterpret_cast<DPARadar*>(n)->grid_filename);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"KA0305.grd", "KB0305_123456789012.", ""}));
    EXPECT_EQ(cut, (std::vector<bool>{false, true, false}));
    FreeDPARadar(radar);
}

TEST_F(AccessorTest, NullInANonNullableColumnFailsTheSelect) {
    db().sql(
        "INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone) VALUES "
        "('A1', 'Boone', 'ABC', 'NET', 'MBRFC', 'MO', 'WFO', 'CST6CDT'), "
        "('B1', NULL, 'ABC', 'NET', 'MBRFC', 'MO', 'WFO', 'CST6CDT')");

    // The row with the null is the first row fetched, then a later one.
    struct Case {
        const char* where;
        const char* first;
    };
    for (const Case& c : {Case{"WHERE lid = 'B1'", "GetLocation() in Initial FETCH section"},
                          Case{"ORDER BY lid", "GetLocation() in Nth fetch section"}}) {
        SCOPED_TRACE(c.where);
        testing::internal::CaptureStderr();
        EXPECT_EQ(GetLocation(c.where), nullptr);
        const std::string err = testing::internal::GetCapturedStderr();
        const DbStatus& st = *GetLocationDbStatus();
        EXPECT_EQ(st.sqlCode, -213);
        EXPECT_STREQ(st.sqlState, "22002");
        EXPECT_EQ(st.sqlCommand, SQL_SELECT);
        EXPECT_EQ(std::string(st.errorMessage).rfind("null value without indicator on line ", 0),
                  0u)
            << st.errorMessage;
        EXPECT_EQ(err, report(c.first, st));
    }

    // The cursor was closed: the same cursor opens again at once.
    Location* ok = GetLocation("WHERE lid = 'A1'");
    ASSERT_NE(ok, nullptr);
    EXPECT_STREQ(ok->county, "Boone");
    FreeLocation(ok);
}

TEST_F(AccessorTest, LongerValueIsCutToItsFieldAndTheRestOfTheRecordKept) {
    db().sql("ALTER TABLE Admin ALTER COLUMN phone TYPE varchar(40)");
    db().sql(
        "INSERT INTO Admin (phone, hsa, hsa_num, hb_password) VALUES "
        "('0123456789012345678901234567890', 'ABC', 7, 'pw')");
    Admin* got = GetAdmin(nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got->phone, "012345678901");
    EXPECT_STREQ(got->hsa, "ABC");
    EXPECT_EQ(got->hsa_num, 7);
    EXPECT_STREQ(got->hb_password, "pw");
    EXPECT_STREQ(got->region, "");
    FreeAdmin(got);
}

TEST_F(AccessorTest, StatementThatWouldNotFitIsRefused) {
    Admin rec;
    AdminTraits::fill(rec, "ABC");
    ASSERT_EQ(PutAdmin(&rec), 0);

    // 20 bytes of statement, 9979 of where clause and the terminator fill the buffer exactly.
    const std::string fits = "WHERE" + std::string(9970, ' ') + "true";
    ASSERT_EQ(std::string("SELECT * FROM Admin ").size() + fits.size() + 1, 10000u);
    Admin* got = GetAdmin(fits.c_str());
    ASSERT_NE(got, nullptr);
    FreeAdmin(got);

    const std::string too_long = "WHERE" + std::string(9990, ' ') + "true";
    // The report names the size the statement would have had: its text, the clause, the end.
    auto expected = [&](const std::string& first, const std::string& statement) {
        return first + " section --- ERROR\nSQLCODE = (-400) sql state = (54000)\nError Message " +
               "(statement of " + std::to_string(statement.size() + too_long.size() + 1) +
               " bytes does not fit in its 10000-byte buffer)\n";
    };
    const auto& texts = dbaccess::texts(dbaccess::kAdminTable);
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetAdmin(too_long.c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              expected("GetAdmin() in Prepare", "SELECT * FROM Admin "));
    EXPECT_EQ(GetAdminDbStatus()->sqlCode, -400);
    EXPECT_STREQ(GetAdminDbStatus()->sqlState, "54000");

    testing::internal::CaptureStderr();
    EXPECT_EQ(SelectAdminCount(too_long.c_str()), -1);
    EXPECT_EQ(UpdateAdmin(&rec, too_long.c_str()), -400);
    EXPECT_EQ(DeleteAdmin(too_long.c_str()), -400);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              expected("SelectCountAdmin() in Prepare", "SELECT COUNT(*) FROM Admin ") +
                  expected("UpdateAdmin() in Prepare", texts.update) +
                  expected("DeleteAdmin() in Execute Immediate", "DELETE FROM Admin "));
    EXPECT_EQ(db().count("SELECT count(*) FROM Admin"), 1);
}

TEST_F(AccessorTest, ThousandsOfRowsAreListedAndFreed) {
    db().sql(
        "INSERT INTO PerfLog (process, start_time, num_processed) SELECT 'p' || g, "
        "timestamp '2024-01-01' + g * interval '1 minute', g FROM generate_series(1, 5000) g");
    for (auto select : {&GetPerfLog, &SelectPerfLog}) {
        PerfLog* first = select("ORDER BY num_processed");
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(GetPerfLogDbStatus()->rowsAffected, 5000);
        ASSERT_EQ(ListCount(&first->list), 5000);
        int expected = 1;
        bool in_order = true;
        for (Node* n = ListFirst(&first->list); n != nullptr; n = ListNext(n)) {
            in_order = in_order && reinterpret_cast<PerfLog*>(n)->num_processed == expected++;
        }
        EXPECT_TRUE(in_order);
        EXPECT_STREQ(reinterpret_cast<PerfLog*>(ListLast(&first->list))->process, "p5000");
        FreePerfLog(first);
    }
    EXPECT_EQ(SelectPerfLogCount(nullptr), 5000);
    EXPECT_EQ(DeletePerfLog("WHERE num_processed > 1000"), 0);
    EXPECT_EQ(GetPerfLogDbStatus()->rowsAffected, 4000);
}

TEST_F(AccessorTest, ModulesKeepTheirOwnStatusAndReportSwitch) {
    Admin rec;
    AdminTraits::fill(rec, "ABC");
    ASSERT_EQ(PutAdmin(&rec), 0);
    EXPECT_EQ(SelectLocationCount("WHERE nosuch = 1"), -1);
    EXPECT_EQ(GetAdminDbStatus()->sqlCode, 0);
    EXPECT_EQ(GetAdminDbStatus()->sqlCommand, SQL_INSERT);
    EXPECT_LT(GetLocationDbStatus()->sqlCode, 0);

    SetLocationErrorLogging(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SelectLocationCount("WHERE nosuch = 1"), -1);
    EXPECT_EQ(SelectAdminCount("WHERE nosuch = 1"), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    SetLocationErrorLogging(1);
    EXPECT_EQ(err, report("SelectCountAdmin() in Open cursor section", *GetAdminDbStatus()));
}

}  // namespace
}  // namespace dbtest
