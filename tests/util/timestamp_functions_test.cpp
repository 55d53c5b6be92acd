#include "timestamp_functions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "PgTest.h"

namespace {

constexpr int64_t kUsecs = 1000000;
constexpr int64_t kUsecsPerDay = 86400 * kUsecs;
constexpr time_t kPgEpochUnix = 946684800;  // 2000-01-01 00:00:00 UTC
constexpr timestamp kMinusInfinity = std::numeric_limits<int64_t>::min();
constexpr timestamp kPlusInfinity = std::numeric_limits<int64_t>::max();

// The timestamp of a UTC wall-clock time, from the system library's calendar.
timestamp at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
             int64_t usec = 0) {
    struct tm f {};
    f.tm_year = year - 1900;
    f.tm_mon = month - 1;
    f.tm_mday = day;
    f.tm_hour = hour;
    f.tm_min = minute;
    f.tm_sec = second;
    return (timegm(&f) - kPgEpochUnix) * kUsecs + usec;
}

interval months(long m, int64_t usec = 0) {
    return interval{usec, m};
}

timestamp added(timestamp t, interval iv) {
    timestamp out = 0;
    EXPECT_EQ(trevane_time::PGTYPEStimestamp_add_interval(&t, &iv, &out), 0);
    EXPECT_EQ(t, out) << "input not updated";
    return out;
}

timestamp subtracted(timestamp t, interval iv) {
    timestamp out = 0;
    const interval before = iv;
    EXPECT_EQ(trevane_time::PGTYPEStimestamp_sub_interval(&t, &iv, &out), 0);
    EXPECT_EQ(t, out) << "input not updated";
    EXPECT_EQ(iv.time, before.time);
    EXPECT_EQ(iv.month, before.month);
    return out;
}

TEST(TimestampInterval, MonthsFollowTheEndOfMonthRule) {
    EXPECT_EQ(added(at(2005, 1, 31, 10), months(1)), at(2005, 2, 28, 10));
    EXPECT_EQ(added(at(2004, 1, 31, 10), months(1)), at(2004, 2, 29, 10));
    EXPECT_EQ(subtracted(at(2005, 3, 31), months(1)), at(2005, 2, 28));
    EXPECT_EQ(subtracted(at(2005, 3, 31), months(15)), at(2003, 12, 31));
    EXPECT_EQ(subtracted(at(2005, 3, 31), months(0, 30 * kUsecsPerDay)), at(2005, 3, 1));
    EXPECT_EQ(added(at(1999, 12, 31, 23), months(1)), at(2000, 1, 31, 23));
    EXPECT_EQ(at(1999, 12, 31, 23), -3600 * kUsecs);
    // Month 0 and month -12 after adding: December of one and of two years before.
    EXPECT_EQ(added(at(2005, 5, 15), months(-5)), at(2004, 12, 15));
    EXPECT_EQ(added(at(2005, 5, 15), months(-17)), at(2003, 12, 15));
    EXPECT_EQ(added(at(2005, 12, 31), months(12)), at(2006, 12, 31));
    EXPECT_EQ(added(at(2000, 2, 29), months(12)), at(2001, 2, 28));
    EXPECT_EQ(added(at(1900, 1, 31), months(1)), at(1900, 2, 28));
    // The fraction of a second and the time of day survive the calendar step, before 2000 too.
    EXPECT_EQ(added(at(1969, 7, 20, 20, 17, 40, 123456), months(2, 1)),
              at(1969, 9, 20, 20, 17, 40, 123457));
    // Months first, then the time: 31 Jan + (1 month, 1 day) is 1 March, not 29 Feb + ...
    EXPECT_EQ(added(at(2005, 1, 31), months(1, kUsecsPerDay)), at(2005, 3, 1));
    // The purge cutoff: 240 hours back.
    EXPECT_EQ(subtracted(at(2005, 3, 31, 14, 5), months(0, 240 * 3600 * kUsecs)),
              at(2005, 3, 21, 14, 5));
}

