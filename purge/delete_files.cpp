#include "delete_files.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "DPARadar.h"
#include "Esql.h"
#include "List.h"
#include "run_metrics.h"
#include "state_directory.h"
#include "trevane.h"

namespace {

// A grid file name that names something other than a file inside the grid directory.
bool unsafe_file_name(std::string_view name) {
    return name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos;
}

void report_failure(const std::string& path, const char* why, const char* where) {
    std::printf("ERROR - Can't delete file %s %s\n", path.c_str(), why);
    std::printf("   (where clause: %s)\n", where);
}

void report_kept(RunState& run, const std::string& path, const char* why, const char* where) {
    report_failure(path, why, where);
    run.figures.note_grid_file_not_removed();
}

// The pending list could not be kept; `what` says what was being done.
void report_list_failure(RunState& run, const std::string& path, const char* what,
                         const std::string& error) {
    std::printf("ERROR - %s the list of pending radar grid files %s: %s\n", what, path.c_str(),
                error.c_str());
    run.figures.note_file_failure();
}

// The files of earlier runs whose rows were older than `rows_gone_before` go now; the entries
// that must wait for a later run are added to `still_pending`.
void remove_left_over(RunState& run, const GridFiles& found, timestamp rows_gone_before,
                      std::vector<PendingGridFile>& still_pending) {
    long removed = 0;
    for (const PendingGridFile& file : found.left_over) {
        if (!(file.obstime < rows_gone_before)) {
            still_pending.push_back(file);  // its row may still be there
            continue;
        }
        switch (look_at_listed_file(file)) {
            case ListedFile::Gone:
                continue;
            case ListedFile::Changed:
                std::printf(
                    "Radar grid file %s, listed by an earlier run, has changed since; left "
                    "alone\n",
                    file.path.c_str());
                run.figures.note_grid_file_not_removed();
                continue;
            case ListedFile::Same:
                break;
        }
        if (unlink(file.path.c_str()) == 0 || errno == ENOENT) {
            removed += 1;
            run.figures.note_grid_file_removed();
            continue;
        }
        const int error = errno;
        std::printf("ERROR - Can't delete file %s \n", file.path.c_str());
        std::printf("   (reason: %s)\n", std::strerror(error));
        std::printf("   (listed in %s by an earlier run)\n", found.pending_list->c_str());
        run.figures.note_file_failure();
        still_pending.push_back(file);
    }
    if (removed > 0) {
        std::printf("Removed %ld radar grid files whose rows an earlier run deleted\n", removed);
    }
}

}  // namespace

GridFileOutcome delete_file(RunState& run, const char* directory, const char* filename,
                            const char* where, bool cut) {
    const std::string path = std::string(directory) + "/" + filename;
    if (cut) {
        // What is left of a cut name may name another file.
        report_kept(run, path, "(name longer than its field; left alone)", where);
        run.figures.note_key_left_alone("grid_files");
        return GridFileOutcome::Kept;
    }
    if (filename[0] == '\0') {
        // No name: the path names the directory itself, which is never removed.
        report_kept(run, path, "", where);
        return GridFileOutcome::Kept;
    }
    if (unsafe_file_name(filename)) {
        report_kept(run, path, "(not a plain file name; left alone)", where);
        return GridFileOutcome::Kept;
    }
    if (run.preview) {
        std::printf("   would remove %s\n", path.c_str());
        run.figures.note_grid_file_removed();
        return GridFileOutcome::Removed;
    }
    // A file that is gone already is what the removal wants.
    if (unlink(path.c_str()) == 0 || errno == ENOENT) {
        run.figures.note_grid_file_removed();
        return GridFileOutcome::Removed;
    }
    const int error = errno;
    report_failure(path, "", where);
    std::printf("   (reason: %s)\n", std::strerror(error));
    run.figures.note_file_failure();
    return GridFileOutcome::Failed;
}

