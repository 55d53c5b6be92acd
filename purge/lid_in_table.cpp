#include "lid_in_table.h"

#include <cstdio>
#include <string>

#include "Esql.h"

int lid_in_table(const char* table) {
    int count = 0;
    char query[512];
    const std::string name = esql::quoteDoubled(table);
    const int len = std::snprintf(query, sizeof query,
                                  "SELECT count(*) FROM   pg_attribute a,        pg_class     c "
                                  "WHERE  c.relname = '%s' AND    c.oid = a.attrelid AND    "
                                  "a.attname = 'lid';",
                                  name.c_str());
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof query) {
        std::printf("ERROR attempting to prepare in lid_in_table routine - table name too long\n");
        return 0;
    }

    esql::prepare("tid", query);
    if (esql::sqlcode() < 0) {
        std::printf("ERROR attempting to prepare in lid_in_table routine - sqlcode = %s\n",
                    esql::sqlstate().text);
        return 0;
    }
    esql::openPreparedCursor("declare tcur1  cursor with hold for ?", "tid");
    if (esql::sqlcode() < 0) {
        std::printf("ERROR attempting to open cursor in lid_in_table routine - sqlcode = %s\n",
                    esql::sqlstate().text);
        return 0;
    }
    // A failed fetch must not leave tcur1 open for the next user of the name.
    esql::CursorGuard guard("close tcur1");
    esql::exec(esql::Kind::Normal, "fetch tcur1", esql::none, esql::vars(count));
    if (esql::sqlcode() < 0) {
        std::printf("ERROR attempting to fetch cursor in lid_in_table routine - sqlcode = %s\n",
                    esql::sqlstate().text);
        return 0;
    }
    guard.release();
    esql::exec(esql::Kind::Normal, "close tcur1", esql::none, esql::none);
    if (esql::sqlcode() < 0) {
        std::printf("ERROR attempting to close cursor in lid_in_table routine - sqlcode = %s\n",
                    esql::sqlstate().text);
        return 0;
    }
    return count;
}
