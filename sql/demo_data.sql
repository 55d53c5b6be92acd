-- Demonstration data for a forecast office (hsa BOX) that also keeps, as a backup, stations of
-- two neighbouring offices. Every time is relative to now (UTC), so each run of the demo finds
-- both expired and fresh rows.

\set ON_ERROR_STOP on

CREATE TEMP VIEW clock AS SELECT date_trunc('second', timezone('UTC', now())) AS now;

INSERT INTO Admin (focalpoint, ofc, phone, region, regno, cd404, tenyr, oneyr, hsa, hsa_num, hb_password)
VALUES ('River Forecast Desk', 'Boston Office', '508-555-0100', 'Eastern', '1', 'BOX404',
        current_date - 3650, current_date - 365, 'BOX', 42, NULL);

-- Stations: four of the office, three of neighbouring offices.
INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone, name, lat, lon, elev)
VALUES ('BLKM3', 'Middlesex',  'BOX', 'ALR', 'NERFC', 'MA', 'BOX', 'EST5EDT', 'Blackstone River', 42.1, -71.6, 88),
       ('CHRM3', 'Suffolk',    'BOX', 'ALR', 'NERFC', 'MA', 'BOX', 'EST5EDT', 'Charles River',    42.3, -71.1, 12),
       ('MERM3', 'Essex',      'BOX', 'ALR', 'NERFC', 'MA', 'BOX', 'EST5EDT', 'Merrimack River',  42.7, -71.2, 20),
       ('NASM3', 'Worcester',  'BOX', 'ALR', 'NERFC', 'MA', 'BOX', 'EST5EDT', 'Nashua River',     42.5, -71.7, 95),
       ('HUDN6', 'Albany',     'ALY', 'ALR', 'NERFC', 'NY', 'ALY', 'EST5EDT', 'Hudson River',     42.6, -73.7, 5),
       ('MOHN6', 'Schenectady','ALY', 'ALR', 'NERFC', 'NY', 'ALY', 'EST5EDT', 'Mohawk River',     42.8, -73.9, 65),
       ('ANDM1', 'Androscoggin','GYX','ALR', 'NERFC', 'ME', 'GYX', 'EST5EDT', 'Androscoggin R.',  44.1, -70.2, 30);

-- Retention per table: hours for the office's stations and for backup stations.
INSERT INTO PurgeDynData (table_name, time_column_name, num_hours_host, num_hours_backup)
VALUES ('height',       'obstime', 240,  720),
       ('discharge',    'obstime', 240,  720),
       ('precip',       'obstime', 720,  1440),
       ('temperature',  'obstime', 168,  336),
       ('snow',         'obstime', 1080, 2160),
       ('wind',         'obstime', 48,   96),
       ('DailySummary', 'ObsDate', 240,  480),
       ('DPARadar',     'obstime', 72,   72);

-- Observations every six hours over the last 100 days, at every station, plus one station that
-- Location does not list.
CREATE TEMP TABLE stations AS
SELECT lid FROM Location UNION ALL SELECT 'OLDM3';

CREATE FUNCTION pg_temp.fill_obs(tbl text, element text) RETURNS void LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE format($f$
        INSERT INTO %I (lid, pe, dur, ts, extremum, obstime, value, shef_qual_code, quality_code,
                        revision, product_id, producttime, postingtime)
        SELECT s.lid, %L, 0, 'RG', 'Z', c.now - make_interval(hours => 6 * k),
               round((random() * 20)::numeric, 2), 'Z', 1879048191, 0, 'KBOXRRSBOX',
               c.now - make_interval(hours => 6 * k), c.now - make_interval(hours => 6 * k)
        FROM stations s, clock c, generate_series(0, 399) AS k$f$, tbl, element);
END $$;

SELECT pg_temp.fill_obs('height', 'HG'), pg_temp.fill_obs('discharge', 'QR'),
       pg_temp.fill_obs('precip', 'PC'), pg_temp.fill_obs('temperature', 'TA'),
       pg_temp.fill_obs('snow', 'SW'), pg_temp.fill_obs('wind', 'US');

INSERT INTO DailySummary (lid, pe, obsdate, value)
SELECT s.lid, 'PP', (c.now - make_interval(days => k))::date, round((random() * 2)::numeric, 2)
FROM stations s, clock c, generate_series(0, 59) AS k;

-- Hourly radar products over five days; most carry a grid file (maxvald above 0).
INSERT INTO DPARadar (radid, obstime, minoff, maxvalh, maxvald, producttime, grid_filename)
SELECT 'BOX', c.now - make_interval(hours => k), 0, 1.5,
       CASE WHEN k % 10 = 0 THEN 0.0 ELSE round((random() * 3 + 0.1)::numeric, 2) END,
       c.now - make_interval(hours => k),
       'BOX' || to_char(c.now - make_interval(hours => k), 'MMDDYYYYHH24') || 'Z'
FROM clock c, generate_series(0, 119) AS k;

-- Text products with more versions than they may keep.
INSERT INTO PurgeProduct (product_id, num_versions, producttime, postingtime)
VALUES ('BOSRVSBOX', 5, NULL, NULL), ('BOSFFWBOX', 3, NULL, NULL),
       ('BOSHYDBOX', 10, NULL, NULL), ('BOSESFBOX', 0, NULL, NULL);
UPDATE PurgeProduct SET producttime = (SELECT now FROM clock), postingtime = (SELECT now FROM clock);

INSERT INTO TextProduct (product_id, producttime, postingtime, prodtype, product)
SELECT p.id, c.now - make_interval(hours => 12 * k), c.now - make_interval(hours => 12 * k) + interval '5 minutes',
       'R', 'Text of ' || p.id || ' version ' || k
FROM clock c, (VALUES ('BOSRVSBOX', 12), ('BOSFFWBOX', 4), ('BOSHYDBOX', 6), ('BOSESFBOX', 2)) AS p(id, n),
     generate_series(0, 20) AS k
WHERE k < p.n;

-- Event records: every combination has a history, some of it older than 30 days.
INSERT INTO VTECevent (geoid, product_id, producttime, productmode, geomode, action, office_id,
                       phenom, signif, etn, begintime, endtime, severity, immed_cause, record)
SELECT g.geoid, 'BOSFLWBOX', c.now - make_interval(days => 7 * k), 'O', 'C', 'NEW', 'KBOX',
       g.phenom, g.signif, k, c.now - make_interval(days => 7 * k),
       c.now - make_interval(days => 7 * k) + interval '1 day', '1', 'ER', 'OO'
FROM clock c,
     (VALUES ('MAZ005', 'FL', 'W'), ('MAZ006', 'FL', 'A'), ('MAC017', 'FA', 'Y'), ('NHZ011', 'FL', 'W')) AS g(geoid, phenom, signif),
     generate_series(0, 11) AS k;
-- A combination whose only events are old: its latest one stays all the same.
INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif, etn)
SELECT 'RIZ001', 'PVDFLWBOX', c.now - make_interval(days => 40 + k), 'KBOX', 'FL', 'W', 100 + k
FROM clock c, generate_series(0, 2) AS k;
