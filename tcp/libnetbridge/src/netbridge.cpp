// The TCP channel driver: listens on the configured host and port, serves
// one client at a time (a newer client replaces the older one), feeds the
// client's bytes to inbound dispatch, and writes the agent's results and
// events to the client.
//
// Threads: the caller's (open, close), one accepting thread ("nb_accept"),
// at most one receiving thread ("nb_listening") and its connection's writer
// ("nb_writer", see outbound.h), with TLS the handshake thread
// ("nb_handshake", see tls.h), which serves a client once its handshake has
// completed, and the agent's threads inside the callbacks.
// Lock order: general_lock > need_accepting_lock > need_listening_lock >
// sockets_lock > send_lock > the TLS stream's lock; a start gate's lock is
// taken alone. The handshake thread serves a client holding none of them;
// the close sequence ends it after the accepting thread and before it lets
// the client go. The agent is
// told of a lost connection with none of them held but the first three: it
// may wait for a callback on its way, which takes send_lock.
//
// The client socket is closed, and sockfd reset to -1, only under both
// sockets_lock and send_lock: a package being written can never land on a
// descriptor number that was meanwhile reused for another file. Shutdowns,
// which wake a blocked receiving thread or a paused send, need only
// sockets_lock, so they never wait for a slow write.
#include "netbridge_internal.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "client_limits.h"
#include "cmediator.h"
#include "dispatch.h"
#include "outbound.h"
#include "ratelimit.h"
#include "tls.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

extern "C" {
std::atomic<const char *> hostname{nullptr};
std::atomic<const char *> port{nullptr};
std::atomic<int> a_socket{-1};
std::atomic<int> sockfd{-1};
std::atomic<bool> need_accepting{true};
std::atomic<bool> need_listening{true};
std::atomic<bool> do_driver_close{false};
std::atomic<bool> do_not_touch_libinkagent{false};
pthread_mutex_t general_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t need_accepting_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t need_listening_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t wait_at_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t wait_lt_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t send_lock = PTHREAD_MUTEX_INITIALIZER;
}

namespace netbridge_tuning {
std::atomic<int> accept_pause_ms{500};
std::atomic<int> restart_pause_ms{100};
std::atomic<int> restart_pause_max_ms{5000};
}  // namespace netbridge_tuning

