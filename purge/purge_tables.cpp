// The time-based table purge: every table listed in PurgeDynData loses its rows older than the
// retention recorded there.

#include <pgtypes_interval.h>
#include <pgtypes_timestamp.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Esql.h"
#include "List.h"
#include "LoadUnique.h"
#include "delete_files.h"
#include "get_location_hsa.h"
#include "lid_in_table.h"
#include "run_control.h"
#include "run_metrics.h"
#include "time_convert.h"
#include "timestamp_functions.h"
#include "trevane.h"

namespace {

// One PurgeDynData row as fetched; the names carry at most 19 and 14 characters once their
// trailing blanks are dropped (a char(n) column pads them).
struct PurgeDynRow {
    esql::FixedText<20> table_name{esql::Trim::TrailingBlanks};
    esql::FixedText<15> time_column_name{esql::Trim::TrailingBlanks};
    int num_hours_host = 0;
    int num_hours_backup = 0;
};

// A cutoff timestamp and its text, as it goes into the statements and the report.
struct Cutoff {
    timestamp value = 0;
    std::string text;
};

enum class CutoffStatus { Ok, Fatal };

// Which retention a cutoff is for, and the name it is reported under.
struct CutoffKind {
    bool date_column;
    bool backup;
    const char* variable() const {
        if (date_column) {
            return backup ? "delete_date_backup" : "delete_date_host";
        }
        return backup ? "delete_time_backup" : "delete_time_host";
    }
};

// now less the retention: hours for a time column, whole days (rounded up) for a date column;
// the cutoff keeps the time of day of now.
CutoffStatus compute_cutoff(timestamp now, int hours, CutoffKind kind, Cutoff& out) {
    char interval_text[32];
    if (kind.date_column) {
        int days = hours / 24;
        if (hours % 24 > 0) {
            days += 1;
        }
        std::snprintf(interval_text, sizeof interval_text, "%d 00:00:00", days);
    } else {
        std::snprintf(interval_text, sizeof interval_text, "%d:00:00", hours);
    }

    errno = 0;
    std::unique_ptr<interval, void (*)(interval*)> span(
        PGTYPESinterval_from_asc(interval_text, nullptr), PGTYPESinterval_free);
    if (!span) {
        std::printf("Error converting interval %s - errno = %d\n", interval_text, errno);
        return CutoffStatus::Fatal;
    }
    // The subtraction also moves its input; now stays untouched for the other cutoff.
    timestamp from = now;
    if (trevane_time::PGTYPEStimestamp_sub_interval(&from, span.get(), &out.value) != 0) {
        std::printf("Error subtracting interval\n");
        return CutoffStatus::Fatal;
    }
    const PgText text(PGTYPEStimestamp_to_asc(out.value));
    out.text = text ? text.get() : "";

    std::time_t check = 0;
    const int rc = kind.date_column ? yearday_dt_to_timet(out.value, &check)
                                    : yearsec_dt_to_timet(out.value, &check);
    if (rc != 0) {
        std::printf("error %d  transforming %s variable\n", rc, kind.variable());
        // A host cutoff of a time column that cannot be read back stops the run.
        if (!kind.date_column && !kind.backup) {
            return CutoffStatus::Fatal;
        }
    }
    return CutoffStatus::Ok;
}

// " column < 'cutoff' ": the condition that selects the expired rows.
std::string time_clause(const char* column, const Cutoff& cutoff) {
    return " " + std::string(column) + " < '" + esql::escaped(cutoff.text) + "' ";
}

// A name that can stand in a statement as it is: letters, digits, '_' and '$', not starting
// with a digit, optionally qualified by a schema. Anything else ("height--", "a;b", quotes)
// could change what the statement deletes.
bool plain_identifier(const char* name) {
    bool start = true;
    for (const char* p = name; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '.' && !start) {
            start = true;
            continue;
        }
        const bool letter = std::islower(c) != 0 || c == '_';
        const bool follow = std::isdigit(c) != 0 || c == '$';
        if (!(letter || (!start && follow))) {
            return false;
        }
        start = false;
    }
    return !start;
}

struct DeleteOutcome {
    long rows = 0;
    bool failed = false;
    // Every row the delete was meant to take is gone: no statement failed, no station was left
    // alone and no stop cut it short.
    bool complete = true;
};