GridFiles find_grid_files(const char* table, const char* cutoff) {
    GridFiles found;
    if (std::strcmp(table, "dparadar") != 0) {
        return found;
    }
    found.radar = true;
    found.where = " WHERE obstime < '" + esql::escaped(cutoff) + "' AND maxvald > 0.0 ";
    std::vector<bool> cut;
    DPARadar* head = GetDPARadarWithCutNames(found.where.c_str(), cut);
    if (head == nullptr) {
        // No list: no such row, or the read failed, and then the rows must stay.
        const DbStatus* status = GetDPARadarDbStatus();
        if (status->sqlCode < 0) {
            found.read_failed = true;
            found.failed_state = status->sqlState;
        }
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
    char directory[512] = "";
    read_token("dpa_grid_dir", directory);
    found.directory = directory;
    return found;
}

bool list_pending_grid_files(RunState& run, GridFiles& found) {
    const std::optional<std::string> state = state_directory();
    if (!found.radar || run.preview || !state) {
        return true;
    }
    const std::string path = pending_list_path(*state);
    std::string error;
    std::optional<std::vector<PendingGridFile>> listed = read_pending_list(path, error);
    if (!listed) {
        report_list_failure(run, path, "Table dparadar left alone: can't read", error);
        return false;
    }
    std::vector<PendingGridFile> adding;
    if (!found.directory.empty()) {
        for (const GridFiles::File& file : found.files) {
            if (file.cut || unsafe_file_name(file.name)) {
                continue;  // never removed
            }
            PendingGridFile entry{found.directory + "/" + file.name, file.obstime};
            if (identify_grid_file(entry) == 0) {  // else there is nothing to leave behind
                adding.push_back(std::move(entry));
            }
        }
    }
    // A file found again replaces its entry of an earlier run.
    std::erase_if(*listed, [&adding](const PendingGridFile& old) {
        return std::any_of(adding.begin(), adding.end(),
                           [&old](const PendingGridFile& now) { return now.path == old.path; });
    });
    found.left_over = std::move(*listed);
    found.pending_list = path;
    found.listed = !found.left_over.empty();
    if (adding.empty()) {
        return true;  // the list on disk is as it was
    }
    std::vector<PendingGridFile> all = found.left_over;
    all.insert(all.end(), adding.begin(), adding.end());
    if (!write_pending_list(path, all, error)) {
        report_list_failure(run, path, "Table dparadar left alone: can't write", error);
        return false;
    }
    found.listed = true;
    return true;
}

void remove_grid_files(RunState& run, GridFiles& found, timestamp rows_gone_before) {
    std::vector<PendingGridFile> still_pending;
    if (found.files.empty()) {
        // nothing found by this run
    } else if (found.directory.empty()) {
        std::printf("Radar grid files are not removed: the token dpa_grid_dir is not set.\n");
        keep_grid_files(run, found);
    } else {
        for (const GridFiles::File& file : found.files) {
            // A row as recent as the cutoff of the delete may stay, and its file with it.
            if (!(file.obstime < rows_gone_before)) {
                run.figures.note_grid_file_not_removed();
                continue;
            }
            const GridFileOutcome outcome = delete_file(
                run, found.directory.c_str(), file.name.c_str(), found.where.c_str(), file.cut);
            PendingGridFile entry{found.directory + "/" + file.name, file.obstime};
            if (outcome == GridFileOutcome::Failed && identify_grid_file(entry) == 0) {
                still_pending.push_back(std::move(entry));  // a later run tries again
            }
        }
    }
    if (!found.listed) {
        return;
    }
    remove_left_over(run, found, rows_gone_before, still_pending);
    std::string error;
    if (!write_pending_list(*found.pending_list, still_pending, error)) {
        report_list_failure(run, *found.pending_list, "Can't update", error);
    }
}

void keep_grid_files(RunState& run, const GridFiles& found) {
    for (std::size_t i = 0; i < found.files.size(); ++i) {
        run.figures.note_grid_file_not_removed();
    }
}
