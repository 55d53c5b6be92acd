#pragma once

// Number of columns named lid that the catalog lists under the relation name `table`
// (exact, case-sensitive); 0 when there is none and after any failure, which is reported.
// A name qualified by its schema ("archive.height") counts the lid columns of that table in
// that schema only.
int lid_in_table(const char* table);

// The same count, but -1 after a failure (reported as lid_in_table reports it), so that a caller
// can tell "no lid column" from "could not tell". A fetch that finds no row is such a failure.
int count_lid_columns(const char* table);
