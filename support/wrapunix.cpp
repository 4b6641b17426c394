#include "wrapunix.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "wrappers.h"

namespace wrap_hooks {
void *(*malloc_fn)(size_t) = malloc;
void *(*calloc_fn)(size_t, size_t) = calloc;
void *(*realloc_fn)(void *, size_t) = realloc;
int (*accept_fn)(int, struct sockaddr *, socklen_t *) = accept;
int (*listen_fn)(int, int) = listen;
}  // namespace wrap_hooks

namespace {

// Three attempts with growing pauses (100, 600, 1100 us); an allocator that
// still fails leaves the process nothing sensible to do.
template <typename Attempt>
void *allocate_with_retry(const char *call, Attempt attempt) {
    int delay = 100;
    for (int i = 0; i < 3; ++i) {
        void *p = attempt();
        if (p != nullptr)
            return p;
        if (i == 2)
            break;
        TRACE_ERROR("allocate memory by %s -> FAILURE, going to try again after usleep(%d)", call,
                    delay);
        usleep(static_cast<useconds_t>(delay));
        delay += 500;
    }
    err_sys("%s", call);
}

}  // namespace

void *Malloc(size_t size) {
    return allocate_with_retry("malloc()", [&] { return wrap_hooks::malloc_fn(size); });
}

void *Calloc(size_t count, size_t size) {
    return allocate_with_retry("calloc()", [&] { return wrap_hooks::calloc_fn(count, size); });
}

void *Realloc(void *ptr, size_t size) {
    return allocate_with_retry("realloc()", [&] { return wrap_hooks::realloc_fn(ptr, size); });
}

int Open(const char *path, int flags, mode_t mode) {
    int fd = open(path, flags, mode);
    if (fd == -1)
        TRACE_ERROR_ERRNO("open() for %s", path);
    return fd;
}

ssize_t Read(int fd, void *buf, size_t len) {
    ssize_t n = read(fd, buf, len);
    if (n == -1)
        TRACE_ERROR_ERRNO("read()");
    return n;
}

ssize_t Write(int fd, const void *buf, size_t len) {
    ssize_t n = write(fd, buf, len);
    if (n != static_cast<ssize_t>(len))
        TRACE_ERROR_ERRNO("write()");
    return n;
}

int Close(int fd) {
    int n = close(fd);
    if (n == -1) {
        int saved = errno;
        TRACE_WARNING("close(): %s", strerror(saved));
    }
    return n;
}

#define CHECK_NEGATIVE(expr, name)         \
    do {                                   \
        if ((expr) < 0)                    \
            TRACE_ERROR_ERRNO("%s", name); \
    } while (0)

int Socket(int family, int type, int protocol) {
    int n = socket(family, type, protocol);
    CHECK_NEGATIVE(n, "socket()");
    return n;
}

void Socketpair(int family, int type, int protocol, int *fds) {
    CHECK_NEGATIVE(socketpair(family, type, protocol, fds), "socketpair()");
}

void Bind(int fd, const struct sockaddr *sa, socklen_t len) {
    CHECK_NEGATIVE(bind(fd, sa, len), "bind()");
}

void Connect(int fd, const struct sockaddr *sa, socklen_t len) {
    CHECK_NEGATIVE(connect(fd, sa, len), "connect()");
}

int Listen(int fd, int backlog) {
    // The administrator may raise the backlog without a rebuild.
    if (const char *env = getenv("LISTENQ"))
        backlog = atoi(env);
    int n = wrap_hooks::listen_fn(fd, backlog);
    CHECK_NEGATIVE(n, "listen()");
    return n;
}

void Getsockname(int fd, struct sockaddr *sa, socklen_t *len) {
    CHECK_NEGATIVE(getsockname(fd, sa, len), "getsockname()");
}

void Getpeername(int fd, struct sockaddr *sa, socklen_t *len) {
    CHECK_NEGATIVE(getpeername(fd, sa, len), "getpeername()");
}

void Getsockopt(int fd, int level, int name, void *val, socklen_t *len) {
    CHECK_NEGATIVE(getsockopt(fd, level, name, val, len), "getsockopt()");
}

void Setsockopt(int fd, int level, int name, const void *val, socklen_t len) {
    CHECK_NEGATIVE(setsockopt(fd, level, name, val, len), "setsockopt()");
}

void Shutdown(int fd, int how) {
    CHECK_NEGATIVE(shutdown(fd, how), "shutdown()");
}

int Sockatmark(int fd) {
    int n = sockatmark(fd);
    CHECK_NEGATIVE(n, "sockatmark()");
    return n;
}

ssize_t Recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *sa, socklen_t *salen) {
    ssize_t n = recvfrom(fd, buf, len, flags, sa, salen);
    CHECK_NEGATIVE(n, "recvfrom()");
    return n;
}

ssize_t Recvmsg(int fd, struct msghdr *msg, int flags) {
    ssize_t n = recvmsg(fd, msg, flags);
    CHECK_NEGATIVE(n, "recvmsg()");
    return n;
}

int Select(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, struct timeval *timeout) {
    int n = select(nfds, rd, wr, ex, timeout);
    CHECK_NEGATIVE(n, "select()");
    return n;
}

void Send(int fd, const void *buf, size_t len, int flags) {
    if (send(fd, buf, len, flags) != static_cast<ssize_t>(len))
        TRACE_ERROR_ERRNO("send()");
}

void Sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *sa,
            socklen_t salen) {
    if (sendto(fd, buf, len, flags, sa, salen) != static_cast<ssize_t>(len))
        TRACE_ERROR_ERRNO("sendto()");
}

void Sendmsg(int fd, const struct msghdr *msg, int flags) {
    size_t total = 0;
    for (size_t i = 0; i < msg->msg_iovlen; ++i)
        total += msg->msg_iov[i].iov_len;
    if (sendmsg(fd, msg, flags) != static_cast<ssize_t>(total))
        TRACE_ERROR_ERRNO("sendmsg()");
}

ssize_t Recv(int fd, void *buf, size_t len, int flags) {
    return recv(fd, buf, len, flags);
}

int Accept(int fd, struct sockaddr *sa, socklen_t *salen) {
    int n = -1;
    for (int attempt = 1; attempt <= 4; ++attempt) {
        n = wrap_hooks::accept_fn(fd, sa, salen);
        if (n >= 0)
            return n;
        if ((errno != EPROTO && errno != ECONNABORTED) || attempt == 4)
            break;
        usleep(10);
    }
    TRACE_ERROR_ERRNO("accept()");
    return n;
}
