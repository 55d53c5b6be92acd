-- The role that trevane logs in as, with the least a run needs, for the tables that PurgeDynData
-- lists now. Run it in the database that trevane purges, once PurgeDynData is filled, and again
-- whenever PurgeDynData lists another table:
--
--   psql -d hd_ob_box -v ON_ERROR_STOP=1 -f /usr/share/doc/trevane/examples/trevane_role.sql
--   psql -d hd_ob_box -c '\password trevane'   (then the same password in /etc/trevane/pgpass)
--
-- Who may run it: a superuser; or a role with CREATEROLE that owns the tables (CREATE ROLE needs
-- CREATEROLE, and only a table's owner may grant on it). Once the role exists, the owner of the
-- tables alone can run it again. Running it again grants what is missing and revokes nothing.
--
-- A listed table that does not exist, or whose name trevane would skip, gets a NOTICE and no
-- grant; the rest is granted all the same. With backup retention off (the token
-- trevane_backup_retention_use), Admin and Location need no grant:
--
--   psql -d hd_ob_box -v ON_ERROR_STOP=1 -v backup_retention=off -f trevane_role.sql
--
-- It ends with a query that lists what the role still lacks (no row: nothing); run that query
-- alone to check the role after PurgeDynData changes. Behind a connection pool, give the role its
-- timeouts instead of the timeout tokens:
--
--   ALTER ROLE trevane SET lock_timeout = '5min';
--   ALTER ROLE trevane SET statement_timeout = '30min';

\if :{?backup_retention}
\else
\set backup_retention on
\endif

DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'trevane') THEN
        CREATE ROLE trevane LOGIN;
    END IF;
END $$;

-- Grants the privileges on the table named as trevane names it (lower case, optionally
-- schema-qualified), and USAGE on its schema when the role lacks it; a NOTICE instead when there
-- is no such table.
CREATE FUNCTION pg_temp.grant_to_trevane(tbl text, privileges text) RETURNS void
LANGUAGE plpgsql AS $$
DECLARE
    rel regclass;
    nsp text;
BEGIN
    IF tbl !~ '^[a-z_][a-z0-9_$]*(\.[a-z_][a-z0-9_$]*)*$' THEN
        RAISE NOTICE 'PurgeDynData lists "%", which is not a plain table name; trevane skips it and nothing is granted', tbl;
        RETURN;
    END IF;
    rel := to_regclass(tbl);
    IF rel IS NULL THEN
        RAISE NOTICE 'no table %; nothing granted on it', tbl;
        RETURN;
    END IF;
    SELECT n.nspname INTO nsp
    FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.oid = rel;
    IF NOT has_schema_privilege('trevane', nsp, 'USAGE') THEN
        EXECUTE format('GRANT USAGE ON SCHEMA %I TO trevane', nsp);
    END IF;
    EXECUTE format('GRANT %s ON %s TO trevane', privileges, rel);
END $$;

-- The purged tables: what PurgeDynData lists (trevane lowers the names and drops trailing blanks).
DO $$
BEGIN
    PERFORM pg_temp.grant_to_trevane(t, 'SELECT, DELETE')
    FROM (SELECT DISTINCT lower(rtrim(table_name)) AS t FROM PurgeDynData) AS listed;
END $$;

-- What to purge and how long to keep it; text product versions and event records; one row of
-- timing figures per run.
DO $$
BEGIN
    PERFORM pg_temp.grant_to_trevane(t, p)
    FROM (VALUES ('purgedyndata', 'SELECT'), ('purgeproduct', 'SELECT'),
                 ('textproduct', 'SELECT, DELETE'), ('vtecevent', 'SELECT, DELETE'),
                 ('perflog', 'INSERT')) AS fixed(t, p);
END $$;

-- Backup retention (trevane_backup_retention_use ON): the office's hsa from Admin and each
-- station's from Location.
\if :backup_retention
DO $$
BEGIN
    PERFORM pg_temp.grant_to_trevane(t, 'SELECT') FROM (VALUES ('admin'), ('location')) AS fixed(t);
END $$;
\endif

-- What the role still lacks for the current PurgeDynData: one row per table and what is
-- missing, none when nothing is. "no such table": PurgeDynData lists a table that the database
-- lacks, which trevane reports (PostgreSQL error 42P01 deleting records) before it goes on. Names
-- that trevane skips are left out; "(backup retention)" matters with backup retention on only.
SELECT needed.t AS "table", lack.what AS "trevane lacks"
FROM (SELECT DISTINCT lower(rtrim(table_name)), p.privilege
      FROM PurgeDynData CROSS JOIN (VALUES ('SELECT'), ('DELETE')) AS p(privilege)
      UNION ALL
      VALUES ('purgedyndata', 'SELECT'), ('purgeproduct', 'SELECT'), ('textproduct', 'SELECT'),
             ('textproduct', 'DELETE'), ('vtecevent', 'SELECT'), ('vtecevent', 'DELETE'),
             ('perflog', 'INSERT'), ('admin', 'SELECT (backup retention)'),
             ('location', 'SELECT (backup retention)')
     ) AS needed(t, privilege)
LEFT JOIN pg_class c
    ON c.oid = to_regclass(CASE WHEN needed.t ~ '^[a-z_][a-z0-9_$]*(\.[a-z_][a-z0-9_$]*)*$' THEN needed.t END)
LEFT JOIN pg_namespace n ON n.oid = c.relnamespace
CROSS JOIN LATERAL (VALUES (CASE
    WHEN c.oid IS NULL THEN 'no such table'
    WHEN NOT has_schema_privilege('trevane', n.nspname, 'USAGE') THEN 'USAGE ON SCHEMA ' || n.nspname
    WHEN NOT has_table_privilege('trevane', c.oid, split_part(needed.privilege, ' ', 1))
        THEN needed.privilege
    END)) AS lack(what)
WHERE needed.t ~ '^[a-z_][a-z0-9_$]*(\.[a-z_][a-z0-9_$]*)*$' AND lack.what IS NOT NULL
GROUP BY 1, 2
ORDER BY 1, 2;
