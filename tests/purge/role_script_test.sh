#!/bin/sh
# sql/trevane_role.sql in fresh databases of the demonstration schema: it grants exactly what the
# tables that PurgeDynData lists need, gives a notice for a listed table that is missing and
# goes on, runs again without a complaint, and its closing query lists what the role lacks.
# Usage: role_script_test.sh SOURCE_DIR   (under scripts/with-test-db.sh)
set -u
src=$1
fail() { echo "FAIL: $*"; exit 1; }
[ -n "${TREVANE_TEST_TEMPLATE:-}" ] || fail "no test server: run under scripts/with-test-db.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/trevane-role.XXXXXX") || fail "mktemp"
db=role_script_$$
trap 'psql -qX -c "DROP DATABASE IF EXISTS $db" >/dev/null 2>&1; rm -rf "$work"' EXIT

# The privileges that the role holds, one "table=privileges" a line.
held() {
    psql -qXAt -d "$db" -c "
        SELECT t || '=' || concat_ws(',',
            CASE WHEN has_table_privilege('trevane', t, 'SELECT') THEN 'SELECT' END,
            CASE WHEN has_table_privilege('trevane', t, 'INSERT') THEN 'INSERT' END,
            CASE WHEN has_table_privilege('trevane', t, 'DELETE') THEN 'DELETE' END)
        FROM unnest(ARRAY['height', 'wind', 'dailysummary', 'dparadar', 'archive.height',
                          'purgedyndata', 'purgeproduct', 'textproduct', 'vtecevent',
                          'perflog', 'admin', 'location', 'unlisted']) AS t
        WHERE to_regclass(t) IS NOT NULL"
}

# case | SQL after the demonstration data | psql options | notices | what it lacks | held
while IFS='|' read -r name setup options notices lacks expected; do
    psql -qX -c "DROP DATABASE IF EXISTS $db" -c "CREATE DATABASE $db TEMPLATE template0" \
        >/dev/null 2>&1 || fail "$name: creating $db"
    psql -qX -v ON_ERROR_STOP=1 -d "$db" -f "$src/sql/schema.sql" -f "$src/sql/demo_data.sql" \
        -c "CREATE TABLE unlisted (lid text); $setup" >/dev/null || fail "$name: loading"
    for pass in first again; do
        # shellcheck disable=SC2086
        psql -qXAt -F ':' -v ON_ERROR_STOP=1 $options -d "$db" -f "$src/sql/trevane_role.sql" \
            >"$work/out" 2>"$work/err" || { cat "$work/err"; fail "$name ($pass): psql failed"; }
        got=$(sed 's/^psql:[^ ]* //' "$work/err" | paste -sd ';' -)
        [ "$got" = "$notices" ] || fail "$name ($pass): notices '$got', expected '$notices'"
        got=$(paste -sd ';' - <"$work/out")
        [ "$got" = "$lacks" ] || fail "$name ($pass): lacks '$got', expected '$lacks'"
    done
    got=$(held | paste -sd ' ' -)
    [ "$got" = "$expected" ] || fail "$name: holds '$got', expected '$expected'"
    echo "ok: $name"
done <<'CASES'
demo schema|||||height=SELECT,DELETE wind=SELECT,DELETE dailysummary=SELECT,DELETE dparadar=SELECT,DELETE purgedyndata=SELECT purgeproduct=SELECT textproduct=SELECT,DELETE vtecevent=SELECT,DELETE perflog=INSERT admin=SELECT location=SELECT unlisted=
listed table missing|DROP TABLE wind||NOTICE:  no table wind; nothing granted on it|wind:no such table|height=SELECT,DELETE dailysummary=SELECT,DELETE dparadar=SELECT,DELETE purgedyndata=SELECT purgeproduct=SELECT textproduct=SELECT,DELETE vtecevent=SELECT,DELETE perflog=INSERT admin=SELECT location=SELECT unlisted=
other schema, odd name, no backup retention|CREATE SCHEMA archive; CREATE TABLE archive.height (lid text); DELETE FROM PurgeDynData WHERE table_name <> 'height'; INSERT INTO PurgeDynData VALUES ('ARCHIVE.height  ', 'obstime', 1, 1), ('a;b', 'obstime', 1, 1)|-v backup_retention=off|NOTICE:  PurgeDynData lists "a;b", which is not a plain table name; trevane skips it and nothing is granted|admin:SELECT (backup retention);location:SELECT (backup retention)|height=SELECT,DELETE wind= dailysummary= dparadar= archive.height=SELECT,DELETE purgedyndata=SELECT purgeproduct=SELECT textproduct=SELECT,DELETE vtecevent=SELECT,DELETE perflog=INSERT admin= location= unlisted=
CASES
echo "ok"
