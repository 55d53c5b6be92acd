#pragma once

#include <pgtypes_timestamp.h>

#include <optional>
#include <string>
#include <vector>

#include "pending_grid_files.h"

struct RunState;

// The grid files of the expiring DPARadar rows, read just before those rows are deleted.
struct GridFiles {
    struct File {
        std::string name;
        bool cut = false;       // longer than its field: what arrived may name another file
        timestamp obstime = 0;  // of its row
    };
    bool radar = false;        // the table is DPARadar, whose rows name grid files
    bool read_failed = false;  // the read of the expiring rows failed: they must stay
    std::string failed_state;  // its SQLSTATE
    std::string where;         // the selection clause, for the error reports
    std::string directory;     // dpa_grid_dir, read once rows are found; empty when it is unset
    std::vector<File> files;
    // The list of files whose rows are being deleted (in the state directory, when there is
    // one), and the files on it that earlier runs left.
    std::optional<std::string> pending_list;
    std::vector<PendingGridFile> left_over;
    bool listed = false;  // the list is on disk
};

// Reads the grid files of the DPARadar rows older than `cutoff` whose maxvald is above 0, when
// `table` is exactly "dparadar"; none for any other table. A failed read says so in
// `read_failed`.
GridFiles find_grid_files(const char* table, const char* cutoff);

// Just before the delete of the radar rows: puts the files found on the pending list, with the
// ones earlier runs left there, durably. False after one line when the list cannot be read or
// written: the rows then stay, with their files. Does nothing for another table, in a preview and
// without a state directory.
bool list_pending_grid_files(RunState& run, GridFiles& found);

// Once the delete of their rows has succeeded, which took every row older than
// `rows_gone_before`: removes the files found (a preview names them) and the left-over files of
// the pending list whose rows were that old, then updates the list. A file whose row may stay is
// never removed. The removals go on when a stop has been asked for: the rows are gone already.
// Files kept on purpose count as not removed; a removal that fails counts as a failure.
void remove_grid_files(RunState& run, GridFiles& found, timestamp rows_gone_before);

// Counts the files found as not removed: the delete of their rows failed or did not run, and
// they stay with their rows (and on the pending list) for the next run.
void keep_grid_files(RunState& run, const GridFiles& found);

// What became of one grid file.
enum class GridFileOutcome {
    Removed,  // removed, or already gone
    Kept,     // left alone on purpose, reported
    Failed,   // the removal failed, reported with its reason
};

// Removes `directory`/`filename`; a failure is reported with the selection clause `where`. A
// name that arrived `cut` is reported and left alone, as is one that is no plain file name.
GridFileOutcome delete_file(RunState& run, const char* directory, const char* filename,
                            const char* where, bool cut);
