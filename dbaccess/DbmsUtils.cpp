#include "DbmsUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Esql.h"

void initDbStatus(DbStatus* status) {
    const sqlca_t& ca = esql::area();
    status->rowsAffected = static_cast<int>(ca.sqlerrd[2]);
    std::memcpy(status->sqlState, ca.sqlstate, 5);
    status->sqlState[5] = '\0';
    status->sqlCode = static_cast<int>(ca.sqlcode);
    const int len = ca.sqlerrm.sqlerrml;
    const int bounded = len < 0 ? 0 : (len > 256 ? 256 : len);
    std::snprintf(status->errorMessage, sizeof status->errorMessage, "%.*s",
                  std::min(bounded, static_cast<int>(sizeof ca.sqlerrm.sqlerrmc)),
                  ca.sqlerrm.sqlerrmc);
}

void setDbStatusRowsAffected(DbStatus* status, int rows) { status->rowsAffected = rows; }

void setDbStatusSqlCommand(DbStatus* status, int command) { status->sqlCommand = command; }

int IsNull(int type, const void* value) {
    if (type > TIMESTAMP) {
        return -1;
    }
    return ECPGis_noind_null(static_cast<ECPGttype>(type), value) ? 1 : 0;
}

int SetNull(int type, void* value) {
    if (type > TIMESTAMP) {
        return -1;
    }
    ECPGset_noind_null(static_cast<ECPGttype>(type), value);
    return 0;
}

int indicatesNull(int indicator) { return indicator < 0 ? 1 : 0; }

int setNullIfIndicated(int indicator, int type, void* value) {
    return indicatesNull(indicator) ? SetNull(type, value) : 0;
}

int getIndicator(int type, const void* value) { return IsNull(type, value) == 0 ? 0 : -1; }
