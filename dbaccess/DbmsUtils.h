#pragma once

// Status of the last statement of a table module, and the in-band SQL null markers.

#include <ecpgtype.h>

#include <cstddef>

namespace esql {
struct Result;
}

// Host-type codes of the runtime, as the null-marker functions take them: the runtime's own
// codes (Esql.h maps the C++ types to them).
enum HostTypeCode : int {
    CHAR = ECPGt_char,
    SHORT = ECPGt_short,
    INT = ECPGt_int,
    LONG = ECPGt_long,
    FLOAT = ECPGt_float,
    DOUBLE = ECPGt_double,
    DATE = ECPGt_date,
    TIMESTAMP = ECPGt_timestamp,
    INTERVAL = ECPGt_interval,
};

// Kinds of operation kept in DbStatus::sqlCommand.
enum SqlCommandCode : int {
    SQL_INSERT = 0,
    SQL_UPDATE = 1,
    SQL_DELETE = 2,
    SQL_SELECT = 3,
};

// The outcome of the last statement of one table module.
struct DbStatus {
    int rowsAffected;        // rows of the last statement
    int sqlCode;             // 0 success, 100 no (more) rows, negative an error
    int sqlCommand;          // SqlCommandCode of the last operation
    char sqlState[10];       // five-character SQLSTATE, terminated
    char errorMessage[257];  // the runtime's message, at most 256 characters
};

// Copies rows processed, SQLSTATE, SQL code and message of the runtime's last statement from its
// communication area, for a program that runs its own statements; sqlCommand stays.
void initDbStatus(DbStatus* status);
// Stores a row count in rowsAffected.
void setDbStatusRowsAffected(DbStatus* status, int rows);
// Stores an operation kind in sqlCommand.
void setDbStatusSqlCommand(DbStatus* status, int command);

// 1 when `value` holds the null marker of `type`, 0 when not, -1 for a code above 19.
int IsNull(int type, const void* value);
// Writes the null marker of `type` into `value`: 0, or -1 (value untouched) for a code above 19.
int SetNull(int type, void* value);
// 1 for a negative indicator, else 0 (a positive one is a truncation length, not null).
int indicatesNull(int indicator);
// SetNull(type, value) when the indicator says null; otherwise 0 and the value untouched.
int setNullIfIndicated(int indicator, int type, void* value);
// 0 when the value is not null, -1 when it is (or the type code is refused).
int getIndicator(int type, const void* value);

namespace dbaccess {
// Copies rows processed, SQLSTATE, SQL code and message of one statement's outcome, as the
// wrapper returned it; sqlCommand stays. The table modules build their status with this.
void init_db_status(DbStatus* status, const esql::Result& outcome);
}  // namespace dbaccess

// ---- Observation tables and value text ----

// Writes into table_name (at least 17 bytes) the table holding observations of physical element
// pe from type-source ts, or "INVALID" after a message on standard output. Processed data (ts
// starting with P) goes to "procvalue" unless the token shef_procobs is "ON" or "on".
void getTableName(const char* pe, const char* ts, char* table_name);

// Writes a host value of a type code (1, 3, 5, 12, 13) into out with a printf format taking an
// int (codes 1, 3, 5) or a double (12, 13): 1. A null value writes nullText: 0. Other codes, and
// a format whose one conversion does not take the value's type (or that has no conversion or
// more than one; "%%" aside), write nothing: 0. out must have room for the formatted text.
__attribute__((format(printf, 4, 0))) int DataToString(const void* value, int type, char* out,
                                                       const char* format, const char* nullText);
// The same, writing at most out_size bytes (the text is cut and stays terminated).
__attribute__((format(printf, 5, 0))) int DataToString(const void* value, int type, char* out,
                                                       std::size_t out_size, const char* format,
                                                       const char* nullText);

// Resizes buffer (or allocates it when null) to hold a copy of text and copies it; null when
// memory ran out (buffer then stays valid and the caller's).
char* AllocateAndCopyTextValue(char* buffer, const char* text);
