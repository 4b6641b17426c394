// Socket helpers of the TCP bridge: protocol-independent listening and
// connecting, whole-buffer sends with a time limit, and address texts.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netbridge/netbridge.h"
#include "wrappers.h"
#include "wrapunix.h"

namespace {

constexpr int kListenBacklog = 1024;
constexpr int kSendTimeOutMs = 10000;

// Above 2 the send and connect loops trace every failed attempt.
int debug_level() {
    const char *value = getenv(TRACE_PREFIX "DEBUG");
    return value != nullptr ? atoi(value) : 0;
}

const char *text(const char *s) {
    return s != nullptr ? s : "(null)";
}

// One buffer for every caller of sock_ntop and sock_ntop_host.
char ntop_text[128];

// Socket addresses are read and written field by field through memcpy: the
// caller's object may be a sockaddr_storage or any of the families' types.
template <typename Field>
Field get_field(const struct sockaddr *sa, size_t offset) {
    Field value;
    memcpy(&value, reinterpret_cast<const char *>(sa) + offset, sizeof value);
    return value;
}

template <typename Field>
void set_field(struct sockaddr *sa, size_t offset, const Field &value) {
    memcpy(reinterpret_cast<char *>(sa) + offset, &value, sizeof value);
}

bool fits(socklen_t salen, size_t needed) {
    return static_cast<size_t>(salen) >= needed;
}

// Address text without the port, or false.
bool host_text(const struct sockaddr *sa, socklen_t salen, char *out, size_t size) {
    if (sa->sa_family == AF_INET) {
        if (!fits(salen, sizeof(sockaddr_in)))
            return false;
        auto addr = get_field<in_addr>(sa, offsetof(sockaddr_in, sin_addr));
        return inet_ntop(AF_INET, &addr, out, static_cast<socklen_t>(size)) != nullptr;
    }
    if (!fits(salen, sizeof(sockaddr_in6)))
        return false;
    auto addr = get_field<in6_addr>(sa, offsetof(sockaddr_in6, sin6_addr));
    return inet_ntop(AF_INET6, &addr, out, static_cast<socklen_t>(size)) != nullptr;
}

void unix_path_text(const struct sockaddr *sa, socklen_t salen) {
    size_t path_room =
        salen > offsetof(sockaddr_un, sun_path) ? salen - offsetof(sockaddr_un, sun_path) : 0;
    if (path_room > sizeof(sockaddr_un::sun_path))
        path_room = sizeof(sockaddr_un::sun_path);
    const char *path = reinterpret_cast<const char *>(sa) + offsetof(sockaddr_un, sun_path);
    size_t length = path_room > 0 ? strnlen(path, path_room) : 0;
    if (length == 0)
        snprintf(ntop_text, sizeof ntop_text, "(no pathname bound)");
    else
        snprintf(ntop_text, sizeof ntop_text, "%.*s", static_cast<int>(length), path);
}

// The stream addresses of host and service in any family, or null after a
// report in the caller's name.
struct addrinfo *stream_addresses(const char *host, const char *service, int flags,
                                  const char *caller) {
    struct addrinfo hints = {};
    hints.ai_flags = flags;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    int n = getaddrinfo(host, service, &hints, &list);
    if (n != 0) {
        trace_error(__FILE_NAME__, __LINE__, caller, false, "for %s, %s: %s", text(host),
                    text(service), gai_strerror(n));
        return nullptr;
    }
    return list;
}

// The text of an address without a port: a local socket's path, or what
// the caller (named in the text) does not know.
char *portless_text(const struct sockaddr *sa, socklen_t salen, const char *caller) {
    if (sa->sa_family == AF_UNIX)
        unix_path_text(sa, salen);
    else
        snprintf(ntop_text, sizeof ntop_text, "%s: unknown AF_xxx: %d, len %d", caller,
                 sa->sa_family, static_cast<int>(salen));
    return ntop_text;
}

// A text that could not be made is reported as its caller's failure.
char *reported(char *text, const char *caller, const char *maker) {
    if (text == nullptr)
        trace_error(__FILE_NAME__, __LINE__, caller, true, "%s", maker);
    return text;
}

// Waits up to pause for the socket to take bytes again; a shutdown or an
// error ends the wait early as well, so that the next send sees it.
void wait_writable(int socket, int pause_us) {
    struct pollfd p = {socket, POLLOUT, 0};
    poll(&p, 1, pause_us / 1000);
}

}  // namespace

