#include "DPARadar.h"

#include "TableDescriptors.h"

namespace {
dbaccess::ModuleState state;
const auto& table = dbaccess::kDPARadarTable;
}  // namespace

DPARadar* GetDPARadar(const char* where) {
    return dbaccess::select(table, state, dbaccess::kGetCursor, where);
}

DPARadar* GetDPARadarWithCutNames(const char* where, std::vector<bool>& cut) {
    constexpr std::size_t kGridFilename =
        dbaccess::columnIndex(dbaccess::kDPARadarTable, "grid_filename");
    static_assert(kGridFilename < dbaccess::kDPARadarTable.columnCount);
    return dbaccess::select(table, state, dbaccess::kGetCursor, where, {kGridFilename, &cut});
}

DPARadar* SelectDPARadar(const char* where) {
    return dbaccess::select(table, state, dbaccess::kSelectCursor, where);
}

int SelectDPARadarCount(const char* where) {
    return dbaccess::count(table, state, where);
}

int PutDPARadar(const DPARadar* record) {
    return dbaccess::insert(table, state, "Put", record);
}

int InsertDPARadar(const DPARadar* record) {
    return dbaccess::insert(table, state, "Insert", record);
}

int UpdateDPARadar(const DPARadar* record, const char* where) {
    return dbaccess::update(table, state, record, where);
}

int DeleteDPARadar(const char* where) {
    return dbaccess::remove(table, state, where);
}

int UpdateDPARadarByRecord(const DPARadar* newRecord, const DPARadar* oldRecord) {
    return dbaccess::updateByRecord(table, state, newRecord, oldRecord);
}

int InsertOrUpdateDPARadar(const DPARadar* record) {
    return dbaccess::insertOrUpdate(table, state, record);
}

int InsertIfUniqueDPARadar(const DPARadar* record, bool* inserted) {
    return dbaccess::insertIfUnique(table, state, record, inserted);
}

int DeleteDPARadarByRecord(const DPARadar* record) {
    return dbaccess::removeByRecord(table, state, record);
}

int DPARadarExists(const DPARadar* record) {
    return dbaccess::exists(table, state, record);
}

void GetDPARadarPrimaryKeyWhereString(const DPARadar* record, char* buffer) {
    if (record == nullptr || buffer == nullptr) {
        return;
    }
    dbaccess::keyCondition(table, *record, buffer);
}

void FreeDPARadar(DPARadar* first) {
    dbaccess::detail::freeRecords(first);
}

DbStatus* GetDPARadarDbStatus() {
    return &state.status;
}

void SetDPARadarErrorLogging(int on) {
    state.errorLoggingOn = on;
}
