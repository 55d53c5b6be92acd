#pragma once

// Copies the hsa of the first Admin row into `hsa` (at least 6 bytes): 0 when copied, 1 when
// reading Admin failed (reported), 2 when Admin has no row.
int get_admin_hsa(char* hsa);
