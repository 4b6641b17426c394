// A scripted stand-in for a bridge and its agent on a loopback port: the
// test's script runs on a thread of its own once the client connects, reads
// the client's call packages and answers with whatever bytes the case needs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <inkagent/protocol.h>

namespace fake {

using Bytes = std::vector<uint8_t>;

struct Call {
    uint16_t type = 0;
    uint16_t version = 0;
    uint32_t message_id = 0;
    uint32_t total = 0;
    uint32_t length = 0;
    Bytes header;
    Bytes payload;
    uint32_t function() const { return INKAGENT_MESSAGE_FUNCTION(message_id); }
};

inline void put_u32(Bytes &b, uint32_t v) {
    uint8_t le[4];
    inkagent_put_u32(le, v);
    b.insert(b.end(), le, le + 4);
}

inline Bytes package(uint16_t type, uint32_t message_id, const Bytes &payload) {
    Bytes p(INKAGENT_HEADER_SIZE + payload.size());
    inkagent_put_header(p.data(), type, message_id, static_cast<uint32_t>(p.size()));
    std::copy(payload.begin(), payload.end(), p.begin() + INKAGENT_HEADER_SIZE);
    return p;
}

inline Bytes result(uint32_t message_id, uint32_t status, uint32_t value,
                    const Bytes &outputs = {}) {
    Bytes payload;
    put_u32(payload, status);
    put_u32(payload, value);
    payload.insert(payload.end(), outputs.begin(), outputs.end());
    return package(INKAGENT_TYPE_RESULT, message_id, payload);
}

// Outputs: a text, then the u32 reply.
inline Bytes text_outputs(const std::u16string &text) {
    Bytes out;
    put_u32(out, static_cast<uint32_t>(text.size()));
    for (char16_t u : text) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    put_u32(out, static_cast<uint32_t>(text.size()));
    return out;
}

inline Bytes data_event(uint32_t sequence, uint32_t device, uint32_t end_point, uint8_t first) {
    Bytes payload;
    put_u32(payload, device);
    put_u32(payload, end_point);
    put_u32(payload, INKAGENT_REPORT_SIZE);
    for (uint32_t i = 0; i < INKAGENT_REPORT_SIZE; ++i)
        payload.push_back(static_cast<uint8_t>(first + i));
    return package(INKAGENT_TYPE_EVENT, INKAGENT_MESSAGE_ID(sequence, INKAGENT_EV_DATA_RECEIVED),
                   payload);
}

inline Bytes removed_event(uint32_t sequence, uint32_t device) {
    Bytes payload;
    put_u32(payload, device);
    return package(INKAGENT_TYPE_EVENT, INKAGENT_MESSAGE_ID(sequence, INKAGENT_EV_DEVICE_REMOVED),
                   payload);
}

inline Bytes arrived_event(uint32_t sequence, uint32_t device, const std::u16string &serial) {
    Bytes payload;
    for (uint32_t v : {device, 0x22C9u, 0x0901u, static_cast<uint32_t>(serial.size())})
        put_u32(payload, v);
    for (char16_t unit : serial) {
        payload.push_back(static_cast<uint8_t>(unit));
        payload.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return package(INKAGENT_TYPE_EVENT, INKAGENT_MESSAGE_ID(sequence, INKAGENT_EV_DEVICE_ARRIVED),
                   payload);
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The server side of one connection. Reads give up after a generous
// deadline so that a client that sends nothing fails the test, never hangs it.
class Peer {
  public:
    explicit Peer(int fd) : fd_(fd) {}

    bool read_call(Call &call) {
        Bytes head(INKAGENT_HEADER_SIZE);
        if (!read_exact(head.data(), head.size()))
            return false;
        call.header = head;
        call.type = inkagent_get_u16(head.data() + INKAGENT_OFFSET_TYPE);
        call.version = inkagent_get_u16(head.data() + INKAGENT_OFFSET_VERSION);
        call.message_id = inkagent_get_u32(head.data() + INKAGENT_OFFSET_MESSAGE_ID);
        call.total = inkagent_get_u32(head.data() + INKAGENT_OFFSET_TOTAL_SIZE);
        call.length = inkagent_get_u32(head.data() + INKAGENT_OFFSET_LENGTH);
        if (call.total < INKAGENT_HEADER_SIZE || call.total > INKAGENT_MAX_INBOUND)
            return false;
        call.payload.resize(call.total - INKAGENT_HEADER_SIZE);
        return read_exact(call.payload.data(), call.payload.size());
    }

    bool send(const Bytes &bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    // Each piece in a write of its own.
    bool send_in_pieces(const Bytes &bytes, size_t piece) {
        for (size_t at = 0; at < bytes.size(); at += piece) {
            const size_t n = std::min(piece, bytes.size() - at);
            if (!send(Bytes(bytes.begin() + static_cast<long>(at),
                            bytes.begin() + static_cast<long>(at + n))))
                return false;
        }
        return true;
    }

    // True once the client has closed its side.
    bool sees_end() {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            return false;
        char c;
        return recv(fd_, &c, 1, 0) == 0;
    }

  private:
    bool read_exact(uint8_t *out, size_t n) {
        while (n > 0) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 20000) != 1)
                return false;
            ssize_t got = recv(fd_, out, n, 0);
            if (got <= 0)
                return false;
            out += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    int fd_;
};

class Bridge {
  public:
    explicit Bridge(std::function<void(Peer &)> script) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(listener_, 4);
        socklen_t len = sizeof sa;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this, script] {
            struct pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 20000) != 1)
                return;
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Peer peer(fd);
            script(peer);
            close(fd);
        });
    }
    ~Bridge() {
        thread_.join();
        close(listener_);
    }
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    std::string port() const { return std::to_string(port_); }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace fake