TEST(TimestampInterval, InfinityAndZeroPassThrough) {
    for (timestamp inf : {kPlusInfinity, kMinusInfinity}) {
        timestamp in = inf;
        timestamp out = 0;
        const interval iv = months(-7, -5 * kUsecs);
        EXPECT_EQ(trevane_time::PGTYPEStimestamp_sub_interval(&in, &iv, &out), 0);
        EXPECT_EQ(in, inf);
        EXPECT_EQ(out, inf);
        const interval extreme{std::numeric_limits<int64_t>::min(),
                               std::numeric_limits<long>::min()};
        EXPECT_EQ(trevane_time::PGTYPEStimestamp_sub_interval(&in, &extreme, &out), 0);
        EXPECT_EQ(out, inf);
    }
    timestamp same = at(2005, 3, 31, 14, 5, 0, 1);
    const interval zero = months(0, 0);
    EXPECT_EQ(trevane_time::PGTYPEStimestamp_add_interval(&same, &zero, &same), 0);
    EXPECT_EQ(same, at(2005, 3, 31, 14, 5, 0, 1));
    const interval back = months(1);
    EXPECT_EQ(trevane_time::PGTYPEStimestamp_sub_interval(&same, &back, &same), 0);
    EXPECT_EQ(same, at(2005, 2, 28, 14, 5, 0, 1));
}

TEST(TimestampInterval, OutOfRangeFailsWithoutChangingAnything) {
    const timestamp firstDay = -2451545 * kUsecsPerDay;  // 24 November 4714 BC
    struct Case {
        timestamp start;
        interval iv;
    };
    for (const Case& c : {Case{firstDay - kUsecsPerDay, months(1)},        // before the first day
                          Case{firstDay + 40 * kUsecsPerDay, months(-2)},  // moved before it
                          Case{at(2005, 3, 31), months(12L * 300000)},     // past the last year
                          Case{at(2005, 3, 31), months(std::numeric_limits<long>::max())},
                          Case{at(2005, 3, 31), months(0, std::numeric_limits<int64_t>::max())},
                          Case{at(2005, 3, 31), months(0, std::numeric_limits<int64_t>::min())}}) {
        timestamp in = c.start;
        timestamp out = 12345;
        EXPECT_EQ(trevane_time::PGTYPEStimestamp_add_interval(&in, &c.iv, &out), -1)
            << c.iv.month << " " << c.iv.time;
        EXPECT_EQ(in, c.start);
        EXPECT_EQ(out, 12345);
    }
    timestamp in = at(2005, 3, 31);
    timestamp out = 12345;
    const interval minTime = months(0, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(trevane_time::PGTYPEStimestamp_sub_interval(&in, &minTime, &out), -1);
    EXPECT_EQ(out, 12345);
    // The first day itself can still move forward by months.
    in = firstDay;
    const interval oneMonth = months(1);
    EXPECT_EQ(trevane_time::PGTYPEStimestamp_add_interval(&in, &oneMonth, &out), 0);
    EXPECT_EQ(out, firstDay + 30 * kUsecsPerDay);
}

// Random timestamps between 1900 and 2100, half of them on the last days of a month, with
// month counts -30..30 and time parts of whole hours, whole seconds or any microseconds.
struct Case {
    timestamp start;
    interval iv;
};

std::vector<Case> randomCases(std::size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    const timestamp lo = at(1900, 1, 1);
    const timestamp hi = at(2101, 1, 1);
    std::vector<Case> cases;
    cases.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        timestamp start;
        if (i % 2 == 0) {
            start = lo + static_cast<timestamp>(rng() % static_cast<uint64_t>(hi - lo));
        } else {
            const int year = 1900 + static_cast<int>(rng() % 201);
            const int month = 1 + static_cast<int>(rng() % 12);
            const int day = 28 + static_cast<int>(rng() % 4);
            // Day 29..31 may not exist in that month: the system calendar carries it over.
            start = at(year, month, day) +
                    static_cast<timestamp>(rng() % static_cast<uint64_t>(kUsecsPerDay));
        }
        interval iv{0, static_cast<long>(rng() % 61) - 30};
        switch (rng() % 4) {
            case 0:
                break;
            case 1:
                iv.time = (static_cast<int64_t>(rng() % 20001) - 10000) * 3600 * kUsecs;
                break;
            case 2:
                iv.time = (static_cast<int64_t>(rng() % 6912001) - 3456000) * kUsecs;
                break;
            default:
                iv.time = static_cast<int64_t>(rng() % (800 * kUsecsPerDay)) - 400 * kUsecsPerDay;
                break;
        }
        if (i % 10 == 0)
            iv.month = 0;
        cases.push_back({start, iv});
    }
    return cases;
}

