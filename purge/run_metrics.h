#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

// The outcome of a run as a metrics file in the text exposition format, for a node exporter's
// textfile collector. The passes note their figures in the run's state next to their report
// lines; in a preview the figures are what would be removed. The driver writes the file at the
// end of the run.

// The figures the passes note during one run, next to their report lines.
struct RunFigures {
    std::map<std::string, long> table_rows;  // by table name, sorted for a stable file
    std::set<std::string> failed_tables;
    long grid_files_removed = 0;
    long grid_files_not_removed = 0;
    long product_versions_deleted = 0;
    long event_combinations = 0;
    std::map<std::string, long> keys_left_alone;  // by pass
    long file_failures = 0;  // grid files that could not be removed, a pending list not kept

    // The figure of one table of the time-based purge, as its report line shows it.
    void note_table_rows(const char* table, long rows) { table_rows[table] += rows; }
    // A table of the time-based purge whose delete failed.
    void note_table_failed(const char* table) { failed_tables.insert(table); }
    // A radar grid file removed, or one that could not be removed or was left alone.
    void note_grid_file_removed() { grid_files_removed += 1; }
    void note_grid_file_not_removed() { grid_files_not_removed += 1; }
    // A file operation that failed: it counts with the failed statements.
    void note_file_failure() { file_failures += 1; }
    // Text product versions deleted by one statement; a negative figure (unknown) is not
    // counted.
    void note_product_versions_deleted(long versions) {
        product_versions_deleted += versions > 0 ? versions : 0;
    }
    // One VTECevent combination handled.
    void note_event_combination() { event_combinations += 1; }
    // A key left alone because a value it depends on could not be trusted (a failed read, a
    // value longer than its field); `pass` is "tables", "products", "events" or "grid_files".
    void note_key_left_alone(const char* pass) { keys_left_alone[pass] += 1; }
};

// What the driver knows when the run ends.
struct RunEnd {
    double start_seconds = 0;  // since the epoch
    double end_seconds = 0;
    int exit_status = 0;
    bool preview = false;
    bool preview_by_token = false;  // the token trevane_preview asked for the preview
    long rows_deleted = 0;          // the time-based purge's total, as in its report
    long tables_processed = 0;
    long failures = 0;                // statements that failed
    bool retention_fallback = false;  // backup retention asked for, office hsa unreadable
    std::string database;             // the database of the run: the first label of every series
};

// The database that a connection target names (PG_DBPATH or db_name), for the metrics label and
// the run lock, without anything else the target holds (a password, a host): the dbname of a
// connection URI or key=value string, also behind the runtime's "tcp:" or "unix:"; the name
// before '@' or ':' of the runtime's name@host:port form. Empty when it names none that can be
// shown.
std::string database_named_by(std::string_view target);

// Seconds since the epoch, with the fraction.
double epoch_seconds_now();

// A label value escaped as the text format requires: backslash, double quote and newline.
std::string escape_label_value(std::string_view value);

// The file a preview writes instead of the purge's `path`: its trailing ".prom" (when it has
// one) replaced by "-preview.prom", so that trevane-east.prom becomes trevane-east-preview.prom.
std::string preview_metrics_path(std::string_view path);

// Writes the metrics file of the run: a temporary file in the same directory, mode 0644, renamed
// over the old file. A purge writes `purge_path`; a preview writes preview_metrics_path() of it
// and never touches the purge's file. Every series carries database="<end.database>" as its
// first label. A purge that did not exit 0 carries the last success time over from the file it
// replaces when that file holds one of the same database (0 otherwise). When the file cannot be
// written, says so in one line on standard output.
void write_run_metrics(const std::string& purge_path, const RunEnd& end, const RunFigures& figures);