namespace {

constexpr int kReceiveErrorLimit = 5;
// A client that vanishes without a word (cable, power, a sleeping laptop)
// is found out by keepalive probes after 30 s of silence, 5 s apart, 4 in
// all; data it leaves unacknowledged for 60 s ends the connection as well.
constexpr int kKeepIdleS = 30;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 4;
constexpr unsigned kUserTimeOutMs = 60000;

// Records the network makes the bridge write, one limit per cause.
RecordLimit connection_records;
RecordLimit refusal_records;
RecordLimit accept_records;

pthread_mutex_t sockets_lock = PTHREAD_MUTEX_INITIALIZER;

// Raised by the close sequence: ends the accepting thread's pause at once.
OneShot stop_requested;

// Moves on with every open and close. An accepting thread that fails
// restarts the driver only if nobody opened or closed it in the meantime;
// while its attempts fail, it waits between them on restart_moved, which
// each move wakes.
std::atomic<uint64_t> driver_generation{0};
std::mutex restart_mutex;
std::condition_variable restart_moved;

void move_generation() {
    ++driver_generation;
    std::lock_guard<std::mutex> guard(restart_mutex);
    restart_moved.notify_all();
}

// True when the pause passed with nobody opening or closing the driver.
bool pause_unmoved(uint64_t generation, int pause_ms) {
    std::unique_lock<std::mutex> guard(restart_mutex);
    return !restart_moved.wait_for(guard, std::chrono::milliseconds(pause_ms),
                                   [&] { return driver_generation.load() != generation; });
}

const char *text(const char *s) {
    return s != nullptr ? s : "(null)";
}

// The creator of a worker does not go on before the worker runs. The gate is
// a flag and a condition under the exported gate mutex, so the mutex is
// always unlocked by the thread that locked it.
OneShot accept_gate(&wait_at_lock, "&wait_at_lock");
OneShot listen_gate(&wait_lt_lock, "&wait_lt_lock");

// Starts a detached worker and returns once it runs. Attribute failures make
// the result -1 but the worker starts all the same; *started tells whether
// it does.
int start_worker(void *(*body)(void *), int socket, OneShot &gate, const char *name,
                 bool *started) {
    int result = 0;
    pthread_attr_t attr;
    const bool have_attr = pthread_attr_init(&attr) == 0;
    if (!have_attr) {
        TRACE_ERROR("Error of pthread_attr_init()");
        result = -1;
    }
    const bool detached =
        have_attr && pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0;
    if (have_attr && !detached) {
        TRACE_ERROR("Error of pthread_attr_setdetachstate()");
        result = -1;
    }
    gate.reset();
    pthread_t tid;
    int rc = pthread_create(&tid, have_attr ? &attr : nullptr, body,
                            reinterpret_cast<void *>(static_cast<intptr_t>(socket)));
    *started = rc == 0;
    if (rc != 0) {
        errno = rc;
        TRACE_ERROR_ERRNO("pthread_create() of %s", name);
        result = -1;
    } else {
        TRACE_INFO("pthread_create return -> %d", rc);
        if (!detached)
            pthread_detach(tid);
        gate.wait();
    }
    if (have_attr && pthread_attr_destroy(&attr) != 0) {
        TRACE_ERROR("Error of pthread_attr_destroy()");
        result = -1;
    }
    return result;
}

// Wakes whatever waits on the client socket; false when shutdown failed.
bool shutdown_client() {
    LOCK_GUARD(guard, &sockets_lock);
    int fd = sockfd.load();
    if (fd < 0)
        return true;
    // ENOTCONN: the connection is being let go already.
    if (shutdown(fd, SHUT_RDWR) < 0 && errno != ENOTCONN) {
        TRACE_WARNING("to shutdown() the socket %d", fd);
        return false;
    }
    return true;
}

void close_client_socket() {
    LOCK_GUARD(sockets_guard, &sockets_lock);
    LOCK_GUARD(send_guard, &send_lock);
    int fd = sockfd.exchange(-1);
    if (fd >= 0) {
        stream_forget(fd);
        Close(fd);
    }
}

void set_socket_options(int fd) {
    TRACE_SCOPE();
    int flags = fcntl(fd, F_GETFL, 0);
    // Writes never block: send_data paces itself while the peer is slow.
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        TRACE_WARNING("error of calling fcntl()");
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
        TRACE_WARNING("error of calling fcntl()");
    const struct linger linger = {0, 1};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof linger) < 0)
        TRACE_WARNING("error of calling setsockopt()");
    const struct timeval no_limit = {0, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &no_limit, sizeof no_limit) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &no_limit, sizeof no_limit) < 0)
        TRACE_WARNING("error of calling setsockopt()");
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0)
        TRACE_WARNING("Cannot set TCP_NODELAY option: %s", strerror(errno));
    const int idle = kKeepIdleS;
    const int interval = kKeepIntervalS;
    const int count = kKeepCount;
    const unsigned user_time_out = kUserTimeOutMs;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_time_out, sizeof user_time_out) < 0)
        TRACE_WARNING("Cannot set the keepalive options: %s", strerror(errno));
    int send_size = 0;
    int receive_size = 0;
    socklen_t length = sizeof send_size;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_size, &length) < 0)
        TRACE_WARNING("error of calling getsockopt()");
    length = sizeof receive_size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_size, &length) < 0)
        TRACE_WARNING("error of calling getsockopt()");
    TRACE_INFO("send_buf_size: %d", send_size);
    TRACE_INFO("recive_buf_size: %d", receive_size);
}

