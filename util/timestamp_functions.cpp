#include "timestamp_functions.h"

#include <cstdint>
#include <ctime>
#include <limits>

namespace {

constexpr int64_t USECS_PER_SEC = 1000000;
constexpr int64_t USECS_PER_MINUTE = 60 * USECS_PER_SEC;
constexpr int64_t USECS_PER_HOUR = 60 * USECS_PER_MINUTE;
constexpr int64_t USECS_PER_DAY = 24 * USECS_PER_HOUR;

// Julian day number of 2000-01-01, the zero of a timestamp.
constexpr int64_t POSTGRES_EPOCH_JDATE = 2451545;
// Julian day number of 1970-01-01.
constexpr int64_t UNIX_EPOCH_JDATE = 2440588;
// First day a timestamp can hold (Julian day 0, 24 November 4714 BC) and the first day after
// the last one it can hold (1 January 294277).
constexpr int64_t TIMESTAMP_FIRST_JDATE = 0;
constexpr int64_t TIMESTAMP_END_JDATE = 109203528;
constexpr int64_t MIN_TIMESTAMP = (TIMESTAMP_FIRST_JDATE - POSTGRES_EPOCH_JDATE) * USECS_PER_DAY;
constexpr int64_t END_TIMESTAMP = (TIMESTAMP_END_JDATE - POSTGRES_EPOCH_JDATE) * USECS_PER_DAY;

// Minus and plus infinity.
constexpr timestamp DT_NOBEGIN = std::numeric_limits<int64_t>::min();
constexpr timestamp DT_NOEND = std::numeric_limits<int64_t>::max();

// A month count beyond this moves any date out of the range of a timestamp.
constexpr long MAX_MONTH_SHIFT = 12L * 400000;

// Month lengths of a common year (row 0) and a leap year (row 1).
constexpr int day_tab[2][13] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31, 0},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31, 0},
};

