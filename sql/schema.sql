-- Schema of the tables that trevane reads and purges, for the demonstration and the tests.
-- Only key columns are NOT NULL: the program must cope with whatever the other columns hold.

CREATE TABLE PurgeDynData (
    table_name       varchar(32) NOT NULL PRIMARY KEY,
    time_column_name varchar(32),
    num_hours_host   integer,
    num_hours_backup integer
);

CREATE TABLE PurgeProduct (
    product_id   varchar(10) NOT NULL PRIMARY KEY,
    num_versions integer,
    producttime  timestamp,
    postingtime  timestamp
);

CREATE TABLE TextProduct (
    product_id  varchar(10) NOT NULL,
    producttime timestamp   NOT NULL,
    postingtime timestamp   NOT NULL,
    prodtype    char(1),
    product     text,
    PRIMARY KEY (product_id, producttime, postingtime)
);

CREATE TABLE Admin (
    focalpoint  varchar(24),
    ofc         varchar(20),
    phone       varchar(12),
    region      varchar(20),
    regno       varchar(1),
    cd404       varchar(8),
    tenyr       date,
    oneyr       date,
    hsa         varchar(5) NOT NULL PRIMARY KEY,
    hsa_num     smallint,
    hb_password varchar(8)
);

CREATE TABLE Location (
    lid     varchar(8) NOT NULL PRIMARY KEY,
    county  varchar(20),
    coe     varchar(3),
    cpm     varchar(3),
    detail  varchar(10),
    elev    double precision,
    hdatum  varchar(9),
    hsa     varchar(3),
    hu      varchar(8),
    lat     double precision,
    lon     double precision,
    lremark varchar(255),
    lrevise date,
    name    varchar(50),
    network varchar(3),
    rb      varchar(30),
    rfc     varchar(5),
    sbd     date,
    sn      varchar(10),
    state   varchar(2),
    waro    varchar(3),
    wfo     varchar(3),
    wsfo    varchar(3),
    type    varchar(4),
    des     varchar(30),
    det     varchar(30),
    post    integer,
    stntype varchar(4),
    tzone   varchar(8)
);

CREATE TABLE DPARadar (
    radid             varchar(3) NOT NULL,
    obstime           timestamp  NOT NULL,
    minoff            smallint,
    maxvalh           real,
    maxvald           real,
    s1_bias_value     real,
    producttime       timestamp,
    nisolbin          smallint,
    noutint           smallint,
    noutrep           smallint,
    areared           real,
    biscanr           real,
    block_bins_reject integer,
    clutter_bins_rej  integer,
    bins_smoothed     integer,
    scan_bins_filled  real,
    high_elev_angle   real,
    scan_rain_area    real,
    nbadscan          smallint,
    nhourout          smallint,
    volcovpat         smallint,
    opermode          smallint,
    missper           varchar(1),
    supplmess         smallint,
    grid_filename     varchar(20),
    PRIMARY KEY (radid, obstime)
);
CREATE INDEX dparadar_obstime ON DPARadar (obstime);

CREATE TABLE PerfLog (
    process       varchar(10) NOT NULL,
    start_time    timestamp   NOT NULL,
    num_processed integer,
    num_reads     integer,
    num_inserts   integer,
    num_updates   integer,
    num_deletes   integer,
    elapsed_time  double precision,
    cpu_time      double precision,
    io_time       double precision,
    PRIMARY KEY (process, start_time)
);

CREATE TABLE VTECevent (
    geoid       varchar(24) NOT NULL,
    product_id  varchar(10) NOT NULL,
    producttime timestamp   NOT NULL,
    productmode varchar(1),
    geomode     varchar(4),
    action      varchar(3),
    office_id   varchar(5),
    phenom      varchar(2),
    signif      varchar(1),
    etn         smallint,
    begintime   timestamp,
    endtime     timestamp,
    severity    varchar(1),
    immed_cause varchar(2),
    risetime    timestamp,
    cresttime   timestamp,
    falltime    timestamp,
    record      varchar(2),
    PRIMARY KEY (geoid, product_id, producttime)
);
CREATE INDEX vtecevent_combination ON VTECevent (geoid, office_id, phenom, signif, producttime);
CREATE INDEX vtecevent_producttime ON VTECevent (producttime);

-- Observation tables of the kinds an office keeps: one row per station, element and time.
CREATE FUNCTION pg_temp.make_obs_table(name text) RETURNS void LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE format($f$
        CREATE TABLE %1$I (
            lid            varchar(8)  NOT NULL,
            pe             varchar(2)  NOT NULL,
            dur            smallint    NOT NULL,
            ts             varchar(2)  NOT NULL,
            extremum       varchar(1)  NOT NULL,
            obstime        timestamp   NOT NULL,
            value          double precision,
            shef_qual_code varchar(1),
            quality_code   integer,
            revision       smallint,
            product_id     varchar(10),
            producttime    timestamp,
            postingtime    timestamp,
            PRIMARY KEY (lid, pe, dur, ts, extremum, obstime)
        )$f$, name);
    EXECUTE format('CREATE INDEX %1$I ON %2$I (obstime)', name || '_obstime', name);
    EXECUTE format('CREATE INDEX %1$I ON %2$I (lid, obstime)', name || '_lid_obstime', name);
    -- The purge lists a table's stations (SELECT DISTINCT lid) before deleting station by
    -- station: a narrow index on lid alone (deduplicated, a few percent of the table) answers
    -- that from the index instead of a scan of the whole table.
    EXECUTE format('CREATE INDEX %1$I ON %2$I (lid)', name || '_lid', name);
END $$;

SELECT pg_temp.make_obs_table(t)
FROM unnest(ARRAY['height', 'discharge', 'precip', 'temperature', 'snow', 'wind']) AS t;

-- Daily summaries keep a date, not a time: purged in whole days.
CREATE TABLE DailySummary (
    lid      varchar(8) NOT NULL,
    pe       varchar(2) NOT NULL,
    obsdate  date       NOT NULL,
    value    double precision,
    PRIMARY KEY (lid, pe, obsdate)
);
CREATE INDEX dailysummary_obsdate ON DailySummary (obsdate);
CREATE INDEX dailysummary_lid_obsdate ON DailySummary (lid, obsdate);
CREATE INDEX dailysummary_lid ON DailySummary (lid);
