#include "Location.h"

#include "TableDescriptors.h"

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kLocationTable;
}  // namespace

Location* GetLocation(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where);
}

Location* SelectLocation(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where);
}

int SelectLocationCount(const char* where) {
    return dbaccess::count(table, state, where);
}

int PutLocation(const Location* record) {
    return dbaccess::insert(table, state, "Put", record);
}

int InsertLocation(const Location* record) {
    return dbaccess::insert(table, state, "Insert", record);
}

int UpdateLocation(const Location* record, const char* where) {
    return dbaccess::update(table, state, record, where);
}

int DeleteLocation(const char* where) {
    return dbaccess::remove(table, state, where);
}

int UpdateLocationByRecord(const Location* newRecord, const Location* oldRecord) {
    return dbaccess::updateByRecord(table, state, newRecord, oldRecord);
}

int InsertOrUpdateLocation(const Location* record) {
    return dbaccess::insertOrUpdate(table, state, record);
}

int InsertIfUniqueLocation(const Location* record, bool* inserted) {
    return dbaccess::insertIfUnique(table, state, record, inserted);
}

int DeleteLocationByRecord(const Location* record) {
    return dbaccess::removeByRecord(table, state, record);
}

int LocationExists(const Location* record) {
    return dbaccess::exists(table, state, record);
}

void GetLocationPrimaryKeyWhereString(const Location* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::keyCondition(table, *record, buffer);
}

void FreeLocation(Location* first) {
    dbaccess::detail::freeRecords(first);
}

DbStatus* GetLocationDbStatus() {
    return &state.status;
}

void SetLocationErrorLogging(int on) {
    state.errorLoggingOn = on;
}
