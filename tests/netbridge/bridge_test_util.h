// Helpers of the bridge tests: packages, loopback clients, deadlines, and
// the controls of the stand-in agent.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "echo_agent.h"
#include "free_port.h"
#include "packhead.h"
#include "thread_count.h"
#include "wait_until.h"

namespace bridge_test {

using Bytes = std::vector<char>;

// A call package as a remote application sends it: a header with the given
// message id and total size, then a data pattern that depends on the id.
inline Bytes make_call(uint32_t message_id, int total_size) {
    Bytes p(static_cast<size_t>(total_size), 0);
    PackHead head = {};
    head.ulMessageID = message_id;
    head.ulTotalSize = static_cast<uint32_t>(total_size);
    head.ulLength = static_cast<uint32_t>(total_size);
    memcpy(p.data(), &head, sizeof head < p.size() ? sizeof head : p.size());
    for (size_t i = kHeadSize; i < p.size(); ++i)
        p[i] = static_cast<char>(message_id + i * 7);
    return p;
}

inline PackHead head_of(const Bytes &p) {
    PackHead head;
    memcpy(&head, p.data(), sizeof head);
    return head;
}

using testutil::count_threads_named;
using testutil::free_port;
using testutil::port_of;
using testutil::wait_until;

inline int count_entries(const char *dir) {
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// Open descriptors of this process (the one reading the folder excluded).
inline int count_fds() {
    return count_entries("/proc/self/fd") - 1;
}
// A blocking loopback client (IPv4 or IPv6) whose reads give up after a
// generous time, so that a missing answer fails the test instead of hanging
// it.
class Client {
  public:
    explicit Client(int port, int receive_buffer = 0, int family = AF_INET) {
        fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receive_buffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        const struct timeval limit = {20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_storage ss = {};
        socklen_t length = sizeof(sockaddr_in);
        if (family == AF_INET6) {
            auto *sa = reinterpret_cast<sockaddr_in6 *>(&ss);
            sa->sin6_family = AF_INET6;
            sa->sin6_port = htons(static_cast<uint16_t>(port));
            sa->sin6_addr = in6addr_loopback;
            length = sizeof *sa;
        } else {
            auto *sa = reinterpret_cast<sockaddr_in *>(&ss);
            sa->sin_family = AF_INET;
            sa->sin_port = htons(static_cast<uint16_t>(port));
            sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        if (connect(fd_, reinterpret_cast<sockaddr *>(&ss), length) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Client() { close_now(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send_all(const char *data, size_t length) {
        while (length > 0) {
            ssize_t n = send(fd_, data, length, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }
    bool send_all(const Bytes &b) { return send_all(b.data(), b.size()); }

    // Exactly n bytes, or false at end of stream, error or time-out.
    bool receive_exact(char *out, size_t n) {
        while (n > 0) {
            ssize_t got = recv(fd_, out, n, 0);
            if (got <= 0)
                return false;
            out += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    // One whole package as its header's ulTotalSize says, or an empty vector.
    Bytes receive_package() {
        Bytes p(kHeadSize);
        if (!receive_exact(p.data(), p.size()))
            return {};
        uint32_t total = header_total_size(p.data());
        if (total < static_cast<uint32_t>(kHeadSize) || total > 1u << 20)
            return {};
        p.resize(total);
        if (!receive_exact(p.data() + kHeadSize, total - kHeadSize))
            return {};
        return p;
    }

    // True once the peer has closed its side (a read sees the end).
    bool sees_end_of_stream() {
        char c;
        return recv(fd_, &c, 1, 0) == 0;
    }

    // True once the peer has closed the connection or reset it (a peer
    // that closes with bytes of ours unread resets it).
    bool sees_close() {
        char c;
        const ssize_t n = recv(fd_, &c, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    void close_now() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// The stand-in agent's controls, on the instance the bridge has loaded.
class AgentControls {
  public:
    AgentControls() {
        handle_ = dlopen("libinkagent.so", RTLD_NOW);
        if (handle_ == nullptr)
            return;
        counters_ = reinterpret_cast<echo_agent_counters_t>(dlsym(handle_, "echo_agent_counters"));
        last_call_ =
            reinterpret_cast<echo_agent_last_call_t>(dlsym(handle_, "echo_agent_last_call"));
        emit_ =
            reinterpret_cast<echo_agent_emit_events_t>(dlsym(handle_, "echo_agent_emit_events"));
        wait_ =
            reinterpret_cast<echo_agent_wait_events_t>(dlsym(handle_, "echo_agent_wait_events"));
    }
    ~AgentControls() {
        if (handle_ != nullptr)
            dlclose(handle_);
    }
    AgentControls(const AgentControls &) = delete;
    AgentControls &operator=(const AgentControls &) = delete;

    bool ok() const { return counters_ && last_call_ && emit_ && wait_; }
    EchoAgentCounters counters() const {
        EchoAgentCounters c = {};
        counters_(&c);
        return c;
    }
    Bytes last_call(uint32_t *size, const void **address) const {
        Bytes b(65536);
        b.resize(
            static_cast<size_t>(last_call_(b.data(), static_cast<int>(b.size()), size, address)));
        return b;
    }
    int emit(int count, int size, uint32_t message_id) const {
        return emit_(count, size, message_id);
    }
    int wait_emitted(int timeout_ms, int *written, int *last_result) const {
        return wait_(timeout_ms, written, last_result);
    }

  private:
    void *handle_ = nullptr;
    echo_agent_counters_t counters_ = nullptr;
    echo_agent_last_call_t last_call_ = nullptr;
    echo_agent_emit_events_t emit_ = nullptr;
    echo_agent_wait_events_t wait_ = nullptr;
};

}  // namespace bridge_test
