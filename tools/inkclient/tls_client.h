// The client's end of TLS to a bridge (netbridged --tls-cert): the bridge's
// certificate is verified against the given CAs (or the system's) and its
// name against the host the user connects to; a client certificate is
// presented when one is given. Under the package stream: the bytes inside
// the session are the same as over plain TCP.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

typedef struct ssl_st SSL;

namespace inkclient {

struct TlsOptions {
    bool on = false;
    std::string ca_file;    // PEM CA certificates; empty: the system's trusted CAs
    std::string cert_file;  // PEM client certificate, with key_file
    std::string key_file;
    std::string name;  // the name to verify; empty: the host connected to
};

// A socket with or without its TLS session: send and receive as on a
// non-blocking socket (-1 with errno EAGAIN when it would wait; then
// wait_events() tells for what).
class Channel {
  public:
    explicit Channel(int fd) : fd_(fd) {}
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Runs the handshake until the deadline. Empty on success, otherwise
    // why it failed ("certificate has expired", "hostname mismatch", ...).
    std::string start_tls(const TlsOptions &options, const std::string &host,
                          std::chrono::steady_clock::time_point deadline);

    int fd() const { return fd_; }
    bool tls() const { return session_ != nullptr; }
    ssize_t send(const void *bytes, size_t length);
    ssize_t recv(void *buffer, size_t length);
    // Bytes the session has already read from the socket (decrypted or not):
    // no need to wait for the socket before the next recv.
    bool buffered() const;
    short wait_events() const { return want_; }
    // Why the last send or recv failed, in words.
    std::string failure() const { return failure_; }

  private:
    ssize_t settle(int n);

    int fd_;
    SSL *session_ = nullptr;
    short want_ = 0;
    std::string failure_;
};

}  // namespace inkclient
