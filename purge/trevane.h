#pragma once

#include <pgtypes_timestamp.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "run_metrics.h"

// State of one purge run, owned by the driver for the life of the process.
struct RunState {
    const char* process = "trevane";  // name under which the run is recorded in PerfLog
    std::time_t start_seconds = 0;
    timestamp start_time = 0;       // local wall-clock time at the start, for PerfLog
    int backup_retention = 0;       // 1: backup stations keep rows for num_hours_backup
    char office_hsa[6] = "";        // hsa of the Admin row, read when backup_retention is set
    int tables_processed = 0;       // PurgeDynData rows fetched
    std::int64_t rows_deleted = 0;  // rows deleted by the time-based purge, all tables
    int elapsed_seconds = 0;        // from the start to the end time, for PerfLog
    std::string metrics_file;       // token trevane_metrics_file: written at the end when set
    std::string database;           // the database the run opens, as the session names it
    // Backup retention was asked for, but the office hsa could not be read: Admin is empty
    // (num_hours_host for every row) or could not be read (office_hsa_unread).
    bool retention_fallback = false;
    // Reading Admin failed: with backup retention on, every station keeps its rows back to the
    // earlier of the host and backup cutoffs.
    bool office_hsa_unread = false;
    // A preview (--preview or the token trevane_preview): every pass counts what it would delete
    // and deletes nothing.
    bool preview = false;
    bool preview_by_token = false;  // the token trevane_preview asked for the preview
    RunFigures figures;             // what the passes did, for the metrics file
};

// Runs one purge from start to end (a preview when `preview` is set, or the token asks for one)
// and returns the process's exit status.
int trevane_run(bool preview = false);

// Decides the retention mode from the token trevane_backup_retention_use (and, for backup
// retention, the office hsa from Admin), reporting the decision.
void decide_retention(RunState& run);

// Deletes, table by table, the rows older than the retention recorded in PurgeDynData and
// prints the report. Stops the run (stop_run()) on the failures that end it.
void purge_tables(RunState& run);

// Cleans a name in place: keeps only graphic characters, lower-cased.
void lower_trim(char* text);

// True when a token value switches a feature on: exactly "ON" or exactly "on".
bool token_is_on(const char* value);

// Reads a token into `reply` (512 bytes); empty when it is not set.
void read_token(const char* name, char* reply);
