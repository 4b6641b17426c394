// A stand-in for the agent library, for the bridges' tests and benchmarks.
// It answers every call with one result that carries the call's message id
// and data, emits events from a thread of its own on request, and counts
// what the bridge did to it. Built also without one of its five entries
// (OMIT_ENTRY = 1..5) for the bridges' load failures.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "echo_agent.h"
#include "netbridge/agent.h"

#ifndef OMIT_ENTRY
#define OMIT_ENTRY 0
#endif

#define AGENT_API extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<InkagentCallback> result_callback{nullptr};
std::atomic<InkagentCallback> event_callback{nullptr};

std::atomic<int> far_calls{0};
std::atomic<int> results_sent{0};
std::atomic<int> results_refused{0};
std::atomic<int> no_connection_reports{0};
std::atomic<int> registrations{0};
std::atomic<int> removals{0};

pthread_mutex_t last_call_lock = PTHREAD_MUTEX_INITIALIZER;
char last_call[65536];
uint32_t last_call_size = 0;
const void *last_call_address = nullptr;

// One emission at a time; joined before the event callback goes away, so
// that the agent never calls a bridge that may be unloading.
pthread_mutex_t emitter_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t emitter_cond = PTHREAD_COND_INITIALIZER;
pthread_t emitter_thread;
bool emitter_joinable = false;
bool emitter_finished = true;
std::atomic<bool> emitter_stop{false};
int emit_count = 0;
int emit_size = 0;
uint32_t emit_message_id = 0;
int emitted = 0;
int emit_last_result = 0;

void put_le32(char *at, uint32_t value) {
    memcpy(at, &value, sizeof value);
}

void *emit_events(void *) {
    pthread_mutex_lock(&emitter_lock);
    const int count = emit_count;
    const int size = emit_size;
    const uint32_t message_id = emit_message_id;
    pthread_mutex_unlock(&emitter_lock);

    std::vector<char> package(static_cast<size_t>(size > 34 ? size : 34), 0);
    put_le32(package.data() + 4, message_id);
    put_le32(package.data() + 8, static_cast<uint32_t>(size));
    for (size_t i = 34; i < package.size(); ++i)
        package[i] = static_cast<char>(i);
    int written = 0;
    int last = 0;
    for (int i = 0; i < count && !emitter_stop.load(); ++i) {
        InkagentCallback callback = event_callback.load();
        if (callback == nullptr)
            break;
        last = callback(package.data(), size);
        if (last != 0)
            break;
        ++written;
    }
    pthread_mutex_lock(&emitter_lock);
    emitted = written;
    emit_last_result = last;
    emitter_finished = true;
    pthread_cond_broadcast(&emitter_cond);
    pthread_mutex_unlock(&emitter_lock);
    return nullptr;
}

void join_emitter() {
    emitter_stop = true;
    pthread_mutex_lock(&emitter_lock);
    const bool joinable = emitter_joinable;
    emitter_joinable = false;
    pthread_mutex_unlock(&emitter_lock);
    if (joinable)
        pthread_join(emitter_thread, nullptr);
}

void note_registration(InkagentCallback callback) {
    if (callback != nullptr)
        ++registrations;
    else
        ++removals;
}

}  // namespace

#if OMIT_ENTRY != 1
AGENT_API void ClientRegisterFarFunction(const char *package, uint32_t total_size) {
    ++far_calls;
    pthread_mutex_lock(&last_call_lock);
    last_call_size = total_size;
    last_call_address = package;
    memcpy(last_call, package, total_size < sizeof last_call ? total_size : sizeof last_call);
    pthread_mutex_unlock(&last_call_lock);

    uint32_t message_id;
    memcpy(&message_id, package + 4, sizeof message_id);
    if ((message_id & 0xFF) == ECHO_AGENT_SILENT_FUNCTION)
        return;
    InkagentCallback callback = result_callback.load();
    if (callback == nullptr)
        return;
    if ((message_id & 0xFF) == ECHO_AGENT_LATE_FUNCTION) {
        std::thread([answer = std::vector<char>(package, package + total_size)]() mutable {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (InkagentCallback later = result_callback.load())
                later(answer.data(), static_cast<int>(answer.size()));
        }).detach();
        return;
    }
    // The call's own bytes are the answer: same message id, same data.
    if (callback(const_cast<char *>(package), static_cast<int>(total_size)) == 0)
        ++results_sent;
    else
        ++results_refused;
    if ((message_id & 0xFF) == ECHO_AGENT_STALL_FUNCTION) {
        struct timespec stall = {30, 0};
        while (nanosleep(&stall, &stall) != 0 && errno == EINTR) {
        }
    }
}
#endif

#if OMIT_ENTRY != 2
AGENT_API void ClientRegisterResultCallBackFunction(InkagentCallback callback) {
    note_registration(callback);
    result_callback = callback;
}
#endif

#if OMIT_ENTRY != 3
AGENT_API void ClientRegisterEventCallBackFunction(InkagentCallback callback) {
    note_registration(callback);
    if (callback == nullptr)
        join_emitter();
    event_callback = callback;
}
#endif

#if OMIT_ENTRY != 4
AGENT_API void ClientMakeEventCallBackFunction(void) {}
#endif

#if OMIT_ENTRY != 5
AGENT_API void ClientRegisterServerConnection(int connection) {
    if (connection == 0)
        ++no_connection_reports;
}
#endif

AGENT_API void echo_agent_counters(struct EchoAgentCounters *out) {
    out->far_calls = far_calls;
    out->results_sent = results_sent;
    out->results_refused = results_refused;
    out->no_connection_reports = no_connection_reports;
    out->registrations = registrations;
    out->removals = removals;
}

AGENT_API int echo_agent_last_call(char *buffer, int capacity, uint32_t *size,
                                   const void **address) {
    pthread_mutex_lock(&last_call_lock);
    uint32_t n = last_call_size < sizeof last_call ? last_call_size : sizeof last_call;
    if (n > static_cast<uint32_t>(capacity))
        n = static_cast<uint32_t>(capacity);
    memcpy(buffer, last_call, n);
    *size = last_call_size;
    *address = last_call_address;
    pthread_mutex_unlock(&last_call_lock);
    return static_cast<int>(n);
}

AGENT_API int echo_agent_emit_events(int count, int size, uint32_t message_id) {
    pthread_mutex_lock(&emitter_lock);
    if (!emitter_finished) {
        pthread_mutex_unlock(&emitter_lock);
        return -1;
    }
    pthread_mutex_unlock(&emitter_lock);
    join_emitter();
    pthread_mutex_lock(&emitter_lock);
    emit_count = count;
    emit_size = size;
    emit_message_id = message_id;
    emitted = 0;
    emit_last_result = 0;
    emitter_finished = false;
    emitter_stop = false;
    int rc = pthread_create(&emitter_thread, nullptr, emit_events, nullptr);
    emitter_joinable = rc == 0;
    if (rc != 0)
        emitter_finished = true;
    pthread_mutex_unlock(&emitter_lock);
    return rc == 0 ? 0 : -1;
}

AGENT_API int echo_agent_wait_events(int timeout_ms, int *written, int *last_result) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&emitter_lock);
    int rc = 0;
    while (!emitter_finished && rc != ETIMEDOUT)
        rc = pthread_cond_clockwait(&emitter_cond, &emitter_lock, CLOCK_MONOTONIC, &deadline);
    const bool finished = emitter_finished;
    *written = emitted;
    *last_result = emit_last_result;
    pthread_mutex_unlock(&emitter_lock);
    return finished ? 0 : -1;
}
