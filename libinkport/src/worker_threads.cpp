// Worker threads: creation under the hold, names, and the workers that let
// go of the library.
#include "worker_threads.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "wrappers.h"

namespace {

constexpr size_t kWorkerStack = 1024 * 1024;

std::mutex worker_hold_lock;
int worker_hold = 0;

// Workers that stopped the library from their own callback and still run
// (in that callback, or on their way out): nobody joins them, but a later
// stop waits for them, so that no callback runs once it has returned.
std::mutex letting_go_lock;
std::condition_variable letting_go_changed;
int letting_go = 0;
thread_local bool this_thread_lets_go = false;

}  // namespace

void hold_worker_threads() {
    std::lock_guard<std::mutex> g(worker_hold_lock);
    ++worker_hold;
}

void release_worker_threads() {
    std::lock_guard<std::mutex> g(worker_hold_lock);
    --worker_hold;
}

bool create_worker_thread(pthread_t *thread, void *(*routine)(void *), void *arg) {
    // Created under the hold lock: once the workers are held, every worker
    // that exists is already where its stopper will look for it.
    std::lock_guard<std::mutex> g(worker_hold_lock);
    if (worker_hold > 0) {
        TRACE_ERROR("worker threads are being stopped");
        return false;
    }
    pthread_attr_t attr;
    int r = pthread_attr_init(&attr);
    if (r == 0) {
        r = pthread_attr_setstacksize(&attr, kWorkerStack);
        if (r == 0)
            r = pthread_create(thread, &attr, routine, arg);
        int d = pthread_attr_destroy(&attr);
        if (r == 0 && d != 0)
            TRACE_ERROR("pthread_attr_destroy() returned %d", d);
    }
    if (r != 0) {
        TRACE_ERROR("pthread_create() returned %d", r);
        return false;
    }
    return true;
}

void name_worker_thread(const char *name) {
    pthread_setname_np(pthread_self(), name);
}

void begin_letting_go() {
    std::lock_guard<std::mutex> g(letting_go_lock);
    ++letting_go;
    this_thread_lets_go = true;
}

void end_letting_go() {
    if (!this_thread_lets_go)
        return;
    std::lock_guard<std::mutex> g(letting_go_lock);
    --letting_go;
    letting_go_changed.notify_all();
}

void wait_for_threads_letting_go() {
    const int self = this_thread_lets_go ? 1 : 0;
    std::unique_lock<std::mutex> g(letting_go_lock);
    letting_go_changed.wait(g, [self] { return letting_go <= self; });
}
