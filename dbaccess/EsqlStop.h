#pragma once

// The stop of a run by a signal (SIGTERM, SIGINT, SIGHUP), and what it does to the statement or
// the connect under way. Everything the handlers do is in EsqlStop.cpp.

#include <libpq-fe.h>

#include <initializer_list>

namespace esql {

// Installs the handlers: each of `stop_signals` calls interrupt(), `tick_signal` comes from the
// timer that repeats a stop's step and calls interrupt_tick(). Called once, outside a handler.
// A timer that cannot be made is reported once, on a line of its own; a stop then takes its
// step once, without repeats.
void install_stop_handlers(std::initializer_list<int> stop_signals, int tick_signal);

// Asks for a stop, at any moment, with async-signal-safe calls only:
//  - no statement is started afterwards, and none can be sent: the connection's socket is shut
//    for writing (its answers still come back);
//  - a statement running on the server is cancelled there, and the cancel is repeated every
//    100 ms until its answer is in: a cancel that reaches the server before it has read the
//    statement is ignored there;
//  - a connect under way is cut: every socket opened since it began is shut down, again at every
//    tick, so that the client library gives up at once.
// A second stop waits for nothing: the connection is shut both ways and a cancel or a connect
// under way is cut, so that the statement under way fails at once (even while the first stop's
// cancel hangs on a server that does not answer) and the run ends with its one line.
void interrupt(int signo) noexcept;

// The timer's step: cancels again, or cuts the connect again; stops the timer when neither is
// under way any more.
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
