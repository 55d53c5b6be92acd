#include "DbmsUtils.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Esql.h"
#include "get_apps_defaults.h"

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

void setDbStatusRowsAffected(DbStatus* status, int rows) {
    status->rowsAffected = rows;
}

void setDbStatusSqlCommand(DbStatus* status, int command) {
    status->sqlCommand = command;
}

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

int indicatesNull(int indicator) {
    return indicator < 0 ? 1 : 0;
}

int setNullIfIndicated(int indicator, int type, void* value) {
    return indicatesNull(indicator) ? SetNull(type, value) : 0;
}

int getIndicator(int type, const void* value) {
    return IsNull(type, value) == 0 ? 0 : -1;
}

namespace {

struct TableEntry {
    char letter;
    const char* table;
};

// Observation tables by the lower-cased first letter of the physical element.
constexpr TableEntry kObservationTables[] = {
    {'a', "agricultural"}, {'e', "evaporation"}, {'f', "fishcount"}, {'g', "ground"},
    {'h', "height"},       {'i', "ice"},         {'l', "lake"},      {'m', "moisture"},
    {'n', "gatedam"},      {'p', "precip"},      {'q', "discharge"}, {'r', "radiation"},
    {'s', "snow"},         {'t', "temperature"}, {'u', "wind"},      {'v', "power"},
    {'w', "waterquality"}, {'x', "weather"},     {'y', "yunique"},
};

// Forecast tables, indexed the same way; any other letter has "fcstother".
constexpr TableEntry kForecastTables[] = {
    {'h', "fcstheight"},
    {'p', "fcstprecip"},
    {'q', "fcstdischarge"},
    {'t', "fcsttemperature"},
};

template <std::size_t N>
const char* lookUp(const TableEntry (&entries)[N], char letter) {
    for (const TableEntry& e : entries) {
        if (e.letter == letter) {
            return e.table;
        }
    }
    return nullptr;
}

void setName(char* tableName, const char* name) {
    std::snprintf(tableName, 17, "%s", name);
}

bool processedStoredAsObserved() {
    static const char token[] = "shef_procobs";
    const int requestLen = static_cast<int>(sizeof token - 1);
    char reply[kAppsDefaultsReplySize] = "";
    int replyLen = 0;
    get_apps_defaults(token, &requestLen, reply, &replyLen);
    reply[sizeof reply - 1] = '\0';
    return std::strcmp(reply, "ON") == 0 || std::strcmp(reply, "on") == 0;
}

}  // namespace

void getTableName(const char* pe, const char* ts, char* tableName) {
    if (pe == nullptr) {
        pe = "";
    }
    if (ts == nullptr) {
        ts = "";
    }
    if (tableName == nullptr) {
        return;
    }

    const char kind = ts[0];
    const bool observed = kind == 'R' || (kind == 'P' && processedStoredAsObserved());
    if (kind == 'P' && !observed) {
        setName(tableName, "procvalue");
    } else if (kind == 'C') {
        setName(tableName, "contingencyvalue");
    } else if (observed) {
        const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(pe[0])));
        const char* table = pe[0] == '\0' ? nullptr : lookUp(kObservationTables, letter);
        if (table == nullptr) {
            std::printf("Error finding table name match for pe, ts = %s %s\n", pe, ts);
            setName(tableName, "INVALID");
        } else if (pe[0] == 'P') {
            switch (pe[1]) {
                case 'A':
                case 'D':
                case 'E':
                case 'L':
                    setName(tableName, "pressure");
                    break;
                case 'P':
                    setName(tableName, "rawpp");
                    break;
                default:
                    setName(tableName, "rawpc");
                    break;
            }
        } else {
            setName(tableName, table);
        }
    } else if (kind == 'F') {
        const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(pe[0])));
        const char* table = pe[0] == '\0' ? nullptr : lookUp(kForecastTables, letter);
        setName(tableName, table != nullptr ? table : "fcstother");
    } else {
        std::printf("Invalid type-source specified for getTableName(): %s.\n", ts);
        std::printf("Error finding table name match for pe, ts = %s %s\n", pe, ts);
        setName(tableName, "INVALID");
    }
}

namespace {

// Formats the value with the caller's format: through snprintf when the size is known. The
// caller's format is checked where it is written, against DataToString.
__attribute__((format(printf, 4, 0))) void formatValue(char* out, std::size_t outSize, bool bounded,
                                                       const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (bounded) {
        std::vsnprintf(out, outSize, format, args);
    } else {
        std::vsprintf(out, format, args);
    }
    va_end(args);
}

__attribute__((format(printf, 6, 0))) int dataToString(const void* value, int type, char* out,
                                                       std::size_t outSize, bool bounded,
                                                       const char* format, const char* nullText) {
    if (value == nullptr || out == nullptr || (bounded && outSize == 0)) {
        return 0;
    }
    if (IsNull(type, value) == 1) {
        const char* text = nullText != nullptr ? nullText : "";
        if (bounded) {
            std::snprintf(out, outSize, "%s", text);
        } else {
            std::strcpy(out, text);
        }
        return 0;
    }
    if (format == nullptr) {
        return 0;
    }
    switch (type) {
        case CHAR:
            formatValue(out, outSize, bounded, format,
                        static_cast<int>(*static_cast<const char*>(value)));
            return 1;
        case SHORT:
            formatValue(out, outSize, bounded, format,
                        static_cast<int>(*static_cast<const short*>(value)));
            return 1;
        case INT:
            formatValue(out, outSize, bounded, format, *static_cast<const int*>(value));
            return 1;
        case FLOAT:
            formatValue(out, outSize, bounded, format,
                        static_cast<double>(*static_cast<const float*>(value)));
            return 1;
        case DOUBLE:
            formatValue(out, outSize, bounded, format, *static_cast<const double*>(value));
            return 1;
        default:
            return 0;
    }
}

}  // namespace

int DataToString(const void* value, int type, char* out, const char* format, const char* nullText) {
    return dataToString(value, type, out, 0, false, format, nullText);
}

int DataToString(const void* value, int type, char* out, std::size_t outSize, const char* format,
                 const char* nullText) {
    return dataToString(value, type, out, outSize, true, format, nullText);
}

char* AllocateAndCopyTextValue(char* buffer, const char* text) {
    if (text == nullptr) {
        text = "";
    }
    const std::size_t size = std::strlen(text) + 1;
    char* block = static_cast<char*>(std::realloc(buffer, size));
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0, size);
    std::memcpy(block, text, size - 1);
    return block;
}
