#!/usr/bin/env bash
# Measures the event pass when many combinations share their latest producttime, as when one
# product is issued for many zones. For each size N, a database holds N combinations (geoid
# Z0001 ... of one office, phenomenon and significance), each with one event at the one shared
# time 40 days back and one older event 45 days back, which the pass deletes; nothing else. Each
# run purges a fresh copy; the wall time of the whole run is printed (median of BENCH_RUNS, the
# runs going round the sizes), and every run must leave exactly the N shared-time events.
#
#   BENCH_EVENT_SIZES ["300 900 2700 8100"]  BENCH_RUNS [3]
#   BENCH_TREVANE: the trevane binary to measure (default: a Release build in build-bench)
#   BENCH_BASELINE: another trevane binary (an earlier build), run BENCH_BASELINE_RUNS [1] times
#   per size in the same session. The statements of both builds at the smallest size are then
#   compared: this build's must be a subsequence of the baseline's, with no statement text of
#   its own, once cursor names are taken back to their described names (tcur1_<token> is tcur1)
#   and the latest-time lookup's repeated keys in its outer condition are taken out.
# The cluster lives under .bench/events (ignored by git) and is stopped when the script ends.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/.bench/events"
cd "$root"
sizes=${BENCH_EVENT_SIZES:-300 900 2700 8100}
runs=${BENCH_RUNS:-3}
baseline=${BENCH_BASELINE:-}
baseline_runs=${BENCH_BASELINE_RUNS:-1}
die() { echo "bench-events: FAILED: $*" >&2; exit 1; }
[ -z "$baseline" ] || [ -x "$baseline" ] || die "BENCH_BASELINE $baseline is not an executable"

trevane=${BENCH_TREVANE:-}
if [ -z "$trevane" ]; then
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTREVANE_TESTS=OFF >/dev/null
  cmake --build build-bench -j1 --target trevane >/dev/null
  trevane="$root/build-bench/bin/trevane"
fi
[ -x "$trevane" ] || die "$trevane is not an executable"

mkdir -p "$work"
cluster="$work/cluster"
scripts/pg-cluster.sh start "$cluster"
trap 'scripts/pg-cluster.sh stop "$cluster"' EXIT
# shellcheck disable=SC1091
source "$cluster/env"
export PGDATABASE=postgres TZ=UTC
psql_q() { psql -qX -v ON_ERROR_STOP=1 -c "SET client_min_messages = warning" "$@"; }
psql_q -c "ALTER SYSTEM SET log_line_prefix = '%d '" -c "SELECT pg_reload_conf()" >/dev/null

# The template of size $1.
make_template() {
  psql_q -c "DROP DATABASE IF EXISTS events_tpl_$1 WITH (FORCE)" -c "CREATE DATABASE events_tpl_$1" >/dev/null
  psql_q -d "events_tpl_$1" -f sql/schema.sql >/dev/null
  psql_q -d "events_tpl_$1" -v n="$1" -f - >/dev/null <<'SQL'
INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif)
SELECT format('Z%s', lpad(k::text, 4, '0')), p.product_id,
       date_trunc('second', localtimestamp) - p.age, 'KBOX', 'FL', 'W'
FROM generate_series(1, :n) AS k,
     (VALUES ('LATEST', interval '40 days'), ('OLDER', interval '45 days')) AS p (product_id, age);
VACUUM ANALYZE VTECevent;
SQL
}

