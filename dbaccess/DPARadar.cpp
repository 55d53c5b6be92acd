#include "DPARadar.h"

#include "TableDescriptors.h"
#include "TableStatements.h"

// Every entry point passes its own line: the runtime's messages name it.

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kDPARadarTable;
}  // namespace

DPARadar* GetDPARadar(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, esql::Where::current());
}

DPARadar* GetDPARadarWithCutNames(const char* where, std::vector<bool>& cut) {
    constexpr std::size_t kGridFilename = dbaccess::column_index(table, "grid_filename");
    static_assert(kGridFilename < dbaccess::kDPARadarTable.column_count);
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, esql::Where::current(),
                            {kGridFilename, &cut});
}

DPARadar* SelectDPARadar(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where, esql::Where::current());
}

int SelectDPARadarCount(const char* where) {
    return dbaccess::count(table, state, where, esql::Where::current());
}

int PutDPARadar(const DPARadar* record) {
    return dbaccess::insert(table, state, "Put", record, esql::Where::current());
}

int InsertDPARadar(const DPARadar* record) {
    return dbaccess::insert(table, state, "Insert", record, esql::Where::current());
}

int UpdateDPARadar(const DPARadar* record, const char* where) {
    return dbaccess::update(table, state, record, where, esql::Where::current());
}

int DeleteDPARadar(const char* where) {
    return dbaccess::remove(table, state, where, esql::Where::current());
}

int UpdateDPARadarByRecord(const DPARadar* new_record, const DPARadar* old_record) {
    return dbaccess::update_by_record(table, state, new_record, old_record, esql::Where::current());
}

int InsertOrUpdateDPARadar(const DPARadar* record) {
    return dbaccess::insert_or_update(table, state, record, esql::Where::current());
}

int InsertIfUniqueDPARadar(const DPARadar* record, bool* inserted) {
    return dbaccess::insert_if_unique(table, state, record, inserted, esql::Where::current());
}

int DeleteDPARadarByRecord(const DPARadar* record) {
    return dbaccess::remove_by_record(table, state, record, esql::Where::current());
}

int DPARadarExists(const DPARadar* record) {
    return dbaccess::exists(table, state, record, esql::Where::current());
}

void GetDPARadarPrimaryKeyWhereString(const DPARadar* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::key_condition(table, *record, buffer);
}

void FreeDPARadar(DPARadar* first) {
    dbaccess::detail::free_records(first);
}

DbStatus* GetDPARadarDbStatus() {
    return &state.status;
}

void SetDPARadarErrorLogging(int on) {
    state.error_logging_on = on;
}
