#pragma once

// Interval arithmetic on the database client library's timestamp (microseconds since
// 2000-01-01 00:00:00) and interval (microseconds, whole months). Whole months move the date
// on the calendar: a day past the end of the new month becomes its last day, and the time of
// day stays. The time part is then added as microseconds. Infinite timestamps pass through.
//
// Both operations write the result into the input timestamp as well as into the output; keep
// a copy of the input if it is needed again. Input and output may be the same timestamp.
// They live in their own namespace, apart from the library's functions of the same names:
// call them qualified, e.g. trevane_time::PGTYPEStimestamp_sub_interval(&now, span, &cutoff).

#include <pgtypes_interval.h>
#include <pgtypes_timestamp.h>

namespace trevane_time {

// *tin + *span into *tin and *tout; 0, or -1 (nothing changed) when the date leaves the range
// of a timestamp.
int PGTYPEStimestamp_add_interval(timestamp* tin, const interval* span, timestamp* tout);

// *tin - *span into *tin and *tout; *span is not changed. Results as for the addition.
int PGTYPEStimestamp_sub_interval(timestamp* tin, const interval* span, timestamp* tout);

}  // namespace trevane_time
