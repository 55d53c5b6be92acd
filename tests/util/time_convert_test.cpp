#include "time_convert.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr time_t kPgEpochUnix = 946684800;  // 2000-01-01 00:00:00 UTC
constexpr int64_t kUsecs = 1000000;

// Text written by a converter into a 26-byte buffer surrounded by guard bytes; fails the test
// when the converter writes outside its 26 bytes.
template <typename F>
std::string written(F&& convert) {
    char guarded[TIME_TEXT_SIZE + 8];
    std::memset(guarded, '#', sizeof guarded);
    convert(guarded + 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(guarded[i], '#') << "wrote before the buffer";
        EXPECT_EQ(guarded[TIME_TEXT_SIZE + 4 + i], '#') << "wrote past 26 bytes";
    }
    return std::string(guarded + 4, strnlen(guarded + 4, TIME_TEXT_SIZE));
}

std::string yearsec(time_t t) {
    return written([&](char* b) { EXPECT_EQ(timet_to_yearsec_ansi(t, b), 0); });
}

// Reference text of t from the system library.
std::string systemText(time_t t, const char* format) {
    struct tm f {};
    EXPECT_NE(gmtime_r(&t, &f), nullptr);
    std::ostringstream out;
    out << std::put_time(&f, format);
    return out.str();
}

struct tm fields(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    struct tm f {};
    f.tm_year = year - 1900;
    f.tm_mon = month - 1;
    f.tm_mday = day;
    f.tm_hour = hour;
    f.tm_min = minute;
    f.tm_sec = second;
    return f;
}

// Seconds 1970..2100 at irregular steps, with every 28 Feb, 29 Feb, 1 Mar and 31 Dec, and
// the seconds around the 32-bit limit.
std::vector<time_t> sweep() {
    std::vector<time_t> times;
    std::mt19937_64 rng(1970);
    struct tm endFields = fields(2101, 1, 1);
    const time_t end = timegm(&endFields);
    for (time_t t = 0; t < end; t += 86400 * 3 + static_cast<time_t>(rng() % 86400))
        times.push_back(t);
    for (int y = 1970; y <= 2100; ++y) {
        for (auto [m, d] : {std::pair{2, 28}, {2, 29}, {3, 1}, {12, 31}, {1, 1}}) {
            struct tm f = fields(y, m, d, 23, 59, 59);
            times.push_back(timegm(&f));
        }
    }
    for (time_t t = 2147483647 - 3; t <= 2147483647L + 3; ++t) times.push_back(t);
    return times;
}

TEST(TimeConvert, KnownSecondsAndText) {
    EXPECT_EQ(yearsec(0), "1970-01-01 00:00:00");
    time_t t = 99;
    EXPECT_EQ(yearsec_ansi_to_timet("1970-01-01 00:00:00", &t), 0);
    EXPECT_EQ(t, 0);
    EXPECT_EQ(yearsec_ansi_to_timet("2005-03-31 14:05:00", &t), 0);
    EXPECT_EQ(t, 1112277900);
    t = 42;
    EXPECT_EQ(yearsec_ansi_to_timet("2005-03-31", &t), -1);
    EXPECT_EQ(t, 42);
    EXPECT_EQ(yearday_ansi_to_timet("2000-02-29", &t), 0);
    EXPECT_EQ(t, 951782400);
    struct tm mar1 = fields(2000, 3, 1);
    EXPECT_EQ(gm_mktime(&mar1), 951868800);
    EXPECT_EQ(yearhour_ansi_to_timet("2005-03-31 14", &t), 0);
    EXPECT_EQ(t, 1112277600);
    t = 7;
    EXPECT_EQ(yearhour_ansi_to_timet("2005-03-31", &t), -1);
    EXPECT_EQ(t, 7);
    EXPECT_EQ(yearsec(2147483648L), "2038-01-19 03:14:08");
}

TEST(TimeConvert, SecondsAgreeWithSystemLibraryFrom1970To2100) {
    for (time_t t : sweep()) {
        struct tm f {};
        ASSERT_NE(gmtime_r(&t, &f), nullptr);
        ASSERT_EQ(gm_mktime(&f), t) << systemText(t, "%F %T");
        const std::string text = yearsec(t);
        ASSERT_EQ(text, systemText(t, "%Y-%m-%d %H:%M:%S"));
        time_t back = -1;
        ASSERT_EQ(yearsec_ansi_to_timet(text.c_str(), &back), 0);
        ASSERT_EQ(back, t) << text;
        ASSERT_EQ(written([&](char* b) { timet_to_yearhour_ansi(t, b); }),
                  systemText(t, "%Y-%m-%d %H"));
        ASSERT_EQ(written([&](char* b) { timet_to_yearday_USA(t, b); }), systemText(t, "%m/%d/%Y"));
        ASSERT_EQ(timet_to_monthday_t(t), (f.tm_mon + 1) * 100 + f.tm_mday);
        ASSERT_EQ(timet_to_date_t(t),
                  (f.tm_year + 1900) * 10000 + (f.tm_mon + 1) * 100 + f.tm_mday);
        ASSERT_EQ(date_t_to_timet(timet_to_date_t(t)), t - (t % 86400));
    }
}

