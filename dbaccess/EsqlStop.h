#pragma once

// The stop of a run by a signal (SIGTERM, SIGINT, SIGHUP), and what it does to the statement or
// the connect under way. Everything the handlers do is in EsqlStop.cpp.

#include <libpq-fe.h>

namespace esql {

// Asks for a stop from a signal handler, at any moment, with async-signal-safe calls only:
//  - no statement is started afterwards, and none can be sent: the connection's socket is shut
//    for writing (its answers still come back);
//  - a statement running on the server is cancelled there, and the cancel is repeated (see
//    interrupt_tick()) until its answer is in: a cancel that reaches the server before it has
//    read the statement is ignored there;
//  - a connect under way is cut: every socket opened since it began is shut down, again at every
//    tick, so that the client library gives up at once.
void interrupt(int signo) noexcept;

// Makes the repeats of interrupt() possible: a timer that raises `tick_signo` every 100 ms once a
// stop was asked for, while a statement or a connect is under way. The handler of `tick_signo`
// calls interrupt_tick(). Called once, outside a handler; without it, interrupt() does not repeat.
bool set_up_interrupt_ticks(int tick_signo);
// The timer's handler: cancels again, or cuts the connect again; stops the timer when neither is
// under way any more. Async-signal-safe.
void interrupt_tick() noexcept;

// The signal given to interrupt(); 0 when none was.
int interrupt_signal();

// What the session tells the stop, outside the handlers.
namespace stop {

// A statement is under way from before the last look at halt() until its answer is in, so that a
// stop asked for in between still reaches it.
void begin_statement() noexcept;
void end_statement() noexcept;

// A connect is under way: a stop cuts every socket opened since begin_connect().
void begin_connect();
void end_connect() noexcept;

// The connection that statements go to: its socket is shut at a stop, and its running statement
// cancelled. A stop that came before already shuts it.
void watch_session(PGconn* conn);
// No connection any more (before a connect or a disconnect).
void forget_session();

}  // namespace stop

}  // namespace esql
