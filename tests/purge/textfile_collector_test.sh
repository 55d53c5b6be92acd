#!/bin/sh
# A real node exporter serves the metrics files of two instances on one host, each on its own
# database and writing its own file into one textfile directory: east purges the demonstration
# data, west stops early on a database without PurgeDynData. No scrape error, promtool passes
# the scrape, and each database's series are served with its own figures.
# Usage: textfile_collector_test.sh TREVANE SOURCE_DIR   (under scripts/with-test-db.sh)
set -u
trevane=$1
src=$2
fail() { echo "FAIL: $*"; exit 1; }
[ -n "${TREVANE_TEST_TEMPLATE:-}" ] || fail "no test server: run under scripts/with-test-db.sh"
exporter=$(command -v prometheus-node-exporter) || fail "prometheus-node-exporter is not installed"

work=$(mktemp -d "${TMPDIR:-/tmp}/trevane-textfile.XXXXXX") || fail "mktemp"
east=textfile_east_$$
west=textfile_west_$$
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    for db in "$east" "$west"; do
        psql -qX -c "DROP DATABASE IF EXISTS $db" >/dev/null 2>&1
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for db in "$east" "$west"; do
    psql -qX -v ON_ERROR_STOP=1 -c "CREATE DATABASE $db TEMPLATE $TREVANE_TEST_TEMPLATE" \
        >/dev/null || fail "creating $db"
done
psql -qX -v ON_ERROR_STOP=1 -d "$east" -f "$src/sql/demo_data.sql" >/dev/null || fail "demo data"
psql -qX -v ON_ERROR_STOP=1 -d "$west" -c "DROP TABLE PurgeDynData" >/dev/null || fail "west"
mkdir "$work/textfile"
# Runs the instance $1 on the database $2 into its own file, logged in as the role trevane of
# sql/trevane_role.sql; prints its exit status.
instance() {
    env -u PG_DBPATH -u trevane_preview -u dpa_grid_dir PGUSER=trevane db_name="$2" \
        trevane_metrics_file="$work/textfile/trevane-$1.prom" "$trevane" >"$work/$1.report" 2>&1
    echo $?
}
[ "$(instance east "$east")" = 0 ] || { cat "$work/east.report"; fail "east exit status"; }
[ "$(instance west "$west")" = 1 ] || { cat "$work/west.report"; fail "west exit status"; }
grep -q "^trevane_last_run_rows_deleted{database=\"$east\",table=\"height\"} [1-9]" \
    "$work/textfile/trevane-east.prom" || fail "no height figure"
# Every sample of the instance $1's file names its database $2 first.
labelled() {
    ! grep -v '^#' "$work/textfile/trevane-$1.prom" | grep -v "^trevane_[a-z_]*{database=\"$2\"[,}]"
}
labelled east "$east" || fail "a series of east without its database label first"
labelled west "$west" || fail "a series of west without its database label first"

# The exporter on a free loopback port: a port already taken ends it at once, and the next one
# is tried.
for _ in 1 2 3 4 5; do
    port=$((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000))
    "$exporter" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
        --collector.textfile --collector.textfile.directory="$work/textfile" \
        --web.disable-exporter-metrics >"$work/exporter.log" 2>&1 &
    pid=$!
    tries=0
    while [ $tries -lt 100 ] && kill -0 "$pid" 2>/dev/null; do
        curl -sf "http://127.0.0.1:$port/metrics" -o "$work/scrape" && break 2
        sleep 0.1
        tries=$((tries + 1))
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
done
[ -n "$pid" ] || { cat "$work/exporter.log"; fail "the exporter did not serve"; }

grep -qx 'node_textfile_scrape_error 0' "$work/scrape" || { cat "$work/scrape"; fail "scrape error"; }
promtool check metrics <"$work/scrape" || fail "promtool check metrics"
# Each instance's own figures, as it wrote them: the exit status, the success time of the one
# that failed, and every table's rows.
served=0
while read -r line; do
    grep -qxF "$line" "$work/scrape" || fail "not served as written: $line"
    served=$((served + 1))
done <<LINES
trevane_last_run_exit_status{database="$east"} 0
trevane_last_run_exit_status{database="$west"} 1
trevane_last_success_timestamp_seconds{database="$west"} 0
$(grep '^trevane_last_run_rows_deleted{' "$work/textfile/trevane-east.prom")
LINES
[ $served -eq 11 ] || fail "$served series checked, expected 11"
echo "ok: $served series of two databases served on port $port"
