#include "PerfLog.h"

#include "TableDescriptors.h"

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kPerfLogTable;
}  // namespace

PerfLog* GetPerfLog(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where);
}

PerfLog* SelectPerfLog(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where);
}

int SelectPerfLogCount(const char* where) {
    return dbaccess::count(table, state, where);
}

int PutPerfLog(const PerfLog* record) {
    return dbaccess::insert(table, state, "Put", record);
}

int InsertPerfLog(const PerfLog* record) {
    return dbaccess::insert(table, state, "Insert", record);
}

int UpdatePerfLog(const PerfLog* record, const char* where) {
    return dbaccess::update(table, state, record, where);
}

int DeletePerfLog(const char* where) {
    return dbaccess::remove(table, state, where);
}

int UpdatePerfLogByRecord(const PerfLog* newRecord, const PerfLog* oldRecord) {
    return dbaccess::updateByRecord(table, state, newRecord, oldRecord);
}

int InsertOrUpdatePerfLog(const PerfLog* record) {
    return dbaccess::insertOrUpdate(table, state, record);
}

int InsertIfUniquePerfLog(const PerfLog* record, bool* inserted) {
    return dbaccess::insertIfUnique(table, state, record, inserted);
}

int DeletePerfLogByRecord(const PerfLog* record) {
    return dbaccess::removeByRecord(table, state, record);
}

int PerfLogExists(const PerfLog* record) {
    return dbaccess::exists(table, state, record);
}

void GetPerfLogPrimaryKeyWhereString(const PerfLog* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::keyCondition(table, *record, buffer);
}

void FreePerfLog(PerfLog* first) {
    dbaccess::detail::freeRecords(first);
}

DbStatus* GetPerfLogDbStatus() {
    return &state.status;
}

void SetPerfLogErrorLogging(int on) {
    state.errorLoggingOn = on;
}
