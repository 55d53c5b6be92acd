#!/usr/bin/env bash
# Runs trevane over a private demonstration database: installs what is missing, builds, starts
# a local PostgreSQL cluster under .demo/ (kept between runs, stopped at the end), loads the
# schema and data whose times are relative to now and the role of sql/trevane_role.sql, lays out
# the radar grid files, and runs the purge as that role so that its report appears. Running it
# again starts from fresh data.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/.demo"
cd "$root"

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target trevane tokvue >/dev/null

mkdir -p "$demo"
scripts/pg-cluster.sh start "$demo/cluster"
trap 'scripts/pg-cluster.sh stop "$demo/cluster"' EXIT
# shellcheck disable=SC1091
source "$demo/cluster/env"
export PGDATABASE=postgres
export PGOPTIONS="-c client_min_messages=warning"

psql -qX -v ON_ERROR_STOP=1 -c "DROP DATABASE IF EXISTS trevane_demo WITH (FORCE)" >/dev/null
psql -qX -v ON_ERROR_STOP=1 -c "CREATE DATABASE trevane_demo" >/dev/null
psql -qX -v ON_ERROR_STOP=1 -d trevane_demo -f sql/schema.sql >/dev/null
psql -qX -v ON_ERROR_STOP=1 -d trevane_demo -f sql/demo_data.sql >/dev/null
# trevane logs in as the role of sql/trevane_role.sql, with a site's grants, not as a superuser.
psql -qX -v ON_ERROR_STOP=1 -d trevane_demo -f sql/trevane_role.sql >/dev/null

# One grid file per radar product that has one.
rm -rf "$demo/grid"
mkdir -p "$demo/grid"
psql -qXAt -d trevane_demo -c "SELECT grid_filename FROM DPARadar WHERE maxvald > 0.0" |
  while read -r f; do : >"$demo/grid/$f"; done

cat >"$demo/apps_defaults" <<TOKENS
# Token file of the demonstration office.
db_name : trevane_demo
dpa_grid_dir : $demo/grid
trevane_backup_retention_use : ON
TOKENS

echo "== grid files before the purge: $(ls "$demo/grid" | wc -l)"
echo "== trevane as the role trevane (tokens from $demo/apps_defaults)"
status=0
PGUSER=trevane APPS_DEFAULTS="$demo/apps_defaults" build/bin/trevane || status=$?
echo "== trevane exit status: $status; grid files left: $(ls "$demo/grid" | wc -l)"
exit "$status"
