// What happens when a run is told to stop.
//
// A stop signal calls interrupt(). From then on no statement is started (the session reads
// interrupt_signal() before each one), the connection's socket is shut for writing, and whatever
// waits on the server is ended there: a statement under way is cancelled, a connect under way has
// its new sockets shut down. The server may ignore a cancel that arrives before it has read the
// statement, so a timer repeats the same step every 100 ms (interrupt_tick()) until the answer is
// in. Everything here runs in signal handlers: flags, and values that are set outside the
// handlers while no statement or connect is under way.

#include "EsqlStop.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <ctime>

namespace esql {

namespace {

volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t statement_under_way = 0;  // from before the halt check to the answer
volatile std::sig_atomic_t connect_under_way = 0;
volatile std::sig_atomic_t session_socket = -1;  // the connection's socket while connected

// Made after a connect, for the handler's cancel; read in handlers, so lock-free.
std::atomic<PGcancel*> running_cancel{nullptr};
static_assert(std::atomic<PGcancel*>::is_always_lock_free);
char cancel_errbuf[256];  // PQcancel's message, unused: static for the handler

// Sockets of the process before a connect began, by descriptor: their inode, 0 for none. A
// socket that is not among them at a stop belongs to the connect and is cut.
constexpr int kWatchedDescriptors = 1024;
std::array<ino_t, kWatchedDescriptors> sockets_before_connect{};

bool ticks_ready = false;
timer_t tick_timer{};
constexpr long kTickNanoseconds = 100L * 1000 * 1000;

ino_t socket_inode(int fd) noexcept {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? st.st_ino : 0;
}

// Shuts down every socket opened since the connect began: the client library's wait on it ends
// at once, and so does each further attempt it makes (another address, without SSL).
void cut_connect_sockets() noexcept {
    for (int fd = 0; fd < kWatchedDescriptors; ++fd) {
        const ino_t inode = socket_inode(fd);
        if (inode != 0 && inode != sockets_before_connect[static_cast<std::size_t>(fd)]) {
            shutdown(fd, SHUT_RDWR);
        }
    }
}

void cancel_running() noexcept {
    PGcancel* cancel = running_cancel.load();
    if (cancel != nullptr) {
        // Documented as safe in a signal handler; the server answers the running statement with
        // its cancellation, which rolls the statement back.
        PQcancel(cancel, cancel_errbuf, static_cast<int>(sizeof cancel_errbuf));
    }
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
bool end_what_waits() noexcept {
    if (connect_under_way != 0) {
        cut_connect_sockets();
        return true;
    }
    if (statement_under_way != 0) {
        cancel_running();
        return true;
    }
    return false;
}

}  // namespace

void interrupt(int signo) noexcept {
    stop_signal = signo;
    // No byte of a statement leaves after this; what was sent already still gets its answer.
    const int socket = session_socket;
    if (socket >= 0) {
        shutdown(socket, SHUT_WR);
    }
    if (end_what_waits()) {
        set_ticks(true);
    }
}

void interrupt_tick() noexcept {
    if (stop_signal != 0 && !end_what_waits()) {
        set_ticks(false);
    }
}

bool set_up_interrupt_ticks(int tick_signo) {
    if (ticks_ready) {
        return true;
    }
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = tick_signo;
    ticks_ready = timer_create(CLOCK_MONOTONIC, &event, &tick_timer) == 0;
    return ticks_ready;
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
    for (int fd = 0; fd < kWatchedDescriptors; ++fd) {
        sockets_before_connect[static_cast<std::size_t>(fd)] = socket_inode(fd);
    }
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
