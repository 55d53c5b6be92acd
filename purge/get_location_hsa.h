#pragma once

// Status values of get_location_hsa.
inline constexpr int kLocationHsaOk = 99;
inline constexpr int kLocationTableNotLoaded = 98;

// Looks up the hsa of station `lid` (cut in place to 8 characters; the buffer holds at least 9
// bytes) into `hsa` (4 bytes); three blanks when the station is unknown. `status` is 99, or 98
// when the station table could not be loaded at this call. Location is read once per run.
void get_location_hsa(char* lid, char* hsa, int* status);

// True when the station table could not be loaded because reading Location failed (not because
// it is empty): no station can then be told to be the office's own or another's.
bool location_table_read_failed();

// Releases the station table; the next lookup loads Location again.
void free_location_hsa_table();
