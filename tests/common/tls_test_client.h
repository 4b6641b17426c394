// A loopback client of a TLS bridge for tests and benchmarks, on the remote
// stack's own TLS channel: connects, runs the handshake, then sends and
// receives whole packages (34-byte header with the total size at offset 8).
// Every wait gives up after 20 seconds.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tls_client.h"

namespace testutil {

class TlsTestClient {
  public:
    using Bytes = std::vector<char>;

    TlsTestClient(int port, const inkclient::TlsOptions &options) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            why_ = strerror(errno);
            close(fd);
            return;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        channel_ = std::make_unique<inkclient::Channel>(fd);
        why_ = channel_->start_tls(options, "127.0.0.1", deadline());
        if (!why_.empty())
            channel_.reset();
    }

    bool connected() const { return channel_ != nullptr; }
    // Why the handshake or the last exchange failed.
    const std::string &why() const { return why_; }

    bool send_all(const Bytes &bytes) { return send_all(bytes.data(), bytes.size()); }
    bool send_all(const char *bytes, size_t length) {
        size_t sent = 0;
        const auto end = deadline();
        while (channel_ && sent < length) {
            ssize_t n = channel_->send(bytes + sent, length - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (!(n < 0 && errno == EAGAIN) || !wait(end, channel_->wait_events()))
                return failed();
        }
        return channel_ != nullptr;
    }

    // Whatever has arrived, at most length bytes, waiting for the first:
    // n > 0, or 0 when the stream has ended or failed.
    ssize_t receive_some(char *out, size_t length) {
        const auto end = deadline();
        if (!buffer_.empty()) {
            const size_t n = std::min(length, buffer_.size());
            memcpy(out, buffer_.data(), n);
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(n));
            return static_cast<ssize_t>(n);
        }
        // As the remote stack reads: a wait for the socket, then a read.
        while (channel_) {
            if (!channel_->buffered() && !wait(end, POLLIN))
                return failed(), 0;
            ssize_t n = channel_->recv(out, length);
            // A record at a time: whatever else the session holds comes along.
            while (n > 0 && static_cast<size_t>(n) < length && channel_->buffered()) {
                const ssize_t more = channel_->recv(out + n, length - static_cast<size_t>(n));
                if (more <= 0)
                    break;
                n += more;
            }
            if (n > 0)
                return n;
            if (n == 0 || errno != EAGAIN)
                return failed(), 0;
        }
        return 0;
    }

    // One whole package, or an empty vector (why() then says why).
    Bytes receive_package() {
        const auto end = deadline();
        while (channel_) {
            if (buffer_.size() >= kHead) {
                uint32_t total = 0;
                memcpy(&total, buffer_.data() + 8, 4);
                if (total < kHead || total > 1u << 20)
                    return failed(), Bytes();
                if (buffer_.size() >= total) {
                    Bytes package(buffer_.begin(), buffer_.begin() + total);
                    buffer_.erase(buffer_.begin(), buffer_.begin() + total);
                    return package;
                }
            }
            char chunk[16384];
            ssize_t n = channel_->recv(chunk, sizeof chunk);
            if (n > 0)
                buffer_.insert(buffer_.end(), chunk, chunk + n);
            else if (n == 0)
                return why_ = "the bridge closed the connection", channel_.reset(), Bytes();
            else if (errno != EAGAIN || (!channel_->buffered() && !wait(end, POLLIN)))
                return failed(), Bytes();
        }
        return {};
    }

  private:
    static constexpr uint32_t kHead = 34;

    static std::chrono::steady_clock::time_point deadline() {
        return std::chrono::steady_clock::now() + std::chrono::seconds(20);
    }
    bool wait(std::chrono::steady_clock::time_point end, short events) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        struct pollfd p = {channel_->fd(), events, 0};
        return left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) == 1;
    }
    bool failed() {
        why_ = channel_ ? channel_->failure() : why_;
        if (why_.empty())
            why_ = "no answer in time";
        channel_.reset();
        return false;
    }

    std::unique_ptr<inkclient::Channel> channel_;
    Bytes buffer_;
    std::string why_;
};

}  // namespace testutil
