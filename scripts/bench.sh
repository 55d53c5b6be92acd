#!/usr/bin/env bash
# Measures what a purge run costs: builds a database of a configurable size from the
# demonstration schema (sql/schema.sql and sql/bench_data.sql), then, each time on a fresh
# copy of the same data, runs trevane with host retention, trevane with backup retention, and
# the same deletions written as plain set-based SQL (the limit). Checks that both leave exactly
# the same rows and grid files, and prints wall times (median of BENCH_RUNS), the ratio, the
# statements and round trips trevane sent, and trevane's peak resident memory.
#
# Sizes (defaults in brackets; BENCH_SCALE multiplies every row count, not stations or
# combinations):
#   BENCH_SCALE [1]  BENCH_TABLES [20]  BENCH_OBS_ROWS [2000000]  BENCH_STATIONS [400]
#   BENCH_COMBOS [5000]  BENCH_EVENT_ROWS [200000]  BENCH_PRODUCTS [2000]
#   BENCH_RADAR_ROWS [10000]
# Runs: BENCH_RUNS [3] runs of each figure; BENCH_TRIALS [1]: first time every formulation of
# the limit and keep the fastest per rule (0: use the formulations that won before).
# BENCH_BASELINE: the path of another trevane binary (an earlier build) to measure in the same
# session, its runs alternating with those of this build.
# The bound of this design: the statement stream of this build's counted run, replayed in order
# on one connection by a minimal libpq client (scripts/bench-replay.cpp), BENCH_RUNS times.
# The cluster lives under .bench/ (ignored by git) and is stopped when the script ends.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/.bench"
cd "$root"

scale=${BENCH_SCALE:-1}
scaled() { awk -v n="$1" -v s="$scale" 'BEGIN { printf "%d", n * s + 0.5 }'; }
tables=${BENCH_TABLES:-20}
obs_rows=${BENCH_OBS_ROWS:-$(scaled 2000000)}
stations=${BENCH_STATIONS:-400}
combos=${BENCH_COMBOS:-5000}
event_rows=${BENCH_EVENT_ROWS:-$(scaled 200000)}
products=${BENCH_PRODUCTS:-$(scaled 2000)}
radar_rows=${BENCH_RADAR_ROWS:-$(scaled 10000)}
runs=${BENCH_RUNS:-3}
trials=${BENCH_TRIALS:-1}
# A copy of the data must be purged within this many minutes of its load (see bench_data.sql).
max_age_minutes=45

die() { echo "bench: FAILED: $*" >&2; exit 1; }

scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTREVANE_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target trevane >/dev/null
trevane="$root/build-bench/bin/trevane"
baseline=${BENCH_BASELINE:-}
[ -z "$baseline" ] || [ -x "$baseline" ] || die "BENCH_BASELINE $baseline is not an executable"
replay="$root/build-bench/bench-replay"
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -Wall -Wextra -o "$replay" scripts/bench-replay.cpp \
  $(pkg-config --cflags --libs libpq)

mkdir -p "$work"
cluster="$work/cluster"
scripts/pg-cluster.sh start "$cluster"
trap 'scripts/pg-cluster.sh stop "$cluster"' EXIT
# shellcheck disable=SC1091
source "$cluster/env"
export PGDATABASE=postgres
export TZ=UTC
psql_q() { psql -qX -v ON_ERROR_STOP=1 "$@"; }
# The database name on every log line, so the statements of one run can be told apart.
psql_q -c "ALTER SYSTEM SET log_line_prefix = '%m [%p] %d '" -c "SELECT pg_reload_conf()" >/dev/null
server_log="$cluster/server.log"

now_s() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---------------------------------------------------------------------------------------------
# The template database and its grid files.

