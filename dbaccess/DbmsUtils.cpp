#include "DbmsUtils.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Esql.h"
#include "get_apps_defaults.h"

namespace {

// Fills the status from an outcome; the message is cut to the status's 256 characters.
void fill_status(DbStatus* status, long code, const char* state, long rows, const char* message,
                 std::size_t message_length) {
    status->rowsAffected = static_cast<int>(rows);
    std::memcpy(status->sqlState, state, 5);
    status->sqlState[5] = '\0';
    status->sqlCode = static_cast<int>(code);
    const std::size_t n = std::min(message_length, sizeof status->errorMessage - 1);
    std::memcpy(status->errorMessage, message, n);
    status->errorMessage[n] = '\0';
}

}  // namespace

void initDbStatus(DbStatus* status) {
    const sqlca_t& ca = esql::area();
    const int len = ca.sqlerrm.sqlerrml;
    const std::size_t bounded =
        len <= 0 ? 0
                 : strnlen(ca.sqlerrm.sqlerrmc,
                           std::min(static_cast<std::size_t>(len), sizeof ca.sqlerrm.sqlerrmc));
    fill_status(status, ca.sqlcode, ca.sqlstate, ca.sqlerrd[2], ca.sqlerrm.sqlerrmc, bounded);
}

namespace dbaccess {

void init_db_status(DbStatus* status, const esql::Result& outcome) {
    fill_status(status, outcome.code, outcome.state, outcome.rows, outcome.message.data(),
                outcome.message.size());
}

}  // namespace dbaccess

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
const char* look_up(const TableEntry (&entries)[N], char letter) {
    for (const TableEntry& e : entries) {
        if (e.letter == letter) {
            return e.table;
        }
    }
    return nullptr;
}

void set_name(char* table_name, const char* name) {
    std::snprintf(table_name, 17, "%s", name);
}

bool processed_stored_as_observed() {
    static const char token[] = "shef_procobs";
    const int request_len = static_cast<int>(sizeof token - 1);
    char reply[kAppsDefaultsReplySize] = "";
    int reply_len = 0;
    get_apps_defaults(token, &request_len, reply, &reply_len);
    reply[sizeof reply - 1] = '\0';
    return std::strcmp(reply, "ON") == 0 || std::strcmp(reply, "on") == 0;
}

}  // namespace

void getTableName(const char* pe, const char* ts, char* table_name) {
    if (pe == nullptr) {
        pe = "";
    }
    if (ts == nullptr) {
        ts = "";
    }
    if (table_name == nullptr) {
        return;
    }

    const char kind = ts[0];
    const bool observed = kind == 'R' || (kind == 'P' && processed_stored_as_observed());
    if (kind == 'P' && !observed) {
        set_name(table_name, "procvalue");
    } else if (kind == 'C') {
        set_name(table_name, "contingencyvalue");
    } else if (observed) {
        const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(pe[0])));
        const char* table = pe[0] == '\0' ? nullptr : look_up(kObservationTables, letter);
        if (table == nullptr) {
            std::printf("Error finding table name match for pe, ts = %s %s\n", pe, ts);
            set_name(table_name, "INVALID");
        } else if (pe[0] == 'P') {
            switch (pe[1]) {
                case 'A':
                case 'D':
                case 'E':
                case 'L':
                    set_name(table_name, "pressure");
                    break;
                case 'P':
                    set_name(table_name, "rawpp");
                    break;
                default:
                    set_name(table_name, "rawpc");
                    break;
            }
        } else {
            set_name(table_name, table);
        }
    } else if (kind == 'F') {
        const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(pe[0])));
        const char* table = pe[0] == '\0' ? nullptr : look_up(kForecastTables, letter);
        set_name(table_name, table != nullptr ? table : "fcstother");
    } else {
        std::printf("Invalid type-source specified for getTableName(): %s.\n", ts);
        std::printf("Error finding table name match for pe, ts = %s %s\n", pe, ts);
        set_name(table_name, "INVALID");
    }
}

