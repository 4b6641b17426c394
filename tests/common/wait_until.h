// Waiting in tests for what nobody signals: a thread that ends, what /proc
// shows, an emulator's or a child process's state.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

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

}  // namespace testutil
