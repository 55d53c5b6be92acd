#pragma once

// Status of the last statement of a table module, and the in-band SQL null markers.

// Host-type codes of the runtime, as the null-marker functions take them.
enum HostTypeCode : int {
    CHAR = 1,
    SHORT = 3,
    INT = 5,
    LONG = 7,
    FLOAT = 12,
    DOUBLE = 13,
    DATE = 18,
    TIMESTAMP = 19,
    INTERVAL = 20,
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

// Copies rows processed, SQLSTATE, SQL code and message from the runtime; sqlCommand stays.
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
