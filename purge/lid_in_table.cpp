#include "lid_in_table.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "Esql.h"

int count_lid_columns(const char* table) {
    int count = 0;
    char query[768];
    const std::string_view whole(table);
    const std::size_t dot = whole.find('.');
    int len = 0;
    if (dot == std::string_view::npos) {
        const std::string name = esql::escaped(whole);
        len = std::snprintf(query, sizeof query,
                            "SELECT count(*) FROM   pg_attribute a,        pg_class     c "
                            "WHERE  c.relname = '%s' AND    c.oid = a.attrelid AND    "
                            "a.attname = 'lid';",
                            name.c_str());
    } else {
        const std::string schema = esql::escaped(whole.substr(0, dot));
        const std::string name = esql::escaped(whole.substr(dot + 1));
        len = std::snprintf(query, sizeof query,
                            "SELECT count(*) FROM   pg_attribute a,        pg_class     c,        "
                            "pg_namespace n WHERE  n.nspname = '%s' AND    c.relnamespace = "
                            "n.oid AND    c.relname = '%s' AND    c.oid = a.attrelid AND    "
                            "a.attname = 'lid';",
                            schema.c_str(), name.c_str());
    }
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof query) {
        std::printf("ERROR attempting to prepare in lid_in_table routine - table name too long\n");
        return -1;
    }

    esql::Result r = esql::prepare_on_client("tid", query);
    if (r.failed()) {
        std::printf("ERROR attempting to prepare in lid_in_table routine - sqlcode = %s\n",
                    r.state);
        return -1;
    }
    // Declaring sends nothing; a failed fetch leaves no cursor open for the next user of tcur1.
    esql::Cursor cursor("declare tcur1  cursor with hold for ?");
    r = cursor.open("tid");
    if (r.failed()) {
        std::printf("ERROR attempting to open cursor in lid_in_table routine - sqlcode = %s\n",
                    r.state);
        return -1;
    }
    r = cursor.fetch(esql::vars(count));
    // A count always has its row: a fetch that finds none read a cursor of that name that is not
    // this one (one left on a server session shared through a pooler), so the count is unknown.
    if (r.failed() || r.no_row()) {
        std::printf("ERROR attempting to fetch cursor in lid_in_table routine - sqlcode = %s\n",
                    r.state);
        return -1;
    }
    r = cursor.close();
    if (r.failed()) {
        std::printf("ERROR attempting to close cursor in lid_in_table routine - sqlcode = %s\n",
                    r.state);
        return -1;
    }
    return count;
}

int lid_in_table(const char* table) {
    const int count = count_lid_columns(table);
    return count < 0 ? 0 : count;
}
