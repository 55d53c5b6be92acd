#pragma once

// Whether this run is a preview: every pass counts what it would delete and deletes nothing.
// Set once by the driver from the token trevane_preview before the passes run.
bool purge_preview();
void set_purge_preview(bool on);
