#include "DbmsAccess.h"

#include <cstdio>

#include "Esql.h"

int OpenDbms(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return 1;
    }
    char target[512];
    std::snprintf(target, sizeof target, "%s", name);
    esql::connect(target);
    if (esql::sqlcode() < 0) {
        std::fprintf(stderr, "Unable to open database %s - (%ld)\n", name, esql::sqlcode());
        return 2;
    }
    return 0;
}

int CloseDbms() {
    esql::disconnect();
    return esql::sqlcode() < 0 ? 3 : 0;
}
