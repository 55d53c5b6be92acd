#pragma once

#include <pgtypes_timestamp.h>

// Records one PerfLog row for a completed run: its process name, start time, rows deleted by the
// time-based purge and elapsed seconds. A failed insert is reported and changes nothing else.
void wr2perflog(const char* process, const timestamp* start_time, const int* num_processed,
                const float* elapsed_time);
