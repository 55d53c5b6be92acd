#pragma once

// What the table-module tests need to know of each table: its operations, a record with every
// field set, its nullable fields, and how its rows look to psql.

#include <string>
#include <vector>

#include "Admin.h"
#include "DPARadar.h"
#include "DbTest.h"
#include "Location.h"
#include "PerfLog.h"
#include "TableDescriptors.h"
#include "VTECevent.h"

namespace dbtest {

#define TABLE_OPERATIONS(T)                                          \
    using Record = T;                                                \
    static constexpr const char* table = #T;                         \
    static constexpr auto Get = &Get##T;                             \
    static constexpr auto Select = &Select##T;                       \
    static constexpr auto Count = &Select##T##Count;                 \
    static constexpr auto Put = &Put##T;                             \
    static constexpr auto Insert = &Insert##T;                       \
    static constexpr auto Update = &Update##T;                       \
    static constexpr auto Delete = &Delete##T;                       \
    static constexpr auto UpdateByRecord = &Update##T##ByRecord;     \
    static constexpr auto InsertOrUpdate = &InsertOrUpdate##T;       \
    static constexpr auto InsertIfUnique = &InsertIfUnique##T;       \
    static constexpr auto DeleteByRecord = &Delete##T##ByRecord;     \
    static constexpr auto Exists = &T##Exists;                       \
    static constexpr auto KeyWhere = &Get##T##PrimaryKeyWhereString; \
    static constexpr auto Free = &Free##T;                           \
    static constexpr auto Status = &Get##T##DbStatus;                \
    static constexpr auto SetLogging = &Set##T##ErrorLogging;        \
    static constexpr const auto& description = dbaccess::k##T##Table;

struct AdminTraits {
    TABLE_OPERATIONS(Admin)
    static constexpr const char* keyColumn = "hsa";
    static void setKey(Admin& r, const char* key) { setText(r.hsa, key); }
    static const char* key(const Admin& r) { return r.hsa; }
    static void fill(Admin& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        setText(r.focalpoint, "Focal Point");
        setText(r.ofc, "Office");
        setText(r.phone, "555-0100");
        setText(r.region, "Central");
        setText(r.regno, "C");
        setText(r.cd404, "CD404");
        r.tenyr = 20240305;
        r.oneyr = 20231231;
        setKey(r, key);
        r.hsa_num = 42;
        setText(r.hb_password, "secret");
    }
    static std::string fullRow(const char* key) {
        return std::string("Focal Point|Office|555-0100|Central|C|CD404|2024-03-05|2023-12-31|") +
               key + "|42|secret";
    }
    static void nullify(Admin& r) {
        setNull(r.focalpoint), setNull(r.ofc), setNull(r.phone), setNull(r.region);
        setNull(r.regno), setNull(r.cd404), setNull(r.tenyr), setNull(r.oneyr);
        setNull(r.hsa_num), setNull(r.hb_password);
    }
    static std::vector<std::string> nullable() {
        return {"focalpoint", "ofc",   "phone", "region",  "regno",
                "cd404",      "tenyr", "oneyr", "hsa_num", "hb_password"};
    }
    static void change(Admin& r) { setText(r.phone, "555-0199"); }
    static constexpr const char* changedColumn = "phone";
    static constexpr const char* changedValue = "555-0199";
};

struct DPARadarTraits {
    TABLE_OPERATIONS(DPARadar)
    static constexpr const char* keyColumn = "radid";
    static void setKey(DPARadar& r, const char* key) { setText(r.radid, key); }
    static const char* key(const DPARadar& r) { return r.radid; }
    static void fill(DPARadar& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        setKey(r, key);
        r.obstime = ts("2024-03-05 06:00:00");
        r.minoff = 3;
        r.maxvalh = 1.5f;
        r.maxvald = 2.25f;
        r.s1_bias_value = 0.75f;
        r.producttime = ts("2024-03-05 06:10:00");
        r.nisolbin = 4;
        r.noutint = 5;
        r.noutrep = 6;
        r.areared = 7.5f;
        r.biscanr = 8.5f;
        r.block_bins_reject = 100000;
        r.clutter_bins_rej = 200000;
        r.bins_smoothed = 300000;
        r.scan_bins_filled = 9.5f;
        r.high_elev_angle = 10.5f;
        r.scan_rain_area = 11.5f;
        r.nbadscan = 12;
        r.nhourout = 13;
        r.volcovpat = 14;
        r.opermode = 15;
        setText(r.missper, "M");
        r.supplmess = 16;
        setText(r.grid_filename, "KABC0305.grd");
    }
    static std::string fullRow(const char* key) {
        return std::string(key) +
               "|2024-03-05 06:00:00|3|1.5|2.25|0.75|2024-03-05 06:10:00|4|5|6|7.5|8.5|100000|"
               "200000|300000|9.5|10.5|11.5|12|13|14|15|M|16|KABC0305.grd";
    }
    static void nullify(DPARadar& r) {
        setNull(r.minoff), setNull(r.maxvalh), setNull(r.maxvald), setNull(r.s1_bias_value);
        setNull(r.producttime), setNull(r.nisolbin), setNull(r.noutint), setNull(r.noutrep);
        setNull(r.areared), setNull(r.biscanr), setNull(r.block_bins_reject);
        setNull(r.clutter_bins_rej), setNull(r.bins_smoothed), setNull(r.scan_bins_filled);
        setNull(r.high_elev_angle), setNull(r.scan_rain_area), setNull(r.nbadscan);
        setNull(r.nhourout), setNull(r.volcovpat), setNull(r.opermode), setNull(r.missper);
        setNull(r.supplmess), setNull(r.grid_filename);
    }
    static std::vector<std::string> nullable() {
        return {"minoff",        "maxvalh",          "maxvald",           "s1_bias_value",
                "producttime",   "nisolbin",         "noutint",           "noutrep",
                "areared",       "biscanr",          "block_bins_reject", "clutter_bins_rej",
                "bins_smoothed", "scan_bins_filled", "high_elev_angle",   "scan_rain_area",
                "nbadscan",      "nhourout",         "volcovpat",         "opermode",
                "missper",       "supplmess",        "grid_filename"};
    }
    static void change(DPARadar& r) { r.maxvald = 99.5f; }
    static constexpr const char* changedColumn = "maxvald";
    static constexpr const char* changedValue = "99.5";
};

struct LocationTraits {
    TABLE_OPERATIONS(Location)
    static constexpr const char* keyColumn = "lid";
    static void setKey(Location& r, const char* key) { setText(r.lid, key); }
    static const char* key(const Location& r) { return r.lid; }
    static void fill(Location& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        setKey(r, key);
        setText(r.county, "Boone");
        setText(r.coe, "COE");
        setText(r.cpm, "CPM");
        setText(r.detail, "2 NW");
        r.elev = 1234.5;
        setText(r.hdatum, "NAVD88");
        setText(r.hsa, "ABC");
        setText(r.hu, "HU");
        r.lat = 38.25;
        r.lon = -92.5;
        setText(r.lremark, "remark");
        r.lrevise = 20240101;
        setText(r.name, "River at Town");
        setText(r.network, "NET");
        setText(r.rb, "River Basin");
        setText(r.rfc, "MBRFC");
        r.sbd = 19990615;
        setText(r.sn, "SN1");
        setText(r.state, "MO");
        setText(r.waro, "WAR");
        setText(r.wfo, "WFO");
        setText(r.wsfo, "WSF");
        setText(r.type, "TYPE");
        setText(r.des, "Des");
        setText(r.det, "Det");
        r.post = 1;
        setText(r.stntype, "ST");
        setText(r.tzone, "CST6CDT");
    }
    static std::string fullRow(const char* key) {
        return std::string(key) +
               "|Boone|COE|CPM|2 NW|1234.5|NAVD88|ABC|HU|38.25|-92.5|remark|2024-01-01|River at "
               "Town|NET|River Basin|MBRFC|1999-06-15|SN1|MO|WAR|WFO|WSF|TYPE|Des|Det|1|ST|CST6CDT";
    }
    static void nullify(Location& r) {
        setNull(r.coe), setNull(r.cpm), setNull(r.detail), setNull(r.elev), setNull(r.hdatum);
        setNull(r.hu), setNull(r.lat), setNull(r.lon), setNull(r.lremark), setNull(r.lrevise);
        setNull(r.name), setNull(r.rb), setNull(r.sbd), setNull(r.sn), setNull(r.waro);
        setNull(r.wsfo), setNull(r.type), setNull(r.des), setNull(r.det), setNull(r.post);
        setNull(r.stntype);
    }
    static std::vector<std::string> nullable() {
        return {"coe",  "cpm",     "detail",  "elev", "hdatum", "hu",   "lat",
                "lon",  "lremark", "lrevise", "name", "rb",     "sbd",  "sn",
                "waro", "wsfo",    "type",    "des",  "det",    "post", "stntype"};
    }
    static void change(Location& r) { setText(r.name, "Renamed"); }
    static constexpr const char* changedColumn = "name";
    static constexpr const char* changedValue = "Renamed";
};

struct PerfLogTraits {
    TABLE_OPERATIONS(PerfLog)
    static constexpr const char* keyColumn = "process";
    static void setKey(PerfLog& r, const char* key) { setText(r.process, key); }
    static const char* key(const PerfLog& r) { return r.process; }
    static void fill(PerfLog& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        setKey(r, key);
        r.start_time = ts("2024-03-05 07:08:09");
        r.num_processed = 10;
        r.num_reads = 20;
        r.num_inserts = 30;
        r.num_updates = 40;
        r.num_deletes = 50;
        r.elapsed_time = 1.25;
        r.cpu_time = 0.5;
        r.io_time = 0.25;
    }
    static std::string fullRow(const char* key) {
        return std::string(key) + "|2024-03-05 07:08:09|10|20|30|40|50|1.25|0.5|0.25";
    }
    static void nullify(PerfLog& r) {
        setNull(r.num_processed), setNull(r.num_reads), setNull(r.num_inserts);
        setNull(r.num_updates), setNull(r.num_deletes), setNull(r.elapsed_time);
        setNull(r.cpu_time), setNull(r.io_time);
    }
    static std::vector<std::string> nullable() {
        return {"num_processed", "num_reads",    "num_inserts", "num_updates",
                "num_deletes",   "elapsed_time", "cpu_time",    "io_time"};
    }
    static void change(PerfLog& r) { r.num_deletes = 77; }
    static constexpr const char* changedColumn = "num_deletes";
    static constexpr const char* changedValue = "77";
};

struct VTECeventTraits {
    TABLE_OPERATIONS(VTECevent)
    static constexpr const char* keyColumn = "geoid";
    static void setKey(VTECevent& r, const char* key) { setText(r.geoid, key); }
    static const char* key(const VTECevent& r) { return r.geoid; }
    static void fill(VTECevent& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        setKey(r, key);
        setText(r.product_id, "KABCFLWABC");
        r.producttime = ts("2024-03-05 08:00:00");
        setText(r.productmode, "O");
        setText(r.geomode, "ALL");
        setText(r.action, "NEW");
        setText(r.office_id, "KABC");
        setText(r.phenom, "FL");
        setText(r.signif, "W");
        r.etn = 17;
        r.begintime = ts("2024-03-05 09:00:00");
        r.endtime = ts("2024-03-06 09:00:00");
        setText(r.severity, "1");
        setText(r.immed_cause, "ER");
        r.risetime = ts("2024-03-05 10:00:00");
        r.cresttime = ts("2024-03-05 12:00:00");
        r.falltime = ts("2024-03-05 18:00:00");
        setText(r.record, "NO");
    }
    static std::string fullRow(const char* key) {
        return std::string(key) +
               "|KABCFLWABC|2024-03-05 08:00:00|O|ALL|NEW|KABC|FL|W|17|2024-03-05 09:00:00|"
               "2024-03-06 09:00:00|1|ER|2024-03-05 10:00:00|2024-03-05 12:00:00|2024-03-05 "
               "18:00:00|NO";
    }
    static void nullify(VTECevent& r) {
        setNull(r.productmode), setNull(r.geomode), setNull(r.action), setNull(r.office_id);
        setNull(r.phenom), setNull(r.signif), setNull(r.etn), setNull(r.begintime);
        setNull(r.endtime), setNull(r.severity), setNull(r.immed_cause), setNull(r.risetime);
        setNull(r.cresttime), setNull(r.falltime), setNull(r.record);
    }
    static std::vector<std::string> nullable() {
        return {"productmode", "geomode",  "action",    "office_id", "phenom",
                "signif",      "etn",      "begintime", "endtime",   "severity",
                "immed_cause", "risetime", "cresttime", "falltime",  "record"};
    }
    static void change(VTECevent& r) { setText(r.action, "EXT"); }
    static constexpr const char* changedColumn = "action";
    static constexpr const char* changedValue = "EXT";
};

#undef TABLE_OPERATIONS

// The bytes of a record between its node and its list: the row image.
template <class R>
std::string rowImage(const R& r) {
    const char* begin = reinterpret_cast<const char*>(&r) + sizeof(Node);
    const char* end = reinterpret_cast<const char*>(&r.list);
    return std::string(begin, end);
}

}  // namespace dbtest
