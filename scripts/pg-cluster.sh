#!/usr/bin/env bash
# A private PostgreSQL cluster that listens only on a Unix socket inside its own directory.
#
#   pg-cluster.sh start DIR             create the cluster under DIR if needed and start it
#   pg-cluster.sh stop DIR              stop it (fast shutdown)
#   pg-cluster.sh restart DIR           restart it (fast shutdown), on the same socket
#   pg-cluster.sh standby PRIMARY DIR   make DIR a hot standby of the running cluster PRIMARY
#                                       and start it
#
# The server comes from PG_SERVER_BINDIR when it is set (a directory holding postgres, initdb
# and pg_ctl, such as a build of another major version), else from Debian's packages. The
# clients (psql, pg_basebackup) are always Debian's.
#
# A standby is made with pg_basebackup -R where that client supports the server (it refuses
# servers newer than itself); else the primary is stopped, its data directory copied and the
# primary started again on the same socket, and the copy gets standby.signal and a
# primary_conninfo.
#
# After start, DIR/env holds the PGHOST/PGPORT/PGUSER exports that reach it, and puts the
# server's bin directory, then the clients', first in PATH.
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

# Debian's server that matches the installed client: the directory pg_config names when the
# server is there, else the newest server installed (by version, so 9.6 comes before 15).
debian_bindir() {
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
client_bindir=$(debian_bindir)
[ -n "$client_bindir" ] || { echo "pg-cluster: no PostgreSQL server found (install postgresql)" >&2; exit 1; }
if [ -f "$dir/server-bindir" ]; then
  # A cluster is restarted and stopped by the server that created it.
  bindir=$(cat "$dir/server-bindir")
elif [ "$cmd" = standby ] && [ -f "$primary/server-bindir" ]; then
  bindir=$(cat "$primary/server-bindir")
elif [ -n "${PG_SERVER_BINDIR:-}" ]; then
  bindir=$(cd "$PG_SERVER_BINDIR" 2>/dev/null && pwd) || bindir=$PG_SERVER_BINDIR
  for program in postgres initdb pg_ctl; do
    [ -x "$bindir/$program" ] || { echo "pg-cluster: PG_SERVER_BINDIR=$PG_SERVER_BINDIR has no $program" >&2; exit 1; }
  done
else
  bindir=$client_bindir
fi

# The major version a program of PostgreSQL reports ("postgres (PostgreSQL) 12.22" gives 12).
major_of() {
  "$1" --version | sed -n 's/^[^0-9]*\([0-9][0-9]*\).*/\1/p'
}

# Runs a command as the owner of the cluster or pool (see as-owner.sh).
as_owner="$(cd "$(dirname "$0")" && pwd)/as-owner.sh"

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
    basebackup=$client_bindir/pg_basebackup
    if [ -x "$bindir/pg_basebackup" ]; then basebackup=$bindir/pg_basebackup; fi
    if [ "$(major_of "$basebackup")" -ge "$(cat "$primary/data/PG_VERSION")" ]; then
      "$as_owner" "$basebackup" -D "$dir/data" -X stream -c fast -h "$primary" -p "$primary_port" \
        -U postgres >"$dir/basebackup.log" 2>&1 || { cat "$dir/basebackup.log" >&2; exit 1; }
    else
      # A copy of the stopped primary: consistent, as its shutdown checkpoint is the last record.
      "$as_owner" "$bindir/pg_ctl" -D "$primary/data" -m fast -w -t 60 stop >/dev/null \
        || { echo "pg-cluster: cannot stop the primary $primary to copy it" >&2; exit 1; }
      "$as_owner" cp -a "$primary/data" "$dir/data"
      "$as_owner" "$bindir/pg_ctl" -D "$primary/data" -l "$primary/server.log" -w -t 60 start >/dev/null \
        || { cat "$primary/server.log" >&2; exit 1; }
      rm -f "$dir/data/postmaster.pid" "$dir/data/postmaster.opts"
    fi
    "$as_owner" touch "$dir/data/standby.signal"
    # Written here, not by pg_basebackup -R: a newer client adds options (channel_binding) that
    # an older server's walreceiver rejects. Kept across the rewrite of the settings below.
    printf "primary_conninfo = 'host=%s port=%s user=postgres'\n" "$primary" "$primary_port" \
      >"$dir/standby.conf"
  fi
  echo "$bindir" >"$dir/server-bindir"
  if [ ! -f "$dir/data/PG_VERSION" ]; then
    "$as_owner" "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 \
      || { cat "$dir/initdb.log" >&2; exit 1; }
  fi
  if "$as_owner" "$bindir/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; then
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
  "$as_owner" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null \
    || { cat "$dir/server.log" >&2; exit 1; }
  {
    printf 'export PGHOST=%q PGPORT=%q PGUSER=postgres\n' "$dir" "$port"
    printf 'export PATH=%q:%q:"$PATH"\n' "$bindir" "$client_bindir"
  } >"$dir/env"
  ;;
restart)
  "$as_owner" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m fast -w -t 60 restart >/dev/null \
    || { cat "$dir/server.log" >&2; exit 1; }
  ;;
stop)
  if [ -f "$dir/data/PG_VERSION" ]; then
    "$as_owner" "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
  fi
  # Without its pg_ctl (a server build removed too early), a fast shutdown is SIGINT.
  pid=$(head -n 1 "$dir/data/postmaster.pid" 2>/dev/null || true)
  if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$(cd "$dir" && pwd)/data"; then
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  ;;
*)
  echo "$usage" >&2
  exit 2
  ;;
esac
