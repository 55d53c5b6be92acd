#pragma once

// Number of columns named lid that the catalog lists under the relation name `table`
// (exact, case-sensitive); 0 when there is none and after any failure, which is reported.
int lid_in_table(const char* table);