namespace {

// Formats the value with the caller's format: through snprintf when the size is known. The
// caller's format is checked where it is written, against DataToString.
__attribute__((format(printf, 4, 0))) void format_value(char* out, std::size_t out_size,
                                                        bool bounded, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (bounded) {
        std::vsnprintf(out, out_size, format, args);
    } else {
        std::vsprintf(out, format, args);
    }
    va_end(args);
}

// What the one conversion of a printf format takes.
enum class FormatTakes { Int, Double, Other };

// The argument a format's conversions take: Int for exactly one of d, i, o, u, x, X (optionally
// with h or hh) or c, Double for exactly one of e, E, f, F, g, G, a, A (optionally with l), and
// Other for anything else: no conversion or more than one, a width or precision taken from an
// argument, a positional argument, another length or conversion. "%%" is no conversion.
FormatTakes format_takes(const char* format) {
    int conversions = 0;
    FormatTakes takes = FormatTakes::Other;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
            ++p;
        }
        while (digit(*p)) {
            ++p;
        }
        if (*p == '.') {
            ++p;
            while (digit(*p)) {
                ++p;
            }
        }
        int h = 0;
        int l = 0;
        for (; *p == 'h' || *p == 'l'; ++p) {
            (*p == 'h' ? h : l) += 1;
        }
        const char conversion = *p;
        if (conversion == '\0') {
            return FormatTakes::Other;
        }
        ++conversions;
        const bool integer = std::strchr("diouxX", conversion) != nullptr && h <= 2;
        if (l == 0 && (integer || (conversion == 'c' && h == 0))) {
            takes = FormatTakes::Int;
        } else if (std::strchr("eEfFgGaA", conversion) != nullptr && h == 0 && l <= 1) {
            takes = FormatTakes::Double;
        } else {
            return FormatTakes::Other;
        }
    }
    return conversions == 1 ? takes : FormatTakes::Other;
}

__attribute__((format(printf, 6, 0))) int data_to_string(const void* value, int type, char* out,
                                                         std::size_t out_size, bool bounded,
                                                         const char* format, const char* nullText) {
    if (value == nullptr || out == nullptr || (bounded && out_size == 0)) {
        return 0;
    }
    if (IsNull(type, value) == 1) {
        const char* text = nullText != nullptr ? nullText : "";
        if (bounded) {
            std::snprintf(out, out_size, "%s", text);
        } else {
            std::strcpy(out, text);
        }
        return 0;
    }
    if (format == nullptr) {
        return 0;
    }
    // A format that does not take the value's type would read an argument that is not there.
    const FormatTakes takes = format_takes(format);
    const bool integral = type == CHAR || type == SHORT || type == INT;
    const bool floating = type == FLOAT || type == DOUBLE;
    if ((integral && takes != FormatTakes::Int) || (floating && takes != FormatTakes::Double)) {
        return 0;
    }
    switch (type) {
        case CHAR:
            format_value(out, out_size, bounded, format,
                         static_cast<int>(*static_cast<const char*>(value)));
            return 1;
        case SHORT:
            format_value(out, out_size, bounded, format,
                         static_cast<int>(*static_cast<const short*>(value)));
            return 1;
        case INT:
            format_value(out, out_size, bounded, format, *static_cast<const int*>(value));
            return 1;
        case FLOAT:
            format_value(out, out_size, bounded, format,
                         static_cast<double>(*static_cast<const float*>(value)));
            return 1;
        case DOUBLE:
            format_value(out, out_size, bounded, format, *static_cast<const double*>(value));
            return 1;
        default:
            return 0;
    }
}

}  // namespace

int DataToString(const void* value, int type, char* out, const char* format, const char* nullText) {
    return data_to_string(value, type, out, 0, false, format, nullText);
}

int DataToString(const void* value, int type, char* out, std::size_t out_size, const char* format,
                 const char* nullText) {
    return data_to_string(value, type, out, out_size, true, format, nullText);
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
