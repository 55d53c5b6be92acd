#include "time_convert.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

const int numDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

namespace {

// Room for any timestamp text the client library writes (it formats into 128 bytes itself).
constexpr std::size_t kLibTextSize = 128;

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

bool isLeap(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Reads integers from text the way sscanf reads a pattern made of "%d" fields, blanks and
// literal separators: a blank in the pattern skips any run of white space (or none), a field
// skips leading white space and takes an optional sign and decimal digits, a separator must
// match exactly, and anything after the last field is ignored. Returns the number of fields
// read; a number that does not fit in an int ends the reading.
int scanFields(const char* text, const char* pattern, int* fields, int maxFields) {
    if (text == nullptr) {
        return 0;
    }
    int n = 0;
    const char* s = text;
    for (const char* p = pattern; *p != '\0' && n < maxFields;) {
        if (p[0] == '%' && p[1] == 'd') {
            while (std::isspace(static_cast<unsigned char>(*s))) {
                ++s;
            }
            const char* start = s;
            if (*s == '+' || *s == '-') {
                ++s;
            }
            if (!std::isdigit(static_cast<unsigned char>(*s))) {
                return n;
            }
            errno = 0;
            char* end = nullptr;
            const long v = std::strtol(start, &end, 10);
            if (errno == ERANGE || v < INT_MIN || v > INT_MAX) {
                return n;
            }
            fields[n++] = static_cast<int>(v);
            s = end;
            p += 2;
        } else if (std::isspace(static_cast<unsigned char>(*p))) {
            while (std::isspace(static_cast<unsigned char>(*s))) {
                ++s;
            }
            ++p;
        } else {
            if (*s != *p) {
                return n;
            }
            ++s;
            ++p;
        }
    }
    return n;
}

// Copies text into a caller buffer of TIME_TEXT_SIZE bytes. Text that does not fit leaves the
// buffer empty and gives false.
bool copyTimeText(const char* text, char* out) {
    out[0] = '\0';
    if (text == nullptr) {
        return false;
    }
    const std::size_t len = std::strlen(text);
    if (len >= static_cast<std::size_t>(TIME_TEXT_SIZE)) {
        return false;
    }
    std::memcpy(out, text, len + 1);
    return true;
}

// The text forms of a time in seconds.
enum class UtcForm { YearSec, YearHour, YearDay, UsaDay };

std::size_t writeUtc(char* text, std::size_t size, const struct tm& fields, UtcForm form) {
    switch (form) {
        case UtcForm::YearSec:
            return std::strftime(text, size, "%Y-%m-%d %H:%M:%S", &fields);
        case UtcForm::YearHour:
            return std::strftime(text, size, "%Y-%m-%d %H", &fields);
        case UtcForm::YearDay:
            return std::strftime(text, size, "%Y-%m-%d", &fields);
        case UtcForm::UsaDay:
            return std::strftime(text, size, "%m/%d/%Y", &fields);
    }
    return 0;
}

// Writes the UTC fields of t in one of the text forms into a caller buffer of TIME_TEXT_SIZE
// bytes.
int formatUtc(time_t t, UtcForm form, char* out) {
    out[0] = '\0';
    struct tm fields {};
    if (gmtime_r(&t, &fields) == nullptr) {
        return -1;
    }
    char text[64];
    const std::size_t len = writeUtc(text, sizeof text, fields, form);
    if (len == 0) {
        return -1;
    }
    return copyTimeText(text, out) ? 0 : -1;
}

// The timestamp as the client library's text (dttoasc), in a buffer large enough for any value.
bool dtText(timestamp dt, char (&text)[kLibTextSize]) {
    text[0] = '\0';
    return dttoasc(&dt, text) == 0;
}

// The null marker of the embedded-SQL layer: all eight bytes 0xFF.
int IsNullDateTime(timestamp dt) {
    unsigned char bytes[sizeof dt];
    std::memcpy(bytes, &dt, sizeof dt);
    for (std::size_t i = sizeof dt; i > 0; --i) {
        if (bytes[i - 1] != 0xFF) {
            return 0;
        }
    }
    return 1;
}

// Seconds since 1970 of UTC calendar fields (month 0 to 11, other values carry), in 64 bits.
int64_t utcSeconds(int64_t year, int64_t mon0, int64_t mday, int64_t hour, int64_t minute,
                   int64_t second) {
    year += floorDiv(mon0, 12);
    const int64_t month = mon0 - 12 * floorDiv(mon0, 12);
    auto leapsThrough = [](int64_t y) {
        return floorDiv(y, 4) - floorDiv(y, 100) + floorDiv(y, 400);
    };
    int64_t days = 365 * (year - 1970) + leapsThrough(year - 1) - leapsThrough(1969);
    if (month > 1 && isLeap(year)) {
        ++days;
    }
    for (int64_t m = 0; m < month; ++m) {
        days += numDaysInMonth[m];
    }
    return hour * 3600 + (days + mday) * 86400 - 86400 + minute * 60 + second;
}

time_t fieldsToTimet(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<time_t>(
        utcSeconds(year, static_cast<int64_t>(month) - 1, day, hour, minute, second));
}

int dtToTimetThrough(timestamp dt, time_t* t, int (*reader)(const char*, time_t*)) {
    *t = 0;
    char text[kLibTextSize];
    if (!dtText(dt, text)) {
        return -1;
    }
    // Years before 1 AD are written with a trailing era; their numbers would read as AD years.
    if (std::strstr(text, " BC") != nullptr) {
        return -1;
    }
    const int rc = reader(text, t);
    return rc < 0 ? rc : 0;
}

int monthLength(int year, int month) {
    return numDaysInMonth[month - 1] + ((month == 2 && leap_year(year)) ? 1 : 0);
}

// Checks the fields of a date read from text and turns them into a date_t; 0 when invalid.
date_t fieldsToDate(int year, int month, int day) {
    if (year < 1000 || year > 3000 || month < 1 || month > 12 || day < 1 ||
        day > monthLength(year, month)) {
        return 0;
    }
    const date_t d = year * 10000 + month * 100 + day;
    return valid_date_t(d) ? d : 0;
}

int readDate(const char* text, const char* pattern, bool usaOrder, date_t* dt) {
    int f[3] = {0, 0, 0};
    if (scanFields(text, pattern, f, 3) < 3) {
        return -1;
    }
    const date_t d = usaOrder ? fieldsToDate(f[2], f[0], f[1]) : fieldsToDate(f[0], f[1], f[2]);
    *dt = d;
    return d == 0 ? -2 : 0;
}

int readMonthday(const char* text, const char* pattern, monthday_t* md) {
    int f[2] = {0, 0};
    if (scanFields(text, pattern, f, 2) < 2) {
        return -1;
    }
    const int month = f[0];
    const int day = f[1];
    if (month < 1 || month > 12) {
        return -2;
    }
    const int length = month == 2 ? 29 : numDaysInMonth[month - 1];
    if (day < 1 || day > length) {
        return -3;
    }
    *md = month * 100 + day;
    return 0;
}

// Writes a month and day with a format of two int fields.
__attribute__((format(printf, 2, 3))) char* writeMonthday(char* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out, TIME_TEXT_SIZE, format, args);
    va_end(args);
    if (n < 0 || n >= TIME_TEXT_SIZE) {
        out[0] = '\0';
    }
    return out;
}

char* writeDate(date_t dt, bool usaOrder, char* out) {
    out[0] = '\0';
    if (!valid_date_t(dt)) {
        return out;
    }
    const int year = dt / 10000;
    const int month = (dt / 100) % 100;
    const int day = dt % 100;
    const int n = usaOrder ? std::snprintf(out, TIME_TEXT_SIZE, "%02d/%02d/%04d", month, day, year)
                           : std::snprintf(out, TIME_TEXT_SIZE, "%04d-%02d-%02d", year, month, day);
    if (n < 0 || n >= TIME_TEXT_SIZE) {
        out[0] = '\0';
    }
    return out;
}

time_t shefFieldsToTimet(int64_t yearsSince1900, int shef_date, int shef_time) {
    return static_cast<time_t>(utcSeconds(yearsSince1900 + 1900, (shef_date / 100) % 100 - 1,
                                          shef_date % 100, shef_time / 10000,
                                          (shef_time / 100) % 100, shef_time % 100));
}

// Length of the period that began at 07:00:00 local time on t's local day.
time_t localSevenAmPeriod(time_t t) {
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) {
        return 86400;
    }
    local.tm_hour = 7;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    const time_t seven = std::mktime(&local);
    const time_t diff = t >= seven ? t - seven : seven - t;
    if (diff <= 10799) {
        return 86400;
    }
    if (t < seven) {
        return 86400 - diff;
    }
    return diff;
}

