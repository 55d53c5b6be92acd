#pragma once

// Removes the radar grid files of the DPARadar rows older than `cutoff` (timestamp text) whose
// maxvald is above 0, before the time-based purge deletes those rows. Acts only when `table`
// is exactly "dparadar".
void delete_files(const char* table, const char* cutoff);

struct RunState;
// The same within a run: a preview names the files instead of removing them, and the figures go
// to the run's state.
void delete_grid_files(RunState& run, const char* table, const char* cutoff);

// Removes `directory`/`filename`; a failure is reported with the selection clause `where`. A
// name that arrived `cut` is reported and left alone, as is one that is no plain file name.
void delete_file(RunState& run, const char* directory, const char* filename, const char* where,
                 bool cut);