// Deletes the rows of `table` that meet `condition` as the prepared statement "p_delete"; in a
// preview it counts them instead. With `echo`, a failing statement is printed before its error.
DeleteOutcome delete_where(const RunState& run, const char* table, const std::string& condition,
                           bool echo) {
    const bool preview = run.preview;
    const std::string statement =
        preview ? "SELECT count(*) FROM " + std::string(table) + " WHERE " + condition
                : "DELETE FROM " + std::string(table) + " WHERE " + condition + "; ";
    DeleteOutcome outcome;

    esql::Result r = esql::prepare_on_client("p_delete", statement.c_str());
    if (r.failed()) {
        if (echo) {
            std::printf("%s\n", statement.c_str());
        }
        std::printf("PostgreSQL error %s preparing delete statement\n", r.state);
        outcome.failed = true;
        outcome.complete = false;
        return outcome;
    }
    int count = 0;
    r = preview ? esql::execute("p_delete", esql::none, esql::vars(count))
                : esql::execute("p_delete");
    if (r.failed()) {
        if (echo) {
            std::printf("%s\n", statement.c_str());
        }
        std::printf("PostgreSQL error %s deleting records\n", r.state);
        outcome.failed = true;
        outcome.complete = false;
        return outcome;
    }
    if (r.code == 0) {
        outcome.rows = preview ? count : r.rows;
    }
    return outcome;
}

// The clauses of one table's station-by-station delete.
struct StationClauses {
    std::string host;    // the office's own stations
    std::string backup;  // every other station
    std::string safest;  // the earlier cutoff of the two, when stations can't be told apart
};