TEST(TimestampInterval, AgreesWithTheClientLibrary) {
    for (const Case& c : randomCases(4000, 1234)) {
        timestamp oursIn = c.start;
        timestamp oursOut = 0;
        timestamp libIn = c.start;
        timestamp libOut = 0;
        interval libSpan = c.iv;
        ASSERT_EQ(trevane_time::PGTYPEStimestamp_add_interval(&oursIn, &c.iv, &oursOut), 0);
        ASSERT_EQ(::PGTYPEStimestamp_add_interval(&libIn, &libSpan, &libOut), 0);
        ASSERT_EQ(oursOut, libOut)
            << c.start << " + (" << c.iv.month << " months, " << c.iv.time << " us)";
        ASSERT_EQ(oursIn, oursOut);

        oursIn = c.start;
        libIn = c.start;
        ASSERT_EQ(trevane_time::PGTYPEStimestamp_sub_interval(&oursIn, &c.iv, &oursOut), 0);
        ASSERT_EQ(::PGTYPEStimestamp_sub_interval(&libIn, &libSpan, &libOut), 0);
        ASSERT_EQ(oursOut, libOut)
            << c.start << " - (" << c.iv.month << " months, " << c.iv.time << " us)";
        ASSERT_EQ(oursIn, oursOut);
    }
}

template <typename T, typename F>
std::string arrayLiteral(const std::vector<Case>& cases, F&& field) {
    std::string out = "'{";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (i)
            out += ',';
        out += std::to_string(static_cast<T>(field(cases[i])));
    }
    return out + "}'";
}

TEST(TimestampInterval, AgreesWithTheDatabaseServer) {
    REQUIRE_TEST_SERVER();
    const std::vector<Case> cases = randomCases(2500, 98765);
    // Timestamps and intervals travel as whole microseconds (exact in a double below 2^53);
    // results come back as microseconds since 2000-01-01, made of whole seconds and the
    // microseconds within the second: before 14, extract gives a double, which cannot hold the
    // microseconds of a whole epoch.
    const auto micros = [](const char* value) {
        return std::string("(extract(epoch FROM date_trunc('second', ") + value +
               ")) - 946684800)::bigint * 1000000 + extract(microseconds FROM " + value +
               ")::bigint % 1000000";
    };
    const std::string sql =
        "SELECT n, " + micros("t + iv") + ", " + micros("t - iv") +
        " FROM (SELECT n, timestamp '2000-01-01' + ts * interval '1 microsecond' AS t,"
        " make_interval(months => m) + us * interval '1 microsecond' AS iv"
        " FROM unnest(" +
        arrayLiteral<int64_t>(cases, [](const Case& c) { return c.start; }) + "::bigint[], " +
        arrayLiteral<long>(cases, [](const Case& c) { return c.iv.month; }) + "::int[], " +
        arrayLiteral<int64_t>(cases, [](const Case& c) { return c.iv.time; }) +
        "::bigint[]) WITH ORDINALITY AS u(ts, m, us, n)) s ORDER BY n";
    std::istringstream rows(testsupport::run_sql("postgres", sql));
    std::string line;
    std::size_t seen = 0;
    while (std::getline(rows, line)) {
        std::istringstream fieldsIn(line);
        std::size_t n = 0;
        timestamp serverSum = 0;
        timestamp serverDiff = 0;
        char bar1 = 0;
        char bar2 = 0;
        ASSERT_TRUE(fieldsIn >> n >> bar1 >> serverSum >> bar2 >> serverDiff) << line;
        ASSERT_EQ(n, seen + 1);
        const Case& c = cases[seen++];
        ASSERT_EQ(added(c.start, c.iv), serverSum)
            << c.start << " + (" << c.iv.month << " months, " << c.iv.time << " us)";
        ASSERT_EQ(subtracted(c.start, c.iv), serverDiff)
            << c.start << " - (" << c.iv.month << " months, " << c.iv.time << " us)";
    }
    EXPECT_EQ(seen, cases.size());
}

}  // namespace
