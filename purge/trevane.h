#pragma once

#include <pgtypes_timestamp.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "run_metrics.h"

// How the time-based purge picks the cutoffs of a table; decided once per run.
enum class Retention {
    HostOnly,  // num_hours_host for every row
    Backup,    // the office's stations keep rows for num_hours_host, every other for
               // num_hours_backup
    // Backup retention was asked for, but reading Admin failed: no station can be told to be the
    // office's own or another's, so every station keeps its rows back to the earlier of the two.
    EarlierOfBoth,
};

// State of one purge run, owned by the driver for the life of the process.
struct RunState {
    const char* process = "trevane";  // name under which the run is recorded in PerfLog
    std::time_t start_seconds = 0;
    timestamp start_time = 0;  // local wall-clock time at the start, for PerfLog
    Retention retention = Retention::HostOnly;
    char office_hsa[6] = "";        // hsa of the Admin row, read for backup retention
    int tables_processed = 0;       // PurgeDynData rows fetched
    std::int64_t rows_deleted = 0;  // rows deleted by the time-based purge, all tables
    int elapsed_seconds = 0;        // from the start to the end time, for PerfLog
    std::string metrics_file;       // token trevane_metrics_file: written at the end when set
    std::string database;           // the database the run opens, as the session names it
    // Backup retention was asked for, but the office hsa could not be read: Admin is empty
    // (HostOnly) or could not be read (EarlierOfBoth).
    bool retention_fallback = false;
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