// A text without its trailing blanks: a char(n) column pads its values.
std::string_view without_trailing_blanks(std::string_view text) {
    const std::size_t end = text.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// Deletes a table station by station: stations of the office lose rows older than the host
// cutoff, every other station rows older than the backup cutoff. A station whose lid does not
// fit is left alone; when the station table could not be read, every station keeps its rows
// back to the earlier cutoff. A station list that cannot be read fails the table.
DeleteOutcome delete_by_station(RunState& run, const char* table, const StationClauses& clauses) {
    int count = 0;
    std::vector<bool> too_long;
    DistinctValue* stations = LoadUniqueChecked("lid", table, "ORDER BY lid", &count, too_long);
    DeleteOutcome total;
    if (stations == nullptr) {
        if (count < 0) {
            run.figures.note_table_failed(table);
            total.failed = true;
            total.complete = false;
        }
        return total;
    }
    const std::string_view office = without_trailing_blanks(run.office_hsa);
    std::size_t at = 0;
    for (Node* node = ListFirst(&stations->list); node != nullptr; node = ListNext(node), ++at) {
        if (run_stop_requested()) {
            total.complete = false;
            break;
        }
        // The lid as stored: a varchar lid keeps its trailing blanks in the delete, where a
        // char(n) lid compares without them. The station is looked up without them.
        const char* value = reinterpret_cast<DistinctValue*>(node)->text;
        const std::string_view stored(value, strnlen(value, sizeof DistinctValue::text));
        const std::string_view bare = without_trailing_blanks(stored);
        char lid[9] = "";
        const bool cut = at < too_long.size() && too_long[at];
        if (cut || bare.size() >= sizeof lid) {
            std::printf("Station %s of %s left alone: its lid is longer than %zu characters\n",
                        value, table, sizeof lid - 1);
            run.figures.note_key_left_alone("tables");
            total.complete = false;
            continue;
        }
        // A NULL lid arrives empty, and no station's delete takes its rows.
        if (stored.empty()) {
            total.complete = false;
        }
        bare.copy(lid, bare.size());
        char station_hsa[4] = "";
        int status = 0;
        get_location_hsa(lid, station_hsa, &status);
        if (status == kLocationTableNotLoaded) {
            std::printf("error attempting to setup linked list to get location.hsa value\n");
        }
        // Three blanks stand for a station that Location does not know: never the office's own.
        const bool known = std::strcmp(station_hsa, "   ") != 0;
        const std::string* clause = &clauses.backup;
        if (location_table_read_failed()) {
            if (status == kLocationTableNotLoaded) {
                std::printf(
                    "Location could not be read: every station keeps its rows back to the "
                    "earlier of the host and backup cutoffs\n");
            }
            clause = &clauses.safest;
        } else if (known && without_trailing_blanks(station_hsa) == office) {
            clause = &clauses.host;
        }
        const std::string condition = "lid = '" + esql::escaped(stored) + "' AND " + *clause + " ";
        const DeleteOutcome outcome = delete_where(run, table, condition, true);
        if (outcome.failed) {
            run.figures.note_table_failed(table);
            total.failed = true;
            total.complete = false;
            break;
        }
        total.rows += outcome.rows;
    }
    FreeUnique(stations);
    return total;
}

void print_header(bool backup) {
    std::printf("\n number\n");
    if (backup) {
        std::printf(
            " deleted  table name          time column   time cutoff (host)   time cutoff "
            "(backup)\n");
        std::printf("%s\n", std::string(85, '-').c_str());
    } else {
        std::printf(" deleted  table name          time column   time cutoff\n");
        std::printf("%s\n", std::string(63, '-').c_str());
    }
    std::fflush(nullptr);
}

const Cutoff& earlier_of(const Cutoff& host, const Cutoff& backup) {
    return backup.value < host.value ? backup : host;
}

// How the rows of one table go, decided once: the cutoff that the delete uses is the one that
// the removal of the grid files goes by.
struct TablePlan {
    enum class Note { None, NoLidField, LidLookupFailed };
    const Cutoff* cutoff;        // one statement with this cutoff; none: station by station
    timestamp rows_gone_before;  // every row older than this is gone once the delete succeeds
    Note note;                   // what the report line is followed by
};

// With backup retention, a table whose stations can't be told apart (its lid lookup failed, or
// the office's hsa could not be read) keeps its rows back to the earlier of the two cutoffs; a
// table without a lid column goes by the host cutoff.
TablePlan plan_table(Retention retention, int lid_count, const Cutoff& host, const Cutoff& backup) {
    const Cutoff& earlier = earlier_of(host, backup);
    if (retention == Retention::HostOnly) {
        return {&host, host.value, TablePlan::Note::None};
    }
    if (lid_count < 0) {
        return {&earlier, earlier.value, TablePlan::Note::LidLookupFailed};
    }
    if (lid_count == 0) {
        return {&host, host.value, TablePlan::Note::NoLidField};
    }
    if (retention == Retention::EarlierOfBoth) {
        return {&earlier, earlier.value, TablePlan::Note::None};
    }
    // Station by station: every station's rows older than the earlier cutoff go.
    return {nullptr, earlier.value, TablePlan::Note::None};
}

// Purges the table of one PurgeDynData row.
void purge_one(RunState& run, PurgeDynRow& row) {
    run.tables_processed += 1;

    // A name cut to its field would name another table or column.
    char table_name[20];
    char time_column_name[15];
    if (!row.table_name.copy_to(table_name)) {
        std::printf("Skipping PurgeDynData row: table name %.*s... is longer than %zu characters\n",
                    static_cast<int>(sizeof table_name - 1), row.table_name.c_str(),
                    sizeof table_name - 1);
        run.figures.note_key_left_alone("tables");
        return;
    }
    if (!row.time_column_name.copy_to(time_column_name)) {
        std::printf(
            "Skipping PurgeDynData row of %s: column name %.*s... is longer than %zu "
            "characters\n",
            table_name, static_cast<int>(sizeof time_column_name - 1), row.time_column_name.c_str(),
            sizeof time_column_name - 1);
        run.figures.note_key_left_alone("tables");
        return;
    }

    lower_trim(time_column_name);
    const bool date_column = std::strstr(time_column_name, "date") != nullptr;
    const bool two_cutoffs = run.retention != Retention::HostOnly;

    timestamp now = 0;
    timet_to_yearsec_dt(std::time(nullptr), &now);
    Cutoff host;
    Cutoff backup;
    if (compute_cutoff(now, row.num_hours_host, {date_column, false}, host) ==
        CutoffStatus::Fatal) {
        stop_run(1);
        return;
    }
    if (two_cutoffs && compute_cutoff(now, row.num_hours_backup, {date_column, true}, backup) ==
                           CutoffStatus::Fatal) {
        stop_run(1);
        return;
    }

    lower_trim(table_name);
    note_run_item("table", table_name);
    if (!plain_identifier(table_name) || !plain_identifier(time_column_name)) {
        std::printf(
            "Skipping PurgeDynData row: \"%s\" / \"%s\" is not a plain table and column "
            "name\n",
            table_name, time_column_name);
        return;
    }

    // The grid files are found through DPARadar itself: a qualified name of the radar table
    // would have its rows deleted while their files stay.
    const char* dot = std::strrchr(table_name, '.');
    if (dot != nullptr && std::strcmp(dot + 1, "dparadar") == 0) {
        std::printf(
            "Skipping PurgeDynData row: \"%s\" names the radar table with a schema; list it as "
            "dparadar\n",
            table_name);
        return;
    }
    // The grid files of the expiring rows are read before the rows go and removed only once
    // their delete has succeeded, so that no file goes while its row stays; rows whose files
    // could not be read stay, so that no file outlives its row.
    GridFiles grid_files = find_grid_files(table_name, host.text.c_str());
    if (run_stop_requested()) {
        keep_grid_files(run, grid_files);
        return;
    }
    if (grid_files.read_failed) {
        std::printf(
            "Table %s left alone: PostgreSQL error %s reading the grid files of its "
            "expiring rows\n",
            table_name, grid_files.failed_state.c_str());
        run.figures.note_key_left_alone("tables");
        return;
    }

    const int lid_count = count_lid_columns(table_name);
    if (run_stop_requested()) {
        keep_grid_files(run, grid_files);
        return;
    }
    const TablePlan plan = plan_table(run.retention, lid_count, host, backup);
    if (!list_pending_grid_files(run, grid_files)) {
        run.figures.note_key_left_alone("tables");
        keep_grid_files(run, grid_files);
        return;
    }
    const DeleteOutcome outcome =
        plan.cutoff == nullptr
            ? delete_by_station(
                  run, table_name,
                  {time_clause(time_column_name, host), time_clause(time_column_name, backup),
                   time_clause(time_column_name, earlier_of(host, backup))})
            : delete_where(run, table_name, time_clause(time_column_name, *plan.cutoff), false);
    if (outcome.complete) {
        remove_grid_files(run, grid_files, plan.rows_gone_before);
    } else {
        keep_grid_files(run, grid_files);
    }
    if (outcome.failed && plan.cutoff != nullptr) {
        run.figures.note_table_failed(table_name);
        return;  // no report line
    }
    const long rows = outcome.rows;

    if (two_cutoffs) {
        std::printf(" %7ld  %-18s  %-12s  %-s  %-s\n", rows, table_name, time_column_name,
                    host.text.c_str(), backup.text.c_str());
        if (plan.note == TablePlan::Note::NoLidField) {
            std::printf("          -- table does not have lid field - host cutoff value used\n");
        } else if (plan.note == TablePlan::Note::LidLookupFailed) {
            std::printf("ERROR - lid lookup failed for %s - %s cutoff value used\n", table_name,
                        plan.cutoff == &backup ? "backup" : "host");
        }
    } else {
        std::printf(" %7ld  %-18s  %-12s  %-s\n", rows, table_name, time_column_name,
                    host.text.c_str());
    }
    std::fflush(nullptr);
    run.figures.note_table_rows(table_name, rows);
    run.rows_deleted += rows;
}

}  // namespace

