#pragma once

// The five tables reached through records, each described once: its name, its columns in the
// order the select-all statements return them, and its key. Station and office identifiers
// and grid file names may be held in char(n) columns: their padding blanks are dropped on
// reading, so they come back as the bare names.

#include "DbRecords.h"
#include "TableDescription.h"

namespace dbaccess {

inline constexpr Table<Admin, 11, 1> kAdminTable{
    "Admin",
    "Admin",
    {{
        column<&Admin::focalpoint>("focalpoint", Nullable::Yes),
        column<&Admin::ofc>("ofc", Nullable::Yes),
        column<&Admin::phone>("phone", Nullable::Yes),
        column<&Admin::region>("region", Nullable::Yes),
        column<&Admin::regno>("regno", Nullable::Yes),
        column<&Admin::cd404>("cd404", Nullable::Yes),
        date_column<&Admin::tenyr>("tenyr", Nullable::Yes),
        date_column<&Admin::oneyr>("oneyr", Nullable::Yes),
        column<&Admin::hsa>("hsa", Nullable::No, esql::Trim::TrailingBlanks),
        column<&Admin::hsa_num>("hsa_num", Nullable::Yes),
        column<&Admin::hb_password>("hb_password", Nullable::Yes),
    }},
    {8},  // hsa
};
static_assert(well_formed(kAdminTable));

inline constexpr Table<DPARadar, 25, 2> kDPARadarTable{
    "DPARadar",
    "DPARadar",
    {{
        column<&DPARadar::radid>("radid", Nullable::No),
        column<&DPARadar::obstime>("obstime", Nullable::No),
        column<&DPARadar::minoff>("minoff", Nullable::Yes),
        column<&DPARadar::maxvalh>("maxvalh", Nullable::Yes),
        column<&DPARadar::maxvald>("maxvald", Nullable::Yes),
        column<&DPARadar::s1_bias_value>("s1_bias_value", Nullable::Yes),
        column<&DPARadar::producttime>("producttime", Nullable::Yes),
        column<&DPARadar::nisolbin>("nisolbin", Nullable::Yes),
        column<&DPARadar::noutint>("noutint", Nullable::Yes),
        column<&DPARadar::noutrep>("noutrep", Nullable::Yes),
        column<&DPARadar::areared>("areared", Nullable::Yes),
        column<&DPARadar::biscanr>("biscanr", Nullable::Yes),
        column<&DPARadar::block_bins_reject>("block_bins_reject", Nullable::Yes),
        column<&DPARadar::clutter_bins_rej>("clutter_bins_rej", Nullable::Yes),
        column<&DPARadar::bins_smoothed>("bins_smoothed", Nullable::Yes),
        column<&DPARadar::scan_bins_filled>("scan_bins_filled", Nullable::Yes),
        column<&DPARadar::high_elev_angle>("high_elev_angle", Nullable::Yes),
        column<&DPARadar::scan_rain_area>("scan_rain_area", Nullable::Yes),
        column<&DPARadar::nbadscan>("nbadscan", Nullable::Yes),
        column<&DPARadar::nhourout>("nhourout", Nullable::Yes),
        column<&DPARadar::volcovpat>("volcovpat", Nullable::Yes),
        column<&DPARadar::opermode>("opermode", Nullable::Yes),
        column<&DPARadar::missper>("missper", Nullable::Yes),
        column<&DPARadar::supplmess>("supplmess", Nullable::Yes),
        column<&DPARadar::grid_filename>("grid_filename", Nullable::Yes,
                                         esql::Trim::TrailingBlanks),
    }},
    {0, 1},  // radid, obstime
};
static_assert(well_formed(kDPARadarTable));

inline constexpr Table<Location, 29, 1> kLocationTable{
    "Location",
    "location",
    {{
        column<&Location::lid>("lid", Nullable::No, esql::Trim::TrailingBlanks),
        column<&Location::county>("county", Nullable::No),
        column<&Location::coe>("coe", Nullable::Yes),
        column<&Location::cpm>("cpm", Nullable::Yes),
        column<&Location::detail>("detail", Nullable::Yes),
        column<&Location::elev>("elev", Nullable::Yes),
        column<&Location::hdatum>("hdatum", Nullable::Yes),
        column<&Location::hsa>("hsa", Nullable::No, esql::Trim::TrailingBlanks),
        column<&Location::hu>("hu", Nullable::Yes),
        column<&Location::lat>("lat", Nullable::Yes),
        column<&Location::lon>("lon", Nullable::Yes),
        column<&Location::lremark>("lremark", Nullable::Yes),
        date_column<&Location::lrevise>("lrevise", Nullable::Yes),
        column<&Location::name>("name", Nullable::Yes),
        column<&Location::network>("network", Nullable::No),
        column<&Location::rb>("rb", Nullable::Yes),
        column<&Location::rfc>("rfc", Nullable::No),
        date_column<&Location::sbd>("sbd", Nullable::Yes),
        column<&Location::sn>("sn", Nullable::Yes),
        column<&Location::state>("state", Nullable::No),
        column<&Location::waro>("waro", Nullable::Yes),
        column<&Location::wfo>("wfo", Nullable::No),
        column<&Location::wsfo>("wsfo", Nullable::Yes),
        column<&Location::type>("type", Nullable::Yes),
        column<&Location::des>("des", Nullable::Yes),
        column<&Location::det>("det", Nullable::Yes),
        column<&Location::post>("post", Nullable::Yes),
        column<&Location::stntype>("stntype", Nullable::Yes),
        column<&Location::tzone>("tzone", Nullable::No),
    }},
    {0},  // lid
};
static_assert(well_formed(kLocationTable));

inline constexpr Table<PerfLog, 10, 2> kPerfLogTable{
    "PerfLog",
    "PerfLog",
    {{
        column<&PerfLog::process>("process", Nullable::No),
        column<&PerfLog::start_time>("start_time", Nullable::No),
        column<&PerfLog::num_processed>("num_processed", Nullable::Yes),
        column<&PerfLog::num_reads>("num_reads", Nullable::Yes),
        column<&PerfLog::num_inserts>("num_inserts", Nullable::Yes),
        column<&PerfLog::num_updates>("num_updates", Nullable::Yes),
        column<&PerfLog::num_deletes>("num_deletes", Nullable::Yes),
        column<&PerfLog::elapsed_time>("elapsed_time", Nullable::Yes),
        column<&PerfLog::cpu_time>("cpu_time", Nullable::Yes),
        column<&PerfLog::io_time>("io_time", Nullable::Yes),
    }},
    {0, 1},  // process, start_time
};
static_assert(well_formed(kPerfLogTable));

inline constexpr Table<VTECevent, 18, 3> kVTECeventTable{
    "VTECevent",
    "VTECevent",
    {{
        column<&VTECevent::geoid>("geoid", Nullable::No),
        column<&VTECevent::product_id>("product_id", Nullable::No),
        column<&VTECevent::producttime>("producttime", Nullable::No),
        column<&VTECevent::productmode>("productmode", Nullable::Yes),
        column<&VTECevent::geomode>("geomode", Nullable::Yes),
        column<&VTECevent::action>("action", Nullable::Yes),
        column<&VTECevent::office_id>("office_id", Nullable::Yes),
        column<&VTECevent::phenom>("phenom", Nullable::Yes),
        column<&VTECevent::signif>("signif", Nullable::Yes),
        column<&VTECevent::etn>("etn", Nullable::Yes),
        column<&VTECevent::begintime>("begintime", Nullable::Yes),
        column<&VTECevent::endtime>("endtime", Nullable::Yes),
        column<&VTECevent::severity>("severity", Nullable::Yes),
        column<&VTECevent::immed_cause>("immed_cause", Nullable::Yes),
        column<&VTECevent::risetime>("risetime", Nullable::Yes),
        column<&VTECevent::cresttime>("cresttime", Nullable::Yes),
        column<&VTECevent::falltime>("falltime", Nullable::Yes),
        column<&VTECevent::record>("record", Nullable::Yes),
    }},
    {0, 1, 2},  // geoid, product_id, producttime
};
static_assert(well_formed(kVTECeventTable));

}  // namespace dbaccess
