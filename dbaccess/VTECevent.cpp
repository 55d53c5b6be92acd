#include "VTECevent.h"

#include "TableDescriptors.h"

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kVTECeventTable;
}  // namespace

VTECevent* GetVTECevent(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where);
}

VTECevent* SelectVTECevent(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where);
}

int SelectVTECeventCount(const char* where) {
    return dbaccess::count(table, state, where);
}

int PutVTECevent(const VTECevent* record) {
    return dbaccess::insert(table, state, "Put", record);
}

int InsertVTECevent(const VTECevent* record) {
    return dbaccess::insert(table, state, "Insert", record);
}

int UpdateVTECevent(const VTECevent* record, const char* where) {
    return dbaccess::update(table, state, record, where);
}

int DeleteVTECevent(const char* where) {
    return dbaccess::remove(table, state, where);
}

int UpdateVTECeventByRecord(const VTECevent* newRecord, const VTECevent* oldRecord) {
    return dbaccess::updateByRecord(table, state, newRecord, oldRecord);
}

int InsertOrUpdateVTECevent(const VTECevent* record) {
    return dbaccess::insertOrUpdate(table, state, record);
}

int InsertIfUniqueVTECevent(const VTECevent* record, bool* inserted) {
    return dbaccess::insertIfUnique(table, state, record, inserted);
}

int DeleteVTECeventByRecord(const VTECevent* record) {
    return dbaccess::removeByRecord(table, state, record);
}

int VTECeventExists(const VTECevent* record) {
    return dbaccess::exists(table, state, record);
}

void GetVTECeventPrimaryKeyWhereString(const VTECevent* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::keyCondition(table, *record, buffer);
}

void FreeVTECevent(VTECevent* first) {
    dbaccess::detail::freeRecords(first);
}

DbStatus* GetVTECeventDbStatus() {
    return &state.status;
}

void SetVTECeventErrorLogging(int on) {
    state.errorLoggingOn = on;
}
