// Shared pieces of the virtual driver's tests: the engine that drives the
// driver, call packages as the remote side sends them, and header fields
// read by offset, independently of the bridge's own header struct.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "ica_engine.h"

namespace vlink_test {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

constexpr uint16_t kEvent = 1;
constexpr uint16_t kResult = 2;
constexpr uint16_t kVersion = 10001;
constexpr int kHeader = 34;

template <typename T>
T field(const void *package, size_t offset) {
    T value;
    memcpy(&value, static_cast<const char *>(package) + offset, sizeof value);
    return value;
}
inline uint16_t type_of(const std::vector<uint8_t> &p) {
    return field<uint16_t>(p.data(), 0);
}
inline uint16_t version_of(const std::vector<uint8_t> &p) {
    return field<uint16_t>(p.data(), 2);
}
inline uint32_t message_id_of(const std::vector<uint8_t> &p) {
    return field<uint32_t>(p.data(), 4);
}
inline uint32_t total_size_of(const std::vector<uint8_t> &p) {
    return field<uint32_t>(p.data(), 8);
}
inline uint32_t length_of(const std::vector<uint8_t> &p) {
    return field<uint32_t>(p.data(), 12);
}
inline uint16_t package_id_of(const std::vector<uint8_t> &p) {
    return field<uint16_t>(p.data(), 16);
}

// A call package as the remote side sends it: a type, version and package
// id of its own, and `size` bytes in all.
inline std::vector<uint8_t> make_package(uint32_t message_id, size_t size, uint8_t fill = 0x5A) {
    std::vector<uint8_t> p(size, fill);
    auto put = [&](size_t offset, auto value) { memcpy(p.data() + offset, &value, sizeof value); };
    put(0, uint16_t{7});
    put(2, uint16_t{3});
    put(4, message_id);
    put(8, static_cast<uint32_t>(size));
    put(12, uint32_t{0});
    put(16, uint16_t{0x4242});
    for (size_t i = kHeader; i < size; i++)
        p[i] = static_cast<uint8_t>(fill + i);
    return p;
}

inline std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Raised once by one thread, awaited by another.
class OneShotFlag {
  public:
    void raise() {
        std::lock_guard<std::mutex> guard(lock_);
        raised_ = true;
        changed_.notify_all();
    }
    bool wait_for(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, limit, [this] { return raised_; });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool raised_ = false;
};

// The agent's own test controls, reached in the instance the driver loaded.
class AgentControls {
  public:
    bool load() {
        handle_ = dlopen("libinkagent.so", RTLD_NOW);
        return handle_ != nullptr;
    }
    template <typename Fn>
    Fn get(const char *name) {
        return reinterpret_cast<Fn>(dlsym(handle_, name));
    }

  private:
    void *handle_ = nullptr;
};

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(engine.load(VLINK_PATH)) << engine.error(); }

    template <typename T>
    T *symbol(const char *name) {
        return reinterpret_cast<T *>(engine.symbol(name));
    }
    int send_data(const std::vector<uint8_t> &bytes, uint16_t length) {
        return symbol<int(const char *, uint16_t, uint16_t)>("DriverSendData")(
            reinterpret_cast<const char *>(bytes.data()), length, 1);
    }
    // The driver's callbacks, called as an agent's thread would.
    int report_result(std::vector<uint8_t> package) {
        return symbol<int(void *, int)>("DriverResultProcessorFunction")(
            package.data(), static_cast<int>(package.size()));
    }
    int report_event(std::vector<uint8_t> package) {
        return symbol<int(void *, int)>("DriverEventProcessorFunction")(
            package.data(), static_cast<int>(package.size()));
    }
    int deliver(const std::vector<uint8_t> &bytes, size_t chunk) {
        return engine.deliver(bytes.data(), bytes.size(), chunk);
    }
    // Opens the channel and spends the first poll, which only clears its flag.
    void open_and_poll_once() {
        ASSERT_EQ(engine.open(), 0);
        ASSERT_EQ(engine.poll(), 21);
    }

    IcaEngine engine;
};

}  // namespace vlink_test
