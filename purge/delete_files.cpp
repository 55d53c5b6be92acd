#include "delete_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "DPARadar.h"
#include "Esql.h"
#include "List.h"
#include "get_apps_defaults.h"
#include "run_control.h"
#include "run_metrics.h"
#include "trevane.h"

namespace {

// A grid file name that names something other than a file inside the grid directory.
bool unsafe_file_name(std::string_view name) {
    return name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos;
}

void report_failure(RunState& run, const std::string& path, const char* why, const char* where) {
    std::printf("ERROR - Can't delete file %s %s\n", path.c_str(), why);
    std::printf("   (where clause: %s)\n", where);
    run.figures.note_grid_file_not_removed();
}

}  // namespace

void delete_file(RunState& run, const char* directory, const char* filename, const char* where,
                 bool cut) {
    const std::string path = std::string(directory) + "/" + filename;
    if (cut) {
        // What is left of a cut name may name another file.
        report_failure(run, path, "(name longer than its field; left alone)", where);
        run.figures.note_key_left_alone("grid_files");
        return;
    }
    if (filename[0] == '\0') {
        // No name: the path names the directory itself, which is never removed.
        report_failure(run, path, "", where);
        return;
    }
    if (unsafe_file_name(filename)) {
        report_failure(run, path, "(not a plain file name; left alone)", where);
        return;
    }
    if (run.preview) {
        std::printf("   would remove %s\n", path.c_str());
        run.figures.note_grid_file_removed();
        return;
    }
    if (unlink(path.c_str()) != 0) {
        report_failure(run, path, "", where);
    } else {
        run.figures.note_grid_file_removed();
    }
}

void delete_files(const char* table, const char* cutoff) {
    RunState run;
    remove_grid_files(run, find_grid_files(table, cutoff));
}

GridFiles find_grid_files(const char* table, const char* cutoff) {
    GridFiles found;
    if (std::strcmp(table, "dparadar") != 0) {
        return found;
    }
    found.where = " WHERE obstime < '" + esql::escaped(cutoff) + "' AND maxvald > 0.0 ";
    std::vector<bool> cut;
    DPARadar* head = GetDPARadarWithCutNames(found.where.c_str(), cut);
    if (head == nullptr) {
        return found;
    }
    const int count = ListCount(&head->list);
    Node* node = ListFirst(&head->list);
    for (int i = 0; i < count && node != nullptr; ++i, node = ListNext(node)) {
        const bool name_cut = static_cast<std::size_t>(i) < cut.size() && cut[i];
        const auto* row = reinterpret_cast<const DPARadar*>(node);
        found.files.push_back({row->grid_filename, name_cut, row->obstime});
    }
    FreeDPARadar(head);
    return found;
}

void remove_grid_files(RunState& run, const GridFiles& found,
                       std::optional<timestamp> rows_before) {
    if (found.files.empty()) {
        return;
    }
    char directory[512] = "";
    const char request[] = "dpa_grid_dir";
    int len = static_cast<int>(sizeof request - 1);
    get_apps_defaults(request, &len, directory, &len);
    if (directory[0] == '\0') {
        std::printf("Radar grid files are not removed: the token dpa_grid_dir is not set.\n");
        keep_grid_files(run, found);
        return;
    }

    for (const GridFiles::File& file : found.files) {
        // No file goes once the run stops, nor one whose row the delete left.
        if (run_stop_requested() || (rows_before && !(file.obstime < *rows_before))) {
            run.figures.note_grid_file_not_removed();
            continue;
        }
        delete_file(run, directory, file.name.c_str(), found.where.c_str(), file.cut);
    }
}

void keep_grid_files(RunState& run, const GridFiles& found) {
    for (std::size_t i = 0; i < found.files.size(); ++i) {
        run.figures.note_grid_file_not_removed();
    }
}
