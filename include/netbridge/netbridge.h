/*
 * libnetbridge: a TCP server that carries packages between one remote
 * signing application at a time and the agent library libinkagent.so.
 *
 * Usage: set_ip() (optional) and set_port(), then DriverOpen(); DriverClose()
 * stops everything. The library keeps the caller's host and port pointers, so
 * the strings must outlive the open bridge. DriverOpen and DriverClose may be
 * called from any thread; they are serialised against each other.
 *
 * Threads: DriverOpen starts an accepting thread; each accepted client gets a
 * receiving thread, which also runs the agent's ClientRegisterFarFunction,
 * and, once a package has to wait for the client, a writer thread. The
 * result and event callbacks run on whichever thread the agent uses; they
 * never wait on the network. Writes to the client never raise SIGPIPE.
 */
#ifndef NETBRIDGE_NETBRIDGE_H
#define NETBRIDGE_NETBRIDGE_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>
#include <sys/socket.h>

#include "netbridge/agent.h"

#if defined(NETBRIDGE_BUILDING)
#define NETBRIDGE_API __attribute__((visibility("default")))
#else
#define NETBRIDGE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- channel driver ---------------------------------------------------- */

/* Host name or address to listen on; NULL (the default) means all local
 * addresses. The pointer is kept, not the text. */
NETBRIDGE_API void set_ip(const char *host);
/* Service name or port number to listen on; required. The pointer is kept. */
NETBRIDGE_API void set_port(const char *service);
/* Adds a network whose peers may connect: an IPv4 or IPv6 address, or one
 * with a prefix length ("10.1.0.0/16", "::1", "fd00::/8"); IPv4 peers that
 * reach an IPv6 socket as mapped addresses count as IPv4. Once any network
 * is given, a peer outside all of them is closed as it is accepted, before
 * anything reaches the agent. Without any, anyone may connect. NULL forgets
 * every network. 0, or -1 when the text is not a network (nothing added).
 * The text is copied. */
NETBRIDGE_API int set_allow(const char *network);
/* true: while a client is connected, a new one is closed instead of
 * replacing it. false (the default): a newer client always replaces the
 * current one. */
NETBRIDGE_API void set_exclusive(bool exclusive);
/* Lets a client go that sends no package for `seconds` (0, the default:
 * never). A package that has begun arriving must be complete within 10 s
 * whatever this says. */
NETBRIDGE_API void set_idle_timeout(int seconds);
/* Closes whatever is open, binds the agent and starts listening.
 * 0, or -1 when the agent cannot be loaded or the address cannot be bound. */
NETBRIDGE_API int DriverOpen(void);
/* Drops the client, stops listening and both threads, tells the agent that
 * there is no connection and releases it. 0, or -1 when shutting the client
 * socket down or releasing the agent failed. Closing a closed bridge is 0. */
NETBRIDGE_API int DriverClose(void);
/* Writes length bytes to the current client as they are, after whatever
 * waits for it. length once the bytes are on their way, or -1. */
NETBRIDGE_API int DriverSendData(const char *data, int length);
/* Entries kept for the shape of a virtual driver: they do nothing, return 0. */
NETBRIDGE_API int DriverPoll(void);
NETBRIDGE_API int DriverInfo(void);
NETBRIDGE_API int DriverQueryInformation(void);
NETBRIDGE_API int DriverSetInformation(void);
NETBRIDGE_API int DriverGetLastError(void);
NETBRIDGE_API int DriverRegisterLoggingCallBack(void *callback);

/* ---- inbound dispatch and outbound callbacks ---------------------------- */

/* Feeds received bytes to reassembly; every complete package goes to the
 * agent. data NULL with length 0 drops a partial package. */
NETBRIDGE_API void ICADataArrival(unsigned short unused, char *data, unsigned short length);
/* The callbacks registered with the agent (see InkagentCallback). A package
 * shorter than its 34-byte header, or of 2010 bytes or more, is not sent and
 * the result is -1; so is any package while no client is connected, and the
 * agent is then told ClientRegisterServerConnection(0). Otherwise the
 * package is written at once, or queued for the client's writer: 0. A
 * client that lets more than a megabyte wait, or takes no byte for 10
 * seconds, is disconnected, and the callback returns -1. */
