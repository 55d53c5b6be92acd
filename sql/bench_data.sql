-- Benchmark data: loaded after sql/schema.sql into an empty database. Sizes come from psql
-- variables (defaults in scripts/bench.sh):
--
--   tables        observation tables (the schema's six, then more of the same shape)
--   obs_rows      rows over all observation tables
--   stations      stations; every fourth belongs to the office (hsa BOX)
--   combos        VTECevent combinations of geoid/office_id/phenom/signif
--   event_rows    VTECevent rows
--   products      TextProduct products, each with 10 to 50 versions
--   radar_rows    DPARadar rows (nine in ten carry a grid file)
--
-- Every time lies on a grid relative to the clock at load time ("t0"): whole hours plus two
-- minutes before it. A purge that starts within 58 minutes of the load computes cutoffs that
-- fall strictly between two grid points, so every run over a copy of this data, whatever its
-- exact start, removes the same rows. Half of the observation rows are older than the host
-- retention; backup stations keep three quarters of theirs under backup retention.

\set ON_ERROR_STOP on

CREATE TABLE bench_clock AS SELECT date_trunc('second', timezone('UTC', now())) AS t0;

INSERT INTO Admin (focalpoint, ofc, hsa, hsa_num) VALUES ('Benchmark', 'Benchmark Office', 'BOX', 1);

-- Stations; the columns that the station table reads without null indicators are filled.
INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone, name)
SELECT 'S' || lpad(i::text, 5, '0'), 'County ' || i % 50, h.hsa, 'ALR', 'NERFC', 'MA', h.hsa,
       'EST5EDT', 'Station ' || i
FROM generate_series(1, :stations) AS i
CROSS JOIN LATERAL (SELECT (ARRAY['BOX', 'ALY', 'GYX', 'OKX'])[1 + i % 4] AS hsa) h;

-- The observation tables: the schema's six and, up to the count asked for, tables made like
-- height (same columns, keys and indexes).
CREATE TEMP TABLE bench_obs_tables AS
SELECT n::int AS n, name
FROM unnest(ARRAY['height', 'discharge', 'precip', 'temperature', 'snow', 'wind',
                  'agricultural', 'curpc', 'curpp', 'evaporation', 'fishcount', 'gatedam',
                  'ground', 'ice', 'lake', 'moisture', 'power', 'pressure', 'radiation',
                  'weather']) WITH ORDINALITY AS t(name, n)
WHERE n <= :tables
UNION ALL
SELECT n, 'obs' || n FROM generate_series(21, :tables) AS n;

-- Hours of data per station and table; the host retention is half of them, the backup
-- retention three quarters.
SELECT greatest(4, (:obs_rows / (:tables * :stations))::int) AS obs_hours \gset
SELECT :obs_hours / 2 AS host_hours, :obs_hours * 3 / 4 AS backup_hours \gset

-- One station per row of Location, one row per hour; rows in time order, as a table fills.
CREATE FUNCTION pg_temp.fill_obs(tbl text, hours int) RETURNS void LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE format($f$
        INSERT INTO %I (lid, pe, dur, ts, extremum, obstime, value, shef_qual_code,
                        quality_code, revision, product_id, producttime, postingtime)
        SELECT l.lid, 'HG', 0, 'RG', 'Z', t.obstime, (h %% 97) / 10.0, 'Z', 1879048191, 0,
               'KBOXRRSBOX', t.obstime, t.obstime
        FROM bench_clock c
        CROSS JOIN generate_series(%s - 1, 0, -1) AS h
        CROSS JOIN LATERAL (SELECT c.t0 - interval '2 minutes' - make_interval(hours => h)
                            AS obstime) t
        CROSS JOIN Location l
        ORDER BY t.obstime, l.lid$f$, tbl, hours);
END $$;

CREATE FUNCTION pg_temp.make_like_height(tbl text) RETURNS void LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE format('CREATE TABLE %I (LIKE height INCLUDING ALL)', tbl);
END $$;

SELECT pg_temp.make_like_height(name) FROM bench_obs_tables WHERE n > 6 ORDER BY n;

INSERT INTO PurgeDynData (table_name, time_column_name, num_hours_host, num_hours_backup)
SELECT name, 'obstime', :host_hours, :backup_hours FROM bench_obs_tables;

SELECT pg_temp.fill_obs(name, :obs_hours) FROM bench_obs_tables ORDER BY n;

