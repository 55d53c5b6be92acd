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
#include <string>

#include "Esql.h"
#include "List.h"
#include "LoadUnique.h"
#include "delete_files.h"
#include "get_location_hsa.h"
#include "lid_in_table.h"
#include "purge_mode.h"
#include "run_control.h"
#include "run_metrics.h"
#include "time_convert.h"
#include "timestamp_functions.h"
#include "trevane.h"

namespace {

// One PurgeDynData row as fetched; the names carry at most 19 and 14 characters.
struct PurgeDynRow {
    char table_name[20];
    char time_column_name[15];
    int num_hours_host;
    int num_hours_backup;
};

struct FreeWithStd {
    void operator()(void* p) const { std::free(p); }
};
using LibText = std::unique_ptr<char, FreeWithStd>;

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
    const LibText text(PGTYPEStimestamp_to_asc(out.value));
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
    return " " + std::string(column) + " < '" + esql::quote_doubled(cutoff.text) + "' ";
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
};

// Deletes the rows of `table` that meet `condition` as the prepared statement "p_delete"; in a
// preview it counts them instead. With `echo`, a failing statement is printed before its error.
DeleteOutcome delete_where(const char* table, const std::string& condition, bool echo) {
    const bool preview = purge_preview();
    const std::string statement =
        preview ? "SELECT count(*) FROM " + std::string(table) + " WHERE " + condition
                : "DELETE FROM " + std::string(table) + " WHERE " + condition + "; ";
    DeleteOutcome outcome;

    esql::Result r = esql::prepare("p_delete", statement.c_str());
    if (r.failed()) {
        if (echo) {
            std::printf("%s\n", statement.c_str());
        }
        std::printf("PostgreSQL error %s preparing delete statement\n", r.state);
        outcome.failed = true;
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
        return outcome;
    }
    if (r.code == 0) {
        outcome.rows = preview ? count : r.rows;
    }
    return outcome;
}

// Deletes a table station by station: stations of the office lose rows older than the host
// cutoff, every other station rows older than the backup cutoff.
long delete_by_station(const char* table, const std::string& host_clause,
                       const std::string& backup_clause, const char* office_hsa) {
    int count = 0;
    DistinctValue* stations = LoadUnique("lid", table, "ORDER BY lid", &count);
    long rows = 0;
    if (stations == nullptr) {
        return rows;
    }
    for (Node* node = ListFirst(&stations->list); node != nullptr; node = ListNext(node)) {
        if (run_stop_requested()) {
            break;
        }
        char lid[9];
        std::snprintf(lid, sizeof lid, "%.8s", reinterpret_cast<DistinctValue*>(node)->text);
        char station_hsa[4] = "";
        int status = 0;
        get_location_hsa(lid, station_hsa, &status);
        if (status == kLocationTableNotLoaded) {
            std::printf("error attempting to setup linked list to get location.hsa value\n");
        }
        const std::string& clause =
            std::strcmp(station_hsa, office_hsa) == 0 ? host_clause : backup_clause;
        const std::string condition =
            "lid = '" + esql::quote_doubled(lid) + "' AND " + clause + " ";
        const DeleteOutcome outcome = delete_where(table, condition, true);
        if (outcome.failed) {
            note_table_failed(table);
            break;
        }
        rows += outcome.rows;
    }
    FreeUnique(stations);
    return rows;
}

