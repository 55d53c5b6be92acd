#include <cstdio>
#include <string_view>

#include "trevane.h"

// The nightly purge is configured by tokens only. Arguments exist so that an operator who asks
// for help gets it: any argument means "do not purge", and an argument that is not understood
// stops the program before it reads a token or connects.

namespace {

constexpr std::string_view kUsage = R"(Usage: trevane [--help | --version]

Without arguments, purges the hydrologic forecasting database named by the token
db_name: deletes the rows older than the retention recorded in PurgeDynData, the
radar grid files of the expiring DPARadar rows, the text product versions beyond
what PurgeProduct allows and the old VTECevent records, prints a report on
standard output and records the run in PerfLog.

Tokens (a variable of the same name, then the token files):
  db_name                       database to open (required)
  trevane_backup_retention_use  ON or on: stations of other offices keep their rows
                                for num_hours_backup
  dpa_grid_dir                  directory of the radar grid files
  trevane_preview               ON or on: count what would be deleted, delete nothing
  trevane_metrics_file          file to write the run's metrics to (Prometheus text)

Environment:
  APPS_DEFAULTS_USER, APPS_DEFAULTS_PROG, APPS_DEFAULTS_SITE, APPS_DEFAULTS
                                the token files, searched in this order
  PGHOST, PGPORT, PGUSER, PGPASSFILE, ...
                                where and as whom to connect
  PG_DBPATH                     names the database instead of db_name

Options:
  --help     print this help and exit
  --version  print the version and exit

Exit status: 0 the run got through (errors it reported and went past included),
1 the run stopped early, 2 an argument was not understood.

The manual is trevane(8); 'tokvue NAME' prints a token as trevane reads it.
)";

int usage_error(const char* message, std::string_view argument, std::string_view after = {}) {
    if (after.empty()) {
        std::fprintf(stderr, "trevane: %s '%.*s'; see 'trevane --help'\n", message,
                     static_cast<int>(argument.size()), argument.data());
    } else {
        std::fprintf(stderr, "trevane: %s '%.*s' after '%.*s'; see 'trevane --help'\n", message,
                     static_cast<int>(argument.size()), argument.data(),
                     static_cast<int>(after.size()), after.data());
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return trevane_run();
    }
    const std::string_view option = argv[1];
    if (option != "--help" && option != "--version") {
        return usage_error("unrecognized argument", option);
    }
    if (argc > 2) {
        return usage_error("unexpected argument", argv[2], option);
    }
    if (option == "--help") {
        std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    } else {
        std::printf("trevane %s\n", TREVANE_VERSION);
    }
    return 0;
}
