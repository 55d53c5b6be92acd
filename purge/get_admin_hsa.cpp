#include "get_admin_hsa.h"

#include <cstdio>
#include <string_view>

#include "Admin.h"

int get_admin_hsa(char* hsa) {
    Admin* admin = GetAdmin("");
    // The Admin module's status of its select: after a select that went through it holds the
    // no-more-rows code, so only a negative code is a failed read.
    const DbStatus& status = *GetAdminDbStatus();
    if (status.sqlCode < 0) {
        // The status record keeps no row identifier; it is 0 after a failed statement.
        std::printf("Informix error %ld/%ld attempting select from Admin table\n",
                    static_cast<long>(status.sqlCode), 0L);
        FreeAdmin(admin);
        return 1;
    }
    if (admin == nullptr) {
        return 2;
    }
    // An hsa column of type char(n) pads the value with blanks; the office's hsa is without them.
    std::string_view value(admin->hsa, strnlen(admin->hsa, sizeof admin->hsa));
    while (!value.empty() && value.back() == ' ') {
        value.remove_suffix(1);
    }
    std::snprintf(hsa, sizeof admin->hsa, "%.*s", static_cast<int>(value.size()), value.data());
    FreeAdmin(admin);
    return 0;
}
