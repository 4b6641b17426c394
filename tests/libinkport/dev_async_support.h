// Helpers of the tests of the library's worker threads: a data handler that
// keeps what it was given, and a look at which library threads exist.
#pragma once

#include <dirent.h>
#include <pthread.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dev_support.h"
#include "pad_pen.h"

namespace devtest {

using namespace std::chrono_literals;

// Names of the threads of this process, from /proc.
inline std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return names;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name))
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

inline int count_threads(const std::string &name) {
    int n = 0;
    for (const auto &t : thread_names())
        if (t == name)
            ++n;
    return n;
}

// The library's workers name themselves.
inline int receive_threads() {
    return count_threads("inkport-recv");
}
inline int callback_threads() {
    return count_threads("inkport-cb");
}
inline int upload_threads() {
    return count_threads("inkport-upload");
}
inline int library_threads() {
    return receive_threads() + callback_threads() + upload_threads();
}

inline std::string this_thread_name() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Waits until `done` holds, looking again every millisecond; false when it
// did not within `limit`. For conditions nobody can signal (threads ending,
// what /proc shows).
inline bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The library's workers call back into objects of the test body. Declared
// after those objects, this stops the workers (Deinitialize waits for each)
// before the objects go, on every way out of the test.
struct DeinitializeFirst {
    DeinitializeFirst() = default;
    DeinitializeFirst(const DeinitializeFirst &) = delete;
    DeinitializeFirst &operator=(const DeinitializeFirst &) = delete;
    ~DeinitializeFirst() { Deinitialize(); }
};

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