extern "C" {

int tcp_listen(const char *host, const char *service, socklen_t *addrlen) {
    TRACE_SCOPE();
    struct addrinfo *list = stream_addresses(host, service, AI_PASSIVE, __func__);
    if (list == nullptr)
        return -1;
    int fd = -1;
    int bind_errno = 0;
    struct addrinfo *bound = nullptr;
    for (struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        // Close-on-exec: programs the host starts must not keep the port.
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            TRACE_ERROR_ERRNO("socket(): return %d", fd);
            usleep(10000);
            continue;
        }
        const int on = 1;
        Setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // A socket that is bound but does not listen is no listener.
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && Listen(fd, kListenBacklog) == 0) {
            bound = ai;
            break;
        }
        bind_errno = errno;
        Close(fd);
        fd = -1;
    }
    if (bound == nullptr) {
        errno = bind_errno;
        TRACE_ERROR_ERRNO("for %s, %s", text(host), text(service));
        freeaddrinfo(list);
        return -1;
    }
    if (addrlen != nullptr)
        *addrlen = bound->ai_addrlen;
    freeaddrinfo(list);
    return fd;
}

int Tcp_listen(const char *host, const char *service, socklen_t *addrlen) {
    return tcp_listen(host, service, addrlen);
}

int tcp_connect(const char *host, const char *service) {
    TRACE_SCOPE();
    struct addrinfo *list = stream_addresses(host, service, 0, __func__);
    if (list == nullptr)
        return -1;
    int fd = -1;
    int connect_errno = 0;
    for (struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            TRACE_ERROR("for %s, %s, socket() return: %d, errno: %s", text(host), text(service), fd,
                        strerror(errno));
            continue;
        }
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
            break;
        connect_errno = errno;
        Close(fd);
        fd = -1;
    }
    freeaddrinfo(list);
    if (fd < 0) {
        TRACE_ERROR("for %s, %s, errno: %s", text(host), text(service), strerror(connect_errno));
        return -1;
    }
    return fd;
}

int Tcp_connect(const char *host, const char *service) {
    int fd = -1;
    int pause_us = 100;
    for (int attempt = 0; attempt < 3; ++attempt) {
        fd = tcp_connect(host, service);
        if (fd > 0)
            break;
        if (debug_level() > 2)
            TRACE_ERROR("failed: %s, going to try again after usleep(%d)", text(host), pause_us);
        usleep(static_cast<useconds_t>(pause_us));
        pause_us += 500;
    }
    return fd;
}

int send_data(int socket, const char *buffer, int length, int flags) {
    TRACE_SCOPE();
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    int sent = 0;
    int pause_us = 1000;
    double elapsed_ms = 0;
    ssize_t last = 0;
    while (sent < length && elapsed_ms < kSendTimeOutMs) {
        last = send(socket, buffer + sent, static_cast<size_t>(length - sent), flags);
        if (last >= 0) {
            sent += static_cast<int>(last);
            continue;
        }
        const int failure = errno;
        if (debug_level() > 2)
            TRACE_ERROR("send(socket: %d, buf: %p, len: %d, flags: %d), failed", socket,
                        static_cast<const void *>(buffer + sent), length - sent, flags);
        if (failure != EAGAIN)
            break;
        // The peer is not taking bytes: back off, 2, 4, 8 ... ms.
        pause_us *= 2;
        wait_writable(socket, pause_us);
        elapsed_ms = std::chrono::duration<double, std::milli>(clock::now() - start).count();
        if (debug_level() > 2)
            TRACE_ERROR("sleep_time: %d. elapsed_time: %d, time_out: %d", pause_us,
                        static_cast<int>(elapsed_ms), kSendTimeOutMs);
        if (elapsed_ms >= kSendTimeOutMs)
            TRACE_ERROR("exit by timeout: %d ms", kSendTimeOutMs);
    }
    return last == -1 ? -1 : sent;
}

int recv_data(int socket, char *buffer, int length, int flags) {
    TRACE_SCOPE();
    int received = 0;
    while (received < length) {
        ssize_t n = recv(socket, buffer + received, static_cast<size_t>(length - received), flags);
        if (n == 0)
            return 0;
        if (n < 0) {
            TRACE_ERROR_ERRNO("read from socket %d failed", socket);
            return -1;
        }
        received += static_cast<int>(n);
    }
    return received;
}

int close_socket(int socket) {
    return Close(socket);
}

char *sock_ntop(const struct sockaddr *sa, socklen_t salen) {
    if (sa->sa_family != AF_INET && sa->sa_family != AF_INET6)
        return portless_text(sa, salen, "sock_ntop");
    // An IPv6 address is bracketed, so that the port after it stands apart.
    const bool v6 = sa->sa_family == AF_INET6;
    char *at = ntop_text;
    if (v6)
        *at++ = '[';
    if (!host_text(sa, salen, at, sizeof ntop_text - static_cast<size_t>(at - ntop_text)))
        return nullptr;
    const int port_number = ntohs(static_cast<uint16_t>(sock_get_port(sa, salen)));
    if (port_number != 0) {
        size_t used = strlen(ntop_text);
        snprintf(ntop_text + used, sizeof ntop_text - used, v6 ? "]:%d" : ":%d", port_number);
    }
    return ntop_text;
}

char *Sock_ntop(const struct sockaddr *sa, socklen_t salen) {
    return reported(sock_ntop(sa, salen), __func__, "sock_ntop()");
}