# Runs binary $2 over a fresh copy of size $1; prints the wall seconds. $3: the server logs
# every statement with its duration.
run_once() {
  local n=$1 bin=$2 db="events_run_$1" t0 t1 status=0
  psql_q -c "DROP DATABASE IF EXISTS $db WITH (FORCE)" \
    -c "CREATE DATABASE $db TEMPLATE events_tpl_$n" >/dev/null
  if [ -n "${3:-}" ]; then
    psql_q -c "ALTER DATABASE $db SET log_min_duration_statement = 0" >/dev/null
  fi
  t0=$(date +%s.%N)
  env -u PG_DBPATH -u trevane_preview -u dpa_grid_dir -u trevane_metrics_file -u APPS_DEFAULTS \
    -u APPS_DEFAULTS_USER -u APPS_DEFAULTS_PROG -u APPS_DEFAULTS_SITE db_name="$db" trevane_backup_retention_use=OFF "$bin" >"$work/run.out" 2>&1 || status=$?
  t1=$(date +%s.%N)
  [ "$status" -eq 0 ] || die "$bin exited with status $status; see $work/run.out"
  ! grep -E "ERROR|PostgreSQL error|left alone" "$work/run.out" >&2 || die "errors; see $work/run.out"
  [ "$(psql -qXAt -d "$db" -c "SELECT count(*) FILTER (WHERE product_id = 'LATEST') || ' ' || count(*) FROM VTECevent")" = "$n $n" ] \
    || die "$bin did not leave exactly the $n latest events"
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f\n", b - a }'
}
# The statements of database $2 in the server log $1, one a line, as "milliseconds text".
logged() {
  awk -v db="$2" '$1 == db && $2 == "LOG:" && $3 == "duration:" { ms = $4; sub(/^.*  (statement|parse [^:]*|bind [^:]*|execute [^:]*): /, ""); print ms, $0 }' "$1"
}
# Runs binary $2 over size $1 once more with every statement logged, into $work/log_$3.
logged_run() {
  local before
  before=$(wc -l <"$cluster/server.log")
  run_once "$1" "$2" log >/dev/null
  tail -n +"$((before + 1))" "$cluster/server.log" | logged /dev/stdin "events_run_$1" >"$work/log_$3"
}
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# This build's runs go round the sizes, so that every size meets the same load of a shared
# machine; then, size by size, one logged run and the baseline's runs (slow at large sizes).
for n in $sizes; do make_template "$n"; done
declare -A times=()
for ((i = 0; i < runs; i++)); do
  for n in $sizes; do times[$n]+="$(run_once "$n" "$trevane") "; done
done
echo "size | build | runs | median s | all s | server s: latest-time declares, all statements"
for n in $sizes; do
  logged_run "$n" "$trevane" this
  server=$(awk '{ all += $1 } $2 == "declare" && $3 ~ /^tcur1(_[a-z0-9]+)?$/ { d += $1 } END { printf "%.2f, %.2f", d / 1000, all / 1000 }' "$work/log_this")
  # shellcheck disable=SC2086
  echo "$n | this | $runs | $(printf '%s\n' ${times[$n]} | median) | ${times[$n]% } | $server"
  if [ -n "$baseline" ]; then
    base=()
    for ((i = 0; i < baseline_runs; i++)); do base+=("$(run_once "$n" "$baseline")"); done
    echo "$n | baseline | $baseline_runs | $(printf '%s\n' "${base[@]}" | median) | ${base[*]} |"
  fi
done

if [ -n "$baseline" ]; then
  n=${sizes%% *}
  for build in baseline this; do
    bin=$trevane
    [ "$build" = baseline ] && bin=$baseline
    logged_run "$n" "$bin" "$build"
    # The cutoff of the deletes is the time of the run: it is left out of the comparison, and so
    # are the tokens of cursor names and the keys that the latest-time lookup repeats.
    cut -d' ' -f2- "$work/log_$build" | sed -E \
      -e "s/producttime < '[^']*'/producttime < 'CUTOFF'/" \
      -e 's/\b(tcur[0-9]|tp_cur|tpc_cur|selectcur|purgedyn_cursor|pp_cur)_[a-z0-9]+\b/\1/g' \
      -e "s/ WHERE geoid='[^']*' AND office_id = '[^']*' AND phenom='[^']*' AND signif='[^']*' AND producttime =  \(SELECT MAX/ WHERE producttime =  (SELECT MAX/" \
      >"$work/statements_$build"
  done
  # Each statement of this build in the baseline's stream, in order; no text the baseline lacks.
  awk 'NR == FNR { a[++na] = $0; next }
       { found = 0; while (i < na) if (a[++i] == $0) { found = 1; break }; if (!found) { bad = 1; exit } }
       END { exit bad }' "$work/statements_baseline" "$work/statements_this" \
    || die "this build's statements are not a subsequence of the baseline's"
  echo "statements at $n combinations: baseline $(wc -l <"$work/statements_baseline"), this build" \
    "$(wc -l <"$work/statements_this") (a subsequence of the baseline's)"
  # The statements by kind (the first two words): how many of each the two builds sent.
  for build in baseline this; do
    awk '{ print $1, $2 }' "$work/statements_$build" | sort | uniq -c | awk -v b="$build" '{ print b, $2, $3, $1 }'
  done | awk '{ k = $2 " " $3; n[k, $1] = $4; kinds[k] } END { for (k in kinds) printf "  %-24s baseline %6d  this %6d\n", k, n[k, "baseline"], n[k, "this"] }' | sort
fi