TEST(TimeConvert, GmMktimeCarriesOutOfRangeFieldsAndHandlesEarlyYears) {
    struct tm jan32 = fields(2005, 1, 32, 0, 0, 75);
    struct tm feb1 = fields(2005, 2, 1, 0, 1, 15);
    EXPECT_EQ(gm_mktime(&jan32), gm_mktime(&feb1));
    struct tm hours = fields(2004, 2, 28, 48);  // two days on: 1 March in a leap year
    struct tm mar1 = fields(2004, 3, 1);
    EXPECT_EQ(gm_mktime(&hours), gm_mktime(&mar1));
    for (int year : {1900, 1901, 1950, 1968, 1969}) {
        for (int month : {1, 2, 3, 12}) {
            struct tm f = fields(year, month, month == 2 ? 28 : 31, 13, 14, 15);
            struct tm copy = f;
            EXPECT_EQ(gm_mktime(&f), timegm(&copy)) << year << "-" << month;
        }
    }
    struct tm month13 = fields(2005, 13, 1);  // carried into January of the next year
    struct tm jan2006 = fields(2006, 1, 1);
    EXPECT_EQ(gm_mktime(&month13), gm_mktime(&jan2006));
}

TEST(TimeConvert, TextReadersAcceptLooseFieldsAndRejectMissingOnes) {
    time_t t = 0;
    EXPECT_EQ(yearsec_ansi_to_timet("  2005-03-31     14:05:00 trailing", &t), 0);
    EXPECT_EQ(t, 1112277900);
    EXPECT_EQ(yearsec_ansi_to_timet("2005-03-31\t14:05:00", &t), 0);
    EXPECT_EQ(t, 1112277900);
    EXPECT_EQ(yearsec_ansi_to_timet("2005-003-031 014:005:000", &t), 0);
    EXPECT_EQ(t, 1112277900);
    t = 5;
    for (const char* bad : {"", "2005/03/31 14:05:00", "2005-03-31 14-05-00", "2005-03-31 14:05:",
                            "x2005-03-31 14:05:00", "99999999999-03-31 14:05:00"}) {
        EXPECT_EQ(yearsec_ansi_to_timet(bad, &t), -1) << bad;
        EXPECT_EQ(t, 5) << bad;
    }
    EXPECT_EQ(yearsec_ansi_to_timet(nullptr, &t), -1);
    EXPECT_EQ(yearday_ansi_to_timet("2005-03", &t), -1);
    EXPECT_EQ(t, 5);
}

TEST(TimeConvert, DatabaseTimestampsCarryUtcWallClock) {
    for (time_t t :
         {time_t{0}, time_t{1112277900}, time_t{951782399}, time_t{4102444799}, kPgEpochUnix - 1}) {
        timestamp dt = 0;
        ASSERT_EQ(timet_to_yearsec_dt(t, &dt), 0);
        EXPECT_EQ(dt, (t - kPgEpochUnix) * kUsecs) << t;
        EXPECT_EQ(dt, timet_to_timestamp(t));
        time_t back = -1;
        EXPECT_EQ(yearsec_dt_to_timet(dt, &back), 0);
        EXPECT_EQ(back, t);
        EXPECT_EQ(timestamp_to_timet(dt), t);
        EXPECT_EQ(yearday_dt_to_timet(dt, &back), 0);
        EXPECT_EQ(back, t - t % 86400);
        EXPECT_EQ(yearhour_dt_to_timet(dt, &back), 0);
        EXPECT_EQ(back, t - t % 3600);
        EXPECT_EQ(written([&](char* b) { dtimet_to_ansi(dt, b); }),
                  systemText(t, "%Y-%m-%d %H:%M:%S"));
    }
    // A fraction of a second is dropped when reading seconds, kept in the text.
    const timestamp frac = (1112277900 - kPgEpochUnix) * kUsecs + 750000;
    time_t back = 0;
    EXPECT_EQ(yearsec_dt_to_timet(frac, &back), 0);
    EXPECT_EQ(back, 1112277900);
    EXPECT_EQ(written([&](char* b) { EXPECT_EQ(yearsec_dt_to_ansi(frac, b), 0); }),
              "2005-03-31 14:05:00.75");
    // All four writers give the same full text.
    EXPECT_EQ(written([&](char* b) { yearday_dt_to_ansi(frac, b); }), "2005-03-31 14:05:00.75");
    EXPECT_EQ(written([&](char* b) { monthday_dt_to_ansi(frac, b); }), "2005-03-31 14:05:00.75");
}