template_loaded=0
make_template() {
  echo "== loading the template: $tables tables, $obs_rows observation rows, $stations stations," \
    "$combos event combinations / $event_rows rows, $products products, $radar_rows radar rows"
  local t0
  t0=$(now_s)
  psql_q -c "DROP DATABASE IF EXISTS bench_tpl WITH (FORCE)" >/dev/null
  psql_q -c "CREATE DATABASE bench_tpl" >/dev/null
  psql_q -d bench_tpl -f sql/schema.sql >/dev/null
  psql_q -d bench_tpl -v tables="$tables" -v obs_rows="$obs_rows" -v stations="$stations" \
    -v combos="$combos" -v event_rows="$event_rows" -v products="$products" \
    -v radar_rows="$radar_rows" -f sql/bench_data.sql >/dev/null
  rm -rf "$work/grid_tpl"
  mkdir -p "$work/grid_tpl"
  psql -qXAt -d bench_tpl -c "SELECT grid_filename FROM DPARadar WHERE maxvald > 0.0" |
    (cd "$work/grid_tpl" && xargs -r touch --)
  template_loaded=$(date +%s)
  echo "   loaded in $(elapsed "$t0" "$(now_s)") s; $(psql -qXAt -d bench_tpl -c \
    "SELECT pg_size_pretty(pg_database_size('bench_tpl'))"), $(find "$work/grid_tpl" -type f | wc -l) grid files"
}

# A fresh copy of the template as database $1, with its grid directory $work/grid_$1.
clone() {
  if (( $(date +%s) - template_loaded > max_age_minutes * 60 )); then
    make_template
  fi
  psql_q -c "DROP DATABASE IF EXISTS $1 WITH (FORCE)" >/dev/null
  psql_q -c "CREATE DATABASE $1 TEMPLATE bench_tpl STRATEGY FILE_COPY" >/dev/null
  rm -rf "$work/grid_$1"
  cp -a "$work/grid_tpl" "$work/grid_$1"
}
drop() {
  psql_q -c "DROP DATABASE IF EXISTS $1 WITH (FORCE)" >/dev/null
  rm -rf "$work/grid_$1"
}