char time_str[30];

}  // namespace

// ---- Calendar ----

int leap_year(int year) {
    return isLeap(year) ? 1 : 0;
}

int valid_date_t(date_t value) {
    if (value < 10000101 || value > 30001231) {
        return 0;
    }
    const int year = value / 10000;
    const int month = (value / 100) % 100;
    const int day = value % 100;
    if (month < 1 || month > 12) {
        return 0;
    }
    return day >= 1 && day <= monthLength(year, month) ? 1 : 0;
}

time_t gm_mktime(const struct tm* tm) {
    // Months outside 0..11 carry into the year; years before 1970 count backwards.
    return static_cast<time_t>(utcSeconds(static_cast<int64_t>(tm->tm_year) + 1900, tm->tm_mon,
                                          tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec));
}

// ---- Unix seconds and text ----

int timet_to_yearsec_ansi(time_t t, char* ansi) {
    return formatUtc(t, UtcForm::YearSec, ansi);
}

int timet_to_yearhour_ansi(time_t t, char* ansi) {
    return formatUtc(t, UtcForm::YearHour, ansi);
}

int timet_to_yearday_ansi(time_t t, char* ansi) {
    return formatUtc(t, UtcForm::YearDay, ansi);
}

int timet_to_yearday_USA(time_t t, char* usa) {
    return formatUtc(t, UtcForm::UsaDay, usa);
}

