#pragma once

// Deletes the VTECevent rows older than 30 days that do not carry the latest producttime of
// their geoid/office_id/phenom/signif combination, reporting on standard output.
void PurgeVTECevent();
