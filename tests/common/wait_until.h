// Waiting in tests for what nobody signals: a thread that ends, what /proc
// shows, an emulator's or a child process's state.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include <unistd.h>

namespace testutil {

// Polls `done` every two milliseconds until it holds; false once `limit` has
// passed. The limit is generous: nothing here measures time.
inline bool wait_until(const std::function<bool()> &done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs f on its own thread; false when it has not returned within `limit`
// (the thread is then left behind: the test has failed anyway).
inline bool returns_within(std::function<void()> f,
                           std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(f));
    auto done = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    return done.wait_for(limit) == std::future_status::ready;
}

// The same for a call that may deadlock: one that has not returned in time
// ends the test program with a failure, rather than leave it hanging.
inline void must_return_within(const char *what, std::function<void()> f,
                               std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    if (returns_within(std::move(f), limit))
        return;
    fprintf(stderr, "FAILED: %s did not return within %lld ms\n", what,
            static_cast<long long>(limit.count()));
    fflush(stdout);
    _exit(1);
}

}  // namespace testutil
