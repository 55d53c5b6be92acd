#pragma once

// Rows of the table PerfLog as PerfLog records: select, count, insert, update, delete and key
// tests. Every operation leaves its outcome in the module's status (GetPerfLogDbStatus) and, while
// error logging is on, reports a failed statement in three lines on standard error. Where clauses
// are appended verbatim (WHERE and ORDER BY included); null or empty means every row.

#include "DbRecords.h"
#include "DbmsUtils.h"

// Every row the where clause selects, as a list headed by the first record; null for none.
PerfLog* GetPerfLog(const char* where);
// The same as GetPerfLog, on a cursor of its own.
PerfLog* SelectPerfLog(const char* where);
// Number of rows the where clause selects; -1 on error.
int SelectPerfLogCount(const char* where);
// Inserts the record: 0, -4444 for a null record, else the negative SQL code.
int PutPerfLog(const PerfLog* record);
// The same as PutPerfLog, reporting under its own name.
int InsertPerfLog(const PerfLog* record);
// Sets every column of the selected rows from the record: 0 (also when none matched) or the SQL
// code.
int UpdatePerfLog(const PerfLog* record, const char* where);
// Deletes the selected rows (all without a where clause): 0 (also when none matched) or the SQL
// code.
int DeletePerfLog(const char* where);
// UpdatePerfLog of new_record over the row with old_record's key.
int UpdatePerfLogByRecord(const PerfLog* new_record, const PerfLog* old_record);
// Updates the row with the record's key, or inserts the record when there is none; the SQL code.
int InsertOrUpdatePerfLog(const PerfLog* record);
// Inserts the record when its key is absent (*inserted tells); the status's SQL code.
int InsertIfUniquePerfLog(const PerfLog* record, bool* inserted);
// Deletes the row with the record's key.
int DeletePerfLogByRecord(const PerfLog* record);
// 1 when a row with the record's key exists, else 0 (also on error).
int PerfLogExists(const PerfLog* record);
// Writes the record's key condition (quotes in text keys doubled) into a buffer of 8192 bytes.
void GetPerfLogPrimaryKeyWhereString(const PerfLog* record, char* buffer);
// Releases a list returned by GetPerfLog or SelectPerfLog, from its first record; null does
// nothing.
void FreePerfLog(PerfLog* first);
// The module's status of its last statement; owned by the module.
DbStatus* GetPerfLogDbStatus();
// Switches the module's error reports on (non-zero, the default) or off.
void SetPerfLogErrorLogging(int on);
