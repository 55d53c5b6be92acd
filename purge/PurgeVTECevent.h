#pragma once

// Deletes the VTECevent rows older than 30 days that do not carry the latest producttime of
// their geoid/office_id/phenom/signif combination, reporting on standard output.
void PurgeVTECevent();

struct RunState;
// The same pass within a run: a preview counts instead of deleting, and the figures go to the
// run's state.
void purge_events(RunState& run);
