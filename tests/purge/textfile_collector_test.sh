#!/bin/sh
# A real node exporter serves the metrics file of a trevane run over the demonstration data
# through its textfile collector: no scrape error, and every table's figure as trevane wrote it.
# Usage: textfile_collector_test.sh TREVANE SOURCE_DIR   (under scripts/with-test-db.sh)
set -u
trevane=$1
src=$2
fail() { echo "FAIL: $*"; exit 1; }
[ -n "${TREVANE_TEST_TEMPLATE:-}" ] || fail "no test server: run under scripts/with-test-db.sh"
exporter=$(command -v prometheus-node-exporter) || fail "prometheus-node-exporter is not installed"

work=$(mktemp -d /tmp/trevane-textfile.XXXXXX) || fail "mktemp"
db=textfile_$$
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    psql -qX -c "DROP DATABASE IF EXISTS $db" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

psql -qX -v ON_ERROR_STOP=1 -c "CREATE DATABASE $db TEMPLATE $TREVANE_TEST_TEMPLATE" >/dev/null \
    || fail "creating the database"
psql -qX -v ON_ERROR_STOP=1 -d "$db" -f "$src/sql/demo_data.sql" >/dev/null || fail "demo data"
mkdir "$work/textfile"
prom=$work/textfile/trevane.prom
env -u PG_DBPATH -u trevane_preview -u dpa_grid_dir db_name="$db" trevane_metrics_file="$prom" \
    "$trevane" >"$work/report" 2>&1 || { cat "$work/report"; fail "trevane exit status"; }
grep -q '^trevane_last_run_rows_deleted{table="height"} [1-9]' "$prom" || fail "no height figure"

# The exporter on a free loopback port: a port already taken ends it at once, and the next one
# is tried.
for attempt in 1 2 3 4 5; do
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
tables=0
while read -r line; do
    grep -qxF "$line" "$work/scrape" || fail "not served as written: $line"
    tables=$((tables + 1))
done <<LINES
$(grep '^trevane_last_run_rows_deleted{' "$prom")
LINES
[ $tables -eq 8 ] || fail "$tables table series, expected 8"
echo "ok: $tables table series served on port $port"
