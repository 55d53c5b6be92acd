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
    static constexpr const char* key_column = "hsa";
    static void set_key(Admin& r, const char* key) { set_text(r.hsa, key); }
    static const char* key(const Admin& r) { return r.hsa; }
    static void fill(Admin& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        set_text(r.focalpoint, "Focal Point");
        set_text(r.ofc, "Office");
        set_text(r.phone, "555-0100");
        set_text(r.region, "Central");
        set_text(r.regno, "C");
        set_text(r.cd404, "CD404");
        r.tenyr = 20240305;
        r.oneyr = 20231231;
        set_key(r, key);
        r.hsa_num = 42;
        set_text(r.hb_password, "secret");
    }
    static std::string full_row(const char* key) {
        return std::string("Focal Point|Office|555-0100|Central|C|CD404|2024-03-05|2023-12-31|") +
               key + "|42|secret";
    }
    static void nullify(Admin& r) {
        set_null(r.focalpoint), set_null(r.ofc), set_null(r.phone), set_null(r.region);
        set_null(r.regno), set_null(r.cd404), set_null(r.tenyr), set_null(r.oneyr);
        set_null(r.hsa_num), set_null(r.hb_password);
    }
    static std::vector<std::string> nullable() {
        return {"focalpoint", "ofc",   "phone", "region",  "regno",
                "cd404",      "tenyr", "oneyr", "hsa_num", "hb_password"};
    }
    static void change(Admin& r) { set_text(r.phone, "555-0199"); }
    static constexpr const char* changed_column = "phone";
    static constexpr const char* changed_value = "555-0199";
};