# What is left: per table its row count and a sum of hashes of its keys; the grid files.
fingerprint() {
  local tables_q
  tables_q=$(psql -qXAt -v ON_ERROR_STOP=1 -d "$1" -c "
      SELECT string_agg(format('SELECT %L, count(*), coalesce(sum(hashtextextended(lid || ''|'' || obstime, 0)), 0) FROM %I',
                               lower(table_name), lower(table_name)), ' UNION ALL ')
      FROM PurgeDynData WHERE lower(table_name) <> 'dparadar'")
  psql -qXAt -F ' ' -v ON_ERROR_STOP=1 -d "$1" -c "$tables_q
      UNION ALL SELECT 'dparadar', count(*), coalesce(sum(hashtextextended(radid || '|' || obstime, 0)), 0) FROM DPARadar
      UNION ALL SELECT 'textproduct', count(*), coalesce(sum(hashtextextended(product_id || '|' || producttime || '|' || postingtime, 0)), 0) FROM TextProduct
      UNION ALL SELECT 'vtecevent', count(*), coalesce(sum(hashtextextended(geoid || '|' || product_id || '|' || producttime, 0)), 0) FROM VTECevent
      ORDER BY 1"
  echo "grid $(find "$work/grid_$1" -type f | wc -l) $(find "$work/grid_$1" -type f -printf '%f\n' | sort | md5sum | cut -c1-16)"
}

# ---------------------------------------------------------------------------------------------
# trevane

# Runs trevane over database $1 with retention $2 (host|backup); prints "wall rss_kib cpu_s".
# $3, when given, is the binary to run instead of this build's.
run_trevane() {
  local db=$1 mode=$2 bin=${3:-$trevane} out="$work/trevane_$1.out"
  cat >"$work/apps_defaults_$db" <<TOKENS
db_name : $db
dpa_grid_dir : $work/grid_$db
trevane_backup_retention_use : $([ "$mode" = backup ] && echo ON || echo OFF)
TOKENS
  local t0 t1 status=0
  t0=$(now_s)
  APPS_DEFAULTS="$work/apps_defaults_$db" /usr/bin/time -v -o "$work/time_$db" "$bin" >"$out" 2>&1 || status=$?
  t1=$(now_s)
  [ "$status" -eq 0 ] || die "trevane ($mode) exited with status $status; see $out"
  if grep -E "ERROR|PostgreSQL error|error attempting|Could not parse" "$out" >&2; then
    die "trevane ($mode) reported errors; see $out"
  fi
  local rss cpu
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time_$db")
  cpu=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { printf "%.3f", u + s }' "$work/time_$db")
  echo "$(elapsed "$t0" "$t1") $rss $cpu"
}

# ---------------------------------------------------------------------------------------------
# The limit: the same deletions as plain SQL from one psql session. Formulations per rule:
#   obs  host:   1 one DELETE per table, autocommit    2 the same in one transaction
#                3 the same with the planner kept off sequential scans
#   obs  backup: 1 IN / NOT IN the office's stations   2 EXISTS / NOT EXISTS against Location
#                3 the office's stations as a literal array (= ANY / <> ALL)
#   text:        1 boundary by LATERAL ... OFFSET num_versions - 1   2 boundary by row_number()
#                3 boundaries first, in a materialized table, then one join
#   event:       1 latest by correlated MAX   2 latest by GROUP BY joined   3 latest by window MAX

cutoff_expr() { echo "timezone('UTC', now()) - interval '$1 hours'"; }

# Prints the script of the limit for database $1, retention $2, formulations $3 (obs text
# event, e.g. "1 2 1").
limit_sql() {
  local db=$1 mode=$2 fo ft fe
  read -r fo ft fe <<<"$3"
  echo '\set ON_ERROR_STOP on'
  echo '\timing on'
  echo '\pset tuples_only on'
  echo '\pset format unaligned'
  # Grid files: one query lists the files of the expiring radar rows, removed in one go.
  local radar_hours
  radar_hours=$(psql -qXAt -d "$db" -c "SELECT num_hours_host FROM PurgeDynData WHERE lower(table_name) = 'dparadar'")
  echo '\echo PART files'
  echo "SELECT grid_filename FROM DPARadar WHERE obstime < $(cutoff_expr "$radar_hours") AND maxvald > 0.0 \\g |(cd '$work/grid_$db' && xargs -r rm -f --)"
  echo '\echo PART obs'
  local office_list
  office_list=$(psql -qXAt -d "$db" -c "SELECT '{' || string_agg(lid, ',' ORDER BY lid) || '}' FROM Location WHERE hsa = (SELECT hsa FROM Admin LIMIT 1)")
  [ "$mode" = host ] && [ "$fo" = 2 ] && echo 'BEGIN;'
  [ "$mode" = host ] && [ "$fo" = 3 ] && echo 'SET enable_seqscan = off;'
  local table column host backup lid
  while IFS='|' read -r table column host backup lid; do
    if [ "$mode" = host ] || [ "$lid" = 0 ]; then
      echo "DELETE FROM $table WHERE $column < $(cutoff_expr "$host");"
      continue
    fi
    case $fo in
    1)
      echo "DELETE FROM $table WHERE lid IN (SELECT lid FROM Location WHERE hsa = (SELECT hsa FROM Admin LIMIT 1)) AND $column < $(cutoff_expr "$host");"
      echo "DELETE FROM $table WHERE lid NOT IN (SELECT lid FROM Location WHERE hsa = (SELECT hsa FROM Admin LIMIT 1)) AND $column < $(cutoff_expr "$backup");"
      ;;
    2)
      echo "DELETE FROM $table t WHERE EXISTS (SELECT FROM Location l WHERE l.lid = t.lid AND l.hsa = (SELECT hsa FROM Admin LIMIT 1)) AND $column < $(cutoff_expr "$host");"
      echo "DELETE FROM $table t WHERE NOT EXISTS (SELECT FROM Location l WHERE l.lid = t.lid AND l.hsa = (SELECT hsa FROM Admin LIMIT 1)) AND $column < $(cutoff_expr "$backup");"
      ;;
    3)
      echo "DELETE FROM $table WHERE lid = ANY ('$office_list'::varchar[]) AND $column < $(cutoff_expr "$host");"
      echo "DELETE FROM $table WHERE lid <> ALL ('$office_list'::varchar[]) AND $column < $(cutoff_expr "$backup");"
      ;;
    esac
  done < <(psql -qXAt -d "$db" -c "
      SELECT lower(table_name), lower(time_column_name), num_hours_host, num_hours_backup,
             (SELECT count(*) FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid
              WHERE c.relname = lower(p.table_name) AND a.attname = 'lid')
      FROM PurgeDynData p ORDER BY table_name")
  [ "$mode" = host ] && [ "$fo" = 2 ] && echo 'COMMIT;'
  [ "$mode" = host ] && [ "$fo" = 3 ] && echo 'RESET enable_seqscan;'
  echo '\echo PART text'
  case $ft in
  1) cat <<'SQL'
