-- The role that trevane logs in as, with the least it needs (run as a superuser, or as the owner
-- of the tables, in the database that trevane purges):
--
--   psql -d hd_ob_box -f sql/trevane_role.sql
--   psql -d hd_ob_box -c '\password trevane'        (then put the password in the password file)
--
-- Running it again changes nothing. Behind a connection pool, where the timeout tokens cannot be
-- passed at connect, give the role its timeouts instead (see the README):
--
--   ALTER ROLE trevane SET lock_timeout = '5min';
--   ALTER ROLE trevane SET statement_timeout = '30min';

DO $$
BEGIN
    CREATE ROLE trevane LOGIN;
EXCEPTION WHEN duplicate_object THEN
    NULL;
END $$;

-- The purged tables: those that PurgeDynData lists. For the schema of sql/schema.sql these are
-- the observation tables, the daily summaries and the radar rows. A site whose PurgeDynData lists
-- other tables grants the same on each of them, for example
--   GRANT SELECT, DELETE ON fcstheight TO trevane;
-- (a table in another schema, listed as archive.height, also needs
--   GRANT USAGE ON SCHEMA archive TO trevane;)
-- and can list what PurgeDynData names with
--   SELECT table_name FROM PurgeDynData ORDER BY 1;
-- A table that trevane may not delete from is reported ("PostgreSQL error 42501 deleting
-- records") and keeps its rows; the run goes on.
GRANT SELECT, DELETE ON height, discharge, precip, temperature, snow, wind, DailySummary, DPARadar
    TO trevane;

-- Text product versions and event records.
GRANT SELECT, DELETE ON TextProduct, VTECevent TO trevane;

-- What to purge, and how long to keep it.
GRANT SELECT ON PurgeDynData, PurgeProduct TO trevane;

-- One row of timing figures per run.
GRANT INSERT ON PerfLog TO trevane;

-- Backup retention only (trevane_backup_retention_use ON): the office's hsa from Admin and each
-- station's from Location. A site that keeps backup retention off can leave these two out.
GRANT SELECT ON Admin, Location TO trevane;
