#pragma once

#include <pgtypes_timestamp.h>

#include <optional>
#include <string>
#include <vector>

// Removes the radar grid files of the DPARadar rows older than `cutoff` (timestamp text) whose
// maxvald is above 0. Acts only when `table` is exactly "dparadar".
void delete_files(const char* table, const char* cutoff);

struct RunState;

// The grid files of the expiring DPARadar rows, read just before those rows are deleted.
struct GridFiles {
    struct File {
        std::string name;
        bool cut = false;       // longer than its field: what arrived may name another file
        timestamp obstime = 0;  // of its row
    };
    std::string where;  // the selection clause, for the error reports
    std::vector<File> files;
};

// Reads the grid files of the DPARadar rows older than `cutoff` whose maxvald is above 0, when
// `table` is exactly "dparadar"; none for any other table or when the read fails.
GridFiles find_grid_files(const char* table, const char* cutoff);

// Removes the files found (a preview names them), once the delete of their rows has succeeded:
// a file whose row stays is never removed. When the rows went by an earlier cutoff than the one
// the files were found by, `rows_before`, the files of the rows at or after it stay. No file goes
// once the run stops. Files that stay are counted as not removed.
void remove_grid_files(RunState& run, const GridFiles& found,
                       std::optional<timestamp> rows_before = std::nullopt);

// Counts the files found as not removed: the delete of their rows failed, and they stay with
// their rows for the next run.
void keep_grid_files(RunState& run, const GridFiles& found);

// Removes `directory`/`filename`; a failure is reported with the selection clause `where`. A
// name that arrived `cut` is reported and left alone, as is one that is no plain file name.
void delete_file(RunState& run, const char* directory, const char* filename, const char* where,
                 bool cut);
