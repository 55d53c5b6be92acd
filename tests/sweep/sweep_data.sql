-- The fault sweep's data, on top of sql/schema.sql: a little of everything a run reaches, kept
-- small so that a clean run sends about a hundred statements. Backup retention is on for the
-- sweep: stations of the office (BOX), of another office (ALY) and one Location does not know.
-- Every time lies half an hour off any cutoff, so that rows keep their side of it while the
-- sweep runs.

CREATE TEMP VIEW clock AS SELECT date_trunc('second', timezone('UTC', now())) AS now;

INSERT INTO Admin (hsa, ofc) VALUES ('BOX', 'Boston Office');

INSERT INTO Location (lid, county, hsa, network, rfc, state, wfo, tzone, name, lat, lon, elev)
VALUES ('HOST1', 'Middlesex', 'BOX', 'ALR', 'NERFC', 'MA', 'BOX', 'EST5EDT', 'own', 42.1, -71.6, 88),
       ('BACK1', 'Albany', 'ALY', 'ALR', 'NERFC', 'NY', 'ALY', 'EST5EDT', 'backup', 42.6, -73.7, 5);

-- height: own, backup and unknown stations; DailySummary: whole days; DPARadar and PerfLog
-- have no lid and are deleted in one statement each.
INSERT INTO PurgeDynData (table_name, time_column_name, num_hours_host, num_hours_backup)
VALUES ('dailysummary', 'obsdate', 48, 240),
       ('dparadar', 'obstime', 72, 72),
       ('height', 'obstime', 24, 240),
       ('perflog', 'start_time', 720, 720);

INSERT INTO height (lid, pe, dur, ts, extremum, obstime, value)
SELECT l, 'HG', 0, 'RG', 'Z', c.now - make_interval(hours => h) + interval '30 minutes', h
FROM clock c, unnest(ARRAY['HOST1', 'BACK1', 'NOLOC']) AS l, unnest(ARRAY[2, 100, 300]) AS h;

INSERT INTO DailySummary (lid, pe, obsdate, value)
SELECT l, 'PP', (c.now - make_interval(days => d) + interval '30 minutes')::date, d
FROM clock c, unnest(ARRAY['HOST1', 'BACK1']) AS l, unnest(ARRAY[1, 5, 20]) AS d;

-- Radar products: three expired with grid files, one expired without (maxvald 0), two fresh.
INSERT INTO DPARadar (radid, obstime, maxvald, grid_filename)
SELECT 'BOX', c.now - make_interval(hours => h) + interval '30 minutes', v,
       'BOX' || h || 'Z'
FROM clock c, (VALUES (2, 1.5), (10, 2.0), (80, 1.2), (90, 0.0), (100, 3.1), (150, 0.7))
    AS r(h, v);

INSERT INTO PerfLog (process, start_time, num_processed, elapsed_time)
SELECT 'trevane', c.now - make_interval(days => d) + interval '30 minutes', d, 1
FROM clock c, unnest(ARRAY[3, 60]) AS d;

-- Text products: one with more versions than it may keep, one that may keep none, one within
-- its count.
INSERT INTO PurgeProduct (product_id, num_versions, producttime, postingtime)
SELECT p, n, c.now, c.now
FROM clock c, (VALUES ('BOSRVSBOX', 2), ('BOSESFBOX', 0), ('BOSHYDBOX', 5)) AS v(p, n);
INSERT INTO TextProduct (product_id, producttime, postingtime, prodtype, product)
SELECT p.id, c.now - make_interval(hours => 12 * k), c.now - make_interval(hours => 12 * k),
       'R', p.id || ' version ' || k
FROM clock c, (VALUES ('BOSRVSBOX', 4), ('BOSESFBOX', 1), ('BOSHYDBOX', 2)) AS p(id, n),
     generate_series(0, 9) AS k
WHERE k < p.n;

-- Events: a combination with recent and old events, and one whose events are all old (its
-- latest stays).
INSERT INTO VTECevent (geoid, product_id, producttime, office_id, phenom, signif, etn)
SELECT g, 'BOSFLWBOX', c.now - make_interval(days => d) + interval '30 minutes', 'KBOX', 'FL',
       'W', d
FROM clock c, (VALUES ('MAZ005', 2), ('MAZ005', 40), ('MAZ005', 50), ('RIZ001', 45),
                      ('RIZ001', 60)) AS e(g, d);
