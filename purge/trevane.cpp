// The purge driver: the order of one run, from the banner to the PerfLog row.

#include "trevane.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "DbmsAccess.h"
#include "Esql.h"
#include "ProcessPurgeProduct.h"
#include "PurgeVTECevent.h"
#include "get_admin_hsa.h"
#include "get_apps_defaults.h"
#include "get_location_hsa.h"
#include "run_control.h"
#include "run_lock.h"
#include "run_metrics.h"
#include "session_setup.h"
#include "wr2perflog.h"

namespace {

// Formats `seconds` as UTC time text (" Mar 31, 2005 - 14:05:09") into `text` (30 bytes);
// false after printing why it could not.
bool format_time(std::time_t seconds, char (&text)[30]) {
    std::tm tm{};
    if (gmtime_r(&seconds, &tm) == nullptr) {
        std::printf(
            "The conversion from a \"time_t\" value to a struct tm\nfailed in the call to "
            "gmtime in the FORMAT_TIME macro.\nThe supplied value, %ld, is probably not a "
            "valid\n\"time_t\" value.\n",
            static_cast<long>(seconds));
        return false;
    }
    if (std::strftime(text, sizeof text, " %b %d, %Y - %H:%M:%S", &tm) == 0) {
        std::printf(
            "The the call to \"strftime\" failed in the FORMAT_TIME\nmacro. Check to make "
            "sure that the maximum size argument\nhas been set large enough.\n");
        return false;
    }
    return true;
}

}  // namespace

void read_token(const char* name, char* reply) {
    int len = static_cast<int>(std::strlen(name));
    get_apps_defaults(name, &len, reply, &len);
}

bool token_is_on(const char* value) {
    return std::strcmp(value, "ON") == 0 || std::strcmp(value, "on") == 0;
}

void decide_retention(RunState& run) {
    char value[512] = "";
    read_token("trevane_backup_retention_use", value);
    if (token_is_on(value)) {
        std::printf("Using num_hours_backup field to determine retention for backup stations\n");
        const int admin = get_admin_hsa(run.office_hsa);
        if (admin == 0) {
            run.retention = Retention::Backup;
            std::printf("hsa (from Admin table) = %s\n", run.office_hsa);
        } else if (admin == 1) {
            // The office is unknown, so no station can be told to be its own or another's:
            // every station keeps what either retention keeps.
            run.retention = Retention::EarlierOfBoth;
            run.retention_fallback = true;
            std::printf(
                "Error attempting to read hsa field from Admin table -- every station keeps its "
                "rows back to the earlier of the host and backup cutoffs\n");
        } else {
            run.retention_fallback = true;
            std::printf(
                "Error attempting to read hsa field from Admin table -- All deletes will "
                "be based on num_hours_host values\n");
        }
    } else {
        std::printf("Using num_hours_host field to determine retention for all records\n");
    }
}

