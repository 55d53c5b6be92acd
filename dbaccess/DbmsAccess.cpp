#include "DbmsAccess.h"

#include <cstdio>

#include "Esql.h"

int OpenDbms(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return 1;
    }
    char target[512];
    std::snprintf(target, sizeof target, "%s", name);
    const esql::Result r = esql::connect(target);
    if (r.failed()) {
        std::fprintf(stderr, "Unable to open database %s - (%ld)\n", name, r.code);
        return 2;
    }
    return 0;
}

int CloseDbms() {
    return esql::disconnect().failed() ? 3 : 0;
}