// The peer is gone, or its stream is broken: the agent learns it, and the
// descriptor is let go once its writer has ended.
void give_up_connection(int fd) {
    need_listening = false;
    if (sockfd.load() >= 0) {
        {
            LOCK_GUARD(guard, &sockets_lock);
            if (shutdown(fd, SHUT_RDWR) < 0)
                TRACE_WARNING("to shutdown() the socket %d", fd);
        }
        mediator_report_no_connection();
        outbound().stop();
        close_client_socket();
    }
}

// Calls handed to the agent, and results gone out, for the current client:
// a client that has shut its sending side is let go once they match.
std::atomic<uint64_t> calls_handed{0};
std::atomic<uint64_t> results_written{0};

bool results_pending() {
    return results_written.load() < calls_handed.load() || !outbound().idle();
}

// Whether the receiving thread is to hand on the next call it has read
// (asked before each one, so it counts them too).
bool still_listening() {
    if (!need_listening.load())
        return false;
    ++calls_handed;
    return true;
}

RecordLimit limit_records;

// A TLS ClientHello where a package header was expected: a handshake
// record of TLS 1.x. No package starts so (its first field is a small type).
bool is_tls_hello(const char *bytes, ssize_t length) {
    return !tls_on() && length >= 3 && bytes[0] == 0x16 && bytes[1] == 0x03 &&
           static_cast<unsigned char>(bytes[2]) <= 0x04;
}

