#include "VTECevent.h"

#include "TableDescriptors.h"
#include "TableStatements.h"

// Every entry point passes its own line: the runtime's messages name it.

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kVTECeventTable;
}  // namespace

VTECevent* GetVTECevent(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, esql::Where::current());
}

VTECevent* GetVTECeventFirst(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, esql::Where::current(), {},
                            1);
}

VTECevent* SelectVTECevent(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where, esql::Where::current());
}

int SelectVTECeventCount(const char* where) {
    return dbaccess::count(table, state, where, esql::Where::current());
}

int PutVTECevent(const VTECevent* record) {
    return dbaccess::insert(table, state, "Put", record, esql::Where::current());
}

int InsertVTECevent(const VTECevent* record) {
    return dbaccess::insert(table, state, "Insert", record, esql::Where::current());
}

int UpdateVTECevent(const VTECevent* record, const char* where) {
    return dbaccess::update(table, state, record, where, esql::Where::current());
}

int DeleteVTECevent(const char* where) {
    return dbaccess::remove(table, state, where, esql::Where::current());
}

int UpdateVTECeventByRecord(const VTECevent* new_record, const VTECevent* old_record) {
    return dbaccess::update_by_record(table, state, new_record, old_record, esql::Where::current());
}

int InsertOrUpdateVTECevent(const VTECevent* record) {
    return dbaccess::insert_or_update(table, state, record, esql::Where::current());
}

int InsertIfUniqueVTECevent(const VTECevent* record, bool* inserted) {
    return dbaccess::insert_if_unique(table, state, record, inserted, esql::Where::current());
}

int DeleteVTECeventByRecord(const VTECevent* record) {
    return dbaccess::remove_by_record(table, state, record, esql::Where::current());
}

int VTECeventExists(const VTECevent* record) {
    return dbaccess::exists(table, state, record, esql::Where::current());
}

void GetVTECeventPrimaryKeyWhereString(const VTECevent* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::key_condition(table, *record, buffer);
}

void FreeVTECevent(VTECevent* first) {
    dbaccess::detail::free_records(first);
}

DbStatus* GetVTECeventDbStatus() {
    return &state.status;
}

void SetVTECeventErrorLogging(int on) {
    state.error_logging_on = on;
}
