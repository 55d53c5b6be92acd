#pragma once

// What stops a run before its end, and the one line that says so. A stop is asked for by the
// database session (lost, or unfit for trevane) or by a signal; the passes look at
// run_stop_requested() in their loops, and the driver after every pass.

// Installs the handlers of SIGTERM, SIGINT and SIGHUP: the run stops at the next check, and a
// statement running on the server is cancelled there.
void install_stop_signals();

// The pass that runs now ("time-based purge"), for the line that reports a stop; clears the item.
void note_run_pass(const char* pass);
// The item of the pass that is handled now, such as ("table", "height").
void note_run_item(const char* kind, const char* name);

// True once the run must stop: the session was lost or a signal came.
bool run_stop_requested();

// Prints the one line that says why the run stops and returns the exit status: 1 for the
// session, 128 + the signal number for a signal.
int report_run_stop();
