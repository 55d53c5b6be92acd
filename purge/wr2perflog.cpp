#include "wr2perflog.h"

#include <cstdio>

#include "PerfLog.h"

void wr2perflog(const char* process, const timestamp* start_time, const int* num_processed,
                const float* elapsed_time) {
    PerfLog row{};
    std::snprintf(row.process, sizeof row.process, "%s", process);
    row.start_time = *start_time;
    row.num_processed = *num_processed;
    row.num_reads = 0;
    row.num_inserts = 0;
    row.num_updates = 0;
    row.num_deletes = 0;
    row.elapsed_time = static_cast<double>(*elapsed_time);
    row.cpu_time = 0.0;
    row.io_time = 0.0;
    if (PutPerfLog(&row) != 0) {
        std::printf("PostgreSQL error %s attempting insert into PerfLog table\n",
                    GetPerfLogDbStatus()->sqlState);
    }
}