// Reads the client's bytes and hands them on until the connection is let
// go: by the peer, by a broken stream, or by one of the connection's time
// limits.
void receive(int fd) {
    int receive_errors = 0;  // over the connection's whole life
    ClientLimits limits(fd);
    char area[MAX_PACKAGE_TOTAL_SIZE];
    bool first_bytes = true;
    while (need_listening) {
        // Armed afresh for every wait. Once the client has shut its side
        // there is nothing more to read: only the end of the connection is
        // waited for, while its results go out.
        const bool pending = limits.is_half_closed() && results_pending();
        if (limits.finished(pending)) {
            give_up_connection(fd);
            break;
        }
        if (const char *why = limits.check(pending)) {
            TRACE_ERROR_LIMITED(limit_records, "%s: connection closed", why);
            give_up_connection(fd);
            break;
        }
        struct pollfd p = {fd, static_cast<short>(limits.is_half_closed() ? 0 : POLLIN), 0};
        // Bytes a TLS session read ahead (with its handshake, say) are not
        // in the socket any more: no waiting for them.
        if (!limits.is_half_closed() && stream_buffered(fd))
            p.revents = POLLIN;
        const int ready = p.revents != 0 ? 1 : poll(&p, 1, limits.wait_ms());
        if (ready < 0 && errno != EINTR) {
            TRACE_ERROR_ERRNO("poll() error");
            usleep(1000);
            continue;
        }
        if (!need_listening)
            break;
        if (ready <= 0 || limits.is_half_closed() ||
            (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        for (;;) {
            memset(area, 0, sizeof area);
            bool drained = false;
            ssize_t n = stream_recv(fd, area, sizeof area, &drained);
            if (n > 0 && first_bytes && is_tls_hello(area, n)) {
                TRACE_ERROR_LIMITED(refusal_records,
                                    "a TLS client, but this bridge serves plain TCP: "
                                    "connection closed");
                give_up_connection(fd);
                break;
            }
            if (n > 0) {
                first_bytes = false;
                ICADataArrival(0, area, static_cast<unsigned short>(n));
                limits.arrived(inbound_buffer().GetFill(), calls_handed.load());
                // A client out of step is let go; it starts afresh by
                // connecting again.
                if (inbound_buffer().IsBroken()) {
                    give_up_connection(fd);
                    break;
                }
                if (drained)
                    break;
                continue;
            }
            if (n < 0 && errno == EAGAIN)
                break;
            if (n < 0 && errno == EINTR)
                continue;
            if (!need_listening)
                break;
            if (outbound().failed()) {
                give_up_connection(fd);
                break;
            }
            // The peer has shut its side: the results of its calls still go
            // out (check() lets it go once they have).
            if (n == 0) {
                limits.half_closed();
                break;
            }
            // A connection that is gone for certain is let go at once, one
            // that fails otherwise gets a few more looks.
            if (errno == ECONNRESET || errno == ETIMEDOUT || errno == ENOTCONN) {
                give_up_connection(fd);
                break;
            }
            usleep(10000);
            if (++receive_errors >= kReceiveErrorLimit)
                give_up_connection(fd);
            break;
        }
    }
}

void *listening_thread(void *arg) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    pthread_setname_np(pthread_self(), "nb_listening");
    LOCK_GUARD(life, &need_listening_lock);
    outbound().start(fd);
    calls_handed = 0;
    results_written = 0;
    TRACE_INFO("STARTED NEW THREAD WITH SOCKET: %d", fd);
    // Whatever an earlier client left half sent is not this client's.
    ICADataArrival(0, nullptr, 0);
    need_listening = true;
    listen_gate.raise();
    if (fd < 0) {
        TRACE_ERROR("value of socket: %d", fd);
        return nullptr;
    }
    receive(fd);
    // Whoever let the connection go waits for this thread's end before it
    // closes the socket: the writer must be gone by then.
    outbound().stop();
    return nullptr;
}

// Lets the current client go before a new one is served. The agent is told
// twice: at once, so that a far function waiting for room lets the
// receiving thread go, and again once that thread has ended, so that a call
// it handed over meanwhile counts as the old client's too.
void drop_current_connection() {
    need_listening = false;
    const bool had_client = sockfd.load() >= 0;
    shutdown_client();
    mediator_report_no_connection();
    { LOCK_GUARD(wait_end, &need_listening_lock); }
    if (had_client)
        mediator_report_no_connection();
    close_client_socket();
}

// True when the peer of a just accepted connection has already gone: it
// closed without sending a byte. A peer that closed after sending a call is
// still there: its call is served.
bool peer_gone(int fd) {
    char byte;
    const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Whether the current client is still there to be replaced.
bool live_client() {
    // Under sockets_lock: the receiving thread may be closing the socket.
    LOCK_GUARD(guard, &sockets_lock);
    const int fd = sockfd.load();
    return fd >= 0 && !peer_gone(fd);
}

// A connection taken from the listener and not yet served.
struct Arrival {
    int fd = -1;
    struct sockaddr_storage address = {};
    socklen_t length = 0;

    const char *who() const {
        const char *text = Sock_ntop(reinterpret_cast<const struct sockaddr *>(&address), length);
        return text != nullptr ? text : "(unknown address)";
    }
    void close_if_open() {
        if (fd >= 0)
            Close(fd);
        fd = -1;
    }
};

// Why a client just accepted may not stay, or null when it may. *pending
// is the connection of the same burst that would be served.
const char *refusal(const Arrival &arrival, const Arrival &pending) {
    if (!peer_allowed(reinterpret_cast<const struct sockaddr *>(&arrival.address), arrival.length))
        return "outside the allowed networks";
    if (exclusive_clients() && (pending.fd >= 0 || live_client()))
        return "another client is connected";
    return nullptr;
}

// Reads of a refused client's bytes at most before its socket is closed.
constexpr int kRefusalReads = 32;

// Tells a client it is not served, without waiting on it: one refusal
// package if the socket takes it at once, then the end of the stream. What
// the client has sent already is read away first, so that the close does
// not reset the connection and take the package with it.
void tell_refusal(int fd, const char *why) {
    CPackage notice;
    const size_t length = strlen(why);
    PackHead head = {};
    head.uType = kPackageRefusal;
    head.uVersion = kPackageVersion;
    head.ulTotalSize = static_cast<uint32_t>(kHeadSize + length);
    head.ulLength = head.ulTotalSize;
    head.ulSendTime = GetTimeStamp();
    notice.OverWrite(0, reinterpret_cast<const char *>(&head), kHeadSize);
    notice.OverWrite(kHeadSize, why, static_cast<int>(length));
    (void)!send(fd, notice.GetPointerAtPos(0), notice.GetTotalSize(), MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    char unread[MAX_PACKAGE_TOTAL_SIZE];
    for (int i = 0; i < kRefusalReads && recv(fd, unread, sizeof unread, MSG_DONTWAIT) > 0; ++i) {
    }
}

void refuse(Arrival &arrival, const char *why) {
    limited_print(refusal_records, "Connection From %s refused: %s", arrival.who(), why);
    tell_refusal(arrival.fd, why);
    arrival.close_if_open();
}

// Connections taken in one round at most, so that a flood of them cannot
// keep the accepting thread from serving the last one.
constexpr int kMaxDrain = 4096;

// Takes every connection that waits on the (non-blocking) listener, without
// pausing: a peer already gone is closed at once, a refused one is refused,
// and of the others only the newest is kept in *pending, as it would replace
// the older ones at once. *taken counts the connections accepted. 0 once
// nothing waits, otherwise the errno of a failed accept().
int drain_backlog(int listen_fd, Arrival *pending, int *taken) {
    *taken = 0;
    while (*taken < kMaxDrain) {
        Arrival arrival;
        arrival.length = sizeof arrival.address;
        const int fd = wrap_hooks::accept_fn(
            listen_fd, reinterpret_cast<struct sockaddr *>(&arrival.address), &arrival.length);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return errno;
        }
        ++*taken;
        arrival.fd = fd;
        if (peer_gone(fd)) {
            arrival.close_if_open();
            continue;
        }
        if (const char *why = refusal(arrival, *pending)) {
            refuse(arrival, why);
            continue;
        }
        if (tls_on()) {
            // Every TLS client has its handshake, on the handshake thread,
            // which serves it once that has completed: nobody is replaced
            // before.
            set_socket_options(fd);
            tls_handshake_begin(fd, arrival.who());
            continue;
        }
        pending->close_if_open();
        *pending = arrival;
    }
    return 0;
}

// Starts the receiving thread of fd in place of the current client's.
void take_over(int fd) {
    drop_current_connection();
    bool started = false;
    start_worker(listening_thread, fd, listen_gate, "listening_thread", &started);
    if (!started) {
        stream_forget(fd);
        Close(fd);
    }
}

// Serves the connection in place of the current client.
void serve_new_client(Arrival &arrival) {
    limited_print(connection_records, "Connection From %s", arrival.who());
    set_socket_options(arrival.fd);
    take_over(arrival.fd);
    arrival.fd = -1;
}

// A TLS client whose handshake has completed (on the handshake thread):
// only now may it take the place of the current one.
void serve_tls_client(int fd, SSL *session, const char *who, const char *subject) {
    stream_attach(fd, session);
    if (exclusive_clients() && live_client()) {
        limited_print(refusal_records, "Connection From %s refused: another client is connected",
                      who);
        stream_forget(fd);
        Close(fd);
        return;
    }
    limited_print(connection_records, "Connection From %s (TLS, %s%s)", who,
                  subject != nullptr ? "client " : "no client certificate",
                  subject != nullptr ? subject : "");
    take_over(fd);
}

bool is_transient_accept_failure(int failure) {
    switch (failure) {
        case ENETDOWN:
        case EPROTO:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

int __driver_open();

// Opens the driver again, keeping the agent. While that fails (no
// descriptors, no memory, the address taken), it tries again after a pause
// that doubles up to a few seconds, until it succeeds or the caller opens
// or closes the driver. A host that cannot live without a listener looks
// at a_socket.
void restart_driver(uint64_t generation) {
    static RecordLimit restart_records;
    int pause_ms = netbridge_tuning::restart_pause_ms.load();
    for (;;) {
        {
            LOCK_GUARD(guard, &general_lock);
            if (driver_generation.load() != generation) {
                TRACE_INFO("opened or closed meanwhile: no restart");
                return;
            }
            do_not_touch_libinkagent = true;
            const int opened = __driver_open();
            do_not_touch_libinkagent = false;
            if (opened == 0)
                return;
            // The attempt closed what was left, which moved the generation.
            generation = driver_generation.load();
        }
        TRACE_ERROR_LIMITED(restart_records, "no listener: trying again in %d ms", pause_ms);
        if (!pause_unmoved(generation, pause_ms))
            return;
        pause_ms = std::min(pause_ms * 2, netbridge_tuning::restart_pause_max_ms.load());
    }
}

// No descriptors or no memory for the moment: waited out, listener kept.
bool is_resource_failure(int failure) {
    return failure == EMFILE || failure == ENFILE || failure == ENOBUFS || failure == ENOMEM;
}

constexpr int kResourceBackoffMinMs = 100;
constexpr int kResourceBackoffMaxMs = 1000;

struct AcceptPace {
    std::chrono::steady_clock::time_point last_replacement{};
    int backoff_ms = kResourceBackoffMinMs;
};

// One round of accepting: drains the backlog and serves the newest live
// connection. Only a connection that replaces a live client waits, for what
// is left of the pause since the last replacement, and then gives way to a
// newer one that came meanwhile: a burst of clients costs one hand-over per
// pause, a client that arrives alone is served at once. 0, or the errno of
// a failed accept().
int accept_round(int listen_fd, AcceptPace &pace) {
    Arrival pending;
    int taken = 0;
    int failure = drain_backlog(listen_fd, &pending, &taken);
    if (pending.fd >= 0 && live_client()) {
        const auto pause = std::chrono::milliseconds(netbridge_tuning::accept_pause_ms.load());
        const auto left = pace.last_replacement + pause - std::chrono::steady_clock::now();
        if (left > std::chrono::steady_clock::duration::zero() &&
            !stop_requested.wait_for(std::chrono::duration_cast<std::chrono::microseconds>(left))) {
            int more = 0;
            if (failure == 0)
                failure = drain_backlog(listen_fd, &pending, &more);
            taken += more;
            if (pending.fd >= 0 && peer_gone(pending.fd))
                pending.close_if_open();
        }
        pace.last_replacement = std::chrono::steady_clock::now();
    }
    if (taken > 0)
        pace.backoff_ms = kResourceBackoffMinMs;
    if (pending.fd >= 0 && need_accepting)
        serve_new_client(pending);
    pending.close_if_open();
    return failure;
}

void *accept_thread(void *arg) {
    const int listen_fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    pthread_setname_np(pthread_self(), "nb_accept");
    // Our creator holds general_lock until the gate opens: nothing moves it yet.
    const uint64_t generation = driver_generation.load();
    bool restart = false;
    {
        LOCK_GUARD(life, &need_accepting_lock);
        need_accepting = true;
        accept_gate.raise();
        TRACE_INFO("accept: %s port on host %s", text(port.load()), text(hostname.load()));
        // Drained without waiting; poll() is what waits.
        const int flags = fcntl(listen_fd, F_GETFL, 0);
        if (flags < 0 || fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK) < 0)
            TRACE_WARNING("error of calling fcntl()");
        AcceptPace pace;
        while (need_accepting) {
            // The close sequence shuts the listening socket down, which ends
            // this wait; a closing driver then makes no accept() that can
            // only fail.
            struct pollfd p = {listen_fd, POLLIN, 0};
            poll(&p, 1, -1);
            if (!need_accepting)
                break;
            const int failure = accept_round(listen_fd, pace);
            if (failure == 0)
                continue;
            if (do_driver_close || !need_accepting) {
                do_driver_close = false;
                break;
            }
            if (is_transient_accept_failure(failure)) {
                usleep(10000);
                TRACE_ERROR_LIMITED(accept_records, "accept(%d) return %d: go to Continue",
                                    listen_fd, -1);
                continue;
            }
            if (is_resource_failure(failure)) {
                // What waits stays in the backlog, the client stays served.
                TRACE_ERROR_LIMITED(accept_records, "accept(%d): %s: trying again in %d ms",
                                    listen_fd, strerror(failure), pace.backoff_ms);
                stop_requested.wait_for(std::chrono::milliseconds(pace.backoff_ms));
                pace.backoff_ms = std::min(pace.backoff_ms * 2, kResourceBackoffMaxMs);
                continue;
            }
            TRACE_WARNING("accept(%d) return %d: %s", listen_fd, -1, strerror(failure));
            if (a_socket.load() >= 0) {
                mediator_report_no_connection();
                LOCK_GUARD(guard, &sockets_lock);
                shutdown(listen_fd, SHUT_RDWR);
                Close(listen_fd);
                a_socket = -1;
            }
            usleep(1000);
            restart = true;
            break;
        }
    }
    if (restart)
        restart_driver(generation);
    return nullptr;
}

// How long the close sequence waits for the threads, together: a far
// function of the agent that blocks must not keep the host from stopping.
constexpr int kCloseWaitS = 5;

// Waits for the end of the worker that holds `life`, until `deadline`
// (monotonic). False, after saying so, when it is still running.
bool wait_for_end(pthread_mutex_t *life, const char *worker,
                  std::chrono::steady_clock::time_point deadline) {
    // The mutex waits on the wall clock: the time left is carried over.
    const auto left = std::max(deadline - std::chrono::steady_clock::now(),
                               std::chrono::steady_clock::duration::zero());
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    const long long ns = until.tv_nsec + std::chrono::nanoseconds(left).count();
    until.tv_sec += static_cast<time_t>(ns / 1000000000);
    until.tv_nsec = static_cast<long>(ns % 1000000000);
    if (pthread_mutex_timedlock(life, &until) == 0) {
        pthread_mutex_unlock(life);
        return true;
    }
    TRACE_ERROR(
        "the %s is still running after %d s (a far function of the agent blocks): left "
        "behind",
        worker, kCloseWaitS);
    return false;
}

int __driver_close() {
    TRACE_SCOPE();
    int result = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kCloseWaitS);
    move_generation();
    do_driver_close = true;
    need_accepting = false;
    stop_requested.raise();
    {
        LOCK_GUARD(guard, &sockets_lock);
        int listen_fd = a_socket.load();
        if (listen_fd >= 0)
            Shutdown(listen_fd, SHUT_RDWR);
    }
    // A thread left behind may still use its socket: the descriptor is not
    // closed, so that its number cannot go to another file meanwhile.
    bool ended = wait_for_end(&need_accepting_lock, "accepting thread", deadline);
    {
        LOCK_GUARD(guard, &sockets_lock);
        const int listen_fd = a_socket.exchange(-1);
        if (ended && listen_fd >= 0)
            Close(listen_fd);
    }
    // Clients still in their handshake are closed; none is served any more.
    tls_handshakes_stop();
    need_listening = false;
    if (sockfd.load() >= 0) {
        mediator_report_no_connection();
        if (!shutdown_client())
            result = -1;
    }
    // The receiving thread ends once the agent lets it go.
    const bool listener_ended = wait_for_end(&need_listening_lock, "receiving thread", deadline);
    ended = ended && listener_ended;
    if (listener_ended)
        close_client_socket();
    do_driver_close = false;
    ResetTheMediatorDLLInterface();
    if (!ended) {
        // A thread inside the agent would run into unmapped code.
        TRACE_ERROR("libinkagent.so stays loaded: a thread of the bridge may still be in it");
        return -1;
    }
    if (!do_not_touch_libinkagent) {
        TRACE_INFO("Going to call FreeTheMediatorDLLInterface()");
        if (!FreeTheMediatorDLLInterface()) {
            TRACE_ERROR("error of close libinkagent.so");
            result = -1;
        }
    }
    return result;
}

int __driver_open() {
    TRACE_SCOPE();
    __driver_close();
    if (!do_not_touch_libinkagent && !LoadTheMediatorDLLInterface()) {
        TRACE_ERROR("faled to load libinkagent.so");
        return -1;
    }
    InitTheMediatorDLLInterface();
    const char *host = hostname.load();
    const char *service = port.load();
    int listen_fd = Tcp_listen(host, service, nullptr);
    if (listen_fd == -1) {
        TRACE_ERROR("of listening ip: %s port: %s", text(host), text(service));
        return -1;
    }
    if (tls_on() && !tls_handshakes_start(serve_tls_client)) {
        Close(listen_fd);
        return -1;
    }
    a_socket = listen_fd;
    move_generation();
    stop_requested.reset();
    bool started = false;
    int result = start_worker(accept_thread, listen_fd, accept_gate, "accept_thread", &started);
    if (!started) {
        tls_handshakes_stop();
        LOCK_GUARD(guard, &sockets_lock);
        a_socket = -1;
        Close(listen_fd);
        return -1;
    }
    return result;
}

constexpr InboundPolicy kInbound = {true, nullptr, still_listening};

// Frames one result or event and sends it on its way; 0 when it is.
int write_outbound(void *agent_bytes, int length, PackageType type, const char *caller) {
    CPackage package;
    const OutboundPolicy policy = {type, true, caller};
    if (!frame_outbound(package, agent_bytes, length, policy))
        return -1;
    const char *bytes = package.GetPointerAtPos(0);
    const int total = static_cast<int>(package.GetTotalSize());
    if (type == kPackageResult && trace_on(TraceClass::info)) {
        trace_info(__FILE_NAME__, __LINE__, caller, "Send Data to server Length: %d", total);
        trace_info(__FILE_NAME__, __LINE__, caller, "pPackHead->uVersion: %d",
                   package.GetVersion());
        trace_info(__FILE_NAME__, __LINE__, caller, "pPackHead->ulMessageID: %u",
                   package.GetMessageID());
    }
    bool no_client = false;
    const int result = outbound().send(bytes, total, caller, &no_client);
    if (result == 0 && type == kPackageResult)
        ++results_written;
    // Told with no lock of ours held: the agent may well call back.
    if (no_client)
        mediator_report_no_connection();
    return result;
}

}  // namespace

extern "C" {

void set_ip(const char *host) {
    TRACE_SCOPE();
    hostname = host;
}

void set_port(const char *service) {
    TRACE_SCOPE();
    port = service;
}

int DriverOpen(void) {
    TRACE_SCOPE();
    LOCK_GUARD(guard, &general_lock);
    return __driver_open();
}

int DriverClose(void) {
    TRACE_SCOPE();
    LOCK_GUARD(guard, &general_lock);
    return __driver_close();
}

int DriverSendData(const char *data, int length) {
    TRACE_SCOPE();
    const int fd = sockfd.load();
    if (fd == -1 || data == nullptr || length <= 0) {
        trace_error(__FILE_NAME__, __LINE__, "send_cmd", false, "error write to socket: %d", fd);
        return -1;
    }
    // The same way as the packages of the callbacks, so that it neither
    // splits one nor lands on a descriptor that meanwhile changed hands.
    bool no_client = false;
    return outbound().send(data, length, "send_cmd", &no_client) == 0 ? length : -1;
}

int DriverPoll(void) {
    return 0;
}
int DriverInfo(void) {
    return 0;
}
int DriverQueryInformation(void) {
    return 0;
}
int DriverSetInformation(void) {
    return 0;
}
int DriverGetLastError(void) {
    return 0;
}
int DriverRegisterLoggingCallBack(void *callback) {
    (void)callback;
    return 0;
}

void ICADataArrival(unsigned short unused, char *data, unsigned short length) {
    TRACE_SCOPE();
    (void)unused;
    if (data == nullptr && length == 0) {
        TRACE_INFO("ICADataArrival::clear old package entry!!!");
        inbound_buffer().ClearHeader();
        return;
    }
    inbound_arrival(data, length, kInbound);
}

int DriverResultProcessorFunction(void *package, int length) {
    TRACE_SCOPE();
    return write_outbound(package, length, kPackageResult, __func__);
}

int DriverEventProcessorFunction(void *package, int length) {
    TRACE_SCOPE();
    return write_outbound(package, length, kPackageEvent, __func__);
}

void InitTheMediatorDLLInterface(void) {
    mediator_register(DriverResultProcessorFunction, DriverEventProcessorFunction);
}

bool FreeTheMediatorDLLInterface(void) {
    return mediator_release(AgentRelease::unload);
}

}  // extern "C"