char *sock_ntop_host(const struct sockaddr *sa, socklen_t salen) {
    if (sa->sa_family != AF_INET && sa->sa_family != AF_INET6)
        return portless_text(sa, salen, "sock_ntop_host");
    return host_text(sa, salen, ntop_text, sizeof ntop_text) ? ntop_text : nullptr;
}

char *Sock_ntop_host(const struct sockaddr *sa, socklen_t salen) {
    return reported(sock_ntop_host(sa, salen), __func__, "sock_ntop_host()");
}

int sock_bind_wild(int socket, int family) {
    struct sockaddr_storage ss = {};
    socklen_t length;
    auto *sa = reinterpret_cast<struct sockaddr *>(&ss);
    if (family == AF_INET)
        length = sizeof(sockaddr_in);
    else if (family == AF_INET6)
        length = sizeof(sockaddr_in6);
    else
        return -1;
    ss.ss_family = static_cast<sa_family_t>(family);
    sock_set_wild(sa, length);
    sock_set_port(sa, length, 0);
    if (bind(socket, sa, length) < 0)
        return -1;
    length = sizeof ss;
    if (getsockname(socket, sa, &length) < 0)
        return -1;
    return sock_get_port(sa, length);
}

int Sock_bind_wild(int socket, int family) {
    int port_number = sock_bind_wild(socket, family);
    if (port_number < 0)
        TRACE_ERROR_ERRNO("sock_bind_wild()");
    return port_number;
}

int sock_cmp_addr(const struct sockaddr *a, const struct sockaddr *b, socklen_t salen) {
    (void)salen;
    if (a->sa_family != b->sa_family)
        return -1;
    switch (a->sa_family) {
        case AF_INET: {
            auto x = get_field<in_addr>(a, offsetof(sockaddr_in, sin_addr));
            auto y = get_field<in_addr>(b, offsetof(sockaddr_in, sin_addr));
            return memcmp(&x, &y, sizeof x);
        }
        case AF_INET6: {
            auto x = get_field<in6_addr>(a, offsetof(sockaddr_in6, sin6_addr));
            auto y = get_field<in6_addr>(b, offsetof(sockaddr_in6, sin6_addr));
            return memcmp(&x, &y, sizeof x);
        }
        case AF_UNIX: {
            char x[sizeof(sockaddr_un::sun_path) + 1] = {};
            char y[sizeof(sockaddr_un::sun_path) + 1] = {};
            memcpy(x, reinterpret_cast<const char *>(a) + offsetof(sockaddr_un, sun_path),
                   sizeof x - 1);
            memcpy(y, reinterpret_cast<const char *>(b) + offsetof(sockaddr_un, sun_path),
                   sizeof y - 1);
            return strcmp(x, y);
        }
        default:
            return -1;
    }
}

int sock_cmp_port(const struct sockaddr *a, const struct sockaddr *b, socklen_t salen) {
    (void)salen;
    if (a->sa_family != b->sa_family)
        return -1;
    if (a->sa_family == AF_INET)
        return get_field<in_port_t>(a, offsetof(sockaddr_in, sin_port)) ==
               get_field<in_port_t>(b, offsetof(sockaddr_in, sin_port));
    if (a->sa_family == AF_INET6)
        return get_field<in_port_t>(a, offsetof(sockaddr_in6, sin6_port)) ==
               get_field<in_port_t>(b, offsetof(sockaddr_in6, sin6_port));
    return -1;
}

int sock_get_port(const struct sockaddr *sa, socklen_t salen) {
    (void)salen;
    if (sa->sa_family == AF_INET)
        return get_field<in_port_t>(sa, offsetof(sockaddr_in, sin_port));
    if (sa->sa_family == AF_INET6)
        return get_field<in_port_t>(sa, offsetof(sockaddr_in6, sin6_port));
    return -1;
}

void sock_set_addr(struct sockaddr *sa, socklen_t salen, const void *addr) {
    (void)salen;
    if (sa->sa_family == AF_INET)
        memcpy(reinterpret_cast<char *>(sa) + offsetof(sockaddr_in, sin_addr), addr,
               sizeof(in_addr));
    else if (sa->sa_family == AF_INET6)
        memcpy(reinterpret_cast<char *>(sa) + offsetof(sockaddr_in6, sin6_addr), addr,
               sizeof(in6_addr));
}

void sock_set_port(struct sockaddr *sa, socklen_t salen, int port_number) {
    (void)salen;
    const auto stored = static_cast<in_port_t>(port_number);
    if (sa->sa_family == AF_INET)
        set_field(sa, offsetof(sockaddr_in, sin_port), stored);
    else if (sa->sa_family == AF_INET6)
        set_field(sa, offsetof(sockaddr_in6, sin6_port), stored);
}

void sock_set_wild(struct sockaddr *sa, socklen_t salen) {
    if (sa->sa_family == AF_INET) {
        const in_addr any = {htonl(INADDR_ANY)};
        sock_set_addr(sa, salen, &any);
    } else if (sa->sa_family == AF_INET6) {
        sock_set_addr(sa, salen, &in6addr_any);
    }
}

}  // extern "C"
