// Helpers of the tests of the library's worker threads: a data handler that
// keeps what it was given, and a look at which library threads exist.
#pragma once

#include <pthread.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dev_support.h"
#include "pad_pen.h"
#include "thread_count.h"

namespace devtest {

using namespace std::chrono_literals;

// The library's workers name themselves.
inline int receive_threads() {
    return testutil::count_threads_named("inkport-recv");
}
inline int callback_threads() {
    return testutil::count_threads_named("inkport-cb");
}
inline int upload_threads() {
    return testutil::count_threads_named("inkport-upload");
}
inline int library_threads() {
    return receive_threads() + callback_threads() + upload_threads();
}
// The monitor of pads that come and go runs from Initialize to Deinitialize.
inline int monitor_threads() {
    return testutil::count_threads_named("inkport-plug");
}

inline std::string this_thread_name() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

struct Frame {
    uint32_t device = 0;
    uint32_t end_point = 0;
    uint32_t length = 0;
    std::array<uint8_t, 64> data{};
    std::thread::id thread;
    std::string thread_name;
};

// A data handler that keeps every frame it was given.
struct FrameSink {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Frame> frames;
    std::function<void(const Frame &)>
        also;  // runs on the callback thread, after the frame was kept

    static void callback(void *user, uint32_t device, uint32_t end_point, const uint8_t *data,
                         uint32_t length) {
        auto *self = static_cast<FrameSink *>(user);
        Frame f;
        f.device = device;
        f.end_point = end_point;
        f.length = length;
        memcpy(f.data.data(), data, f.data.size());
        f.thread = std::this_thread::get_id();
        f.thread_name = this_thread_name();
        {
            std::lock_guard<std::mutex> g(self->m);
            self->frames.push_back(f);
        }
        self->cv.notify_all();
        if (self->also)
            self->also(f);
    }
    size_t count() {
        std::lock_guard<std::mutex> g(m);
        return frames.size();
    }
    bool wait_count(size_t n, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, limit, [&] { return frames.size() >= n; });
    }
    std::vector<Frame> snapshot() {
        std::lock_guard<std::mutex> g(m);
        return frames;
    }
};

// A pen stroke of `reports` reports at `rate_hz` (0: back to back).
inline padsim::PenStroke stroke(uint32_t reports, uint32_t rate_hz = 1000) {
    padsim::PenStroke s;
    s.reports = reports;
    s.rate_hz = rate_hz;
    return s;
}

}  // namespace devtest
