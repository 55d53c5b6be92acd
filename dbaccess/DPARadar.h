#pragma once

// Rows of the table DPARadar as DPARadar records: select, count, insert, update, delete and key
// tests. Every operation leaves its outcome in the module's status (GetDPARadarDbStatus) and, while
// error logging is on, reports a failed statement in three lines on standard error. Where clauses
// are appended verbatim (WHERE and ORDER BY included); null or empty means every row.

#include <vector>

#include "DbRecords.h"
#include "DbmsUtils.h"

// Every row the where clause selects, as a list headed by the first record; null for none.
DPARadar* GetDPARadar(const char* where);
// The same as GetDPARadar; `cut` gets one flag per record, in list order: true when its
// grid_filename, its padding blanks dropped, did not fit the field and was cut (what is left may
// name another file). Empty when no list is returned.
DPARadar* GetDPARadarWithCutNames(const char* where, std::vector<bool>& cut);
// The same as GetDPARadar, on a cursor of its own.
DPARadar* SelectDPARadar(const char* where);
// Number of rows the where clause selects; -1 on error.
int SelectDPARadarCount(const char* where);
// Inserts the record: 0, -4444 for a null record, else the negative SQL code.
int PutDPARadar(const DPARadar* record);
// The same as PutDPARadar, reporting under its own name.
int InsertDPARadar(const DPARadar* record);
// Sets every column of the selected rows from the record: 0 (also when none matched) or the SQL
// code.
int UpdateDPARadar(const DPARadar* record, const char* where);
// Deletes the selected rows (all without a where clause): 0 (also when none matched) or the SQL
// code.
int DeleteDPARadar(const char* where);
// UpdateDPARadar of new_record over the row with old_record's key.
int UpdateDPARadarByRecord(const DPARadar* new_record, const DPARadar* old_record);
// Updates the row with the record's key, or inserts the record when there is none; the SQL code.
int InsertOrUpdateDPARadar(const DPARadar* record);
// Inserts the record when its key is absent (*inserted tells); the status's SQL code.
int InsertIfUniqueDPARadar(const DPARadar* record, bool* inserted);
// Deletes the row with the record's key.
int DeleteDPARadarByRecord(const DPARadar* record);
// 1 when a row with the record's key exists, else 0 (also on error).
int DPARadarExists(const DPARadar* record);
// Writes the record's key condition (quotes in text keys doubled) into a buffer of 8192 bytes.
void GetDPARadarPrimaryKeyWhereString(const DPARadar* record, char* buffer);
// Releases a list returned by GetDPARadar or SelectDPARadar, from its first record; null does
// nothing.
void FreeDPARadar(DPARadar* first);
// The module's status of its last statement; owned by the module.
DbStatus* GetDPARadarDbStatus();
// Switches the module's error reports on (non-zero, the default) or off.
void SetDPARadarErrorLogging(int on);
