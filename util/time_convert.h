#pragma once

// Conversions between the time and date forms the system meets: Unix seconds, the database
// client library's timestamp and date, ISO-like and United States text, calendar dates held
// as YYYYMMDD numbers, month-day numbers, and SHEF date, time and duration numbers.
//
// Every conversion from Unix seconds to calendar fields is UTC; only the SHEF duration code
// 5004 looks at the process's time zone. Result codes: 0 success, negative failure
// (-1 unreadable text or null timestamp, -2 invalid date or month, -3 day outside its month);
// codes coming from the client library keep their values.
//
// Time text buffers are supplied by the caller and hold at least TIME_TEXT_SIZE bytes; no
// operation writes more than that. Not thread-safe: log_time uses a module-owned buffer.

#include <ctime>
#include <memory>
#include <string>

#include <ecpg_informix.h>
#include <pgtypes_date.h>
#include <pgtypes_interval.h>
#include <pgtypes_timestamp.h>

using date_t = int;      // calendar date as the decimal number YYYYMMDD
using monthday_t = int;  // day of the year as the number MMDD

// A text the client library allocated (timestamp, date and interval texts), released with the
// library's own free function: the one deallocator for such texts.
struct PgTextFree {
    void operator()(char* p) const { PGTYPESchar_free(p); }
};
using PgText = std::unique_ptr<char, PgTextFree>;

// Size of the caller buffers that receive time text.
inline constexpr int TIME_TEXT_SIZE = 26;

// Month lengths of a common year, January first.
extern const int numDaysInMonth[12];

// ---- Operations used by the purge run and the table accessors ----

// Writes t as "YYYY-MM-DD HH:MM:SS" (UTC) into ansi; 0, or -1 with empty text when t does not fit.
int timet_to_yearsec_ansi(time_t t, char* ansi);
// Reads "YYYY-MM-DD HH:MM:SS" text into *t; -1 (t untouched) when a field is missing.
int yearsec_ansi_to_timet(const char* ansi, time_t* t);
// Reads "YYYY-MM-DD" text into *t as 00:00:00 UTC of that day; -1 when a field is missing.
int yearday_ansi_to_timet(const char* ansi, time_t* t);
// Stores t (UTC wall-clock time) as a database timestamp; 0, or a negative code on failure.
int timet_to_yearsec_dt(time_t t, timestamp* dt);
// Converts a database timestamp to Unix seconds, dropping any fraction; -1 for the null marker.
int yearsec_dt_to_timet(timestamp dt, time_t* t);
// Converts a database timestamp to 00:00:00 UTC of its day as Unix seconds.
int yearday_dt_to_timet(timestamp dt, time_t* t);
// UTC counterpart of mktime: reads year, month, day, hour, minute and second of *tm only.
time_t gm_mktime(const struct tm* tm);
// 1 when year is a Gregorian leap year, else 0.
int leap_year(int year);
// 1 when date is a valid YYYYMMDD date from 10000101 to 30001231, else 0.
int valid_date_t(date_t value);
// Converts a database date to YYYYMMDD; 0 when it does not give a valid date.
date_t pg_date_to_date_t(date pgdate);
// Converts a YYYYMMDD date to a database date (the library's parse of empty text when invalid).
date date_t_to_pg_date(date_t dt);
// Writes a database timestamp as "YYYY-MM-DD HH:MM:SS[.fraction]"; returns ansi.
char* dtimet_to_ansi(timestamp dt, char* ansi);
// The same text without the limit of a time text buffer: a fraction of a second is kept whole.
// Empty when the timestamp cannot be written.
std::string dtimet_to_text(timestamp dt);

// ---- Unix seconds to text (UTC) ----

// Writes t as "YYYY-MM-DD HH"; 0, or -1 with empty text when t does not fit.
int timet_to_yearhour_ansi(time_t t, char* ansi);
// Writes t as "YYYY-MM-DD"; 0, or -1 with empty text when t does not fit.
int timet_to_yearday_ansi(time_t t, char* ansi);
// Writes t as "MM/DD/YYYY"; 0, or -1 with empty text when t does not fit.
int timet_to_yearday_USA(time_t t, char* usa);
// Writes t as "YYYY-MM-DD HH:MM:SS"; returns ansi.
char* timet_to_ansi(time_t t, char* ansi);

// ---- Text to Unix seconds ----

// Reads "YYYY-MM-DD HH" text into *t with minutes and seconds 0; -1 when a field is missing.
int yearhour_ansi_to_timet(const char* ansi, time_t* t);

// ---- Database timestamp, text and Unix seconds ----

