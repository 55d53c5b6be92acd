#pragma once

// Trims every product of PurgeProduct to its num_versions newest versions in TextProduct and
// reports each product on standard output. Any failure ends the pass, never the run.
void ProcessPurgeProduct();
