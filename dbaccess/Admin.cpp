#include "Admin.h"

#include "TableDescriptors.h"

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kAdminTable;
}  // namespace

Admin* GetAdmin(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where);
}

Admin* SelectAdmin(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where);
}

int SelectAdminCount(const char* where) {
    return dbaccess::count(table, state, where);
}

int PutAdmin(const Admin* record) {
    return dbaccess::insert(table, state, "Put", record);
}

int InsertAdmin(const Admin* record) {
    return dbaccess::insert(table, state, "Insert", record);
}

int UpdateAdmin(const Admin* record, const char* where) {
    return dbaccess::update(table, state, record, where);
}

int DeleteAdmin(const char* where) {
    return dbaccess::remove(table, state, where);
}

int UpdateAdminByRecord(const Admin* newRecord, const Admin* oldRecord) {
    return dbaccess::updateByRecord(table, state, newRecord, oldRecord);
}

int InsertOrUpdateAdmin(const Admin* record) {
    return dbaccess::insertOrUpdate(table, state, record);
}

int InsertIfUniqueAdmin(const Admin* record, bool* inserted) {
    return dbaccess::insertIfUnique(table, state, record, inserted);
}

int DeleteAdminByRecord(const Admin* record) {
    return dbaccess::removeByRecord(table, state, record);
}

int AdminExists(const Admin* record) {
    return dbaccess::exists(table, state, record);
}

void GetAdminPrimaryKeyWhereString(const Admin* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::keyCondition(table, *record, buffer);
}

void FreeAdmin(Admin* first) {
    dbaccess::detail::freeRecords(first);
}

DbStatus* GetAdminDbStatus() {
    return &state.status;
}

void SetAdminErrorLogging(int on) {
    state.errorLoggingOn = on;
}