NETBRIDGE_API int DriverResultProcessorFunction(void *package, int length);
NETBRIDGE_API int DriverEventProcessorFunction(void *package, int length);
/* Wall-clock milliseconds as stamped into package headers; wraps at 2^32. */
NETBRIDGE_API uint32_t GetTimeStamp(void);

/* ---- agent binding ------------------------------------------------------ */

NETBRIDGE_API bool LoadTheMediatorDLLInterface(void);
NETBRIDGE_API void InitTheMediatorDLLInterface(void);
NETBRIDGE_API void ResetTheMediatorDLLInterface(void);
NETBRIDGE_API bool FreeTheMediatorDLLInterface(void);

/* ---- socket helpers ----------------------------------------------------- */

/* A listening TCP socket on host (NULL: wildcard) and service, any family;
 * the backlog is 1024 or the value of the environment variable LISTENQ. */
NETBRIDGE_API int tcp_listen(const char *host, const char *service, socklen_t *addrlen);
NETBRIDGE_API int Tcp_listen(const char *host, const char *service, socklen_t *addrlen);
NETBRIDGE_API int tcp_connect(const char *host, const char *service);
NETBRIDGE_API int Tcp_connect(const char *host, const char *service);
/* Writes all length bytes within 10 seconds on a non-blocking socket, pausing
 * 2, 4, 8 ... ms while the socket is full. length, or -1. */
NETBRIDGE_API int send_data(int socket, const char *buffer, int length, int flags);
/* Reads exactly length bytes: length, 0 at end of stream, -1 on error. */
NETBRIDGE_API int recv_data(int socket, char *buffer, int length, int flags);
NETBRIDGE_API int close_socket(int socket);
/* Address texts ("127.0.0.1:8888", "[::1]:8888") in one static buffer shared
 * by all callers; NULL when the address cannot be converted. */
NETBRIDGE_API char *sock_ntop(const struct sockaddr *sa, socklen_t salen);
NETBRIDGE_API char *Sock_ntop(const struct sockaddr *sa, socklen_t salen);
NETBRIDGE_API char *sock_ntop_host(const struct sockaddr *sa, socklen_t salen);
NETBRIDGE_API char *Sock_ntop_host(const struct sockaddr *sa, socklen_t salen);
/* Ports below are in network byte order, as stored in the address. */
NETBRIDGE_API int sock_bind_wild(int socket, int family);
NETBRIDGE_API int Sock_bind_wild(int socket, int family);
NETBRIDGE_API int sock_cmp_addr(const struct sockaddr *a, const struct sockaddr *b,
                                socklen_t salen);
NETBRIDGE_API int sock_cmp_port(const struct sockaddr *a, const struct sockaddr *b,
                                socklen_t salen);
NETBRIDGE_API int sock_get_port(const struct sockaddr *sa, socklen_t salen);
NETBRIDGE_API void sock_set_addr(struct sockaddr *sa, socklen_t salen, const void *addr);
NETBRIDGE_API void sock_set_port(struct sockaddr *sa, socklen_t salen, int port);
NETBRIDGE_API void sock_set_wild(struct sockaddr *sa, socklen_t salen);

/* ---- exported module state ---------------------------------------------- */
/* For tools and the agent to look at; the library's own code sees these as
 * lock-free atomics of the same size and alignment. Do not write them. */
#if !defined(NETBRIDGE_BUILDING)
extern const char *hostname;
extern const char *port;
extern int a_socket;
extern int sockfd;
extern bool need_accepting;
extern bool need_listening;
extern bool do_driver_close;
extern bool do_not_touch_libinkagent;
extern pthread_mutex_t general_lock;
extern pthread_mutex_t need_accepting_lock;
extern pthread_mutex_t need_listening_lock;
extern pthread_mutex_t wait_at_lock;
extern pthread_mutex_t wait_lt_lock;
extern pthread_mutex_t send_lock;

extern void *hClientMediatorHandle;
extern ClientRegisterFarFunction_t pfClientRegisterFarFunction;
extern ClientRegisterCallBackFunction_t pfClientRegisterResultCallBackFunction;
extern ClientRegisterCallBackFunction_t pfClientRegisterEventCallBackFunction;
extern ClientMakeEventCallBackFunction_t pfClientMakeEventCallBackFunction;
extern ClientRegisterServerConnection_t pfClientRegisterServerConnection;
extern struct ServerSessionInfo serverSessionInfo;
#endif

#ifdef __cplusplus
}
#endif

#endif /* NETBRIDGE_NETBRIDGE_H */
