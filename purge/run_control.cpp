#include "run_control.h"

#include <csignal>
#include <cstdio>
#include <string>

#include "Esql.h"

namespace {

struct Step {
    std::string pass;
    std::string item;
};

Step& step() {
    static Step s;
    return s;
}

const char* signal_name(int signo) {
    switch (signo) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

// " (time-based purge, table precip: PostgreSQL error 57P02)"
std::string where_and_why(const esql::Result& cause) {
    const Step& s = step();
    std::string text = " (" + (s.pass.empty() ? std::string("connecting") : s.pass);
    if (!s.item.empty()) {
        text += ", " + s.item;
    }
    return text + ": PostgreSQL error " + cause.state + ")";
}

}  // namespace

void install_stop_signals() {
    esql::install_stop_handlers({SIGTERM, SIGINT, SIGHUP}, SIGALRM);
}

void note_run_pass(const char* pass) {
    step().pass = pass;
    step().item.clear();
}

void note_run_item(const char* kind, const char* name) {
    step().item = std::string(kind) + " " + name;
}

void stop_run(int exit_status) {
    esql::end_work(exit_status);
}

bool run_stop_requested() {
    return esql::halt() != esql::Halt::None;
}

int report_run_stop() {
    int status = 1;
    switch (esql::halt()) {
        case esql::Halt::None:
            return 0;
        case esql::Halt::SessionLost:
            std::printf("trevane: the connection to the database was lost; the run stops%s\n",
                        where_and_why(esql::halt_cause()).c_str());
            break;
        case esql::Halt::CannotWrite:
            std::printf(
                "trevane: the session is read-only or the server is a standby; the run stops%s\n",
                where_and_why(esql::halt_cause()).c_str());
            break;
        case esql::Halt::Ended:
            status = esql::ended_with();
            break;
        case esql::Halt::NoSessionCursors:
            std::printf(
                "trevane: the database connection does not keep cursors between statements (a "
                "pooler in transaction mode?); trevane needs a session-level connection; the run "
                "stops%s\n",
                where_and_why(esql::halt_cause()).c_str());
            break;
        case esql::Halt::Interrupted:
            std::printf("trevane: %s received; the run stops\n",
                        signal_name(esql::interrupt_signal()));
            status = 128 + esql::interrupt_signal();
            break;
    }
    std::fflush(nullptr);
    return status;
}
