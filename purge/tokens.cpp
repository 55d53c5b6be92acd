#include "tokens.h"

#include <array>

namespace {

constexpr std::array kTokens = {
    TokenInfo{"db_name", "name of the database to purge", "the run stops before connecting"},
    TokenInfo{"trevane_metrics_file", "file that every run writes its metrics to, for Prometheus",
              "no metrics file is written"},
    TokenInfo{"trevane_preview", "ON or on: count what would be deleted, delete nothing",
              "the run deletes"},
    TokenInfo{"trevane_lock_timeout",
              "longest wait of a statement for a lock, as a PostgreSQL interval such as 5min",
              "the server's lock_timeout"},
    TokenInfo{"trevane_statement_timeout",
              "longest run of one statement, as a PostgreSQL interval such as 30min",
              "the server's statement_timeout"},
    TokenInfo{"trevane_backup_retention_use",
              "ON or on: rows of stations of other offices are kept for num_hours_backup hours",
              "every row is kept for num_hours_host hours"},
    TokenInfo{"dpa_grid_dir", "directory of the radar grid files removed with their DPARadar rows",
              "no grid file is removed"},
    TokenInfo{"shef_procobs",
              "ON or on: processed observations are named as observed data, not procvalue",
              "processed observations are named procvalue"},
};

}  // namespace

std::span<const TokenInfo> trevane_tokens() {
    return kTokens;
}