TEST(TimeConvert, NullAndUnwritableTimestamps) {
    timestamp nullMarker;
    std::memset(&nullMarker, 0xFF, sizeof nullMarker);
    time_t t = 77;
    EXPECT_EQ(yearsec_dt_to_timet(nullMarker, &t), -1);
    EXPECT_EQ(t, 0);
    timestamp almostNull = nullMarker;
    reinterpret_cast<unsigned char*>(&almostNull)[0] = 0xFE;
    EXPECT_EQ(yearsec_dt_to_timet(almostNull, &t), 0);  // a real (negative) timestamp
    EXPECT_EQ(t, kPgEpochUnix - 1);
    // Text longer than the 26-byte buffer (a six-digit year with a fraction) is not written.
    const timestamp farFuture = 9223371331200000000 - 1;
    EXPECT_EQ(written([&](char* b) { EXPECT_EQ(yearsec_dt_to_ansi(farFuture, b), -1); }), "");
    EXPECT_EQ(written([&](char* b) { dtimet_to_ansi(farFuture, b); }), "");
    const timestamp firstJulianDay = -2451545LL * 86400 * kUsecs;  // 24 November 4714 BC
    EXPECT_EQ(yearsec_dt_to_timet(firstJulianDay, &t), -1);
    EXPECT_EQ(t, 0);
    EXPECT_EQ(yearday_dt_to_timet(firstJulianDay, &t), -1);
    const timestamp plusInfinity = INT64_MAX;
    EXPECT_EQ(yearsec_dt_to_timet(plusInfinity, &t), -1);
    EXPECT_EQ(t, 0);
}

TEST(TimeConvert, TimestampTextParsing) {
    timestamp dt = 0;
    EXPECT_EQ(yearsec_ansi_to_dt("2005-03-31 14:05:00", &dt), 0);
    EXPECT_EQ(dt, (1112277900 - kPgEpochUnix) * kUsecs);
    EXPECT_EQ(yearday_ansi_to_dt("2005-03-31", &dt), 0);
    EXPECT_EQ(dt, (1112227200 - kPgEpochUnix) * kUsecs);
    EXPECT_NE(yearsec_ansi_to_dt("not a time", &dt), 0);
    EXPECT_NE(yearhour_ansi_to_dt(nullptr, &dt), 0);
    EXPECT_EQ(sheftime_to_yearsec_dt(50331, 140500, &dt), 0);
    EXPECT_EQ(dt, (1112277900 - kPgEpochUnix) * kUsecs);
}

TEST(TimeConvert, DateValidityAndText) {
    for (date_t ok : {20000229, 10000101, 30001231, 20041231, 19960229})
        EXPECT_EQ(valid_date_t(ok), 1) << ok;
    for (date_t bad :
         {19000229, 10000100, 30010101, 20050431, 20051301, 20050001, 0, -20050331, 20050229})
        EXPECT_EQ(valid_date_t(bad), 0) << bad;
    EXPECT_EQ(leap_year(2000), 1);
    EXPECT_EQ(leap_year(1900), 0);
    EXPECT_EQ(leap_year(2004), 1);
    EXPECT_EQ(leap_year(2005), 0);

    EXPECT_EQ(written([](char* b) { date_t_to_USA_date(20050331, b); }), "03/31/2005");
    EXPECT_EQ(written([](char* b) { date_t_to_ansi_date(20050331, b); }), "2005-03-31");
    EXPECT_EQ(written([](char* b) { date_t_to_ansi_date(10000101, b); }), "1000-01-01");
    EXPECT_EQ(written([](char* b) { date_t_to_ansi_date(20050332, b); }), "");
    EXPECT_EQ(written([](char* b) { date_t_to_USA_date(-1, b); }), "");
    EXPECT_EQ(date_t_to_timet(20000229), 951782400);
    EXPECT_EQ(date_t_to_timet(20000230), 0);
}

