// The TCP channel driver: listens on the configured host and port, serves
// one client at a time (a newer client replaces the older one), feeds the
// client's bytes to inbound dispatch, and writes the agent's results and
// events to the client.
//
// Threads: the caller's (open, close), one accepting thread ("nb_accept"),
// at most one receiving thread ("nb_listening") and its connection's writer
// ("nb_writer", see outbound.h), and the agent's threads inside the
// callbacks.
// Lock order: general_lock > need_accepting_lock > need_listening_lock >
// sockets_lock > send_lock; a start gate's lock is taken alone. The agent is
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

constexpr int kZeroReadLimit = 5;
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
    if (shutdown(fd, SHUT_RDWR) < 0) {
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

// Whether the receiving thread is to hand on the calls it has read.
bool still_listening() {
    return need_listening.load();
}

// A TLS ClientHello where a package header was expected: a handshake
// record of TLS 1.x. No package starts so (its first field is a small type).
bool is_tls_hello(const char *bytes, ssize_t length) {
    return !tls_on() && length >= 3 && bytes[0] == 0x16 && bytes[1] == 0x03 &&
           static_cast<unsigned char>(bytes[2]) <= 0x04;
}

// Reads the client's bytes and hands them on until the connection is let go.
void receive(int fd) {
    // Both count over the thread's whole life.
    int zero_reads = 0;
    int receive_errors = 0;
    char area[MAX_PACKAGE_TOTAL_SIZE];
    bool first_bytes = true;
    while (need_listening) {
        // Armed afresh for every wait.
        struct pollfd p = {fd, POLLIN, 0};
        // Bytes a TLS session read ahead (with its handshake, say) are not
        // in the socket any more: no waiting for them.
        if (stream_buffered(fd))
            p.revents = POLLIN;
        int ready = p.revents != 0 ? 1 : poll(&p, 1, -1);
        if (ready < 1) {
            TRACE_ERROR_ERRNO("poll() error");
            usleep(1000);
            continue;
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            usleep(100);
            continue;
        }
        for (;;) {
            memset(area, 0, sizeof area);
            ssize_t n = stream_recv(fd, area, sizeof area);
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
                // A client out of step is let go; it starts afresh by
                // connecting again.
                if (inbound_buffer().IsBroken()) {
                    give_up_connection(fd);
                    break;
                }
                continue;
            }
            if (n < 0 && errno == EAGAIN)
                break;
            if (n < 0 && errno == EINTR)
                continue;
            // The peer has closed (0) or the connection failed: a few more
            // looks, then the connection is given up; at once when our own
            // side closed it.
            if (!need_listening)
                break;
            if (outbound().failed()) {
                give_up_connection(fd);
                break;
            }
            usleep(10000);
            if (n == 0 ? ++zero_reads >= kZeroReadLimit : ++receive_errors >= kReceiveErrorLimit)
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

// Why a client just accepted may not stay, or null when it may.
const char *refusal(const struct sockaddr_storage &address, socklen_t length) {
    if (!peer_allowed(reinterpret_cast<const struct sockaddr *>(&address), length))
        return "outside the allowed networks";
    if (exclusive_clients() && sockfd.load() >= 0)
        return "another client is connected";
    return nullptr;
}

// The new client replaces the current one and gets its receiving thread.
void take_over(int fd) {
    drop_current_connection();
    bool started = false;
    start_worker(listening_thread, fd, listen_gate, "listening_thread", &started);
    if (!started) {
        stream_forget(fd);
        Close(fd);
    }
}

// A TLS client whose handshake has completed (on the handshake thread):
// only now may it take the place of the current one.
void serve_tls_client(int fd, SSL *session, const char *who, const char *subject) {
    if (exclusive_clients() && sockfd.load() >= 0) {
        limited_print(refusal_records, "Connection From %s refused: another client is connected",
                      who);
        stream_attach(fd, session);
        stream_forget(fd);
        Close(fd);
        return;
    }
    limited_print(connection_records, "Connection From %s (TLS, %s%s)", who,
                  subject != nullptr ? "client " : "no client certificate",
                  subject != nullptr ? subject : "");
    stream_attach(fd, session);
    take_over(fd);
}

// False when the client was refused (and closed), or is not yet served.
bool serve_new_client(int fd, const struct sockaddr_storage &address, socklen_t length) {
    const char *who = Sock_ntop(reinterpret_cast<const struct sockaddr *>(&address), length);
    if (who == nullptr)
        who = "(unknown address)";
    if (const char *why = refusal(address, length)) {
        limited_print(refusal_records, "Connection From %s refused: %s", who, why);
        Close(fd);
        return false;
    }
    set_socket_options(fd);
    if (tls_on()) {
        // Nobody is replaced before the handshake has completed; the
        // handshake thread serves the client then.
        tls_handshake_begin(fd, who);
        return false;
    }
    limited_print(connection_records, "Connection From %s", who);
    take_over(fd);
    return true;
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
        while (need_accepting) {
            // The close sequence shuts the listening socket down, which ends
            // this wait; a closing driver then makes no accept() that can
            // only fail.
            struct pollfd p = {listen_fd, POLLIN, 0};
            poll(&p, 1, -1);
            if (!need_accepting)
                break;
            struct sockaddr_storage address;
            socklen_t length = sizeof address;
            int fd = Accept(listen_fd, reinterpret_cast<struct sockaddr *>(&address), &length);
            if (fd >= 0) {
                if (serve_new_client(fd, address, length))
                    stop_requested.wait_for(
                        std::chrono::milliseconds(netbridge_tuning::accept_pause_ms.load()));
                continue;
            }
            const int failure = errno;
            if (do_driver_close) {
                do_driver_close = false;
                break;
            }
            if (is_transient_accept_failure(failure)) {
                usleep(10000);
                TRACE_ERROR_LIMITED(accept_records, "accept(%d) return %d: go to Continue",
                                    listen_fd, fd);
                continue;
            }
            TRACE_WARNING("accept(%d) return %d: %s", listen_fd, fd, strerror(failure));
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

int __driver_close() {
    TRACE_SCOPE();
    int result = 0;
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
    { LOCK_GUARD(wait_end, &need_accepting_lock); }
    {
        LOCK_GUARD(guard, &sockets_lock);
        int listen_fd = a_socket.exchange(-1);
        if (listen_fd >= 0)
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
    { LOCK_GUARD(wait_end, &need_listening_lock); }
    close_client_socket();
    do_driver_close = false;
    ResetTheMediatorDLLInterface();
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
