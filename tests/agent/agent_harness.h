// Drives the reference agent as a bridge does: loads libinkagent.so,
// registers result and event callbacks that keep every package, and sends
// call packages through the far function.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <inkagent/protocol.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "netbridge/agent.h"

namespace agenttest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Arguments of a call, in the protocol's encoding.
struct Payload {
    Bytes b;
    Payload &u32(uint32_t v) {
        size_t at = b.size();
        b.resize(at + 4);
        inkagent_put_u32(b.data() + at, v);
        return *this;
    }
    Payload &bytes(const Bytes &data) {
        u32(static_cast<uint32_t>(data.size()));
        b.insert(b.end(), data.begin(), data.end());
        return *this;
    }
    Payload &text(const std::u16string &units) {
        u32(static_cast<uint32_t>(units.size()));
        for (char16_t u : units) {
            b.push_back(static_cast<uint8_t>(u));
            b.push_back(static_cast<uint8_t>(u >> 8));
        }
        return *this;
    }
};

inline Bytes call_package(uint32_t message_id, const Bytes &payload) {
    Bytes p(INKAGENT_HEADER_SIZE + payload.size());
    inkagent_put_header(p.data(), INKAGENT_TYPE_CALL, message_id, static_cast<uint32_t>(p.size()));
    std::copy(payload.begin(), payload.end(), p.begin() + INKAGENT_HEADER_SIZE);
    return p;
}

// A received package: header fields, and a reader over what follows.
struct Package {
    Bytes bytes;
    uint16_t type() const { return inkagent_get_u16(bytes.data()); }
    uint32_t message_id() const { return inkagent_get_u32(bytes.data() + 4); }
    uint32_t total() const { return inkagent_get_u32(bytes.data() + 8); }
};

// Reads the payload of a package; a read past the end fails the test and
// gives 0 or empty.
struct Reader {
    const Bytes &b;
    size_t at = INKAGENT_HEADER_SIZE;
    uint32_t u32() {
        if (b.size() < at + 4) {
            ADD_FAILURE() << "package ends before a u32 at " << at;
            at = b.size();
            return 0;
        }
        uint32_t v = inkagent_get_u32(b.data() + at);
        at += 4;
        return v;
    }
    Bytes bytes() {
        uint32_t n = u32();
        if (b.size() - at < n) {
            ADD_FAILURE() << "byte string of " << n << " runs past the end";
            at = b.size();
            return {};
        }
        Bytes out(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
        at += n;
        return out;
    }
    std::string text() {  // narrowed: the texts of the pad library are ASCII
        uint32_t n = u32();
        if ((b.size() - at) / 2 < n) {
            ADD_FAILURE() << "text of " << n << " units runs past the end";
            at = b.size();
            return {};
        }
        std::string out;
        for (uint32_t i = 0; i < n; ++i)
            out.push_back(static_cast<char>(inkagent_get_u16(b.data() + at + 2 * i)));
        at += 2 * size_t{n};
        return out;
    }
    bool done() const { return at == b.size(); }
};

// What the bridge's callbacks saw, from any thread.
struct Sink {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Package> results;
    std::vector<Package> events;
    // Runs on the calling thread inside the event callback, after the
    // package was kept.
    std::function<void(const Package &)> on_event;

    bool wait(const std::function<bool()> &done, std::chrono::milliseconds limit = 20s) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, limit, done);
    }
    std::vector<Package> events_snapshot() {
        std::lock_guard<std::mutex> g(m);
        return events;
    }
};

// The harness's callbacks reach the sink through this pointer.
inline Sink *current_sink = nullptr;
inline std::atomic<int> calls_after_removal{0};
inline std::atomic<bool> results_removed{false};
inline std::atomic<bool> events_removed{false};

inline int on_result(void *package, int length) {
    if (results_removed)
        ++calls_after_removal;
    Sink *s = current_sink;
    Package p{Bytes(static_cast<uint8_t *>(package), static_cast<uint8_t *>(package) + length)};
    {
        std::lock_guard<std::mutex> g(s->m);
        s->results.push_back(p);
    }
    s->cv.notify_all();
    return 0;
}

inline int on_event(void *package, int length) {
    if (events_removed)
        ++calls_after_removal;
    Sink *s = current_sink;
    Package p{Bytes(static_cast<uint8_t *>(package), static_cast<uint8_t *>(package) + length)};
    {
        std::lock_guard<std::mutex> g(s->m);
        s->events.push_back(p);
    }
    s->cv.notify_all();
    if (s->on_event)
        s->on_event(p);
    return 0;
}

struct Result {
    uint32_t status = 0xFFFFFFFF;
    uint32_t result = 0xFFFFFFFF;
    Package package;
    Reader outputs() const {
        Reader r{package.bytes};
        r.at = INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX;
        return r;
    }
};

