#include "Admin.h"

#include "TableDescriptors.h"
#include "TableStatements.h"

// Every entry point passes its own line: the runtime's messages name it.

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kAdminTable;
}  // namespace

Admin* GetAdmin(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, esql::Where::current());
}

Admin* SelectAdmin(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where, esql::Where::current());
}

int SelectAdminCount(const char* where) {
    return dbaccess::count(table, state, where, esql::Where::current());
}

int PutAdmin(const Admin* record) {
    return dbaccess::insert(table, state, "Put", record, esql::Where::current());
}

int InsertAdmin(const Admin* record) {
    return dbaccess::insert(table, state, "Insert", record, esql::Where::current());
}

int UpdateAdmin(const Admin* record, const char* where) {
    return dbaccess::update(table, state, record, where, esql::Where::current());
}

int DeleteAdmin(const char* where) {
    return dbaccess::remove(table, state, where, esql::Where::current());
}

int UpdateAdminByRecord(const Admin* new_record, const Admin* old_record) {
    return dbaccess::update_by_record(table, state, new_record, old_record, esql::Where::current());
}

int InsertOrUpdateAdmin(const Admin* record) {
    return dbaccess::insert_or_update(table, state, record, esql::Where::current());
}

int InsertIfUniqueAdmin(const Admin* record, bool* inserted) {
    return dbaccess::insert_if_unique(table, state, record, inserted, esql::Where::current());
}

int DeleteAdminByRecord(const Admin* record) {
    return dbaccess::remove_by_record(table, state, record, esql::Where::current());
}

int AdminExists(const Admin* record) {
    return dbaccess::exists(table, state, record, esql::Where::current());
}

void GetAdminPrimaryKeyWhereString(const Admin* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::key_condition(table, *record, buffer);
}

void FreeAdmin(Admin* first) {
    dbaccess::detail::free_records(first);
}

DbStatus* GetAdminDbStatus() {
    return &state.status;
}

void SetAdminErrorLogging(int on) {
    state.error_logging_on = on;
}
