// TLS for the bridge's clients (set_tls). Beneath the package protocol: a
// client's bytes are the same either way, TLS only carries them.
//
// Three parts:
// - the settings: certificate, key and, optionally, the CA whose client
//   certificates are required; checked when they are given;
// - the handshakes: one thread ("nb_handshake") drives every client still in
//   its handshake, each within a time limit, so that the accepting thread
//   never waits for one and a client that stalls costs nobody else; a client
//   whose handshake completes is handed to the driver, one that fails is
//   closed with its reason;
// - the stream: receive and send on a client socket, through its TLS
//   session when it has one, as plain recv/send otherwise.
//
// Locks: tls_stream_lock guards the sessions of the stream and every call
// on one; it is taken last (after send_lock) and held only for calls that
// never block. The handshake thread holds none of ours while it hands a
// client to the driver.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

typedef struct ssl_st SSL;

// True while the bridge serves TLS.
bool tls_on();

// What the driver does with a client whose handshake has completed: the
// socket, its session (the stream's from then on, see stream_attach) and the
// client's address and certificate subject (null without one), for the log.
using TlsServe = void (*)(int fd, SSL *session, const char *who, const char *subject);

// Starts the handshake thread (tls_on only); false when it could not start.
bool tls_handshakes_start(TlsServe serve);
// Ends the thread and closes every client still in its handshake.
void tls_handshakes_stop();
// Hands an accepted, non-blocking client socket over for its handshake; it
// is then the handshake thread's to serve or to close. who is copied.
void tls_handshake_begin(int fd, const char *who);

// The stream of one client socket.
void stream_attach(int fd, SSL *session);
// Says goodbye to the TLS peer (when it can, without waiting) and frees the
// session; the caller closes fd afterwards.
void stream_forget(int fd);
// As recv and send on a non-blocking socket: n > 0 bytes, 0 at the end of the
// stream, -1 with errno (EAGAIN: nothing now). Never raises SIGPIPE.
// *drained: a TLS read that most likely emptied the socket, so that another
// read would only find it empty; a wait for the socket comes next instead.
ssize_t stream_recv(int fd, void *buffer, size_t length, bool *drained);
// True when the session holds bytes already read from the socket: a wait
// for the socket would not see them.
bool stream_buffered(int fd);
ssize_t stream_send(int fd, const void *bytes, size_t length);
