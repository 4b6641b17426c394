// Memory, file and socket wrappers: the call, plus a red error record on
// failure. Only the allocators retry; when they finally fail the process ends.
#pragma once

#include <cstddef>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

void *Malloc(size_t size);
void *Calloc(size_t count, size_t size);
void *Realloc(void *ptr, size_t size);

int Open(const char *path, int flags, mode_t mode);
ssize_t Read(int fd, void *buf, size_t len);
ssize_t Write(int fd, const void *buf, size_t len);
int Close(int fd);

int Socket(int family, int type, int protocol);
void Socketpair(int family, int type, int protocol, int *fds);
void Bind(int fd, const struct sockaddr *sa, socklen_t len);
void Connect(int fd, const struct sockaddr *sa, socklen_t len);
int Listen(int fd, int backlog);
void Getsockname(int fd, struct sockaddr *sa, socklen_t *len);
void Getpeername(int fd, struct sockaddr *sa, socklen_t *len);
void Getsockopt(int fd, int level, int name, void *val, socklen_t *len);
void Setsockopt(int fd, int level, int name, const void *val, socklen_t len);
void Shutdown(int fd, int how);
int Sockatmark(int fd);
ssize_t Recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *sa, socklen_t *salen);
ssize_t Recvmsg(int fd, struct msghdr *msg, int flags);
int Select(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, struct timeval *timeout);
void Send(int fd, const void *buf, size_t len, int flags);
void Sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *sa,
            socklen_t salen);
void Sendmsg(int fd, const struct msghdr *msg, int flags);
ssize_t Recv(int fd, void *buf, size_t len, int flags);
int Accept(int fd, struct sockaddr *sa, socklen_t *salen);

// Test seam: the allocators call through these, so a test can make the first
// attempts fail. Production code never changes them.
namespace wrap_hooks {
extern void *(*malloc_fn)(size_t);
extern void *(*calloc_fn)(size_t, size_t);
extern void *(*realloc_fn)(void *, size_t);
extern int (*accept_fn)(int, struct sockaddr *, socklen_t *);
extern int (*listen_fn)(int, int);
}  // namespace wrap_hooks