// Parses timestamp text into *dt; the library's result code.
int yearsec_ansi_to_dt(const char* ansi, timestamp* dt);
// Parses timestamp text into *dt; the library's result code.
int yearhour_ansi_to_dt(const char* ansi, timestamp* dt);
// Parses timestamp text into *dt; the library's result code.
int yearday_ansi_to_dt(const char* ansi, timestamp* dt);
// Parses timestamp text into *dt; the library's result code.
int monthday_ansi_to_dt(const char* ansi, timestamp* dt);
// Writes the full timestamp text; 0, or -1 with empty text when it does not fit.
int yearsec_dt_to_ansi(timestamp dt, char* ansi);
// Writes the full timestamp text; 0, or -1 with empty text when it does not fit.
int yearday_dt_to_ansi(timestamp dt, char* ansi);
// Writes the full timestamp text; 0, or -1 with empty text when it does not fit.
int yearhour_dt_to_ansi(timestamp dt, char* ansi);
// Writes the full timestamp text; 0, or -1 with empty text when it does not fit.
int monthday_dt_to_ansi(timestamp dt, char* ansi);
// Converts a database timestamp to the start of its UTC hour as Unix seconds.
int yearhour_dt_to_timet(timestamp dt, time_t* t);
// Converts a SHEF date and time to a database timestamp.
int sheftime_to_yearsec_dt(int shef_date, int shef_time, timestamp* dt);
// Converts a database timestamp to Unix seconds; 0 when it cannot be read.
time_t timestamp_to_timet(timestamp ts);
// Converts Unix seconds to a database timestamp.
timestamp timet_to_timestamp(time_t t);

// ---- date_t conversions ----

// Writes a date as "YYYY-MM-DD", or empty text when invalid; returns ansi.
char* date_t_to_ansi_date(date_t dt, char* ansi);
// Writes a date as "MM/DD/YYYY", or empty text when invalid; returns usa.
char* date_t_to_USA_date(date_t dt, char* usa);
// Reads "YYYY-MM-DD" text into *dt; -1 missing field (untouched), -2 invalid (stores 0).
int ansi_date_to_date_t(const char* ansi, date_t* dt);
// Reads "MM/DD/YYYY" text into *dt; -1 missing field (untouched), -2 invalid (stores 0).
int USA_date_to_date_t(const char* usa, date_t* dt);
// 00:00:00 UTC of a date as Unix seconds; 0 when the date is invalid.
time_t date_t_to_timet(date_t dt);
// UTC day of t as YYYYMMDD; 0 when that fails.
date_t timet_to_date_t(time_t t);

// ---- monthday_t conversions ----

// Reads "MM-DD" text into *md; -1 missing field, -2 bad month, -3 bad day; nothing stored then.
int ansi_monthday_to_monthday_t(const char* ansi, monthday_t* md);
// Reads "MM/DD" text into *md; codes as ansi_monthday_to_monthday_t.
int USA_monthday_to_monthday_t(const char* usa, monthday_t* md);
// Writes a month-day as "MM-DD"; returns ansi.
char* monthday_t_to_ansi_monthday(monthday_t md, char* ansi);
// Writes a month-day as "MM/DD"; returns usa.
char* monthday_t_to_USA_monthday(monthday_t md, char* usa);
// UTC month and day of t as MMDD.
monthday_t timet_to_monthday_t(time_t t);

// ---- SHEF conversions ----

// SHEF date (years since 1900, below 70 meaning 20xx) and HHMMSS time to Unix seconds.
time_t sheftime_to_timet(int shef_date, int shef_time);
// Another name for sheftime_to_timet.
time_t sheftime_to_time_t(int shef_date, int shef_time);
// Four-digit-year SHEF date (YYYYMMDD) and HHMMSS time to Unix seconds.
time_t sheftime4_to_timet(int shef_date, int shef_time);
// Unix seconds to SHEF date ((year - 1900) * 10000 + MMDD) and HHMMSS time, UTC.
void timet_to_sheftime(time_t t, int* shef_date, int* shef_time);
// Another name for timet_to_sheftime.
void time_t_to_sheftime(time_t t, int* shef_date, int* shef_time);
// Length in seconds of a SHEF duration code at time t; -1 with 0 stored for a code without one.
int shefdur_to_timet(int code, time_t t, time_t* seconds);
// SHEF duration code of a length in seconds; -1 with 0 stored when none fits.
int timet_to_shefdur(time_t seconds, int* code);

// ---- Other ----

// 0 for empty text, 1 for text of 1 to 7 characters, 2 when one of the last four is no digit.
int four_digit_year(const char* text);
// Current UTC time as asctime text without the newline, in a buffer the next call overwrites.
char* log_time();
// 1 when a result code is an error (below 0), else 0.
int isTimeError(int code);
