#include "get_admin_hsa.h"

#include <cstdio>

#include "Admin.h"
#include "Esql.h"

int get_admin_hsa(char* hsa) {
    Admin* admin = GetAdmin("");
    // The status the runtime keeps of the last statement the select ran.
    const sqlca_t& last = esql::area();
    if (last.sqlcode != 0) {
        std::printf("Informix error %ld/%ld attempting select from Admin table\n", last.sqlcode,
                    last.sqlerrd[1]);
        FreeAdmin(admin);
        return 1;
    }
    if (admin == nullptr) {
        return 2;
    }
    std::snprintf(hsa, sizeof admin->hsa, "%s", admin->hsa);
    FreeAdmin(admin);
    return 0;
}
