// The session, the null markers, observation table naming and value text.

#include <gtest/gtest.h>
#include <pgtypes_timestamp.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Admin.h"
#include "DbTest.h"

namespace dbtest {
namespace {

bool all_bytes(const void* p, std::size_t n, unsigned char b) {
    const auto* c = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) {
        if (c[i] != b)
            return false;
    }
    return true;
}

TEST(NullMarkers, EachRecordTypeHasItsMarker) {
    char text[4] = "abc";
    short s = 5;
    int i = 5;
    float f = 1.5f;
    double d = 2.5;
    timestamp t = 1;

    EXPECT_EQ(IsNull(CHAR, text), 0);
    EXPECT_EQ(SetNull(CHAR, text), 0);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(IsNull(CHAR, text), 1);

    EXPECT_EQ(SetNull(SHORT, &s), 0);
    EXPECT_EQ(s, SHRT_MIN);
    EXPECT_EQ(IsNull(SHORT, &s), 1);

    EXPECT_EQ(SetNull(INT, &i), 0);
    EXPECT_EQ(i, INT_MIN);
    EXPECT_EQ(IsNull(INT, &i), 1);

    EXPECT_EQ(SetNull(FLOAT, &f), 0);
    EXPECT_TRUE(all_bytes(&f, sizeof f, 0xFF));
    EXPECT_EQ(IsNull(FLOAT, &f), 1);

    EXPECT_EQ(SetNull(DOUBLE, &d), 0);
    EXPECT_TRUE(all_bytes(&d, sizeof d, 0xFF));
    EXPECT_EQ(IsNull(DOUBLE, &d), 1);

    EXPECT_EQ(SetNull(TIMESTAMP, &t), 0);
    EXPECT_TRUE(all_bytes(&t, sizeof t, 0xFF));
    EXPECT_EQ(IsNull(TIMESTAMP, &t), 1);

    // Ordinary values are not null.
    short s2 = -32767;
    int i2 = INT_MIN + 1;
    double d2 = 0.0;
    EXPECT_EQ(IsNull(SHORT, &s2), 0);
    EXPECT_EQ(IsNull(INT, &i2), 0);
    EXPECT_EQ(IsNull(DOUBLE, &d2), 0);

    // The interval code and above are refused and the value left alone.
    int untouched = 7;
    EXPECT_EQ(IsNull(INTERVAL, &untouched), -1);
    EXPECT_EQ(SetNull(INTERVAL, &untouched), -1);
    EXPECT_EQ(untouched, 7);
}

TEST(NullMarkers, IndicatorsTranslateBothWays) {
    char empty[2] = "";
    char one[2] = "x";
    int null_int = INT_MIN;
    int not_null = INT_MIN + 1;
    EXPECT_EQ(getIndicator(CHAR, empty), -1);
    EXPECT_EQ(getIndicator(CHAR, one), 0);
    EXPECT_EQ(getIndicator(INT, &null_int), -1);
    EXPECT_EQ(getIndicator(INT, &not_null), 0);
    EXPECT_EQ(getIndicator(INTERVAL, &not_null), -1);

    EXPECT_EQ(indicatesNull(-1), 1);
    EXPECT_EQ(indicatesNull(0), 0);
    EXPECT_EQ(indicatesNull(7), 0);

    short s = 12;
    EXPECT_EQ(setNullIfIndicated(0, SHORT, &s), 0);
    EXPECT_EQ(s, 12);
    EXPECT_EQ(setNullIfIndicated(-1, SHORT, &s), 0);
    EXPECT_EQ(s, SHRT_MIN);
    int i = 3;
    EXPECT_EQ(setNullIfIndicated(-1, INTERVAL, &i), -1);
    EXPECT_EQ(i, 3);
    char text[8] = "cut";
    EXPECT_EQ(setNullIfIndicated(7, CHAR, text), 0);  // a truncation length, not null
    EXPECT_STREQ(text, "cut");
}

TEST(Session, OpenAndCloseReportFailures) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(OpenDbms(nullptr), 1);
    EXPECT_EQ(OpenDbms(""), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    EXPECT_EQ(CloseDbms(), 3);  // nothing open
}

TEST(Session, UnknownDatabaseIsReported) {
    REQUIRE_TEST_SERVER();
    unsetenv("PG_DBPATH");
    testing::internal::CaptureStderr();
    EXPECT_EQ(OpenDbms("trevane_no_such_db"), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unable to open database trevane_no_such_db - (-402)\n");
    EXPECT_EQ(CloseDbms(), 3);
}

class SessionTest : public DbTest {};

TEST_F(SessionTest, OpenSessionRunsStatementsUntilClosed) {
    EXPECT_EQ(SelectAdminCount(nullptr), 0);
    EXPECT_EQ(CloseDbms(), 0);
    EXPECT_EQ(CloseDbms(), 3);
    SetAdminErrorLogging(0);
    EXPECT_EQ(SelectAdminCount(nullptr), -1);
    SetAdminErrorLogging(1);
}

// ---- Observation tables ----

class TableName : public ::testing::Test {
   protected:
    void SetUp() override {
        for (const char* v : {"APPS_DEFAULTS", "APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG",
                              "APPS_DEFAULTS_SITE", "shef_procobs"}) {
            unsetenv(v);
        }
    }
    void TearDown() override { unsetenv("shef_procobs"); }

    // The name given and what was printed.
    std::pair<std::string, std::string> name(const char* pe, const char* ts) {
        char out[17];
        std::memset(out, '#', sizeof out);
        testing::internal::CaptureStdout();
        getTableName(pe, ts, out);
        std::string printed = testing::internal::GetCapturedStdout();
        return {out, printed};
    }
};

TEST_F(TableName, ObservedForecastProcessedAndContingency) {
    struct Case {
        const char* pe;
        const char* ts;
        const char* table;
    };
    const Case cases[] = {
        {"HG", "RG", "height"},
        {"PC", "RG", "rawpc"},
        {"PP", "RZ", "rawpp"},
        {"PA", "RG", "pressure"},
        {"PD", "RG", "pressure"},
        {"PE", "RG", "pressure"},
        {"PL", "RG", "pressure"},
        {"pp", "R", "precip"},
        {"AD", "RG", "agricultural"},
        {"EA", "RG", "evaporation"},
        {"FA", "RG", "fishcount"},
        {"GD", "RG", "ground"},
        {"IC", "RG", "ice"},
        {"LS", "RG", "lake"},
        {"MM", "RG", "moisture"},
        {"NG", "RG", "gatedam"},
        {"QR", "RG", "discharge"},
        {"RA", "RG", "radiation"},
        {"SW", "RG", "snow"},
        {"TA", "RG", "temperature"},
        {"US", "RG", "wind"},
        {"VB", "RG", "power"},
        {"WC", "RG", "waterquality"},
        {"XW", "RG", "weather"},
        {"YA", "RG", "yunique"},
        {"ha", "RG", "height"},
        {"HG", "FF", "fcstheight"},
        {"PP", "FF", "fcstprecip"},
        {"QR", "FE", "fcstdischarge"},
        {"TA", "FF", "fcsttemperature"},
        {"SW", "FF", "fcstother"},
        {"", "FF", "fcstother"},
        {"HG", "CF", "contingencyvalue"},
        {"HG", "PM", "procvalue"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pe) + " " + c.ts);
        EXPECT_EQ(name(c.pe, c.ts), std::make_pair(std::string(c.table), std::string()));
    }
}

TEST_F(TableName, ProcessedDataFollowsTheToken) {
    for (const char* on : {"ON", "on"}) {
        setenv("shef_procobs", on, 1);
        EXPECT_EQ(name("HG", "PM").first, "height");
        EXPECT_EQ(name("PP", "PM").first, "rawpp");
    }
    for (const char* off : {"On", "ON ", "OFF", "yes"}) {
        setenv("shef_procobs", off, 1);
        EXPECT_EQ(name("HG", "PM").first, "procvalue") << off;
    }
    // Observed through the token, an unknown element has no table.
    setenv("shef_procobs", "ON", 1);
    EXPECT_EQ(name("ZZ", "PM"),
              std::make_pair(std::string("INVALID"),
                             std::string("Error finding table name match for pe, ts = ZZ PM\n")));
}

TEST_F(TableName, UnknownElementOrTypeSourceIsInvalid) {
    EXPECT_EQ(name("ZZ", "RG"),
              std::make_pair(std::string("INVALID"),
                             std::string("Error finding table name match for pe, ts = ZZ RG\n")));
    EXPECT_EQ(name("HG", "XX"),
              std::make_pair(std::string("INVALID"),
                             std::string("Invalid type-source specified for getTableName(): XX.\n"
                                         "Error finding table name match for pe, ts = HG XX\n")));
    // The type-source is compared as written.
    EXPECT_EQ(name("HG", "rg").first, "INVALID");
    EXPECT_EQ(name("", "RG").first, "INVALID");
}

// ---- Value text ----

TEST(DataToString, FormatsValuesAndWritesTheNullText) {
    char out[64] = "previous";
    short null_short = SHRT_MIN;
    EXPECT_EQ(DataToString(&null_short, SHORT, out, "%d", "NULL"), 0);
    EXPECT_STREQ(out, "NULL");

    double d = 1.5;
    EXPECT_EQ(DataToString(&d, DOUBLE, out, "%.2f", "NULL"), 1);
    EXPECT_STREQ(out, "1.50");

    float f = 0.25f;
    EXPECT_EQ(DataToString(&f, FLOAT, out, "%g", "-"), 1);
    EXPECT_STREQ(out, "0.25");

    short s = -12;
    EXPECT_EQ(DataToString(&s, SHORT, out, "[%5d]", "-"), 1);
    EXPECT_STREQ(out, "[  -12]");

    int i = 123456;
    EXPECT_EQ(DataToString(&i, INT, out, "%d", "-"), 1);
    EXPECT_STREQ(out, "123456");

    const char c[] = "Q";
    EXPECT_EQ(DataToString(c, CHAR, out, "%c", "-"), 1);
    EXPECT_STREQ(out, "Q");

    std::strcpy(out, "kept");
    long l = 5;
    EXPECT_EQ(DataToString(&l, LONG, out, "%ld", "-"), 0);
    timestamp t = 0;
    EXPECT_EQ(DataToString(&t, TIMESTAMP, out, "%ld", "-"), 0);
    EXPECT_STREQ(out, "kept");

    double null_double;
    std::memset(&null_double, 0xFF, sizeof null_double);
    EXPECT_EQ(DataToString(&null_double, DOUBLE, out, "%f", ""), 0);
    EXPECT_STREQ(out, "");

    // A format that does not take the value's type writes nothing.
    struct Mismatch {
        const void* value;
        int type;
        const char* format;
    } const mismatches[] = {
        {&i, INT, "%s"},     {&i, INT, "%f"},      {&i, INT, "%ld"},  {&i, INT, "%d %d"},
        {&i, INT, "%*d"},    {&i, INT, "%1$d"},    {&i, INT, "none"}, {&i, INT, "100%%"},
        {&i, INT, "%n"},     {&s, SHORT, "%lc"},   {c, CHAR, "%s"},   {&d, DOUBLE, "%d"},
        {&d, DOUBLE, "%Lf"}, {&d, DOUBLE, "%.*f"}, {&f, FLOAT, "%x"}, {&d, DOUBLE, "%f%"},
    };
    for (const Mismatch& m : mismatches) {
        std::strcpy(out, "kept");
        EXPECT_EQ(DataToString(m.value, m.type, out, m.format, "-"), 0) << m.format;
        EXPECT_STREQ(out, "kept") << m.format;
    }
    EXPECT_EQ(DataToString(&d, DOUBLE, out, "%+08.3lf%%", "-"), 1);
    EXPECT_STREQ(out, "+001.500%");
    EXPECT_EQ(DataToString(&s, SHORT, out, "%#hx", "-"), 1);
    EXPECT_STREQ(out, "0xfff4");
}

TEST(DataToString, SizedFormStaysWithinItsBuffer) {
    char out[8];
    std::memset(out, '#', sizeof out);
    double d = 123456789.0;
    EXPECT_EQ(DataToString(&d, DOUBLE, out, 6, "%.3f", "NULL"), 1);
    EXPECT_STREQ(out, "12345");
    EXPECT_EQ(out[6], '#');

    int null_int = INT_MIN;
    EXPECT_EQ(DataToString(&null_int, INT, out, 3, "%d", "missing"), 0);
    EXPECT_STREQ(out, "mi");
    EXPECT_EQ(DataToString(nullptr, INT, out, 3, "%d", "x"), 0);
}

TEST(AllocateAndCopyTextValue, CopiesIntoANewOrResizedBlock) {
    char* block = AllocateAndCopyTextValue(nullptr, "");
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0], '\0');

    block = AllocateAndCopyTextValue(block, "a longer text than before");
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "a longer text than before");

    block = AllocateAndCopyTextValue(block, "short");
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "short");
    std::free(block);
}

}  // namespace
}  // namespace dbtest
