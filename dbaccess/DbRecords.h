#pragma once

// Row images of the tables reached through records. Every record begins with a Node, so a record
// pointer is a list node, and ends with a List, which heads the whole result in the first record
// of a list returned by a select (and is left uninitialised in the others). The fields follow
// the table's column order. A nullable field holds SQL null as the null marker of its host type:
// empty text, -32768 (short), -2147483648 (int and date_t), all bytes 0xFF (float, double,
// timestamp).

#include <pgtypes_timestamp.h>

#include "List.h"
#include "time_convert.h"  // date_t

struct Admin {
    Node node;
    char focalpoint[25];
    char ofc[21];
    char phone[13];
    char region[21];
    char regno[2];
    char cd404[9];
    date_t tenyr;
    date_t oneyr;
    char hsa[6];  // key
    short hsa_num;
    char hb_password[9];
    List list;
};

struct DPARadar {
    Node node;
    char radid[4];      // key
    timestamp obstime;  // key
    short minoff;
    float maxvalh;
    float maxvald;
    float s1_bias_value;
    timestamp producttime;
    short nisolbin;
    short noutint;
    short noutrep;
    float areared;
    float biscanr;
    int block_bins_reject;
    int clutter_bins_rej;
    int bins_smoothed;
    float scan_bins_filled;
    float high_elev_angle;
    float scan_rain_area;
    short nbadscan;
    short nhourout;
    short volcovpat;
    short opermode;
    char missper[2];
    short supplmess;
    char grid_filename[21];
    List list;
};

struct Location {
    Node node;
    char lid[9];  // key
    char county[21];
    char coe[4];
    char cpm[4];
    char detail[11];
    double elev;
    char hdatum[10];
    char hsa[4];
    char hu[9];
    double lat;
    double lon;
    char lremark[256];
    date_t lrevise;
    char name[51];
    char network[4];
    char rb[31];
    char rfc[6];
    date_t sbd;
    char sn[11];
    char state[3];
    char waro[4];
    char wfo[4];
    char wsfo[4];
    char type[5];
    char des[31];
    char det[31];
    int post;
    char stntype[5];
    char tzone[9];
    List list;
};

struct PerfLog {
    Node node;
    char process[11];      // key
    timestamp start_time;  // key
    int num_processed;
    int num_reads;
    int num_inserts;
    int num_updates;
    int num_deletes;
    double elapsed_time;
    double cpu_time;
    double io_time;
    List list;
};

struct VTECevent {
    Node node;
    char geoid[25];         // key
    char product_id[11];    // key
    timestamp producttime;  // key
    char productmode[2];
    char geomode[5];
    char action[4];
    char office_id[6];
    char phenom[3];
    char signif[2];
    short etn;
    timestamp begintime;
    timestamp endtime;
    char severity[2];
    char immed_cause[3];
    timestamp risetime;
    timestamp cresttime;
    timestamp falltime;
    char record[3];
    List list;
};

// One value of a distinct-value list (LoadUnique).
struct DistinctValue {
    Node node;
    char text[120];
    List list;
};
