#pragma once

// Trims every product of PurgeProduct to its num_versions newest versions in TextProduct and
// reports each product on standard output. Any failure ends the pass, never the run.
void ProcessPurgeProduct();

struct RunState;
// The same pass within a run: a preview counts instead of deleting, and the figures go to the
// run's state.
void purge_text_products(RunState& run);
