#pragma once

// The one database connection of the process.

// Connects to `name` (a database name or the runtime's own target forms) with autocommit on,
// in the runtime's Informix-compatible mode, where PG_DBPATH, when set, names the database.
// 0 on success; 1 for a null or empty name (nothing attempted); 2 when the connect fails, after
// "Unable to open database <name> - (<sqlcode>)" on standard error.
int OpenDbms(const char* name);

// Disconnects the current connection: 0 on success, 3 on failure (nothing printed).
int CloseDbms();
