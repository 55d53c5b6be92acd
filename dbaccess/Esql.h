#pragma once

// Typed access to the embedded-SQL runtime, in its four concerns: the host variables of a
// statement (EsqlHostVars.h), the session and its health with the statements sent on it
// (EsqlSession.h), the stop by a signal (EsqlStop.h) and named cursors (EsqlCursor.h).

#include "EsqlCursor.h"
#include "EsqlHostVars.h"
#include "EsqlSession.h"
#include "EsqlStop.h"
