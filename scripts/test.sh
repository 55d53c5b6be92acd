#!/usr/bin/env bash
# Installs what is missing, builds, checks style and static analysis (scripts/lint.sh), and runs
# every test: unit and database tests against a throwaway PostgreSQL cluster (the fault matrix,
# label "faults", and the fault sweep over a whole run, label "sweep", among them), the
# time-sensitive tests (label "zone") again in zones far from UTC, the database tests against
# PostgreSQL 12 and 18 (scripts/server-matrix.sh), and the whole suite once more built with
# AddressSanitizer and UndefinedBehaviorSanitizer; then runs the fuzz targets for FUZZ_SECONDS
# each (scripts/fuzz.sh) and a run over the demo data under valgrind memcheck
# (scripts/valgrind-run.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}

scripts/install-deps.sh

echo "== build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

echo "== lint"
scripts/lint.sh build

echo "== tests"
scripts/with-test-db.sh ctest --test-dir build --output-on-failure -j"$jobs"

for zone in Pacific/Honolulu Asia/Kolkata; do
  echo "== tests with TZ=$zone"
  TZ=$zone scripts/with-test-db.sh ctest --test-dir build --output-on-failure -j"$jobs" -L zone
done

echo "== database tests on the oldest and the newest supported server"
scripts/server-matrix.sh --build build 12 18

echo "== build with sanitizers"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTREVANE_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"

echo "== tests with sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  scripts/with-test-db.sh ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzz (${FUZZ_SECONDS:-30}s per target)"
scripts/fuzz.sh

echo "== trevane over the demo data under valgrind"
scripts/valgrind-run.sh build