struct DPARadarTraits {
    TABLE_OPERATIONS(DPARadar)
    static constexpr const char* key_column = "radid";
    static void set_key(DPARadar& r, const char* key) { set_text(r.radid, key); }
    static const char* key(const DPARadar& r) { return r.radid; }
    static void fill(DPARadar& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        set_key(r, key);
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
        set_text(r.missper, "M");
        r.supplmess = 16;
        set_text(r.grid_filename, "KABC0305.grd");
    }
    static std::string full_row(const char* key) {
        return std::string(key) +
               "|2024-03-05 06:00:00|3|1.5|2.25|0.75|2024-03-05 06:10:00|4|5|6|7.5|8.5|100000|"
               "200000|300000|9.5|10.5|11.5|12|13|14|15|M|16|KABC0305.grd";
    }
    static void nullify(DPARadar& r) {
        set_null(r.minoff), set_null(r.maxvalh), set_null(r.maxvald), set_null(r.s1_bias_value);
        set_null(r.producttime), set_null(r.nisolbin), set_null(r.noutint), set_null(r.noutrep);
        set_null(r.areared), set_null(r.biscanr), set_null(r.block_bins_reject);
        set_null(r.clutter_bins_rej), set_null(r.bins_smoothed), set_null(r.scan_bins_filled);
        set_null(r.high_elev_angle), set_null(r.scan_rain_area), set_null(r.nbadscan);
        set_null(r.nhourout), set_null(r.volcovpat), set_null(r.opermode), set_null(r.missper);
        set_null(r.supplmess), set_null(r.grid_filename);
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
    static constexpr const char* changed_column = "maxvald";
    static constexpr const char* changed_value = "99.5";
};

struct LocationTraits {
    TABLE_OPERATIONS(Location)
    static constexpr const char* key_column = "lid";
    static void set_key(Location& r, const char* key) { set_text(r.lid, key); }
    static const char* key(const Location& r) { return r.lid; }
    static void fill(Location& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        set_key(r, key);
        set_text(r.county, "Boone");
        set_text(r.coe, "COE");
        set_text(r.cpm, "CPM");
        set_text(r.detail, "2 NW");
        r.elev = 1234.5;
        set_text(r.hdatum, "NAVD88");
        set_text(r.hsa, "ABC");
        set_text(r.hu, "HU");
        r.lat = 38.25;
        r.lon = -92.5;
        set_text(r.lremark, "remark");
        r.lrevise = 20240101;
        set_text(r.name, "River at Town");
        set_text(r.network, "NET");
        set_text(r.rb, "River Basin");
        set_text(r.rfc, "MBRFC");
        r.sbd = 19990615;
        set_text(r.sn, "SN1");
        set_text(r.state, "MO");
        set_text(r.waro, "WAR");
        set_text(r.wfo, "WFO");
        set_text(r.wsfo, "WSF");
        set_text(r.type, "TYPE");
        set_text(r.des, "Des");
        set_text(r.det, "Det");
        r.post = 1;
        set_text(r.stntype, "ST");
        set_text(r.tzone, "CST6CDT");
    }
    static std::string full_row(const char* key) {
        return std::string(key) +
               "|Boone|COE|CPM|2 NW|1234.5|NAVD88|ABC|HU|38.25|-92.5|remark|2024-01-01|River at "
               "Town|NET|River Basin|MBRFC|1999-06-15|SN1|MO|WAR|WFO|WSF|TYPE|Des|Det|1|ST|CST6CDT";
    }
    static void nullify(Location& r) {
        set_null(r.coe), set_null(r.cpm), set_null(r.detail), set_null(r.elev), set_null(r.hdatum);
        set_null(r.hu), set_null(r.lat), set_null(r.lon), set_null(r.lremark), set_null(r.lrevise);
        set_null(r.name), set_null(r.rb), set_null(r.sbd), set_null(r.sn), set_null(r.waro);
        set_null(r.wsfo), set_null(r.type), set_null(r.des), set_null(r.det), set_null(r.post);
        set_null(r.stntype);
    }
    static std::vector<std::string> nullable() {
        return {"coe",  "cpm",     "detail",  "elev", "hdatum", "hu",   "lat",
                "lon",  "lremark", "lrevise", "name", "rb",     "sbd",  "sn",
                "waro", "wsfo",    "type",    "des",  "det",    "post", "stntype"};
    }
    static void change(Location& r) { set_text(r.name, "Renamed"); }
    static constexpr const char* changed_column = "name";
    static constexpr const char* changed_value = "Renamed";
};

struct PerfLogTraits {
    TABLE_OPERATIONS(PerfLog)
    static constexpr const char* key_column = "process";
    static void set_key(PerfLog& r, const char* key) { set_text(r.process, key); }
    static const char* key(const PerfLog& r) { return r.process; }
    static void fill(PerfLog& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        set_key(r, key);
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
    static std::string full_row(const char* key) {
        return std::string(key) + "|2024-03-05 07:08:09|10|20|30|40|50|1.25|0.5|0.25";
    }
    static void nullify(PerfLog& r) {
        set_null(r.num_processed), set_null(r.num_reads), set_null(r.num_inserts);
        set_null(r.num_updates), set_null(r.num_deletes), set_null(r.elapsed_time);
        set_null(r.cpu_time), set_null(r.io_time);
    }
    static std::vector<std::string> nullable() {
        return {"num_processed", "num_reads",    "num_inserts", "num_updates",
                "num_deletes",   "elapsed_time", "cpu_time",    "io_time"};
    }
    static void change(PerfLog& r) { r.num_deletes = 77; }
    static constexpr const char* changed_column = "num_deletes";
    static constexpr const char* changed_value = "77";
};

struct VTECeventTraits {
    TABLE_OPERATIONS(VTECevent)
    static constexpr const char* key_column = "geoid";
    static void set_key(VTECevent& r, const char* key) { set_text(r.geoid, key); }
    static const char* key(const VTECevent& r) { return r.geoid; }
    static void fill(VTECevent& r, const char* key) {
        std::memset(&r, 0, sizeof r);
        set_key(r, key);
        set_text(r.product_id, "KABCFLWABC");
        r.producttime = ts("2024-03-05 08:00:00");
        set_text(r.productmode, "O");
        set_text(r.geomode, "ALL");
        set_text(r.action, "NEW");
        set_text(r.office_id, "KABC");
        set_text(r.phenom, "FL");
        set_text(r.signif, "W");
        r.etn = 17;
        r.begintime = ts("2024-03-05 09:00:00");
        r.endtime = ts("2024-03-06 09:00:00");
        set_text(r.severity, "1");
        set_text(r.immed_cause, "ER");
        r.risetime = ts("2024-03-05 10:00:00");
        r.cresttime = ts("2024-03-05 12:00:00");
        r.falltime = ts("2024-03-05 18:00:00");
        set_text(r.record, "NO");
    }
    static std::string full_row(const char* key) {
        return std::string(key) +
               "|KABCFLWABC|2024-03-05 08:00:00|O|ALL|NEW|KABC|FL|W|17|2024-03-05 09:00:00|"
               "2024-03-06 09:00:00|1|ER|2024-03-05 10:00:00|2024-03-05 12:00:00|2024-03-05 "
               "18:00:00|NO";
    }
    static void nullify(VTECevent& r) {
        set_null(r.productmode), set_null(r.geomode), set_null(r.action), set_null(r.office_id);
        set_null(r.phenom), set_null(r.signif), set_null(r.etn), set_null(r.begintime);
        set_null(r.endtime), set_null(r.severity), set_null(r.immed_cause), set_null(r.risetime);
        set_null(r.cresttime), set_null(r.falltime), set_null(r.record);
    }
    static std::vector<std::string> nullable() {
        return {"productmode", "geomode",  "action",    "office_id", "phenom",
                "signif",      "etn",      "begintime", "endtime",   "severity",
                "immed_cause", "risetime", "cresttime", "falltime",  "record"};
    }
    static void change(VTECevent& r) { set_text(r.action, "EXT"); }
    static constexpr const char* changed_column = "action";
    static constexpr const char* changed_value = "EXT";
};

#undef TABLE_OPERATIONS

// The bytes of a record between its node and its list: the row image.
template <class R>
std::string row_image(const R& r) {
    const char* begin = reinterpret_cast<const char*>(&r) + sizeof(Node);
    const char* end = reinterpret_cast<const char*>(&r.list);
    return std::string(begin, end);
}

}  // namespace dbtest
