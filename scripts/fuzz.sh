#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and UBSan, the whole
# tree instrumented) in build-fuzz and runs each for FUZZ_SECONDS seconds (default 30), JOBS
# (default 2) at a time, over its corpus in build-fuzz/corpus/<target>/, seeded from the
# committed tests/fuzz/corpus/<target>/, which the script never changes. New inputs that add
# coverage are merged into the corpus in build-fuzz (each at most FUZZ_MAX_LEN bytes, default
# 1024), so later runs go on from them; copy them to tests/fuzz/corpus by hand to keep them.
# Fails when a target finds a crash, a leak or undefined behaviour; the input that did it is left
# in build-fuzz/artifacts/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-30}
max_len=${FUZZ_MAX_LEN:-1024}
jobs=${JOBS:-2}
targets=(fuzz_tokens fuzz_time_text fuzz_lower_trim fuzz_parse_unique)

echo "== build fuzz targets (clang)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTREVANE_FUZZ=ON -DTREVANE_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"

artifacts="$root/build-fuzz/artifacts"
mkdir -p "$artifacts"
work=$(mktemp -d /tmp/trevane-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# fuzz TARGET: fuzzes one target and merges what it found; its summary line goes to
# $work/TARGET.summary. Fails when the target failed.
fuzz() {
  local t=$1 corpus seed status=0 runs
  corpus="$root/build-fuzz/corpus/$t"
  mkdir -p "$corpus" "$work/$t"
  # Inputs are named by their hash, so a committed input that is there already is the same.
  for seed in "$root/tests/fuzz/corpus/$t"/*; do
    if [ -f "$seed" ] && [ ! -e "$corpus/${seed##*/}" ]; then cp "$seed" "$corpus/"; fi
  done
  echo "== fuzz $t for ${seconds}s"
  "build-fuzz/tests/fuzz/$t" "$work/$t" "$corpus" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
    >"$work/$t.log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log" | tail -1)
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/$t.log"
    echo "$t: FAILED (status $status) after ${runs:-?} executions" >"$work/$t.summary"
    return 1
  fi
  # Keep the corpus small: only the new inputs that add coverage join it.
  "build-fuzz/tests/fuzz/$t" -merge=1 -max_len="$max_len" "$corpus" "$work/$t" \
    >"$work/$t.merge.log" 2>&1 || true
  echo "$t: ${runs:-?} executions, no failure; corpus $(find "$corpus" -type f | wc -l) inputs" \
    >"$work/$t.summary"
}

# The targets run JOBS at a time, each for its full time.
failed=0
running=()
for t in "${targets[@]}"; do
  fuzz "$t" &
  running+=($!)
  if [ "${#running[@]}" -ge "$jobs" ]; then
    wait "${running[0]}" || failed=1
    running=("${running[@]:1}")
  fi
done
for pid in "${running[@]}"; do
  wait "$pid" || failed=1
done

echo "== fuzz summary"
for t in "${targets[@]}"; do cat "$work/$t.summary"; done
exit "$failed"