DELETE FROM TextProduct t
USING PurgeProduct p
LEFT JOIN LATERAL (SELECT x.producttime, x.postingtime FROM TextProduct x
                   WHERE x.product_id = p.product_id
                   ORDER BY x.producttime DESC, x.postingtime DESC
                   OFFSET greatest(p.num_versions, 1) - 1 LIMIT 1) b ON p.num_versions > 0
WHERE t.product_id = p.product_id
  AND (p.num_versions <= 0 OR (t.producttime < b.producttime AND t.postingtime < b.postingtime));
SQL
  ;;
  2) cat <<'SQL'
DELETE FROM TextProduct t
USING (SELECT p.product_id, p.num_versions, r.producttime, r.postingtime
       FROM PurgeProduct p
       LEFT JOIN (SELECT product_id, producttime, postingtime,
                         row_number() OVER (PARTITION BY product_id
                                            ORDER BY producttime DESC, postingtime DESC) AS rn
                  FROM TextProduct) r ON r.product_id = p.product_id AND r.rn = p.num_versions) b
WHERE t.product_id = b.product_id
  AND (b.num_versions <= 0 OR (t.producttime < b.producttime AND t.postingtime < b.postingtime));
SQL
  ;;
  3) cat <<'SQL'
WITH boundary AS MATERIALIZED (
    SELECT p.product_id, p.num_versions, b.producttime, b.postingtime
    FROM PurgeProduct p
    LEFT JOIN LATERAL (SELECT x.producttime, x.postingtime FROM TextProduct x
                       WHERE x.product_id = p.product_id
                       ORDER BY x.producttime DESC, x.postingtime DESC
                       OFFSET greatest(p.num_versions, 1) - 1 LIMIT 1) b ON p.num_versions > 0)
DELETE FROM TextProduct t
USING boundary b
WHERE t.product_id = b.product_id
  AND (b.num_versions <= 0 OR (t.producttime < b.producttime AND t.postingtime < b.postingtime));
SQL
  ;;
  esac
  echo '\echo PART event'
  local cutoff
  cutoff="timezone('UTC', now()) - interval '30 days'"
  case $fe in
  1) cat <<SQL
DELETE FROM VTECevent v
WHERE v.producttime < $cutoff
  AND v.producttime <> (SELECT max(w.producttime) FROM VTECevent w
                        WHERE w.geoid = v.geoid AND w.office_id = v.office_id
                          AND w.phenom = v.phenom AND w.signif = v.signif);
SQL
  ;;
  2) cat <<SQL
DELETE FROM VTECevent v
USING (SELECT geoid, office_id, phenom, signif, max(producttime) AS latest
       FROM VTECevent GROUP BY geoid, office_id, phenom, signif) l
WHERE v.geoid = l.geoid AND v.office_id = l.office_id AND v.phenom = l.phenom
  AND v.signif = l.signif AND v.producttime < $cutoff AND v.producttime <> l.latest;
SQL
  ;;
  3) cat <<SQL
DELETE FROM VTECevent
WHERE ctid = ANY (ARRAY(
    SELECT ctid FROM (SELECT ctid, producttime,
                             max(producttime) OVER (PARTITION BY geoid, office_id, phenom, signif) AS latest
                      FROM VTECevent
                      WHERE office_id IS NOT NULL AND phenom IS NOT NULL AND signif IS NOT NULL) w
    WHERE producttime < $cutoff AND producttime <> latest));
SQL
  ;;
  esac
}

# Runs the limit script $2 over database $1; prints "wall files obs text event" in seconds.
run_limit() {
  local db=$1 script=$2 out="$work/limit_$1.out" t0 t1
  t0=$(now_s)
  psql -qX -d "$db" -f "$script" >"$out" 2>&1 || die "the limit script $script failed; see $out"
  t1=$(now_s)
  grep -q ERROR "$out" && die "the limit script $script reported an error; see $out"
  awk -v wall="$(elapsed "$t0" "$t1")" '
    /^PART / { part = $2 }
    /^Time: / { t[part] += $2 / 1000 }
    END { printf "%s %.3f %.3f %.3f %.3f\n", wall, t["files"], t["obs"], t["text"], t["event"] }' "$out"
}