bool isleap(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

// Julian day number of a date of the proleptic Gregorian calendar (astronomical years).
int64_t date2j(int64_t year, int64_t month, int64_t day) {
    // Count from 1 March so that the leap day ends the counting year.
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t era = floorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t mp = (month + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + UNIX_EPOCH_JDATE;
}

// The date of a Julian day number.
void j2date(int64_t jd, int* year, int* month, int* day) {
    const int64_t z = jd - UNIX_EPOCH_JDATE + 719468;
    const int64_t era = floorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

// Splits a time of day in microseconds into hour, minute, second and the microseconds left.
void dt2time(int64_t time, int* hour, int* min, int* sec, int64_t* fsec) {
    *hour = static_cast<int>(time / USECS_PER_HOUR);
    time -= *hour * USECS_PER_HOUR;
    *min = static_cast<int>(time / USECS_PER_MINUTE);
    time -= *min * USECS_PER_MINUTE;
    *sec = static_cast<int>(time / USECS_PER_SEC);
    *fsec = time - *sec * USECS_PER_SEC;
}

// Moves a timestamp by a zone offset given in seconds (positive west of Greenwich).
timestamp dt2local(timestamp dt, int tz) {
    return dt - static_cast<int64_t>(tz) * USECS_PER_SEC;
}

// Splits a timestamp into calendar fields (tm_year the full year, tm_mon 1 to 12) and the
// microseconds of the second. With tzp, the fields are rotated into the process's local time
// and the zone offset is stored there; interval arithmetic never asks for that.
int timestamp2tm(timestamp dt, int* tzp, struct tm* tm, int64_t* fsec) {
    if (tzp != nullptr) {
        const int64_t unixSeconds =
            floorDiv(dt, USECS_PER_SEC) + (POSTGRES_EPOCH_JDATE - UNIX_EPOCH_JDATE) * 86400;
        const time_t t = static_cast<time_t>(unixSeconds);
        struct tm local {};
        if (localtime_r(&t, &local) == nullptr) {
            return -1;
        }
        *tzp = static_cast<int>(-local.tm_gmtoff);
        dt = dt2local(dt, *tzp);
    }
    int64_t date = dt / USECS_PER_DAY;
    int64_t time = date != 0 ? dt - date * USECS_PER_DAY : dt;
    if (time < 0) {
        time += USECS_PER_DAY;
        date -= 1;
    }
    if (date < -POSTGRES_EPOCH_JDATE) {
        return -1;
    }
    j2date(date + POSTGRES_EPOCH_JDATE, &tm->tm_year, &tm->tm_mon, &tm->tm_mday);
    dt2time(time, &tm->tm_hour, &tm->tm_min, &tm->tm_sec, fsec);
    tm->tm_isdst = -1;
    return 0;
}

// Rebuilds a timestamp from calendar fields in the convention of timestamp2tm; -1 when the
// date is outside the range of a timestamp.
int tm2timestamp(const struct tm* tm, int64_t fsec, timestamp* result) {
    if (tm->tm_year < -4713 ||
        (tm->tm_year == -4713 && (tm->tm_mon < 11 || (tm->tm_mon == 11 && tm->tm_mday < 24)))) {
        return -1;
    }
    const int64_t jd = date2j(tm->tm_year, tm->tm_mon, tm->tm_mday);
    if (jd < TIMESTAMP_FIRST_JDATE || jd >= TIMESTAMP_END_JDATE) {
        return -1;
    }
    const int64_t time =
        ((static_cast<int64_t>(tm->tm_hour) * 60 + tm->tm_min) * 60 + tm->tm_sec) * USECS_PER_SEC +
        fsec;
    *result = (jd - POSTGRES_EPOCH_JDATE) * USECS_PER_DAY + time;
    return 0;
}

bool isFinite(timestamp t) {
    return t != DT_NOBEGIN && t != DT_NOEND;
}

}  // namespace

namespace trevane_time {

int PGTYPEStimestamp_add_interval(timestamp* tin, const interval* span, timestamp* tout) {
    if (!isFinite(*tin)) {
        *tout = *tin;
        return 0;
    }
    timestamp moved = *tin;
    if (span->month != 0) {
        if (span->month > MAX_MONTH_SHIFT || span->month < -MAX_MONTH_SHIFT) {
            return -1;
        }
        struct tm tm {};
        int64_t fsec = 0;
        if (timestamp2tm(moved, nullptr, &tm, &fsec) != 0) {
            return -1;
        }
        int64_t year = tm.tm_year;
        int64_t month = tm.tm_mon + static_cast<int64_t>(span->month);
        if (month > 12) {
            year += (month - 1) / 12;
            month = (month - 1) % 12 + 1;
        } else if (month < 1) {
            year += month / 12 - 1;
            month = month % 12 + 12;
        }
        tm.tm_year = static_cast<int>(year);
        tm.tm_mon = static_cast<int>(month);
        const int monthLength = day_tab[isleap(year) ? 1 : 0][month - 1];
        if (tm.tm_mday > monthLength) {
            tm.tm_mday = monthLength;
        }
        if (tm2timestamp(&tm, fsec, &moved) != 0) {
            return -1;
        }
    }
    timestamp sum = 0;
    if (__builtin_add_overflow(moved, span->time, &sum) || sum < MIN_TIMESTAMP ||
        sum >= END_TIMESTAMP) {
        return -1;
    }
    *tin = sum;
    *tout = sum;
    return 0;
}

int PGTYPEStimestamp_sub_interval(timestamp* tin, const interval* span, timestamp* tout) {
    if (!isFinite(*tin)) {
        *tout = *tin;
        return 0;
    }
    if (span->time == std::numeric_limits<int64_t>::min() ||
        span->month == std::numeric_limits<long>::min()) {
        return -1;
    }
    const interval negated{-span->time, -span->month};
    return PGTYPEStimestamp_add_interval(tin, &negated, tout);
}

}  // namespace trevane_time
