#pragma once

// How a run stops before its end, in one place. The run's one record of a stop is the halt of
// the database wrapper (esql::halt()), set in one of three ways:
//  - a signal: SIGTERM, SIGINT or SIGHUP calls esql::interrupt(), which also cancels the
//    statement under way (or cuts the connect under way);
//  - the session: a statement whose failure shows the connection lost or unfit halts it;
//  - a pass: a failure that ends the run is reported by the pass, which then calls
//    stop_run(exit status).
// Once it is set, no statement is sent any more; the passes return at their next look at
// run_stop_requested(), the driver looks after every pass, and report_run_stop() prints the one
// line and gives the exit status.

// Installs the handlers of SIGTERM, SIGINT and SIGHUP, and of SIGALRM, which repeats the cancel
// (or the cut of the connect) while a stop waits for the statement under way.
void install_stop_signals();

// The pass that runs now ("time-based purge"), for the line that reports a stop; clears the item.
void note_run_pass(const char* pass);
// The item of the pass that is handled now, such as ("table", "height").
void note_run_item(const char* kind, const char* name);

// Ends the run at a failure that the caller has reported already: the run exits with
// `exit_status`.
void stop_run(int exit_status);

// True once the run must stop: a signal came, the session was lost or unfit, or a pass ended the
// run.
bool run_stop_requested();

// Prints the one line that says why the run stops (none after stop_run(), whose failure was
// reported) and returns the exit status: 1 for the session, 128 + the signal number for a
// signal, the status given to stop_run().
int report_run_stop();
