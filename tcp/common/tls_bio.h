// A socket BIO for OpenSSL that never raises SIGPIPE: OpenSSL's own socket
// BIO writes with write(), so a peer that has gone away would end a program
// that does not ignore the signal. Used by the bridge and by its clients;
// both run their sockets non-blocking, and a full or empty socket is a retry.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <cerrno>

namespace tls_bio {

inline int write_socket(BIO *bio, const char *data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = ::send(BIO_get_fd(bio, nullptr), data, static_cast<size_t>(length),
                   MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

inline int read_socket(BIO *bio, char *data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = ::recv(BIO_get_fd(bio, nullptr), data, static_cast<size_t>(length), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

inline int puts_socket(BIO *bio, const char *text) {
    int length = 0;
    while (text[length] != '\0')
        ++length;
    return write_socket(bio, text, length);
}

// Before a call whose failure SSL_get_error() has to tell apart: the queue
// must be empty then. Cleared only when it is not, since clearing walks
// every slot of the queue and costs as much as a small record's cipher.
inline void clear_stale_errors() {
    if (ERR_peek_error() != 0)
        ERR_clear_error();
}

// The method: OpenSSL's socket BIO with our read and write. Made once and
// kept for the life of the process.
inline const BIO_METHOD *method() {
    static BIO_METHOD *const made = [] {
        BIO_METHOD *m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                         "socket without SIGPIPE");
        const BIO_METHOD *socket = BIO_s_socket();
        if (m != nullptr) {
            BIO_meth_set_write(m, write_socket);
            BIO_meth_set_read(m, read_socket);
            BIO_meth_set_puts(m, puts_socket);
            BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(socket));
            BIO_meth_set_create(m, BIO_meth_get_create(socket));
            BIO_meth_set_destroy(m, BIO_meth_get_destroy(socket));
        }
        return m;
    }();
    return made;
}

// A BIO on fd that leaves closing fd to its owner; null when out of memory.
inline BIO *on_socket(int fd) {
    const BIO_METHOD *m = method();
    BIO *bio = m != nullptr ? BIO_new(m) : nullptr;
    if (bio != nullptr)
        BIO_set_fd(bio, fd, BIO_NOCLOSE);
    return bio;
}

}  // namespace tls_bio