void print_header(int backup) {
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

// Purges the table of one PurgeDynData row.
StepResult purge_one(RunState& run, PurgeDynRow& row) {
    run.tables_processed += 1;

    // A name cut short by its fetch field would name another table or column.
    if (std::memchr(row.table_name, '\0', sizeof row.table_name) == nullptr) {
        std::printf("Skipping PurgeDynData row: table name %.*s... is longer than %zu characters\n",
                    static_cast<int>(sizeof row.table_name - 1), row.table_name,
                    sizeof row.table_name - 1);
        return StepResult::proceed();
    }
    if (std::memchr(row.time_column_name, '\0', sizeof row.time_column_name) == nullptr) {
        std::printf(
            "Skipping PurgeDynData row of %s: column name %.*s... is longer than %zu "
            "characters\n",
            row.table_name, static_cast<int>(sizeof row.time_column_name - 1), row.time_column_name,
            sizeof row.time_column_name - 1);
        return StepResult::proceed();
    }

    lower_trim(row.time_column_name);
    const bool date_column = std::strstr(row.time_column_name, "date") != nullptr;

    timestamp now = 0;
    timet_to_yearsec_dt(std::time(nullptr), &now);
    Cutoff host;
    Cutoff backup;
    if (compute_cutoff(now, row.num_hours_host, {date_column, false}, host) ==
        CutoffStatus::Fatal) {
        return StepResult::exit_with(1);
    }
    if (run.backup_retention && compute_cutoff(now, row.num_hours_backup, {date_column, true},
                                               backup) == CutoffStatus::Fatal) {
        return StepResult::exit_with(1);
    }
    const std::string backup_clause =
        run.backup_retention ? time_clause(row.time_column_name, backup) : std::string();
    const std::string host_clause = time_clause(row.time_column_name, host);

    lower_trim(row.table_name);
    note_run_item("table", row.table_name);
    if (!plain_identifier(row.table_name) || !plain_identifier(row.time_column_name)) {
        std::printf(
            "Skipping PurgeDynData row: \"%s\" / \"%s\" is not a plain table and column "
            "name\n",
            row.table_name, row.time_column_name);
        return StepResult::proceed();
    }

    // The grid files are found through DPARadar itself: a qualified name of the radar table
    // would have its rows deleted while their files stay.
    const char* dot = std::strrchr(row.table_name, '.');
    if (dot != nullptr && std::strcmp(dot + 1, "dparadar") == 0) {
        std::printf(
            "Skipping PurgeDynData row: \"%s\" names the radar table with a schema; list it as "
            "dparadar\n",
            row.table_name);
        return StepResult::proceed();
    }
    delete_files(row.table_name, host.text.c_str());
    if (run_stop_requested()) {
        return StepResult::proceed();
    }

    const int lid_count = lid_in_table(row.table_name);
    if (run_stop_requested()) {
        return StepResult::proceed();
    }
    long rows = 0;
    if (run.backup_retention && lid_count != 0) {
        rows = delete_by_station(row.table_name, host_clause, backup_clause, run.office_hsa);
    } else {
        const DeleteOutcome outcome = delete_where(row.table_name, host_clause, false);
        if (outcome.failed) {
            note_table_failed(row.table_name);
            return StepResult::proceed();
        }
        rows = outcome.rows;
    }

    if (run.backup_retention) {
        std::printf(" %7ld  %-18s  %-12s  %-s  %-s\n", rows, row.table_name, row.time_column_name,
                    host.text.c_str(), backup.text.c_str());
        if (lid_count == 0) {
            std::printf("          -- table does not have lid field - host cutoff value used\n");
        }
    } else {
        std::printf(" %7ld  %-18s  %-12s  %-s\n", rows, row.table_name, row.time_column_name,
                    host.text.c_str());
    }
    std::fflush(nullptr);
    note_table_rows(row.table_name, rows);
    run.rows_deleted += static_cast<int>(rows);
    return StepResult::proceed();
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

StepResult purge_tables(RunState& run) {
    esql::Cursor cursor(
        "declare purgedyn_cursor  cursor with hold for select  table_name  , time_column_name  , "
        "num_hours_host  , num_hours_backup   from PurgeDynData    order by table_name ");
    esql::Result r = cursor.open();
    if (r.code != 0) {
        std::printf("PostgreSQL error %s opening purgedyn_cursor\n", r.state);
        return StepResult::exit_with(1);
    }

    print_header(run.backup_retention);
    run.tables_processed = 0;
    run.rows_deleted = 0;

    for (;;) {
        PurgeDynRow row{};
        r = cursor.fetch(esql::vars(row.table_name, row.time_column_name, row.num_hours_host,
                                    row.num_hours_backup));
        if (r.no_row()) {
            break;
        }
        if (r.code != 0) {
            std::printf("PostgreSQL error %s from purgedyn_cursor fetch\n", r.state);
            return StepResult::exit_with(1);
        }
        const StepResult result = purge_one(run, row);
        if (result.stop) {
            return result;
        }
        if (run_stop_requested()) {
            return StepResult::exit_with(1);
        }
    }

    std::printf("%s\n", std::string(63, '-').c_str());
    std::printf(purge_preview() ? "%8d records would be deleted from %d tables\n"
                                : "%8d records deleted from %d tables\n",
                run.rows_deleted, run.tables_processed);

    r = cursor.close();
    if (r.code != 0) {
        std::printf("PostgreSQL error %s closing purgedyn_cursor\n", r.state);
    }
    return StepResult::proceed();
}