TEST(TimeConvert, DateReaders) {
    date_t d = 11;
    EXPECT_EQ(ansi_date_to_date_t("2005-02-30", &d), -2);
    EXPECT_EQ(d, 0);
    d = 11;
    EXPECT_EQ(ansi_date_to_date_t("2005-02", &d), -1);
    EXPECT_EQ(d, 11);
    EXPECT_EQ(ansi_date_to_date_t(" 2004-2-29", &d), 0);
    EXPECT_EQ(d, 20040229);
    // Fields out of range are not folded into another valid date.
    EXPECT_EQ(ansi_date_to_date_t("2005-01-201", &d), -2);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(ansi_date_to_date_t("2005-13-01", &d), -2);
    EXPECT_EQ(ansi_date_to_date_t("2147483647-12-31", &d), -2);
    EXPECT_EQ(USA_date_to_date_t("03/31/2005", &d), 0);
    EXPECT_EQ(d, 20050331);
    EXPECT_EQ(USA_date_to_date_t("02/29/1900", &d), -2);
    d = 11;
    EXPECT_EQ(USA_date_to_date_t("03/31", &d), -1);
    EXPECT_EQ(d, 11);
}

TEST(TimeConvert, DatabaseDates) {
    // Days since 2000-01-01, as the client library counts them.
    EXPECT_EQ(date_t_to_pg_date(20050331), 1916);
    EXPECT_EQ(date_t_to_pg_date(20000101), 0);
    EXPECT_EQ(date_t_to_pg_date(19991231), -1);
    EXPECT_EQ(pg_date_to_date_t(1916), 20050331);
    EXPECT_EQ(pg_date_to_date_t(-1), 19991231);
    for (date_t dt = 19700101; dt < 21010101; dt += 371) {
        if (!valid_date_t(dt))
            continue;
        EXPECT_EQ(pg_date_to_date_t(date_t_to_pg_date(dt)), dt);
    }
    EXPECT_EQ(pg_date_to_date_t(1100 * 366), 0);  // past 3000-12-31
    char empty[] = "";
    EXPECT_EQ(date_t_to_pg_date(20050230), PGTYPESdate_from_asc(empty, nullptr));
}

TEST(TimeConvert, MonthDays) {
    monthday_t md = 1;
    EXPECT_EQ(ansi_monthday_to_monthday_t("02-29", &md), 0);
    EXPECT_EQ(md, 229);
    md = 1;
    EXPECT_EQ(ansi_monthday_to_monthday_t("13-01", &md), -2);
    EXPECT_EQ(ansi_monthday_to_monthday_t("00-10", &md), -2);
    EXPECT_EQ(ansi_monthday_to_monthday_t("04-31", &md), -3);
    EXPECT_EQ(ansi_monthday_to_monthday_t("02-30", &md), -3);
    EXPECT_EQ(ansi_monthday_to_monthday_t("04-00", &md), -3);
    EXPECT_EQ(ansi_monthday_to_monthday_t("04", &md), -1);
    EXPECT_EQ(md, 1);
    EXPECT_EQ(USA_monthday_to_monthday_t("12/31", &md), 0);
    EXPECT_EQ(md, 1231);
    EXPECT_EQ(USA_monthday_to_monthday_t("4/31", &md), -3);
    EXPECT_EQ(USA_monthday_to_monthday_t("12-31", &md), -1);
    EXPECT_EQ(written([](char* b) { monthday_t_to_ansi_monthday(331, b); }), "03-31");
    EXPECT_EQ(written([](char* b) { monthday_t_to_USA_monthday(1205, b); }), "12/05");
    EXPECT_EQ(written([](char* b) { monthday_t_to_USA_monthday(-2147483647 - 1, b); }),
              "-21474836/-48");
}

TEST(TimeConvert, ShefDatesAndTimes) {
    EXPECT_EQ(sheftime_to_timet(50331, 140500), 1112277900);
    EXPECT_EQ(sheftime_to_timet(1050331, 140500), 1112277900);
    EXPECT_EQ(sheftime_to_time_t(1050331, 140500), 1112277900);
    EXPECT_EQ(yearsec(sheftime_to_timet(991231, 0)), "1999-12-31 00:00:00");
    EXPECT_EQ(sheftime4_to_timet(20050331, 140500), 1112277900);
    EXPECT_EQ(sheftime4_to_timet(20400229, 235959), 2214172799);
    int d = 0;
    int t = 0;
    timet_to_sheftime(1112277900, &d, &t);
    EXPECT_EQ(d, 1050331);
    EXPECT_EQ(t, 140500);
    time_t_to_sheftime(2214172799, &d, &t);
    EXPECT_EQ(d, 1400229);
    EXPECT_EQ(t, 235959);
}

