#!/usr/bin/env bash
# Installs what is missing, builds, checks style and static analysis (scripts/lint.sh), and runs
# every test: unit and database tests against a throwaway PostgreSQL cluster (the fault matrix,
# label "faults", and the fault sweep over a whole run, label "sweep", among them), the whole
# suite against PostgreSQL 12 with TZ=Pacific/Honolulu and against 18 with TZ=Asia/Kolkata
# (scripts/server-matrix.sh), so that the database tests run on the oldest and the newest
# supported server and the time-sensitive tests (label "zone") in zones far from UTC, and the
# whole suite but the package test once more built with AddressSanitizer and
# UndefinedBehaviorSanitizer; then the fuzz
# targets for FUZZ_SECONDS each (scripts/fuzz.sh) and a run over the demo data under valgrind
# memcheck (scripts/valgrind-run.sh).
#
#   scripts/test.sh           the whole suite (what CI runs)
#   scripts/test.sh --quick   the build and the plain suite only, for the edit loop
#
# The stages run in two lanes side by side: the plain build and its tests (the suite, the server
# matrix, valgrind), and the sanitizer build with its suite, the lint and the fuzz targets. ctest
# runs TEST_JOBS tests at once (default twice JOBS, which is 2), since many tests wait on the
# server, on timeouts and on sleeps. Each stage's output goes to build/test-logs/NAME.log; a line
# tells when a stage starts and when it ends, with its elapsed time, the end of its log when it
# failed, and a table of every stage closes the run.
# Exit status: 0 when every stage passed, 1 when any failed, 2 on a usage error.
set -euo pipefail

usage() {
  echo "usage: scripts/test.sh [--quick]" >&2
  exit 2
}
quick=0
case $# in
0) ;;
1) [ "$1" = --quick ] || usage; quick=1 ;;
*) usage ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
test_jobs=${TEST_JOBS:-$((jobs * 2))}
logs=$root/build/test-logs
began=$(date +%s)

# 75 -> 1m15s
duration() {
  printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}

# stage NAME COMMAND...: runs a stage (a program, in a process group of its own) with its output
# in build/test-logs/NAME.log; prints when it starts and ends, and the end of its log when it
# fails; adds a row to the table. Returns the stage's status.
stage() {
  local name=$1 from now load status=0 verdict=passed
  shift
  from=$(date +%s)
  echo "== $name started at $(duration $((from - began)))"
  setsid "$@" >"$logs/$name.log" 2>&1 </dev/null &
  echo $! >"$logs/.running.$name"
  wait $! || status=$?
  rm -f "$logs/.running.$name"
  now=$(date +%s)
  if [ "$status" -ne 0 ]; then
    verdict="FAILED (status $status)"
    echo "== $name failed; the end of $logs/$name.log:"
    tail -n 100 "$logs/$name.log"
  fi
  load=$(cut -d ' ' -f 1 /proc/loadavg)
  echo "== $name: $verdict in $(duration $((now - from))) (at $(duration $((now - began))), load $load)"
  printf '%-16s %8s  from %6s to %6s  load %5s  %s\n' "$name" "$(duration $((now - from)))" \
    "$(duration $((from - began)))" "$(duration $((now - began)))" "$load" "$verdict" >>"$logs/.stages"
  return "$status"
}

table() {
  echo "== stages (they overlap; the load is the 1-minute load average when each ended)"
  cat "$logs/.stages"
  if grep -q FAILED "$logs/.stages"; then
    echo "== FAILED after $(duration $(($(date +%s) - began)))"
    return 1
  fi
  echo "== every stage passed in $(duration $(($(date +%s) - began)))"
}

# An interrupted run stops its lanes, then the stages still running (each stops its servers).
lanes=()
stop_all() {
  local pid file
  for pid in "${lanes[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for file in "$logs"/.running.*; do
    [ -f "$file" ] || continue
    kill -TERM -- "-$(cat "$file")" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT TERM

mkdir -p "$logs"
rm -f "$logs/.stages" "$logs"/.running.* "$logs/.built"
stage dependencies scripts/install-deps.sh || { table; exit 1; }

build() {
  stage build bash -c "cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build -j$jobs"
}

# tests BUILD_DIR [CTEST-ARGS...]
tests() {
  local dir=$1
  shift
  scripts/with-test-db.sh ctest --test-dir "$dir" --output-on-failure -j"$test_jobs" "$@"
}
export -f tests
export test_jobs

if [ "$quick" -eq 1 ]; then
  build || { table; exit 1; }
  stage tests bash -c 'tests build' || true
  table
  exit
fi

# The plain build and its tests: the suite, then the server matrix and valgrind. The pool test's
# 498 runs go once, in the plain suite; the matrix and the sanitized suite run 50.
lane_tests() {
  local built=0
  build || built=$?
  touch "$logs/.built"
  [ "$built" -eq 0 ] || return 0
  stage tests bash -c 'tests build' || true
  stage server-matrix env JOBS="$test_jobs" TREVANE_POOL_RUNS=50 scripts/server-matrix.sh --build build \
    --tz Pacific/Honolulu 12 --tz Asia/Kolkata 18 || true
  stage valgrind scripts/valgrind-run.sh build || true
}

# The sanitizer build, from the start beside the plain one, and its suite; then the lint (with
# the plain build's compile commands) and the fuzz targets. The sanitized suite leaves out the
# package test (label "package"), which packs and installs the plain build and runs in the plain
# suite.
lane_cpu() {
  if stage build-asan bash -c "cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
    -DTREVANE_SANITIZE=ON >/dev/null && cmake --build build-asan -j$jobs"; then
    stage tests-asan env TREVANE_POOL_RUNS=50 ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
      LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0" \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 bash -c 'tests build-asan -LE package' || true
  fi
  while [ ! -e "$logs/.built" ]; do sleep 1; done
  stage lint scripts/lint.sh build || true
  stage fuzz scripts/fuzz.sh || true
}

lane_tests &
lanes+=($!)
lane_cpu &
lanes+=($!)
wait "${lanes[@]}"
lanes=()
table
