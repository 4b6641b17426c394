// A stand-in agent for the virtual driver's threading tests, built as
// libinkagent.so. Unlike the echo agent, it answers calls from a thread of
// its own, so results reach the driver off the engine's thread while the
// engine polls; and it lets a test report results and events from threads of
// the test's own and see when the driver has removed its callbacks.
//
// Like an agent that takes its callback pointer under a lock and calls it
// after letting go, it may call a callback the driver has just removed: the
// driver must cope with that.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#define AGENT_EXPORT extern "C" __attribute__((visibility("default")))

using Callback = int (*)(void *, int);

namespace {

std::mutex lock;
std::condition_variable changed;
Callback result_callback = nullptr;
Callback event_callback = nullptr;
int removals = 0;

std::deque<std::vector<char>> pending;
std::thread worker;
bool worker_running = false;
bool worker_stop = false;

void worker_main() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [] { return worker_stop || !pending.empty(); });
        if (pending.empty())
            return;
        std::vector<char> package = std::move(pending.front());
        pending.pop_front();
        Callback callback = result_callback;
        guard.unlock();
        if (callback != nullptr)
            callback(package.data(), static_cast<int>(package.size()));
        guard.lock();
    }
}

Callback current(Callback &which) {
    std::lock_guard<std::mutex> guard(lock);
    return which;
}

}  // namespace

AGENT_EXPORT void ClientRegisterFarFunction(const char *package, uint32_t total_size) {
    std::vector<char> copy(package, package + total_size);
    std::unique_lock<std::mutex> guard(lock);
    if (worker_running) {
        pending.push_back(std::move(copy));
        changed.notify_all();
        return;
    }
    Callback callback = result_callback;
    guard.unlock();
    if (callback != nullptr)
        callback(copy.data(), static_cast<int>(copy.size()));
}

AGENT_EXPORT void ClientRegisterResultCallBackFunction(Callback callback) {
    std::lock_guard<std::mutex> guard(lock);
    result_callback = callback;
    if (callback == nullptr)
        removals++;
    changed.notify_all();
}

AGENT_EXPORT void ClientRegisterEventCallBackFunction(Callback callback) {
    std::lock_guard<std::mutex> guard(lock);
    event_callback = callback;
    changed.notify_all();
}

AGENT_EXPORT void ClientMakeEventCallBackFunction(void) {}

AGENT_EXPORT void ClientRegisterServerConnection(int) {}

// Answers calls from the agent's own thread (on) or from within the call.
// Switching off waits for the answers still pending.
AGENT_EXPORT void probe_answer_from_thread(bool on) {
    std::unique_lock<std::mutex> guard(lock);
    if (on && !worker_running) {
        worker_stop = false;
        worker_running = true;
        worker = std::thread(worker_main);
    } else if (!on && worker_running) {
        worker_stop = true;
        worker_running = false;
        changed.notify_all();
        guard.unlock();
        worker.join();
    }
}

// Waits until the result callback has been removed since the last call.
AGENT_EXPORT bool probe_wait_removed(int milliseconds) {
    std::unique_lock<std::mutex> guard(lock);
    bool removed = changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                    [] { return result_callback == nullptr && removals > 0; });
    removals = 0;
    return removed;
}

// Report through the registered callbacks from the calling thread; -1 when
// none is registered.
AGENT_EXPORT int probe_emit_event(const char *package, int length) {
    Callback callback = current(event_callback);
    return callback ? callback(const_cast<char *>(package), length) : -1;
}

AGENT_EXPORT int probe_emit_result(const char *package, int length) {
    Callback callback = current(result_callback);
    return callback ? callback(const_cast<char *>(package), length) : -1;
}