TEST(TimeConvert, ShefDurationCodes) {
    time_t s = -1;
    EXPECT_EQ(shefdur_to_timet(15, 0, &s), 0);
    EXPECT_EQ(s, 900);
    EXPECT_EQ(shefdur_to_timet(1006, 0, &s), 0);
    EXPECT_EQ(s, 21600);
    EXPECT_EQ(shefdur_to_timet(2002, 0, &s), 0);
    EXPECT_EQ(s, 172800);
    for (int none : {3001, 4001, 5000, 5005, 7000}) {
        s = -1;
        EXPECT_EQ(shefdur_to_timet(none, 0, &s), -1) << none;
        EXPECT_EQ(s, 0);
    }
    struct Case {
        time_t seconds;
        int code;
        int rc;
    };
    for (const Case& c :
         {Case{30, 1, 0}, Case{59, 1, 0}, Case{60, 1, 0}, Case{3599, 59, 0}, Case{7200, 1002, 0},
          Case{86399, 1023, 0}, Case{172800, 2002, 0}, Case{90000, 1025, 0},
          Case{999 * 3600, 1999, 0}, Case{1000 * 3600, 2041, 0}, Case{90061, 2001, 0},
          Case{7776000, 2090, 0}, Case{7776001, 0, -1}}) {
        int code = -7;
        EXPECT_EQ(timet_to_shefdur(c.seconds, &code), c.rc) << c.seconds;
        EXPECT_EQ(code, c.code) << c.seconds;
    }
}

// Runs f with TZ set to zone and restores the previous setting afterwards.
template <typename F>
void inZone(const char* zone, F&& f) {
    const char* old = std::getenv("TZ");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("TZ", zone, 1);
    tzset();
    f();
    if (saved) {
        setenv("TZ", saved->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(TimeConvert, ShefDuration5004IsThePeriodSinceSevenLocal) {
    inZone("America/Chicago", [] {
        // 2005-03-31 is CST (UTC-6): 07:00 local is 13:00 UTC.
        const time_t seven = 1112274000;
        time_t s = 0;
        EXPECT_EQ(shefdur_to_timet(5004, seven + 10799, &s), 0);
        EXPECT_EQ(s, 86400);
        EXPECT_EQ(shefdur_to_timet(5004, seven - 10799, &s), 0);
        EXPECT_EQ(s, 86400);
        EXPECT_EQ(shefdur_to_timet(5004, seven + 4 * 3600, &s), 0);
        EXPECT_EQ(s, 4 * 3600);
        EXPECT_EQ(shefdur_to_timet(5004, seven - 5 * 3600, &s), 0);
        EXPECT_EQ(s, 86400 - 5 * 3600);
    });
    inZone("UTC", [] {
        time_t s = 0;
        EXPECT_EQ(shefdur_to_timet(5004, 1112227200 + 13 * 3600, &s), 0);  // 13:00 UTC
        EXPECT_EQ(s, 6 * 3600);
    });
}

TEST(TimeConvert, FourDigitYearLogTimeAndErrors) {
    EXPECT_EQ(four_digit_year("03/31/2005"), 0);
    EXPECT_EQ(four_digit_year("3/31/05"), 1);
    EXPECT_EQ(four_digit_year("03/31/05xx"), 2);
    EXPECT_EQ(four_digit_year(""), 0);
    EXPECT_EQ(four_digit_year(nullptr), 0);
    EXPECT_EQ(isTimeError(-1), 1);
    EXPECT_EQ(isTimeError(-1264), 1);
    EXPECT_EQ(isTimeError(0), 0);
    EXPECT_EQ(isTimeError(320), 0);

    const time_t before = std::time(nullptr);
    const std::string text = log_time();
    const time_t after = std::time(nullptr);
    ASSERT_EQ(text.size(), 24u) << text;
    struct tm f {};
    ASSERT_NE(strptime(text.c_str(), "%a %b %d %H:%M:%S %Y", &f), nullptr) << text;
    const time_t logged = timegm(&f);
    EXPECT_GE(logged, before);
    EXPECT_LE(logged, after);
    // The same text as asctime of the UTC time.
    struct tm utc {};
    gmtime_r(&logged, &utc);
    char ref[32];
    ASSERT_NE(asctime_r(&utc, ref), nullptr);
    EXPECT_EQ(text, std::string(ref, 24));
}

}  // namespace
