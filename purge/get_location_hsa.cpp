#include "get_location_hsa.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "BinarySearch.h"
#include "List.h"
#include "Location.h"
#include "StringUtil.h"

namespace {

// One station: lid and hsa side by side, 13 bytes, searched with compare_char on the lid.
struct Station {
    char lid[9];
    char hsa[4];
};
static_assert(sizeof(Station) == 13);

// The station table, loaded at the first lookup and kept for the rest of the run.
int first = 1;
int nloc = 0;
std::vector<Station> ptloc;
bool read_failed = false;  // the load failed on a statement, not on an empty table

void load_stations(int* status, char* hsa) {
    std::vector<bool> cut;
    Location* head = GetLocationWithCutLids(" ORDER BY lid ", cut);
    read_failed = head == nullptr && GetLocationDbStatus()->sqlCode < 0;
    nloc = head ? ListCount(&head->list) : 0;
    ptloc.assign(static_cast<std::size_t>(nloc), Station{});
    if (head == nullptr) {
        *status = kLocationTableNotLoaded;
        std::snprintf(hsa, 4, "   ");
        return;
    }
    std::size_t i = 0;
    std::size_t row = 0;
    for (Node* n = ListFirst(&head->list); n != nullptr && i < ptloc.size(); n = ListNext(n)) {
        const auto* loc = reinterpret_cast<const Location*>(n);
        const bool lid_cut = row < cut.size() && cut[row];
        ++row;
        if (lid_cut) {
            // Cut to the field, it could pass for another station.
            std::printf("Location station %s... left out: its lid is longer than 8 characters\n",
                        loc->lid);
            continue;
        }
        std::snprintf(ptloc[i].lid, sizeof ptloc[i].lid, "%s", loc->lid);
        std::snprintf(ptloc[i].hsa, sizeof ptloc[i].hsa, "%s", loc->hsa);
        // char(n) columns pad their values; the lookup key has no trailing blanks.
        strip_tblanks(ptloc[i].lid);
        strip_tblanks(ptloc[i].hsa);
        ++i;
    }
    ptloc.resize(i);
    nloc = static_cast<int>(i);
    FreeLocation(head);
    // The database may sort lid by a collation other than byte order; the search needs strcmp
    // order, so every station is found whatever the database's collation.
    std::sort(ptloc.begin(), ptloc.end(),
              [](const Station& a, const Station& b) { return std::strcmp(a.lid, b.lid) < 0; });
}

}  // namespace

void get_location_hsa(char* lid, char* hsa, int* status) {
    *status = kLocationHsaOk;
    lid[8] = '\0';
    char key[9];
    std::snprintf(key, sizeof key, "%s", lid);
    strip_tblanks(key);

    if (first) {
        first = 0;
        load_stations(status, hsa);
        if (*status == kLocationTableNotLoaded) {
            return;
        }
    }

    const auto* found = static_cast<const Station*>(
        binary_search(ptloc.data(), key, nloc, sizeof(Station), compare_char));
    std::snprintf(hsa, 4, "%s", found ? found->hsa : "   ");
}

bool location_table_read_failed() {
    return read_failed;
}

void free_location_hsa_table() {
    std::vector<Station>().swap(ptloc);
    nloc = 0;
    first = 1;
    read_failed = false;
}
