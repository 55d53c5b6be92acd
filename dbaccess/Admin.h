#pragma once

// Rows of the table Admin as Admin records: select, count, insert, update, delete and key tests.
// Every operation leaves its outcome in the module's status (GetAdminDbStatus) and, while error
// logging is on, reports a failed statement in three lines on standard error. Where clauses are
// appended verbatim (WHERE and ORDER BY included); null or empty means every row.

#include "DbRecords.h"
#include "DbmsUtils.h"

// Every row the where clause selects, as a list headed by the first record; null for none.
Admin* GetAdmin(const char* where);
// The same as GetAdmin, on a cursor of its own.
Admin* SelectAdmin(const char* where);
// Number of rows the where clause selects; -1 on error.
int SelectAdminCount(const char* where);
// Inserts the record: 0, -4444 for a null record, else the negative SQL code.
int PutAdmin(const Admin* record);
// The same as PutAdmin, reporting under its own name.
int InsertAdmin(const Admin* record);
// Sets every column of the selected rows from the record: 0 (also when none matched) or the SQL
// code.
int UpdateAdmin(const Admin* record, const char* where);
// Deletes the selected rows (all without a where clause): 0 (also when none matched) or the SQL
// code.
int DeleteAdmin(const char* where);
// UpdateAdmin of new_record over the row with old_record's key.
int UpdateAdminByRecord(const Admin* new_record, const Admin* old_record);
// Updates the row with the record's key, or inserts the record when there is none; the SQL code.
int InsertOrUpdateAdmin(const Admin* record);
// Inserts the record when its key is absent (*inserted tells); the status's SQL code.
int InsertIfUniqueAdmin(const Admin* record, bool* inserted);
// Deletes the row with the record's key.
int DeleteAdminByRecord(const Admin* record);
// 1 when a row with the record's key exists, else 0 (also on error).
int AdminExists(const Admin* record);
// Writes the record's key condition (quotes in text keys doubled) into a buffer of 8192 bytes.
void GetAdminPrimaryKeyWhereString(const Admin* record, char* buffer);
// Releases a list returned by GetAdmin or SelectAdmin, from its first record; null does nothing.
void FreeAdmin(Admin* first);
// The module's status of its last statement; owned by the module.
DbStatus* GetAdminDbStatus();
// Switches the module's error reports on (non-zero, the default) or off.
void SetAdminErrorLogging(int on);