# ---------------------------------------------------------------------------------------------
# Statements and round trips: one more run of trevane with every statement logged (not timed).

# Prints "statements round_trips server_s simple parse execute" for trevane's session on
# database $1, retention $2; $3 names the run's files (default: the retention), $4 the binary.
# Round trips count every simple statement, every prepare under a name (the runtime waits for
# its answer) and every execution; a statement sent with its parameters in one message (parse
# of the unnamed statement, bind, execute) is one. Writes the round trips per pass to
# $work/passes_$3.txt and this run's statement stream, for the replay, to $work/stream_$3.txt.
count_statements() {
  local db=$1 mode=$2 tag=${3:-$2} bin=${4:-$trevane} from
  psql_q -c "ALTER DATABASE $db SET log_min_duration_statement = 0" >/dev/null
  from=$(wc -l <"$server_log")
  run_trevane "$db" "$mode" "$bin" >/dev/null
  tail -n +"$((from + 1))" "$server_log" >"$work/log_$tag.txt"
  # Each duration line is written before the statement's reply goes out.
  awk -v db="$db" '
    $0 ~ " " db " LOG:  duration: " {
      d = $0; sub(/.*duration: /, "", d); server += d / 1000
      if ($0 ~ /ms  statement: /) { simple++ }
      else if ($0 ~ /ms  parse / && $0 !~ /ms  parse <unnamed>/) { parse++ }
      else if ($0 ~ /ms  execute /) { execute++ }
    }
    END { printf "%d %d %.3f %d %d %d\n", simple + execute, simple + parse + execute, server, simple, parse, execute }' \
    "$work/log_$tag.txt"
  # Passes follow each other: the first statement of each names its table.
  awk -v db="$db" '
    $0 ~ " " db " LOG:  duration: " {
      if ($0 ~ /purgedyn_cursor/ && pass == "") pass = "time-based tables"
      else if ($0 ~ /FROM PurgeProduct/) pass = "text products"
      else if ($0 ~ /SELECT DISTINCT geoid/) pass = "event records"
      else if ($0 ~ /insert into PerfLog/) pass = "PerfLog row"
      p = pass == "" ? "start (Admin)" : pass
      if ($0 ~ /ms  statement: / || $0 ~ /ms  execute / || ($0 ~ /ms  parse / && $0 !~ /parse <unnamed>/)) n[p]++
      if (!(p in order)) { order[p] = ++k; name[k] = p }
    }
    END { for (i = 1; i <= k; i++) printf "%-18s %8d\n", name[i], n[name[i]] }' \
    "$work/log_$tag.txt" >"$work/passes_$tag.txt"
  # The stream: statements sent as they are, and those sent with their parameters.
  awk -v db="$db" '
    function flush() { if (pending != "") { print pending; pending = "" } }
    $0 ~ " " db " LOG:  duration: [0-9.]+ ms  statement: " {
      flush(); s = $0; sub(/.* ms  statement: /, "", s); print "S\t" s; next }
    $0 ~ " " db " LOG:  duration: [0-9.]+ ms  execute " {
      flush(); s = $0; sub(/.* ms  execute [^:]*: /, "", s); pending = "P\t" s; next }
    $0 ~ " " db " DETAIL:  parameters: " && pending != "" {
      s = $0; sub(/.* DETAIL:  parameters: /, "", s)
      n = split(s, parts, /, \$[0-9]+ = /); sub(/^\$1 = /, "", parts[1])
      for (i = 1; i <= n; i++) { v = parts[i]; if (v != "NULL") { sub(/^\047/, "", v); sub(/\047$/, "", v); gsub(/\047\047/, "\047", v) } pending = pending "\t" v }
      flush(); next }
    END { flush() }' "$work/log_$tag.txt" >"$work/stream_$tag.txt"
  grep -E " $db LOG:  duration: [0-9.]+ ms  (statement|execute)" "$work/log_$tag.txt" |
    sed -E 's/.*(statement|execute [^:]*): *//; s/[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:.]+/T/g; s/'"'"'[^'"'"']*'"'"'/V/g; s/[0-9]+/N/g' |
    cut -c1-60 | sort | uniq -c | sort -rn >"$work/statements_$tag.txt"
}