class Agent {
  public:
    Agent() {
        handle_ = dlopen(INKAGENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr)
            return;
        far = reinterpret_cast<ClientRegisterFarFunction_t>(
            dlsym(handle_, "ClientRegisterFarFunction"));
        register_result = reinterpret_cast<ClientRegisterCallBackFunction_t>(
            dlsym(handle_, "ClientRegisterResultCallBackFunction"));
        register_event = reinterpret_cast<ClientRegisterCallBackFunction_t>(
            dlsym(handle_, "ClientRegisterEventCallBackFunction"));
        make_event = reinterpret_cast<ClientMakeEventCallBackFunction_t>(
            dlsym(handle_, "ClientMakeEventCallBackFunction"));
        server_connection = reinterpret_cast<ClientRegisterServerConnection_t>(
            dlsym(handle_, "ClientRegisterServerConnection"));
        current_sink = &sink;
        calls_after_removal = 0;
        results_removed = false;
        events_removed = false;
        if (ok()) {
            register_result(on_result);
            register_event(on_event);
        }
    }
    ~Agent() { unload(); }
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    bool ok() const {
        return handle_ != nullptr && far && register_result && register_event && make_event &&
               server_connection;
    }

    // The bridge's way out: callbacks removed, then the library closed.
    void unload() {
        if (handle_ == nullptr)
            return;
        remove_callbacks();
        dlclose(handle_);
        handle_ = nullptr;
    }
    void remove_callbacks() {
        register_result(nullptr);
        results_removed = true;
        register_event(nullptr);
        events_removed = true;
    }

    // Sends raw bytes as one inbound package (total_size as given).
    void send_raw(const Bytes &package, uint32_t total_size) {
        far(reinterpret_cast<const char *>(package.data()), total_size);
    }
    uint32_t next_id(uint32_t function) { return INKAGENT_MESSAGE_ID(++sequence_, function); }

    // Sends a call and waits for the result with its message id.
    Result call(uint32_t function, const Payload &args = {}) {
        uint32_t id = next_id(function);
        Bytes p = call_package(id, args.b);
        send_raw(p, static_cast<uint32_t>(p.size()));
        return wait_result(id);
    }
    Result wait_result(uint32_t id) {
        Result r;
        bool got = sink.wait([&] {
            for (const auto &p : sink.results)
                if (p.bytes.size() >= 8 && p.message_id() == id) {
                    r.package = p;
                    return true;
                }
            return false;
        });
        EXPECT_TRUE(got) << "no result for message id " << std::hex << id;
        if (!got)
            return r;
        EXPECT_EQ(r.package.type(), INKAGENT_TYPE_RESULT);
        EXPECT_EQ(r.package.total(), r.package.bytes.size());
        EXPECT_LE(r.package.bytes.size(), INKAGENT_MAX_OUTBOUND);
        if (r.package.bytes.size() >= INKAGENT_HEADER_SIZE + 8) {
            r.status = inkagent_get_u32(r.package.bytes.data() + INKAGENT_HEADER_SIZE);
            r.result = inkagent_get_u32(r.package.bytes.data() + INKAGENT_HEADER_SIZE + 4);
        }
        return r;
    }

    Sink sink;
    ClientRegisterFarFunction_t far = nullptr;
    ClientRegisterCallBackFunction_t register_result = nullptr;
    ClientRegisterCallBackFunction_t register_event = nullptr;
    ClientMakeEventCallBackFunction_t make_event = nullptr;
    ClientRegisterServerConnection_t server_connection = nullptr;

  private:
    void *handle_ = nullptr;
    uint32_t sequence_ = 0;
};

// A status-0 result whose outputs are exactly a u32.
inline uint32_t single_u32(const Result &r) {
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
    Reader in = r.outputs();
    uint32_t v = in.u32();
    EXPECT_TRUE(in.done()) << "trailing outputs";
    return v;
}

// The text and reply of a text call.
struct TextOut {
    std::string text;
    uint32_t reply = 0;
};
inline TextOut text_out(const Result &r) {
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
    Reader in = r.outputs();
    TextOut t;
    t.text = in.text();
    t.reply = in.u32();
    EXPECT_TRUE(in.done()) << "trailing outputs";
    return t;
}

struct BytesOut {
    Bytes data;
    uint32_t reply = 0;
};
inline BytesOut bytes_out(const Result &r) {
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
    Reader in = r.outputs();
    BytesOut b;
    b.data = in.bytes();
    b.reply = in.u32();
    EXPECT_TRUE(in.done()) << "trailing outputs";
    return b;
}

// A result with nothing after status and result.
inline void expect_no_outputs(const Result &r) {
    EXPECT_EQ(r.package.bytes.size(), INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX);
}

}  // namespace agenttest
