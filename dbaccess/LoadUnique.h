#pragma once

// Distinct values of a column, or of several columns joined with "||", of any table, as a list
// of texts; and the split of a joined value back into its column values.

#include <vector>

#include "DbRecords.h"

// The distinct values of " SELECT DISTINCT <field> FROM <table> <where> " as a list headed by
// the first value, or null. Columns joined with "||" in `field` come back separated by "|".
// *count: the number of values; -1 when memory ran out or the prepare failed, -3 when the cursor
// could not be opened, -4 when a value could not be fetched (all reported on standard error; no
// list is returned for a failure). A NULL value arrives as empty text. A value longer than the
// record's text is cut to it and reported on standard error.
DistinctValue* LoadUnique(const char* field, const char* table, const char* where, int* count);

// LoadUnique for callers that must not act on a cut value: `too_long` gets one flag per value,
// in list order, true when the value was longer than the record's text and arrived cut (nothing
// is printed for it). Empty when no list is returned.
DistinctValue* LoadUniqueChecked(const char* field, const char* table, const char* where,
                                 int* count, std::vector<bool>& too_long);

// Splits the record's text at every "|" into a null-terminated array of field texts, *count
// set to their number; null (count 0) when memory ran out.
char** ParseUnique(const DistinctValue* record, int* count);

// Releases a list returned by LoadUnique; null does nothing.
void FreeUnique(DistinctValue* first);

// Releases an array returned by ParseUnique; null does nothing.
void FreeParseUnique(char** fields);
