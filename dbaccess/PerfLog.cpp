#include "PerfLog.h"

#include "TableDescriptors.h"
#include "TableStatements.h"

// Every entry point passes its own line: the runtime's messages name it.

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kPerfLogTable;
}  // namespace

PerfLog* GetPerfLog(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, esql::Where::current());
}

PerfLog* SelectPerfLog(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where, esql::Where::current());
}

int SelectPerfLogCount(const char* where) {
    return dbaccess::count(table, state, where, esql::Where::current());
}

int PutPerfLog(const PerfLog* record) {
    return dbaccess::insert(table, state, "Put", record, esql::Where::current());
}

int InsertPerfLog(const PerfLog* record) {
    return dbaccess::insert(table, state, "Insert", record, esql::Where::current());
}

int UpdatePerfLog(const PerfLog* record, const char* where) {
    return dbaccess::update(table, state, record, where, esql::Where::current());
}

int DeletePerfLog(const char* where) {
    return dbaccess::remove(table, state, where, esql::Where::current());
}

int UpdatePerfLogByRecord(const PerfLog* new_record, const PerfLog* old_record) {
    return dbaccess::update_by_record(table, state, new_record, old_record, esql::Where::current());
}

int InsertOrUpdatePerfLog(const PerfLog* record) {
    return dbaccess::insert_or_update(table, state, record, esql::Where::current());
}

int InsertIfUniquePerfLog(const PerfLog* record, bool* inserted) {
    return dbaccess::insert_if_unique(table, state, record, inserted, esql::Where::current());
}

int DeletePerfLogByRecord(const PerfLog* record) {
    return dbaccess::remove_by_record(table, state, record, esql::Where::current());
}

int PerfLogExists(const PerfLog* record) {
    return dbaccess::exists(table, state, record, esql::Where::current());
}

void GetPerfLogPrimaryKeyWhereString(const PerfLog* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::key_condition(table, *record, buffer);
}

void FreePerfLog(PerfLog* first) {
    dbaccess::detail::free_records(first);
}

DbStatus* GetPerfLogDbStatus() {
    return &state.status;
}

void SetPerfLogErrorLogging(int on) {
    state.error_logging_on = on;
}