namespace {

// The name of the database that the session is connected to, as the client library reports it.
std::string connected_database() {
    const PGconn* conn = ECPGget_PGconn(nullptr);
    const char* name = conn != nullptr ? PQdb(conn) : nullptr;
    return name != nullptr ? name : "";
}

// The end time and the elapsed time; a clock that cannot be formatted ends the run.
void report_end_time(RunState& run) {
    const std::time_t end_seconds = std::time(nullptr);
    char time_text[30];
    if (!format_time(end_seconds, time_text)) {
        stop_run(1);
        return;
    }
    std::printf("\nend time = %s\n", time_text);
    run.elapsed_seconds = static_cast<int>(end_seconds - run.start_seconds);
    const float elapsed_minutes = static_cast<float>(run.elapsed_seconds / 60.0);
    std::printf("Elapsed Time = %d sec\n", run.elapsed_seconds);
    std::printf("             = %6.2f min\n", static_cast<double>(elapsed_minutes));
}

// The PerfLog row of the run; a preview writes none.
void log_run(RunState& run) {
    if (run.preview) {
        return;
    }
    const auto elapsed = static_cast<float>(run.elapsed_seconds);
    // The log row's count is 32 bits wide: a larger total is recorded as its largest value.
    const int logged =
        static_cast<int>(std::min<std::int64_t>(run.rows_deleted, std::numeric_limits<int>::max()));
    wr2perflog(run.process, &run.start_time, &logged, &elapsed);
}

// The steps of a run once the session is open, in their order. A step that must end the run
// says so through run_control (a signal or the session may, too); the driver looks after each.
struct Pass {
    const char* name;  // for the line that reports a stop
    void (*run)(RunState&);
};
constexpr Pass kPasses[] = {
    {"retention decision", decide_retention},
    {"time-based purge", purge_tables},
    {"text product purge", purge_text_products},
    {"event purge", purge_events},
    {"end of run", report_end_time},
    {"PerfLog entry", log_run},
};

// One purge from the banner to the PerfLog row; returns the process's exit status. The run's
// lock is taken into `lock`, which the caller keeps until the metrics are written.
int run_purge(RunState& run, std::optional<RunLock>& lock) {
    run.start_seconds = std::time(nullptr);
    PGTYPEStimestamp_current(&run.start_time);

    char time_text[30];
    if (!format_time(run.start_seconds, time_text)) {
        return 1;
    }
    std::printf("ZEFT Database Purge  VORNE OB6  Mar 31, 2005\n");
    std::printf("\nbegin time = %s GMT\n", time_text);

    char db_name[512] = "";
    read_token("db_name", db_name);
    std::printf("database name = %s\n", db_name);
    // The runtime opens the database PG_DBPATH names, when it is set, instead of db_name. Until
    // the session says which it is, the run knows it by the name that the target holds.
    const char* dbpath = std::getenv("PG_DBPATH");
    run.database = dbpath != nullptr ? database_named_by(dbpath) : std::string();
    if (run.database.empty()) {
        run.database = database_named_by(db_name);
    }

    // From here on every end of the run writes the metrics file, when one is named.
    char metrics_file[512] = "";
    read_token("trevane_metrics_file", metrics_file);
    run.metrics_file = metrics_file;

    char preview[512] = "";
    read_token("trevane_preview", preview);
    run.preview_by_token = token_is_on(preview);
    run.preview = run.preview || run.preview_by_token;
    if (run.preview) {
        std::printf("Preview only: counting what would be deleted; nothing is deleted.\n");
    }

    // One run per database on this host. A name that the connect refuses needs no lock.
    if (db_name[0] != '\0') {
        lock.emplace(run.database);
        if (lock->outcome() == RunLock::Outcome::HeldByAnother) {
            run.metrics_file.clear();  // the metrics file belongs to the run that holds the lock
            return kExitLockHeld;
        }
        if (lock->outcome() == RunLock::Outcome::Failed) {
            return 1;
        }
    }

    const SessionTokens tokens = read_session_tokens();
    prepare_connection_environment(run.preview, tokens);
    const int open_status = OpenDbms(db_name);
    // A signal during the connect cuts it short: the signal is what ended the run.
    if (run_stop_requested()) {
        return report_run_stop();
    }
    if (open_status != 0) {
        const std::string rejected = rejected_token_line(tokens);
        if (!rejected.empty()) {
            std::printf("%s\n", rejected.c_str());
        }
        std::printf("PostgreSQL error %d attempting to open database\n", open_status);
        const std::string& reason = esql::connect_failure_reason();
        if (!reason.empty()) {
            std::printf("The client library says: %s\n", reason.c_str());
        }
        return 1;
    }
    run.database = connected_database();
    // Nothing is deleted where the session cannot write: the run stops before any pass and
    // before any file is touched. A preview only reads, so it runs there.
    const SessionKind kind = session_kind();
    if (kind != SessionKind::Writable && !run.preview) {
        std::printf("%s\n", kind == SessionKind::HotStandby
                                ? "trevane: the database server is a hot standby, where nothing "
                                  "can be deleted; the run stops"
                                : "trevane: the database session is read-only "
                                  "(default_transaction_read_only is on), so nothing can be "
                                  "deleted; the run stops");
        CloseDbms();
        return 1;
    }
    if (kind == SessionKind::HotStandby) {
        std::printf("Preview on a hot standby: reading only.\n");
    }

    for (const Pass& pass : kPasses) {
        note_run_pass(pass.name);
        pass.run(run);
        std::fflush(nullptr);
        if (run_stop_requested()) {
            return report_run_stop();
        }
    }

    const int close_status = CloseDbms();
    if (close_status != 0) {
        std::printf("PostgreSQL error %d ) attempting to close database\n", close_status);
        return 1;
    }
    return 0;
}

}  // namespace

int trevane_run(bool preview) {
    install_stop_signals();
    RunState run;
    run.preview = preview;
    std::optional<RunLock> lock;
    const double start = epoch_seconds_now();
    const int status = run_purge(run, lock);
    if (run_stop_requested()) {
        CloseDbms();  // says goodbye to a server still there; sends no statement
    }
    if (!run.metrics_file.empty()) {
        write_run_metrics(run.metrics_file,
                          {start, epoch_seconds_now(), status, run.preview, run.preview_by_token,
                           run.rows_deleted, run.tables_processed, esql::failed_statement_count(),
                           run.retention_fallback, run.database},
                          run.figures);
    }
    std::fflush(nullptr);
    return status;
}
