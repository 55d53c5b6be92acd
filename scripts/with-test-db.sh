#!/usr/bin/env bash
# Runs a command against a throwaway PostgreSQL cluster in a temporary directory.
# The cluster holds the database trevane_template (schema of sql/schema.sql), from which
# every test that changes data makes a fresh database, and the role trevane of
# sql/trevane_role.sql. It is stopped and removed at the
# end, also when the command fails or the run is interrupted. The command finds the server's
# own psql first in PATH (see pg-cluster.sh).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
dir=$(mktemp -d /tmp/trevane-testdb.XXXXXX)

cleanup() {
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
# The role that the tests' complete runs log in as, with the grants of a site (the grants are
# copied with the template).
psql -qX -v ON_ERROR_STOP=1 -d trevane_template -f "$root/sql/trevane_role.sql" >/dev/null

"$@"
