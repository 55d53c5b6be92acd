#include "Location.h"

#include "TableDescriptors.h"
#include "TableStatements.h"

// Every entry point passes its own line: the runtime's messages name it.

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kLocationTable;
}  // namespace

Location* GetLocation(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, esql::Where::current());
}

Location* GetLocationWithCutLids(const char* where, std::vector<bool>& cut) {
    constexpr std::size_t kLid = dbaccess::column_index(table, "lid");
    static_assert(kLid < dbaccess::kLocationTable.column_count);
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, esql::Where::current(),
                            {kLid, &cut});
}

Location* SelectLocation(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where, esql::Where::current());
}

int SelectLocationCount(const char* where) {
    return dbaccess::count(table, state, where, esql::Where::current());
}

int PutLocation(const Location* record) {
    return dbaccess::insert(table, state, "Put", record, esql::Where::current());
}

int InsertLocation(const Location* record) {
    return dbaccess::insert(table, state, "Insert", record, esql::Where::current());
}

int UpdateLocation(const Location* record, const char* where) {
    return dbaccess::update(table, state, record, where, esql::Where::current());
}

int DeleteLocation(const char* where) {
    return dbaccess::remove(table, state, where, esql::Where::current());
}

int UpdateLocationByRecord(const Location* new_record, const Location* old_record) {
    return dbaccess::update_by_record(table, state, new_record, old_record, esql::Where::current());
}

int InsertOrUpdateLocation(const Location* record) {
    return dbaccess::insert_or_update(table, state, record, esql::Where::current());
}

int InsertIfUniqueLocation(const Location* record, bool* inserted) {
    return dbaccess::insert_if_unique(table, state, record, inserted, esql::Where::current());
}

int DeleteLocationByRecord(const Location* record) {
    return dbaccess::remove_by_record(table, state, record, esql::Where::current());
}

int LocationExists(const Location* record) {
    return dbaccess::exists(table, state, record, esql::Where::current());
}

void GetLocationPrimaryKeyWhereString(const Location* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::key_condition(table, *record, buffer);
}

void FreeLocation(Location* first) {
    dbaccess::detail::free_records(first);
}

DbStatus* GetLocationDbStatus() {
    return &state.status;
}

void SetLocationErrorLogging(int on) {
    state.error_logging_on = on;
}