# Replays the stream $2 over database $1; prints "wall statements failed".
run_replay() {
  local db=$1 stream=$2 t0 t1 r
  t0=$(now_s)
  r=$("$replay" "$stream" "$db") || die "the replay of $stream failed"
  t1=$(now_s)
  read -r n failed _ <<<"$r"
  [ "$failed" = 0 ] || die "the replay of $stream had $failed failing statements"
  echo "$(elapsed "$t0" "$t1") $n $failed"
}

# ---------------------------------------------------------------------------------------------

declare -A fp_ref
# Compares what run $1 left in database $2 with the first run of retention $3; with $4 = rows,
# the grid files are left out (the replay sends statements and removes no file).
check_same() {
  local what=$1 db=$2 mode=$3 fp
  fp=$(fingerprint "$db")
  if [ "${4:-}" = rows ]; then
    fp=$(printf '%s\n' "$fp" | grep -v '^grid ')$'\n'$(printf '%s\n' "${fp_ref[$mode]}" | grep '^grid ')
  fi
  if [ -z "${fp_ref[$mode]:-}" ]; then
    fp_ref[$mode]=$fp
    echo "$fp" >"$work/fingerprint_$mode.txt"
    return
  fi
  if [ "$fp" != "${fp_ref[$mode]}" ]; then
    echo "$fp" >"$work/fingerprint_${mode}_mismatch.txt"
    echo "bench: remaining rows differ ($what, $mode retention):" >&2
    diff "$work/fingerprint_$mode.txt" "$work/fingerprint_${mode}_mismatch.txt" >&2 || true
    die "$what leaves other rows than trevane with $mode retention"
  fi
}

# Times the limit of retention $1 with formulations $2 (obs text event) over BENCH_RUNS fresh
# copies, reported as $3; its script goes to $4.sql and one line per run to $4.runs.
time_limit() {
  local mode=$1 formulations=$2 what=$3 base=$4 i r
  clone bench_run
  limit_sql bench_run "$mode" "$formulations" >"$base.sql"
  : >"$base.runs"
  for i in $(seq "$runs"); do
    [ "$i" = 1 ] || clone bench_run
    r=$(run_limit bench_run "$base.sql")
    check_same "$what run $i" bench_run "$mode"
    echo "   $what run $i: wall files obs text event = $r"
    echo "$r" >>"$base.runs"
    drop bench_run
  done
}

make_template

# Per-round-trip cost of the connection: a trivial statement, many times, one session.
rt_us=$(pgbench -n -c 1 -T 3 -f <(echo 'SELECT 1;') bench_tpl 2>/dev/null |
  awk '/latency average/ { printf "%.1f", $4 * 1000 }')

declare -A best
best[host]=${BENCH_LIMIT_HOST:-"1 1 1"}
best[backup]=${BENCH_LIMIT_BACKUP:-"1 1 1"}
declare -A res res_base

