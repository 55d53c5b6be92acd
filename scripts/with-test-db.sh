#!/usr/bin/env bash
# Runs a command against a throwaway PostgreSQL cluster in a temporary directory.
# The cluster holds the database trevane_template (schema of sql/schema.sql), from which
# every test that changes data makes a fresh database, and the role trevane of
# sql/trevane_role.sql. It is stopped and removed at the end, also when the command fails or
# the run is interrupted, and so is whatever the command's tests left running (the servers,
# standbys, pools, relays and exporters of a test killed by its timeout). The command finds the
# server's own psql first in PATH (see pg-cluster.sh).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
dir=$(mktemp -d /tmp/trevane-testdb.XXXXXX)

command_pid=

# What a test left running, which a test killed by its timeout cannot stop itself: the servers
# and pools under the tests' temporary directories (detached, found by their pid files), then
# whatever else is left of the command's process group (relays, clients, exporters).
stop_leftovers() {
  local pidfiles pid
  pidfiles=$(find "$dir/tmp" \( -name postmaster.pid -o -name pgbouncer.pid \) 2>/dev/null) || true
  for pidfile in $pidfiles; do
    pid=$(head -n 1 "$pidfile" 2>/dev/null) || continue
    case "$pidfile" in
      */postmaster.pid) kill -QUIT "$pid" 2>/dev/null || true ;;  # the server's immediate stop
      *) kill -KILL "$pid" 2>/dev/null || true ;;
    esac
  done
  if [ -n "$command_pid" ]; then
    kill -KILL -- "-$command_pid" 2>/dev/null || true
  fi
  for pidfile in $pidfiles; do
    pid=$(head -n 1 "$pidfile" 2>/dev/null) || continue
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  done
}

cleanup() {
  stop_leftovers
  "$here/pg-cluster.sh" stop "$dir" || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$here/pg-cluster.sh" start "$dir"
# shellcheck disable=SC1091
source "$dir/env"
export PGDATABASE=postgres
export TREVANE_TEST_TEMPLATE=trevane_template
export TREVANE_TEST_CLUSTER="$dir"

psql -qX -v ON_ERROR_STOP=1 -c "CREATE DATABASE trevane_template" >/dev/null
psql -qX -v ON_ERROR_STOP=1 -d trevane_template -f "$root/sql/schema.sql" >/dev/null
# The role that the tests' complete runs log in as, with the grants of a site whose PurgeDynData
# lists the schema's purged tables: listed for the script only, in one transaction that leaves
# PurgeDynData empty (the grants are copied with the template).
psql -qX -v ON_ERROR_STOP=1 -1 -d trevane_template \
  -c "INSERT INTO PurgeDynData (table_name) SELECT unnest(ARRAY['height', 'discharge', 'precip',
      'temperature', 'snow', 'wind', 'dailysummary', 'dparadar'])" \
  -f "$root/sql/trevane_role.sql" -c "DELETE FROM PurgeDynData" >/dev/null

# Every temporary directory of the tests lies in here, so that the leftovers of a killed test are
# found; the command runs in a process group of its own, so that its leftovers can be stopped.
export TMPDIR="$dir/tmp"
mkdir -m 1777 "$TMPDIR"
exec 3<&0
setsid "$@" <&3 3<&- &
command_pid=$!
wait "$command_pid"