-- Radar products of 20 radars, one an hour each; the host retention keeps the newer half.
SELECT greatest(2, :radar_rows / 20) AS radar_hours \gset
INSERT INTO PurgeDynData (table_name, time_column_name, num_hours_host, num_hours_backup)
VALUES ('DPARadar', 'obstime', :radar_hours / 2, :radar_hours / 2);
INSERT INTO DPARadar (radid, obstime, minoff, maxvalh, maxvald, producttime, grid_filename)
SELECT r.radid, t.obstime, 0, 1.5, CASE WHEN h % 10 = 0 THEN 0.0 ELSE 0.1 + (h % 30) / 10.0 END,
       t.obstime, r.radid || to_char(t.obstime, 'MMDDYYYYHH24') || 'Z'
FROM bench_clock c
CROSS JOIN generate_series(:radar_hours - 1, 0, -1) AS h
CROSS JOIN LATERAL (SELECT c.t0 - interval '2 minutes' - make_interval(hours => h) AS obstime) t
CROSS JOIN (SELECT chr(65 + i / 26 % 26) || chr(65 + i % 26) || 'X' AS radid
            FROM generate_series(0, 19) AS i) r
ORDER BY t.obstime, r.radid;

-- Text products with 10 to 50 versions, every twelve hours; each may keep 5 to 15 of them,
-- one in fifty none at all.
INSERT INTO PurgeProduct (product_id, num_versions, producttime, postingtime)
SELECT 'P' || lpad(i::text, 6, '0'), CASE WHEN i % 50 = 0 THEN 0 ELSE 5 + i % 11 END, c.t0, c.t0
FROM bench_clock c, generate_series(1, :products) AS i;
INSERT INTO TextProduct (product_id, producttime, postingtime, prodtype, product)
SELECT 'P' || lpad(i::text, 6, '0'), t.producttime, t.producttime + interval '5 minutes', 'R',
       'Text of product ' || i || ' version ' || k || ': ' || repeat('river stage forecast ', 20)
FROM bench_clock c
CROSS JOIN generate_series(1, :products) AS i
CROSS JOIN LATERAL generate_series(0, 9 + (i * 7) % 41) AS k
CROSS JOIN LATERAL (SELECT c.t0 - interval '2 minutes' - make_interval(hours => 12 * k, mins => i % 60)
                    AS producttime) t
ORDER BY t.producttime;

-- Events: combinations of zone and phenomenon/significance, each with a history every three
-- days; one combination in ten has only events older than 60 days, whose latest stays. Events
-- of one issuance share a producttime across two or three zones. No event lies within the hour
-- after the 30-day cutoff at load time.
SELECT greatest(1, :event_rows / :combos) AS events_per_combo \gset
INSERT INTO VTECevent (geoid, product_id, producttime, productmode, geomode, action, office_id,
                       phenom, signif, etn, begintime, endtime, severity, immed_cause, record)
SELECT z.geoid, z.office_id || z.phenom || z.signif, t.producttime, 'O', 'C', 'CON', z.office_id,
       z.phenom, z.signif, k, t.producttime, t.producttime + interval '1 day', '1', 'ER', 'OO'
FROM bench_clock c
CROSS JOIN (SELECT ci,
                   'MAZ' || lpad((ci / 4)::text, 5, '0') AS geoid,
                   (ARRAY['KBOX', 'KALY', 'KGYX', 'KOKX'])[1 + (ci / 4) % 4] AS office_id,
                   (ARRAY['FL', 'FL', 'FA', 'FF'])[1 + ci % 4] AS phenom,
                   (ARRAY['W', 'A', 'Y', 'W'])[1 + ci % 4] AS signif
            FROM generate_series(0, :combos - 1) AS ci) z
CROSS JOIN generate_series(0, :events_per_combo - 1) AS k
CROSS JOIN LATERAL (SELECT c.t0 - interval '2 minutes'
                           - make_interval(hours => 72 * k + z.ci % 50
                                                    + CASE WHEN z.ci % 10 = 9 THEN 1440 ELSE 0 END,
                                           mins => z.ci % 53) AS producttime) t
ORDER BY t.producttime;

-- Settled storage and statistics, as a database that has been running for a while.
DROP TABLE bench_obs_tables;
VACUUM (FREEZE, ANALYZE);
