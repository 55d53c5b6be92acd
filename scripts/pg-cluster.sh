#!/usr/bin/env bash
# A private PostgreSQL cluster that listens only on a Unix socket inside its own directory.
#
#   pg-cluster.sh start DIR             create the cluster under DIR if needed and start it
#   pg-cluster.sh stop DIR              stop it (fast shutdown)
#   pg-cluster.sh restart DIR           restart it (fast shutdown), on the same socket
#   pg-cluster.sh standby PRIMARY DIR   make DIR a hot standby of the running cluster PRIMARY
#                                       (pg_basebackup -R) and start it
#
# After start, DIR/env holds the PGHOST/PGPORT/PGUSER exports that reach it, and puts the
# server's own bin directory first in PATH, so that psql and the other clients match the server.
# The server refuses to run as root, so as root it runs under the postgres account.
set -euo pipefail

usage="usage: pg-cluster.sh start|stop|restart DIR | standby PRIMARY DIR"
cmd=${1:?$usage}
if [ "$cmd" = standby ]; then
  primary=${2:?$usage}
  dir=${3:?$usage}
else
  dir=${2:?$usage}
fi

# The server that matches the installed client: the directory pg_config names when the server
# is there, else the newest server installed (by version, so 9.6 comes before 15).
server_bindir() {
  local d best=""
  d=$(pg_config --bindir 2>/dev/null || true)
  if [ -n "$d" ] && [ -x "$d/postgres" ] && [ -x "$d/initdb" ]; then
    echo "$d"
    return
  fi
  while read -r d; do
    if [ -x "$d/postgres" ] && [ -x "$d/initdb" ]; then best=$d; fi
  done < <(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V)
  echo "$best"
}
bindir=$(server_bindir)
[ -n "$bindir" ] || { echo "pg-cluster: no PostgreSQL server found (install postgresql)" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

case "$cmd" in
start|standby)
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if [ "$(id -u)" -eq 0 ]; then
    chown postgres: "$dir"
    if ! runuser -u postgres -- test -w "$dir"; then
      echo "pg-cluster: the postgres account cannot write $dir (check the permissions of its parents)" >&2
      exit 1
    fi
  fi
  chmod 755 "$dir"
  if [ "$cmd" = standby ] && [ ! -f "$dir/data/PG_VERSION" ]; then
    primary=$(cd "$primary" && pwd)
    primary_port=$(sed -n 's/^port = //p' "$primary/data/postgresql.auto.conf")
    as_owner "$bindir/pg_basebackup" -D "$dir/data" -R -X stream -c fast -h "$primary" -p "$primary_port" \
      -U postgres >"$dir/basebackup.log" 2>&1 || { cat "$dir/basebackup.log" >&2; exit 1; }
    # What -R wrote is kept across the rewrite of the settings below.
    grep '^primary_conninfo' "$dir/data/postgresql.auto.conf" >"$dir/standby.conf"
  fi
  if [ ! -f "$dir/data/PG_VERSION" ]; then
    as_owner "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 \
      || { cat "$dir/initdb.log" >&2; exit 1; }
  fi
  if as_owner "$bindir/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; then
    exit 0
  fi
  # The port only names the socket file inside DIR; pick one that no earlier run left behind.
  port=$(( 20000 + RANDOM % 30000 ))
  while [ -e "$dir/.s.PGSQL.$port" ]; do port=$(( port + 1 )); done
  cat >"$dir/data/postgresql.auto.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$dir'
port = $port
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 40
shared_buffers = 128MB
log_min_messages = warning
CONF
  if [ -f "$dir/standby.conf" ]; then
    cat "$dir/standby.conf" >>"$dir/data/postgresql.auto.conf"
  fi
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null \
    || { cat "$dir/server.log" >&2; exit 1; }
  {
    printf 'export PGHOST=%q PGPORT=%q PGUSER=postgres\n' "$dir" "$port"
    printf 'export PATH=%q:"$PATH"\n' "$bindir"
  } >"$dir/env"
  ;;
restart)
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m fast -w -t 60 restart >/dev/null \
    || { cat "$dir/server.log" >&2; exit 1; }
  ;;
stop)
  if [ -f "$dir/data/PG_VERSION" ]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
  fi
  ;;
*)
  echo "$usage" >&2
  exit 2
  ;;
esac
