#include "LoadUnique.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Esql.h"
#include "TableStatements.h"

namespace {

// Room for a value in a record: its characters and the terminator.
constexpr std::size_t kValueSize = sizeof(DistinctValue::text);

// Counts "||" from the left, resuming after each match.
int count_joins(const char* field) {
    int n = 0;
    for (const char* p = std::strstr(field, "||"); p != nullptr; p = std::strstr(p + 2, "||")) {
        ++n;
    }
    return n;
}

// Frees a text on every way out.
struct Owned {
    char* p;
    ~Owned() { std::free(p); }
};

// The four lines of a failed step of the cursor, and what was asked.
void report_cursor_failure(const char* step, const esql::Result& r, const char* table,
                           const char* where, const std::string& statement) {
    std::fprintf(stderr, "LoadUnique: error in %s (%ld)\n", step, r.code);
    std::fprintf(stderr, "LoadUnique: error in %s (%s)\n", step, r.message.c_str());
    std::fprintf(stderr, "LoadUnique: error in %s (%s)\n", step, r.state);
    std::fprintf(stderr, " table=%s:where=%s:sqlstmt=%s\n", table, where, statement.c_str());
}

// LoadUnique, with one flag per value when `too_long` is given; without, a value cut to the
// record is reported on standard error.
DistinctValue* load_unique(const char* field, const char* table, const char* where, int* count,
                           std::vector<bool>* too_long) {
    if (too_long != nullptr) {
        too_long->clear();
    }
    int ignored = 0;
    int& n = count != nullptr ? *count : ignored;
    if (field == nullptr) {
        field = "";
    }
    if (table == nullptr) {
        table = "";
    }
    if (where == nullptr) {
        where = "";
    }

    Owned separator{static_cast<char*>(std::malloc(4))};
    if (separator.p == nullptr) {
        std::fprintf(stderr,
                     "LoadUnique: could not allocate %d bytes of memory for\nthe delimiter "
                     "string.\n",
                     4);
        n = -1;
        return nullptr;
    }
    std::snprintf(separator.p, 4, "'%s'", "|");

    const std::size_t joined_size =
        std::strlen(field) + 6 * static_cast<std::size_t>(count_joins(field)) + 1;
    Owned joined{static_cast<char*>(std::calloc(joined_size, 1))};
    if (joined.p == nullptr) {
        std::fprintf(stderr, "LoadUnique: could not allocate %d bytes of memory for\npNewField.\n",
                     static_cast<int>(joined_size));
        n = -1;
        return nullptr;
    }
    // geoid||office_id becomes geoid||'|'||office_id: the database puts "|" between the values.
    {
        char* out = joined.p;
        const char* rest = field;
        for (const char* p = std::strstr(rest, "||"); p != nullptr; p = std::strstr(rest, "||")) {
            const std::size_t up_to = static_cast<std::size_t>(p - rest) + 2;
            std::memcpy(out, rest, up_to);
            out += up_to;
            std::memcpy(out, separator.p, 3);
            out += 3;
            std::memcpy(out, "||", 2);
            out += 2;
            rest += up_to;
        }
        std::strcpy(out, rest);
    }

    const std::string statement =
        std::string(" SELECT DISTINCT ") + joined.p + " FROM " + table + " " + where + " ";

    const esql::Result prepared = esql::prepare_on_client("selectid", statement.c_str());
    if (prepared.failed()) {
        std::fprintf(stderr, "LoadUnique: error in prepare statement (%ld)\n", prepared.code);
        n = -1;
        return nullptr;
    }
    esql::Cursor cursor("declare selectcur cursor with hold for ?");
    const esql::Result opened = cursor.open("selectid");
    if (opened.failed()) {
        report_cursor_failure("open cursor", opened, table, where, statement);
        n = -3;
        return nullptr;
    }

    // Fetched whole, so that a value longer than the record's text is told apart; a NULL value
    // arrives as the empty text.
    esql::FixedText<kValueSize> value(esql::Trim::Keep, esql::OnNull::Empty);
    const esql::Options lenient{.force_indicator = false};
    dbaccess::detail::RecordList<DistinctValue> result;
    int values = 0;
    for (;;) {
        const esql::Result fetched = cursor.fetch(esql::vars(value.var()), lenient);
        if (fetched.no_row()) {
            break;
        }
        if (fetched.code != 0) {
            // A value that could not be read ends nothing early: the whole list is refused.
            report_cursor_failure("fetch", fetched, table, where, statement);
            if (too_long != nullptr) {
                too_long->clear();
            }
            n = -4;
            return nullptr;
        }
        auto* rec = static_cast<DistinctValue*>(std::calloc(1, sizeof(DistinctValue)));
        if (rec == nullptr) {
            break;
        }
        const bool cut = !value.fits();
        std::snprintf(rec->text, sizeof rec->text, "%.*s", static_cast<int>(kValueSize - 1),
                      value.c_str());
        if (too_long != nullptr) {
            too_long->push_back(cut);
        } else if (cut) {
            std::fprintf(stderr, "LoadUnique: value longer than %d characters cut to (%s)\n",
                         static_cast<int>(kValueSize - 1), rec->text);
        }
        result.add(rec);
        ++values;
    }
    cursor.close();
    n = values;
    return result.release();
}

}  // namespace

DistinctValue* LoadUnique(const char* field, const char* table, const char* where, int* count) {
    return load_unique(field, table, where, count, nullptr);
}

DistinctValue* LoadUniqueChecked(const char* field, const char* table, const char* where,
                                 int* count, std::vector<bool>& too_long) {
    return load_unique(field, table, where, count, &too_long);
}

char** ParseUnique(const DistinctValue* record, int* count) {
    int ignored = 0;
    int& n = count != nullptr ? *count : ignored;
    n = 0;
    if (record == nullptr) {
        return nullptr;
    }

    const char* text = record->text;
    const std::size_t length = strnlen(text, sizeof record->text);
    int fields = 1;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '|') {
            ++fields;
        }
    }

    auto** array = static_cast<char**>(std::malloc(sizeof(char*) * (fields + 1)));
    if (array == nullptr) {
        std::fprintf(stderr,
                     "ParseUnique: could not allocate %d bytes of\nmemory for array of fields.\n",
                     4 * fields);
        return nullptr;
    }
    const char* start = text;
    const char* end = text + length;
    for (int i = 0; i < fields; ++i) {
        const char* bar = static_cast<const char*>(std::memchr(start, '|', end - start));
        const char* stop = bar != nullptr ? bar : end;
        const std::size_t len = static_cast<std::size_t>(stop - start);
        array[i] = static_cast<char*>(std::calloc(len + 1, 1));
        if (array[i] == nullptr) {
            std::fprintf(stderr,
                         "ParseUnique: could not allocate %d bytes\nfor element %d of the array "
                         "of fields.\n",
                         static_cast<int>(len), i);
            array[i] = nullptr;
            FreeParseUnique(array);
            return nullptr;
        }
        std::memcpy(array[i], start, len);
        start = stop + (bar != nullptr ? 1 : 0);
    }
    array[fields] = nullptr;
    n = fields;
    return array;
}

void FreeUnique(DistinctValue* first) {
    dbaccess::detail::free_records(first);
}

void FreeParseUnique(char** fields) {
    if (fields == nullptr) {
        return;
    }
    for (char** p = fields; *p != nullptr; ++p) {
        std::free(*p);
        *p = nullptr;
    }
    std::free(fields);
}
