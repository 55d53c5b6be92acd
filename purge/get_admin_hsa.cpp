#include "get_admin_hsa.h"

#include <cstdio>

#include "Admin.h"
#include "Esql.h"

int get_admin_hsa(char* hsa) {
    Admin* admin = GetAdmin("");
    if (esql::sqlcode() != 0) {
        std::printf("Informix error %ld/%ld attempting select from Admin table\n", esql::sqlcode(),
                    esql::area().sqlerrd[1]);
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