for mode in host backup; do
  echo "== $mode retention"
  : >"$work/trevane_$mode.runs"
  : >"$work/baseline_$mode.runs"
  for i in $(seq "$runs"); do
    clone bench_run
    r=$(run_trevane bench_run "$mode")
    check_same "trevane run $i" bench_run "$mode"
    echo "   trevane run $i: wall/rss KiB/cpu s = $r"
    echo "$r" >>"$work/trevane_$mode.runs"
    drop bench_run
    if [ -n "$baseline" ]; then
      clone bench_run
      r=$(run_trevane bench_run "$mode" "$baseline")
      check_same "baseline run $i" bench_run "$mode"
      echo "   baseline run $i: wall/rss KiB/cpu s = $r"
      echo "$r" >>"$work/baseline_$mode.runs"
      drop bench_run
    fi
  done
  if [ "$trials" = 1 ]; then
    for f in 1 2 3; do
      time_limit "$mode" "$f $f $f" "formulation $f" "$work/limit_${mode}_$f"
    done
    # Fastest formulation per rule by the median of its runs.
    pick() {
      local col=$1 bestf="" bestt=""
      for f in 1 2 3; do
        t=$(awk -v c="$col" '{ print $c }' "$work/limit_${mode}_$f.runs" | median)
        if [ -z "$bestt" ] || awk -v a="$t" -v b="$bestt" 'BEGIN { exit !(a < b) }'; then
          bestt=$t; bestf=$f
        fi
      done
      echo "$bestf"
    }
    best[$mode]="$(pick 3) $(pick 4) $(pick 5)"
    echo "   fastest formulations (obs text event): ${best[$mode]}"
  fi
  time_limit "$mode" "${best[$mode]}" "limit" "$work/limit_$mode"
  clone bench_count
  c=$(count_statements bench_count "$mode")
  check_same "trevane counting run" bench_count "$mode"
  drop bench_count
  echo "   statements round-trips server-s simple parse execute = $c"
  if [ -n "$baseline" ]; then
    clone bench_count
    bc=$(count_statements bench_count "$mode" "baseline_$mode" "$baseline")
    check_same "baseline counting run" bench_count "$mode"
    drop bench_count
    echo "   baseline statements round-trips server-s simple parse execute = $bc"
    res_base[$mode]="$(awk '{ print $1 }' "$work/baseline_$mode.runs" | median) $bc"
  fi
  : >"$work/replay_$mode.runs"
  for i in $(seq "$runs"); do
    clone bench_run
    r=$(run_replay bench_run "$work/stream_$mode.txt")
    check_same "replay run $i" bench_run "$mode" rows
    echo "   replay run $i: wall statements failed = $r"
    echo "$r" >>"$work/replay_$mode.runs"
    drop bench_run
  done
  res[$mode]="$(awk '{ print $1 }' "$work/trevane_$mode.runs" | median) \
$(awk '{ print $2 }' "$work/trevane_$mode.runs" | median) \
$(awk '{ print $3 }' "$work/trevane_$mode.runs" | median) \
$(awk '{ print $1 }' "$work/limit_$mode.runs" | median) \
$(awk '{ print $1 }' "$work/replay_$mode.runs" | median) $c"
done

echo
echo "== results: $tables tables, $obs_rows observation rows, $stations stations, $combos event" \
  "combinations / $event_rows rows, $products products, $radar_rows radar rows; median of $runs runs"
echo "   limit formulations (obs text event): host ${best[host]}, backup ${best[backup]};" \
  "one round trip of a trivial statement: ${rt_us} us"
printf '%-9s %12s %10s %7s %11s %12s %12s %12s %11s\n' retention "trevane s" "limit s" ratio \
  statements "round trips" "server s" "client cpu s" "peak RSS"
for mode in host backup; do
  read -r tw rss cpu lw rw st rt srv _ <<<"${res[$mode]}"
  printf '%-9s %12.2f %10.2f %7.2f %11d %12d %12.2f %12.2f %7.1f MiB\n' "$mode" "$tw" "$lw" \
    "$(awk -v a="$tw" -v b="$lw" 'BEGIN { print a / b }')" "$st" "$rt" "$srv" "$cpu" \
    "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')"
done
echo
echo "   the same statement stream replayed by a minimal libpq client (the bound of this design):"
printf '%-9s %12s %10s %11s\n' retention "trevane s" "replay s" "ratio"
for mode in host backup; do
  read -r tw _ _ _ rw _ <<<"${res[$mode]}"
  printf '%-9s %12.2f %10.2f %11.2f\n' "$mode" "$tw" "$rw" "$(awk -v a="$tw" -v b="$rw" 'BEGIN { print a / b }')"
done
if [ -n "$baseline" ]; then
  echo
  echo "   baseline $baseline against this build:"
  printf '%-9s %12s %12s %11s %11s %14s %14s\n' retention "baseline s" "this s" "base ratio" \
    "this ratio" "base trips" "this trips"
  for mode in host backup; do
    read -r tw _ _ lw _ _ rt _ <<<"${res[$mode]}"
    read -r bw _ brt _ <<<"${res_base[$mode]}"
    printf '%-9s %12.2f %12.2f %11.2f %11.2f %14d %14d\n' "$mode" "$bw" "$tw" \
      "$(awk -v a="$bw" -v b="$lw" 'BEGIN { print a / b }')" "$(awk -v a="$tw" -v b="$lw" 'BEGIN { print a / b }')" "$brt" "$rt"
  done
fi
echo "   round trips per pass: .bench/passes_<retention>.txt (baseline: passes_baseline_<retention>.txt)"
echo "   (statements and round trips from the server log of one more run; statement kinds in" \
  ".bench/statements_host.txt and .bench/statements_backup.txt)"
drop bench_tpl >/dev/null 2>&1 || true
