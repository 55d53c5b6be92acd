#!/bin/sh
# A purge over TLS, set up as the README shows: a private cluster listening on 127.0.0.1 with
# ssl on and scram password authentication only, a throwaway CA, and trevane with
# PGSSLMODE=verify-full, PGSSLROOTCERT and a password file named by PGPASSFILE, as the role of
# sql/trevane_role.sql. The run deletes what it should; with another CA it stops with status 1 and
# says why.
# Usage: tls_test.sh TREVANE SOURCE_DIR
set -u
trevane=$1
src=$2
fail() { echo "FAIL: $*"; exit 1; }
command -v openssl >/dev/null || fail "openssl is not installed"

work=$(mktemp -d "${TMPDIR:-/tmp}/trevane-tls.XXXXXX") || fail "mktemp"
chmod 755 "$work"
cleanup() {
    "$src/scripts/pg-cluster.sh" stop "$work/cluster" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Two CAs: the one that signs the server's certificate, and another.
for ca in ca other_ca; do
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -keyout "$work/$ca.key" -out "$work/$ca.crt" -subj "/CN=trevane test $ca" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
        2>"$work/openssl.log" || { cat "$work/openssl.log"; fail "making $ca"; }
done
printf 'subjectAltName=IP:127.0.0.1\n' >"$work/server.ext"
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/server.key" \
    -out "$work/server.csr" -subj "/CN=127.0.0.1" 2>"$work/openssl.log" &&
    openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" \
        -CAcreateserial -days 2 -extfile "$work/server.ext" -out "$work/server.crt" \
        2>"$work/openssl.log" || { cat "$work/openssl.log"; fail "signing the server certificate"; }

"$src/scripts/pg-cluster.sh" start "$work/cluster" || fail "starting the cluster"
. "$work/cluster/env"
data=$work/cluster/data
cp "$work/server.crt" "$work/server.key" "$data/"
chmod 600 "$data/server.key"
[ "$(id -u)" -ne 0 ] || chown postgres: "$data/server.crt" "$data/server.key"
printf 'local all all trust\nhostssl all all 127.0.0.1/32 scram-sha-256\n' >"$data/pg_hba.conf"
psql -qX -d postgres -c "ALTER SYSTEM SET listen_addresses = '127.0.0.1'" \
    -c "ALTER SYSTEM SET ssl = on" -c "ALTER SYSTEM SET password_encryption = 'scram-sha-256'" \
    >/dev/null || fail "configuring the cluster"
"$src/scripts/pg-cluster.sh" restart "$work/cluster" || fail "restarting the cluster"

db=tls_purge
psql -qX -v ON_ERROR_STOP=1 -d postgres -c "CREATE DATABASE $db" >/dev/null &&
    psql -qX -v ON_ERROR_STOP=1 -d $db -f "$src/sql/schema.sql" >/dev/null &&
    psql -qX -v ON_ERROR_STOP=1 -d $db -f "$src/sql/demo_data.sql" >/dev/null &&
    psql -qX -v ON_ERROR_STOP=1 -d $db -f "$src/sql/trevane_role.sql" >/dev/null &&
    psql -qX -v ON_ERROR_STOP=1 -d $db -c "ALTER ROLE trevane PASSWORD 'tls-test-secret'" \
        >/dev/null || fail "loading the database"
printf '127.0.0.1:%s:%s:trevane:tls-test-secret\n' "$PGPORT" "$db" >"$work/pgpass"
chmod 600 "$work/pgpass"
before=$(psql -qXAt -d $db -c "SELECT count(*) FROM height") || fail "counting"
sleep 1  # the demo rows lie on whole seconds from the load

purge() {
    env -u PGPASSWORD -u PGSSLCERT -u PGSSLKEY -u PGOPTIONS -u PG_DBPATH -u APPS_DEFAULTS \
        -u APPS_DEFAULTS_USER -u APPS_DEFAULTS_PROG -u APPS_DEFAULTS_SITE -u trevane_preview \
        -u dpa_grid_dir -u trevane_backup_retention_use -u trevane_metrics_file \
        PGHOST=127.0.0.1 PGPORT="$PGPORT" PGUSER=trevane PGSSLMODE=verify-full \
        PGSSLROOTCERT="$1" PGPASSFILE="$work/pgpass" db_name=$db "$trevane" >"$work/report" 2>&1
}

purge "$work/ca.crt"
status=$?
[ $status -eq 0 ] || { cat "$work/report"; fail "exit status $status over TLS"; }
after=$(psql -qXAt -d $db -c "SELECT count(*) FROM height")
[ "$after" -lt "$before" ] || { cat "$work/report"; fail "nothing deleted from height"; }

purge "$work/other_ca.crt"
status=$?
[ $status -eq 1 ] || { cat "$work/report"; fail "exit status $status with another CA"; }
grep -A1 -x 'PostgreSQL error 2 attempting to open database' "$work/report" | tail -n 1 |
    grep -qx 'The client library says: SSL error: certificate verify failed' ||
    { cat "$work/report"; fail "no reason after the open error"; }
echo "ok: $((before - after)) height rows deleted over TLS; another CA is refused"
