#pragma once

// Rows of the table VTECevent as VTECevent records: select, count, insert, update, delete and key
// tests. Every operation leaves its outcome in the module's status (GetVTECeventDbStatus) and,
// while error logging is on, reports a failed statement in three lines on standard error. Where
// clauses are appended verbatim (WHERE and ORDER BY included); null or empty means every row.

#include "DbRecords.h"
#include "DbmsUtils.h"

// Every row the where clause selects, as a list headed by the first record; null for none.
VTECevent* GetVTECevent(const char* where);
// The first row the where clause selects, as a list of one record; null for none. The same
// statements as GetVTECevent, with one fetch before the close.
VTECevent* GetVTECeventFirst(const char* where);
// The same as GetVTECevent, on a cursor of its own.
VTECevent* SelectVTECevent(const char* where);
// Number of rows the where clause selects; -1 on error.
int SelectVTECeventCount(const char* where);
// Inserts the record: 0, -4444 for a null record, else the negative SQL code.
int PutVTECevent(const VTECevent* record);
// The same as PutVTECevent, reporting under its own name.
int InsertVTECevent(const VTECevent* record);
// Sets every column of the selected rows from the record: 0 (also when none matched) or the SQL
// code.
int UpdateVTECevent(const VTECevent* record, const char* where);
// Deletes the selected rows (all without a where clause): 0 (also when none matched) or the SQL
// code.
int DeleteVTECevent(const char* where);
// UpdateVTECevent of new_record over the row with old_record's key.
int UpdateVTECeventByRecord(const VTECevent* new_record, const VTECevent* old_record);
// Updates the row with the record's key, or inserts the record when there is none; the SQL code.
int InsertOrUpdateVTECevent(const VTECevent* record);
// Inserts the record when its key is absent (*inserted tells); the status's SQL code.
int InsertIfUniqueVTECevent(const VTECevent* record, bool* inserted);
// Deletes the row with the record's key.
int DeleteVTECeventByRecord(const VTECevent* record);
// 1 when a row with the record's key exists, else 0 (also on error).
int VTECeventExists(const VTECevent* record);
// Writes the record's key condition (quotes in text keys doubled) into a buffer of 8192 bytes.
void GetVTECeventPrimaryKeyWhereString(const VTECevent* record, char* buffer);
// Releases a list returned by GetVTECevent or SelectVTECevent, from its first record; null does
// nothing.
void FreeVTECevent(VTECevent* first);
// The module's status of its last statement; owned by the module.
DbStatus* GetVTECeventDbStatus();
// Switches the module's error reports on (non-zero, the default) or off.
void SetVTECeventErrorLogging(int on);