void lower_trim(char* text) {
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        const auto c = static_cast<unsigned char>(*in);
        if (std::isgraph(c)) {
            *out++ = static_cast<char>(std::tolower(c));
        }
    }
    *out = '\0';
}

namespace {

// The pass over the rows of PurgeDynData.
void purge_listed_tables(RunState& run) {
    esql::Cursor cursor(
        "declare purgedyn_cursor  cursor with hold for select  table_name  , time_column_name  , "
        "num_hours_host  , num_hours_backup   from PurgeDynData    order by table_name ");
    esql::Result r = cursor.open();
    if (r.code != 0) {
        std::printf("PostgreSQL error %s opening purgedyn_cursor\n", r.state);
        stop_run(1);
        return;
    }

    print_header(run.retention != Retention::HostOnly);
    run.tables_processed = 0;
    run.rows_deleted = 0;

    for (;;) {
        PurgeDynRow row;
        r = cursor.fetch(esql::vars(row.table_name.var(), row.time_column_name.var(),
                                    row.num_hours_host, row.num_hours_backup));
        if (r.no_row()) {
            break;
        }
        if (r.code != 0) {
            std::printf("PostgreSQL error %s from purgedyn_cursor fetch\n", r.state);
            stop_run(1);
            return;
        }
        purge_one(run, row);
        if (run_stop_requested()) {
            return;
        }
    }

    std::printf("%s\n", std::string(63, '-').c_str());
    std::printf(run.preview ? "%8lld records would be deleted from %d tables\n"
                            : "%8lld records deleted from %d tables\n",
                static_cast<long long>(run.rows_deleted), run.tables_processed);

    r = cursor.close();
    if (r.code != 0) {
        std::printf("PostgreSQL error %s closing purgedyn_cursor\n", r.state);
    }
}

}  // namespace

void purge_tables(RunState& run) {
    purge_listed_tables(run);
    free_location_hsa_table();
}
