#!/usr/bin/env bash
# Runs trevane once over the demonstration data under valgrind memcheck: every report section
# (backup retention on, radar grid files present), as a preview and for real, and fails on any
# memory error or definite leak. It logs in as the role trevane of sql/trevane_role.sql (the
# template's grants), as a site does.
# Usage: scripts/valgrind-run.sh [BUILD_DIR]   (default: build, already built)
# Runs against the throwaway cluster of scripts/with-test-db.sh, starting one when needed.
# A preview run goes first, then the real one. No suppressions are needed: the client libraries
# run clean under memcheck.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
if [ -z "${TREVANE_TEST_CLUSTER:-}" ]; then
  exec "$root/scripts/with-test-db.sh" "$0" "$build"
fi

db="valgrind_$$"
work=$(mktemp -d /tmp/trevane-valgrind.XXXXXX)
cleanup() {
  psql -qX -c "DROP DATABASE IF EXISTS $db WITH (FORCE)" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

psql -qX -v ON_ERROR_STOP=1 -c "CREATE DATABASE $db TEMPLATE $TREVANE_TEST_TEMPLATE" >/dev/null
psql -qX -v ON_ERROR_STOP=1 -d "$db" -f "$root/sql/demo_data.sql" >/dev/null

mkdir -p "$work/grid"
psql -qXAt -d "$db" -c "SELECT grid_filename FROM DPARadar WHERE maxvald > 0.0" |
  while read -r f; do : >"$work/grid/$f"; done
before=$(find "$work/grid" -type f | wc -l)
cat >"$work/apps_defaults" <<TOKENS
db_name : $db
dpa_grid_dir : $work/grid
trevane_backup_retention_use : ON
TOKENS

# memcheck NAME [VAR=VALUE...]: runs trevane under valgrind with the demo tokens.
memcheck() {
  local name=$1
  shift
  local status=0
  env -u db_name -u PG_DBPATH -u dpa_grid_dir -u trevane_backup_retention_use -u trevane_preview \
    -u APPS_DEFAULTS_USER -u APPS_DEFAULTS_PROG -u APPS_DEFAULTS_SITE \
    PGUSER=trevane APPS_DEFAULTS="$work/apps_defaults" "$@" \
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
      --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-origins=yes \
      --log-file="$work/$name.valgrind" \
      "$build/bin/trevane" >"$work/$name.out" 2>&1 || status=$?
  echo "== $name: $(grep -E "ERROR SUMMARY" "$work/$name.valgrind" | sed 's/^==[0-9]*== //')"
  grep -E "definitely lost" "$work/$name.valgrind" | sed 's/^==[0-9]*== /   /' || true
  if [ "$status" -ne 0 ]; then
    cat "$work/$name.out" "$work/$name.valgrind"
    echo "valgrind-run: $name ended with status $status (99: memory errors or definite leaks)" >&2
    exit 1
  fi
}

echo "== trevane under valgrind memcheck ($before grid files)"
memcheck preview trevane_preview=ON
memcheck run
after=$(find "$work/grid" -type f | wc -l)
if ! grep -q "records deleted from" "$work/run.out" || [ "$after" -ge "$before" ]; then
  cat "$work/run.out"
  echo "valgrind-run: the run did not purge as expected ($before grid files before, $after after)" >&2
  exit 1
fi
echo "== valgrind: no memory errors, no definite leaks; grid files $before -> $after"