char* timet_to_ansi(time_t t, char* ansi) {
    formatUtc(t, UtcForm::YearSec, ansi);
    return ansi;
}

int yearsec_ansi_to_timet(const char* ansi, time_t* t) {
    int f[6] = {0, 0, 0, 0, 0, 0};
    if (scanFields(ansi, "%d-%d-%d %d:%d:%d", f, 6) < 6) {
        return -1;
    }
    *t = fieldsToTimet(f[0], f[1], f[2], f[3], f[4], f[5]);
    return 0;
}

int yearhour_ansi_to_timet(const char* ansi, time_t* t) {
    int f[4] = {0, 0, 0, 0};
    if (scanFields(ansi, "%d-%d-%d %d", f, 4) < 4) {
        return -1;
    }
    *t = fieldsToTimet(f[0], f[1], f[2], f[3], 0, 0);
    return 0;
}

int yearday_ansi_to_timet(const char* ansi, time_t* t) {
    int f[3] = {0, 0, 0};
    if (scanFields(ansi, "%d-%d-%d", f, 3) < 3) {
        return -1;
    }
    *t = fieldsToTimet(f[0], f[1], f[2], 0, 0, 0);
    return 0;
}

// ---- Database timestamp ----

int timet_to_yearsec_dt(time_t t, timestamp* dt) {
    char text[TIME_TEXT_SIZE];
    if (timet_to_yearsec_ansi(t, text) != 0) {
        return -1;
    }
    const int rc = dtcvasc(text, dt);
    // A text the library cannot parse gives a positive code; that is a failure here as well.
    if (rc < 0) {
        return rc;
    }
    return rc == 0 ? 0 : -1;
}

int yearsec_dt_to_timet(timestamp dt, time_t* t) {
    *t = 0;
    if (IsNullDateTime(dt)) {
        return -1;
    }
    return dtToTimetThrough(dt, t, yearsec_ansi_to_timet);
}

int yearday_dt_to_timet(timestamp dt, time_t* t) {
    return dtToTimetThrough(dt, t, yearday_ansi_to_timet);
}

int yearhour_dt_to_timet(timestamp dt, time_t* t) {
    return dtToTimetThrough(dt, t, yearhour_ansi_to_timet);
}

