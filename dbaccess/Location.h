#pragma once

// Rows of the table Location as Location records: select, count, insert, update, delete and key
// tests. Every operation leaves its outcome in the module's status (GetLocationDbStatus) and, while
// error logging is on, reports a failed statement in three lines on standard error. Where clauses
// are appended verbatim (WHERE and ORDER BY included); null or empty means every row.

#include <vector>

#include "DbRecords.h"
#include "DbmsUtils.h"

// Every row the where clause selects, as a list headed by the first record; null for none.
Location* GetLocation(const char* where);
// The same as GetLocation; `cut` gets one flag per record, in list order: true when its lid, its
// padding blanks dropped, did not fit the field and was cut (what is left may be another
// station's lid). Empty when no list is returned.
Location* GetLocationWithCutLids(const char* where, std::vector<bool>& cut);
// The same as GetLocation, on a cursor of its own.
Location* SelectLocation(const char* where);
// Number of rows the where clause selects; -1 on error.
int SelectLocationCount(const char* where);
// Inserts the record: 0, -4444 for a null record, else the negative SQL code.
int PutLocation(const Location* record);
// The same as PutLocation, reporting under its own name.
int InsertLocation(const Location* record);
// Sets every column of the selected rows from the record: 0 (also when none matched) or the SQL
// code.
int UpdateLocation(const Location* record, const char* where);
// Deletes the selected rows (all without a where clause): 0 (also when none matched) or the SQL
// code.
int DeleteLocation(const char* where);
// UpdateLocation of new_record over the row with old_record's key.
int UpdateLocationByRecord(const Location* new_record, const Location* old_record);
// Updates the row with the record's key, or inserts the record when there is none; the SQL code.
int InsertOrUpdateLocation(const Location* record);
// Inserts the record when its key is absent (*inserted tells); the status's SQL code.
int InsertIfUniqueLocation(const Location* record, bool* inserted);
// Deletes the row with the record's key.
int DeleteLocationByRecord(const Location* record);
// 1 when a row with the record's key exists, else 0 (also on error).
int LocationExists(const Location* record);
// Writes the record's key condition (quotes in text keys doubled) into a buffer of 8192 bytes.
void GetLocationPrimaryKeyWhereString(const Location* record, char* buffer);
// Releases a list returned by GetLocation or SelectLocation, from its first record; null does
// nothing.
void FreeLocation(Location* first);
// The module's status of its last statement; owned by the module.
DbStatus* GetLocationDbStatus();
// Switches the module's error reports on (non-zero, the default) or off.
void SetLocationErrorLogging(int on);
