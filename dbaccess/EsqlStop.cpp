// What happens when a run is told to stop.
//
// A stop signal (SIGTERM, SIGINT, SIGHUP) calls interrupt(). From then on no statement is
// started (the session reads interrupt_signal() before each one), the connection's socket is
// shut for writing, and whatever waits on the server is ended there: a statement under way is
// cancelled, a connect under way has its new sockets shut down. The server may ignore a cancel
// that arrives before it has read the statement, so a timer repeats the same step every 100 ms
// (interrupt_tick()) until the answer is in. The run then ends with its one line and 128 + N.
//
// The cancel opens a connection of its own and waits for the server to close it. While it waits
// the stop signals are let through, and a second one gives up on the server: the session's
// socket is shut both ways and the cancel's (or the connect's) new sockets are cut, so the
// statement under way fails at once and the run ends the same way.
//
// Everything here runs in signal handlers: flags, and values that are set outside the handlers
// while no statement or connect is under way.

#include "EsqlStop.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace esql {

namespace {

volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t statement_under_way = 0;  // from before the halt check to the answer
volatile std::sig_atomic_t connect_under_way = 0;
volatile std::sig_atomic_t cancel_under_way = 0;
volatile std::sig_atomic_t given_up = 0;         // a second stop came: nothing is waited for
volatile std::sig_atomic_t session_socket = -1;  // the connection's socket while connected

// Made after a connect, for the handler's cancel; read in handlers, so lock-free.
std::atomic<PGcancel*> running_cancel{nullptr};
static_assert(std::atomic<PGcancel*>::is_always_lock_free);
char cancel_errbuf[256];  // PQcancel's message, unused: static for the handler

// Sockets of the process before a connect or a cancel began, by descriptor: their inode, 0 for
// none. A socket that is not among them belongs to the connect or the cancel, and is cut.
constexpr int kWatchedDescriptors = 1024;
std::array<ino_t, kWatchedDescriptors> sockets_before{};

sigset_t stop_signals;  // let through while a cancel waits
bool ticks_ready = false;
timer_t tick_timer{};
constexpr long kTickNanoseconds = 100L * 1000 * 1000;

ino_t socket_inode(int fd) noexcept {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? st.st_ino : 0;
}

void note_sockets() noexcept {
    for (int fd = 0; fd < kWatchedDescriptors; ++fd) {
        sockets_before[static_cast<std::size_t>(fd)] = socket_inode(fd);
    }
}

// Shuts down every socket opened since note_sockets(): the client library's wait on it ends at
// once, and so does each further attempt it makes (another address, without SSL).
void cut_new_sockets() noexcept {
    for (int fd = 0; fd < kWatchedDescriptors; ++fd) {
        const ino_t inode = socket_inode(fd);
        if (inode != 0 && inode != sockets_before[static_cast<std::size_t>(fd)]) {
            shutdown(fd, SHUT_RDWR);
        }
    }
}

void shut_session(int how) noexcept {
    const int socket = session_socket;
    if (socket >= 0) {
        shutdown(socket, how);
    }
}

void cancel_running() noexcept {
    PGcancel* cancel = running_cancel.load();
    if (cancel == nullptr || cancel_under_way != 0) {
        return;
    }
    note_sockets();
    cancel_under_way = 1;
    // Documented as safe in a signal handler; the server answers the running statement with its
    // cancellation, which rolls the statement back. A second stop may cut it meanwhile.
    sigset_t before;
    pthread_sigmask(SIG_UNBLOCK, &stop_signals, &before);
    PQcancel(cancel, cancel_errbuf, static_cast<int>(sizeof cancel_errbuf));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    cancel_under_way = 0;
}

void set_ticks(bool on) noexcept {
    if (!ticks_ready) {
        return;
    }
    itimerspec spec{};
    if (on) {
        spec.it_value.tv_nsec = kTickNanoseconds;
        spec.it_interval.tv_nsec = kTickNanoseconds;
    }
    timer_settime(tick_timer, 0, &spec, nullptr);
}

// The one step of a stop, at the signal and at every tick: cut the connect under way, or cancel
// the statement under way. False when neither is under way.
// After a second stop the statement's answer is not waited for: the session is shut both ways.
bool end_what_waits() noexcept {
    if (connect_under_way != 0) {
        cut_new_sockets();
        return true;
    }
    if (statement_under_way != 0) {
        if (given_up != 0) {
            shut_session(SHUT_RDWR);
        } else {
            cancel_running();
        }
        return true;
    }
    return false;
}

void give_up() noexcept {
    given_up = 1;
    shut_session(SHUT_RDWR);
    if (connect_under_way != 0 || cancel_under_way != 0) {
        cut_new_sockets();
    }
}

extern "C" void on_stop_signal(int signo) {
    const int saved = errno;
    interrupt(signo);
    errno = saved;
}

extern "C" void on_tick(int /*signo*/) {
    const int saved = errno;
    interrupt_tick();
    errno = saved;
}

}  // namespace

void install_stop_handlers(std::initializer_list<int> stop_signals_given, int tick_signal) {
    sigemptyset(&stop_signals);
    for (const int signo : stop_signals_given) {
        sigaddset(&stop_signals, signo);
    }
    if (!ticks_ready) {
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = tick_signal;
        ticks_ready = timer_create(CLOCK_MONOTONIC, &event, &tick_timer) == 0;
        if (!ticks_ready) {
            std::printf(
                "ERROR - no timer to repeat the cancel of a stop (%s): a stop cancels the "
                "statement under way once\n",
                std::strerror(errno));
        }
    }
    struct sigaction action {};
    // A handler is not interrupted by the others, but for a second stop while a cancel waits.
    action.sa_mask = stop_signals;
    sigaddset(&action.sa_mask, tick_signal);
    action.sa_flags = SA_RESTART;
    action.sa_handler = on_stop_signal;
    for (const int signo : stop_signals_given) {
        sigaction(signo, &action, nullptr);
    }
    action.sa_handler = on_tick;
    sigaction(tick_signal, &action, nullptr);
}

void interrupt(int signo) noexcept {
    if (stop_signal != 0) {
        give_up();
        return;
    }
    stop_signal = signo;
    // No byte of a statement leaves after this; what was sent already still gets its answer.
    shut_session(SHUT_WR);
    if (end_what_waits()) {
        set_ticks(true);
    }
}

void interrupt_tick() noexcept {
    if (stop_signal != 0 && !end_what_waits()) {
        set_ticks(false);
    }
}

int interrupt_signal() {
    return stop_signal;
}

namespace stop {

void begin_statement() noexcept {
    statement_under_way = 1;
}

void end_statement() noexcept {
    statement_under_way = 0;
    if (stop_signal != 0) {
        set_ticks(false);
    }
}

void begin_connect() {
    note_sockets();
    connect_under_way = 1;
}

void end_connect() noexcept {
    connect_under_way = 0;
    if (stop_signal != 0) {
        set_ticks(false);
    }
}

void watch_session(PGconn* conn) {
    running_cancel.store(conn != nullptr ? PQgetCancel(conn) : nullptr);
    session_socket = conn != nullptr ? PQsocket(conn) : -1;
    // A stop that came just before the socket was known: no statement may be sent.
    if (stop_signal != 0 && session_socket >= 0) {
        shutdown(session_socket, SHUT_WR);
    }
}

void forget_session() {
    session_socket = -1;
    // Taken away first, so that a handler never sees it freed.
    PGcancel* cancel = running_cancel.exchange(nullptr);
    if (cancel != nullptr) {
        PQfreeCancel(cancel);
    }
}

}  // namespace stop

}  // namespace esql