char* dtimet_to_ansi(timestamp dt, char* ansi) {
    yearsec_dt_to_ansi(dt, ansi);
    return ansi;
}

std::string dtimet_to_text(timestamp dt) {
    char text[kLibTextSize];
    return dtText(dt, text) ? std::string(text) : std::string();
}

int yearsec_dt_to_ansi(timestamp dt, char* ansi) {
    ansi[0] = '\0';
    char text[kLibTextSize];
    if (!dtText(dt, text)) {
        return -1;
    }
    return copyTimeText(text, ansi) ? 0 : -1;
}

int yearday_dt_to_ansi(timestamp dt, char* ansi) {
    return yearsec_dt_to_ansi(dt, ansi);
}

int yearhour_dt_to_ansi(timestamp dt, char* ansi) {
    return yearsec_dt_to_ansi(dt, ansi);
}

int monthday_dt_to_ansi(timestamp dt, char* ansi) {
    return yearsec_dt_to_ansi(dt, ansi);
}

int yearsec_ansi_to_dt(const char* ansi, timestamp* dt) {
    if (ansi == nullptr) {
        return -1;
    }
    std::string text(ansi);  // the library takes a modifiable string
    return dtcvasc(text.data(), dt);
}

int yearhour_ansi_to_dt(const char* ansi, timestamp* dt) {
    return yearsec_ansi_to_dt(ansi, dt);
}

int yearday_ansi_to_dt(const char* ansi, timestamp* dt) {
    return yearsec_ansi_to_dt(ansi, dt);
}

int monthday_ansi_to_dt(const char* ansi, timestamp* dt) {
    return yearsec_ansi_to_dt(ansi, dt);
}

int sheftime_to_yearsec_dt(int shef_date, int shef_time, timestamp* dt) {
    return timet_to_yearsec_dt(sheftime_to_timet(shef_date, shef_time), dt);
}

time_t timestamp_to_timet(timestamp ts) {
    const PgText text(PGTYPEStimestamp_to_asc(ts));
    time_t t = 0;
    if (!text || yearsec_ansi_to_timet(text.get(), &t) != 0) {
        return 0;
    }
    return t;
}

timestamp timet_to_timestamp(time_t t) {
    char text[TIME_TEXT_SIZE];
    timet_to_yearsec_ansi(t, text);
    return PGTYPEStimestamp_from_asc(text, nullptr);
}

// ---- Database date and date_t ----

date_t pg_date_to_date_t(date pgdate) {
    const PgText text(PGTYPESdate_to_asc(pgdate));
    date_t d = 0;
    if (!text || ansi_date_to_date_t(text.get(), &d) != 0) {
        return 0;
    }
    return d;
}

date date_t_to_pg_date(date_t dt) {
    char text[TIME_TEXT_SIZE];
    date_t_to_ansi_date(dt, text);
    return PGTYPESdate_from_asc(text, nullptr);
}

char* date_t_to_ansi_date(date_t dt, char* ansi) {
    return writeDate(dt, false, ansi);
}

char* date_t_to_USA_date(date_t dt, char* usa) {
    return writeDate(dt, true, usa);
}

int ansi_date_to_date_t(const char* ansi, date_t* dt) {
    return readDate(ansi, "%d-%d-%d", false, dt);
}

int USA_date_to_date_t(const char* usa, date_t* dt) {
    return readDate(usa, "%d/%d/%d", true, dt);
}

time_t date_t_to_timet(date_t dt) {
    char text[TIME_TEXT_SIZE];
    date_t_to_ansi_date(dt, text);
    time_t t = 0;
    if (yearday_ansi_to_timet(text, &t) != 0) {
        return 0;
    }
    return t;
}

date_t timet_to_date_t(time_t t) {
    char text[TIME_TEXT_SIZE];
    date_t d = 0;
    if (timet_to_yearday_ansi(t, text) != 0 || ansi_date_to_date_t(text, &d) != 0) {
        return 0;
    }
    return d;
}

// ---- monthday_t ----

int ansi_monthday_to_monthday_t(const char* ansi, monthday_t* md) {
    return readMonthday(ansi, "%d-%d", md);
}

