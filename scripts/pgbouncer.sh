#!/usr/bin/env bash
# A private pgbouncer in front of a PostgreSQL server, listening only on a Unix socket inside its
# own directory, for the tests.
#
#   pgbouncer.sh start DIR MODE SERVER_HOST SERVER_PORT [SETTING=VALUE ...]
#                                  start a pooler of pool_mode MODE (session, transaction) that
#                                  hands out connections to every database of the server; the
#                                  settings are added to its [pgbouncer] section
#   pgbouncer.sh stop DIR          stop it (immediate shutdown) and wait until it is gone
#
# After start, DIR/env holds the PGHOST/PGPORT exports that reach it. Clients log in without a
# password as postgres or trevane; the pooler logs in to the server as the same user. It refuses
# to run as root, so as root it runs under the postgres account.
set -euo pipefail

usage="usage: pgbouncer.sh start DIR MODE SERVER_HOST SERVER_PORT [SETTING=VALUE ...] | stop DIR"
cmd=${1:?$usage}
dir=${2:?$usage}

# Runs a command as the owner of the cluster or pool (see as-owner.sh).
as_owner="$(cd "$(dirname "$0")" && pwd)/as-owner.sh"

case "$cmd" in
start)
  mode=${3:?$usage}
  server_host=${4:?$usage}
  server_port=${5:?$usage}
  shift 5
  command -v pgbouncer >/dev/null || { echo "pgbouncer.sh: pgbouncer is not installed" >&2; exit 1; }
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if [ "$(id -u)" -eq 0 ]; then
    chown postgres: "$dir"
  fi
  chmod 755 "$dir"
  port=$(( 20000 + RANDOM % 30000 ))
  while [ -e "$dir/.s.PGSQL.$port" ]; do port=$(( port + 1 )); done
  printf '"postgres" ""\n"trevane" ""\n' >"$dir/users.txt"
  {
    printf '[databases]\n* = host=%s port=%s\n\n[pgbouncer]\n' "$server_host" "$server_port"
    printf 'unix_socket_dir = %s\nlisten_port = %s\n' "$dir" "$port"
    printf 'pool_mode = %s\nauth_type = trust\nauth_file = %s/users.txt\n' "$mode" "$dir"
    printf 'pidfile = %s/pgbouncer.pid\nlogfile = %s/pgbouncer.log\n' "$dir" "$dir"
    printf 'default_pool_size = 4\nmax_client_conn = 50\n'
    for setting in "$@"; do
      printf '%s = %s\n' "${setting%%=*}" "${setting#*=}"
    done
  } >"$dir/pgbouncer.ini"
  if [ "$(id -u)" -eq 0 ]; then
    chown postgres: "$dir/users.txt" "$dir/pgbouncer.ini"
  fi
  "$as_owner" pgbouncer -d -q "$dir/pgbouncer.ini" || { cat "$dir/pgbouncer.log" >&2 || true; exit 1; }
  for _ in $(seq 100); do
    [ -S "$dir/.s.PGSQL.$port" ] && break
    sleep 0.1
  done
  [ -S "$dir/.s.PGSQL.$port" ] || { cat "$dir/pgbouncer.log" >&2 || true; exit 1; }
  printf 'export PGHOST=%q PGPORT=%q\n' "$dir" "$port" >"$dir/env"
  ;;
stop)
  [ -f "$dir/pgbouncer.pid" ] || exit 0
  pid=$(cat "$dir/pgbouncer.pid")
  if [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null; then
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/pgbouncer.pid"
  ;;
*)
  echo "$usage" >&2
  exit 2
  ;;
esac
