#!/usr/bin/env bash
# Checks the house style and the static checks: clang-format (.clang-format) over every tracked
# .cpp and .h file, changing nothing, and clang-tidy (.clang-tidy) over the sources of purge/,
# dbaccess/, util/, util_gen1/ and tokvue/ with the compile commands of BUILD_DIR. Fails on any
# finding. Usage: scripts/lint.sh [BUILD_DIR]   (default: build; configured when it is not)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}
jobs=${JOBS:-2}

if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S . -B "$build" >/dev/null
fi

status=0

echo "== clang-format"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 -r -P"$jobs" -n 16 clang-format --dry-run --Werror \
  || status=1

echo "== clang-tidy"
# clang-tidy counts the warnings it suppresses in code that is not ours; only findings matter.
set +e
git ls-files -z -- 'purge/*.cpp' 'dbaccess/*.cpp' 'util/*.cpp' 'util_gen1/*.cpp' 'tokvue/*.cpp' |
  xargs -0 -r -P"$jobs" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>&1 |
  grep -Ev '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$'
tidy=${PIPESTATUS[1]}
set -e
if [ "$tidy" -ne 0 ]; then
  status=1
fi

if [ "$status" -ne 0 ]; then
  echo "lint: findings above" >&2
fi
exit "$status"