int USA_monthday_to_monthday_t(const char* usa, monthday_t* md) {
    return readMonthday(usa, "%d/%d", md);
}

char* monthday_t_to_ansi_monthday(monthday_t md, char* ansi) {
    return writeMonthday(ansi, "%2.2d-%2.2d", md / 100, md % 100);
}

char* monthday_t_to_USA_monthday(monthday_t md, char* usa) {
    return writeMonthday(usa, "%2.2d/%2.2d", md / 100, md % 100);
}

monthday_t timet_to_monthday_t(time_t t) {
    struct tm fields {};
    if (gmtime_r(&t, &fields) == nullptr) {
        return 0;
    }
    return (fields.tm_mon + 1) * 100 + fields.tm_mday;
}

// ---- SHEF ----

time_t sheftime_to_timet(int shef_date, int shef_time) {
    int64_t years = shef_date / 10000;
    if (years < 70) {
        years += 100;
    }
    return shefFieldsToTimet(years, shef_date, shef_time);
}

time_t sheftime_to_time_t(int shef_date, int shef_time) {
    return sheftime_to_timet(shef_date, shef_time);
}

time_t sheftime4_to_timet(int shef_date, int shef_time) {
    return shefFieldsToTimet((static_cast<int64_t>(shef_date) - 19000000) / 10000, shef_date,
                             shef_time);
}

void timet_to_sheftime(time_t t, int* shef_date, int* shef_time) {
    struct tm fields {};
    if (gmtime_r(&t, &fields) == nullptr) {
        *shef_date = 0;
        *shef_time = 0;
        return;
    }
    *shef_date = fields.tm_year * 10000 + (fields.tm_mon + 1) * 100 + fields.tm_mday;
    *shef_time = fields.tm_hour * 10000 + fields.tm_min * 100 + fields.tm_sec;
}

void time_t_to_sheftime(time_t t, int* shef_date, int* shef_time) {
    timet_to_sheftime(t, shef_date, shef_time);
}

int shefdur_to_timet(int code, time_t t, time_t* seconds) {
    if (code <= 999) {
        *seconds = static_cast<time_t>(code) * 60;
    } else if (code <= 1999) {
        *seconds = static_cast<time_t>(code - 1000) * 3600;
    } else if (code <= 2999) {
        *seconds = static_cast<time_t>(code - 2000) * 86400;
    } else if (code == 5004) {
        *seconds = localSevenAmPeriod(t);
    } else {
        // Months (3000s) have no fixed length; 4000s and the other 5000s have none either.
        *seconds = 0;
        return -1;
    }
    return 0;
}

int timet_to_shefdur(time_t seconds, int* code) {
    if (seconds <= 59) {
        *code = 1;
    } else if (seconds <= 3599) {
        *code = static_cast<int>(seconds / 60);
    } else if (seconds <= 86399 ||
               (seconds % 3600 == 0 && seconds % 86400 != 0 && seconds / 3600 <= 999)) {
        // Under a day, or whole hours that are not whole days: an hour code.
        *code = static_cast<int>(1000 + seconds / 3600);
    } else if (seconds <= 7776000) {
        *code = static_cast<int>(2000 + seconds / 86400);
    } else {
        *code = 0;
        return -1;
    }
    return 0;
}

// ---- Other ----

int four_digit_year(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const std::size_t len = std::strlen(text);
    if (len == 0) {
        return 0;
    }
    if (len <= 7) {
        return 1;
    }
    for (std::size_t i = len - 4; i < len; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return 2;
        }
    }
    return 0;
}

char* log_time() {
    time_str[0] = '\0';
    const time_t now = std::time(nullptr);
    struct tm fields {};
    if (gmtime_r(&now, &fields) == nullptr) {
        return time_str;
    }
    // The asctime layout without its newline.
    const std::size_t len =
        std::strftime(time_str, sizeof time_str, "%a %b %e %H:%M:%S %Y", &fields);
    if (len == 0) {
        time_str[0] = '\0';
    }
    if (len > 24) {
        time_str[24] = '\0';
    }
    return time_str;
}

int isTimeError(int code) {
    return code < 0 ? 1 : 0;
}
