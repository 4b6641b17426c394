// The agent's five entry points. The bridge's receiving thread only copies
// a call into the queue; one worker thread runs the calls in arrival order
// and hands each result to the result callback. The pad library's callback
// threads turn received reports and removed pads into event packages; pads
// that arrive are described by the worker, between calls, because a
// description makes the pad current and must not cut into a call.
//
// The queue is bounded: while it is full, the far function makes the
// bridge's receiving thread wait, so that a client sending faster than its
// calls run is held back by the network rather than by our memory. Nothing
// of a client reaches the bridge once the bridge has said that it is gone:
// results and stream events carry the connection they belong to, and are
// checked against it under the lock of their callback.
#include <pthread.h>

#include <cstring>
#include <deque>
#include <vector>

#include "agent_internal.h"
#include "netbridge/agent.h"

#define AGENT_API extern "C" __attribute__((visibility("default")))

namespace inkagent {

std::atomic<uint64_t> connection{1};

namespace {

// Held for a scope; no return path leaves the mutex locked.
class Guard {
  public:
    explicit Guard(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~Guard() { pthread_mutex_unlock(mutex_); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

  private:
    pthread_mutex_t *mutex_;
};

// The agent's state outlives every destructor of the library: it holds
// nothing that the runtime destroys (the queue lives on the heap exactly as
// long as the worker), so the unload hook below finds everything intact
// whatever order the runtime picks.
//
// Each callback pointer is read and called under its lock, so once a
// registration of NULL has returned the old callback runs nowhere. Recursive:
// a bridge may register from inside its own callback.
pthread_mutex_t result_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
InkagentCallback result_callback = nullptr;
pthread_mutex_t event_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
InkagentCallback event_callback = nullptr;
uint32_t event_sequence = 0;  // under event_lock
// A new client counts events from 0 again.
std::atomic<bool> restart_sequence{false};

// The queue and the worker's life. Nobody calls out of the agent while
// holding queue_lock.
struct Inbound {
    std::vector<uint8_t> bytes;
    uint64_t owner;
};
// Each call holds at most a package's bytes, so this bounds the memory too.
constexpr size_t kMaxQueuedCalls = 64;
pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t queue_cond = PTHREAD_COND_INITIALIZER;
// Signalled whenever a queued call leaves, the connection changes or the
// worker is to stop: a far function waiting for room looks again.
pthread_cond_t room_cond = PTHREAD_COND_INITIALIZER;
std::deque<Inbound> *queue = nullptr;  // exists while worker_running
pthread_t worker;
bool worker_running = false;
bool worker_stop = false;
bool disconnect_pending = false;
uint32_t pending_arrivals = 0;  // bit n: pad n arrived and is not yet announced
// Held by whoever ends the worker and releases the pad library; never taken
// by the worker or on a callback thread.
pthread_mutex_t life_lock = PTHREAD_MUTEX_INITIALIZER;

// The threads inside the bridge's callbacks right now, 0 for none. Each
// callback is called under its lock, so there is at most one of each. Such a
// thread must not wait for the worker or call into the pad library. (Not a
// thread_local: the agent is unloaded while the bridge's threads live on.)
std::atomic<pthread_t> result_caller{0};
std::atomic<pthread_t> event_caller{0};

bool in_bridge_callback() {
    const pthread_t self = pthread_self();
    return pthread_equal(result_caller.load(), self) || pthread_equal(event_caller.load(), self);
}

// Handed over only while the call's client is still the bridge's: the
// check and the call happen under result_lock, which a report of a lost
// connection waits for.
void send_result(const uint8_t *package, size_t size, uint64_t owner) {
    Guard guard(&result_lock);
    if (result_callback == nullptr || owner != connection.load())
        return;
    const pthread_t outer = result_caller.exchange(pthread_self());
    result_callback(const_cast<uint8_t *>(package), static_cast<int>(size));
    result_caller = outer;
}

void execute(const Inbound &call) {
    DecodedCall decoded;
    uint32_t status = decode_call(call.bytes.data(), call.bytes.size(), &decoded);
    ResultWriter out(decoded.message_id);
    size_t size =
        status == INKAGENT_STATUS_OK ? run_call(decoded, call.owner, out) : out.fail(status);
    send_result(out.data(), size, call.owner);
}

void *work(void *) {
    pthread_setname_np(pthread_self(), "inkagent-call");
    pthread_mutex_lock(&queue_lock);
    for (;;) {
        while (!worker_stop && !disconnect_pending && pending_arrivals == 0 && queue->empty())
            pthread_cond_wait(&queue_cond, &queue_lock);
        if (worker_stop)
            break;
        if (disconnect_pending) {
            disconnect_pending = false;
            pthread_mutex_unlock(&queue_lock);
            stop_streams();
            pthread_mutex_lock(&queue_lock);
            continue;
        }
        if (pending_arrivals != 0) {
            const uint32_t arrivals = pending_arrivals;
            pending_arrivals = 0;
            pthread_mutex_unlock(&queue_lock);
            announce_arrivals(arrivals);
            pthread_mutex_lock(&queue_lock);
            continue;
        }
        Inbound call = std::move(queue->front());
        queue->pop_front();
        pthread_cond_broadcast(&room_cond);
        if (call.owner != connection.load())
            continue;
        pthread_mutex_unlock(&queue_lock);
        execute(call);
        pthread_mutex_lock(&queue_lock);
    }
    pthread_mutex_unlock(&queue_lock);
    return nullptr;
}

// Ends the worker and lets go of the pad library. From inside a bridge
// callback (or on the worker) nothing can be waited for; what is left
// happens when the agent is unloaded.
void shut_down() {
    if (in_bridge_callback())
        return;
    // One shutdown at a time: both registrations may see the callbacks gone.
    Guard life(&life_lock);
    bool join = false;
    {
        Guard guard(&queue_lock);
        if (worker_running && pthread_equal(worker, pthread_self()))
            return;
        worker_stop = true;
        pthread_cond_broadcast(&queue_cond);
        pthread_cond_broadcast(&room_cond);
        join = worker_running;
    }
    if (join)
        pthread_join(worker, nullptr);
    {
        Guard guard(&queue_lock);
        delete queue;
        queue = nullptr;
        worker_running = false;
        worker_stop = false;
        disconnect_pending = false;
        pending_arrivals = 0;
    }
    release_pad_library();
}

// Looked at one lock at a time: a bridge may register from inside either
// callback, so neither lock is ever taken while holding the other.
bool callbacks_gone() {
    {
        Guard results(&result_lock);
        if (result_callback != nullptr)
            return false;
    }
    Guard events(&event_lock);
    return event_callback == nullptr;
}

__attribute__((destructor)) void unload() {
    shut_down();
}

}  // namespace

void emit_event(uint8_t *package, size_t size, uint64_t owner) {
    Guard guard(&event_lock);
    if (event_callback == nullptr || (owner != 0 && owner != connection.load()))
        return;
    if (restart_sequence.exchange(false))
        event_sequence = 0;
    // Numbered in the order handed over, so a client sees gaps, not swaps.
    const uint32_t id =
        INKAGENT_MESSAGE_FUNCTION(inkagent_get_u32(package + INKAGENT_OFFSET_MESSAGE_ID));
    inkagent_put_u32(package + INKAGENT_OFFSET_MESSAGE_ID,
                     INKAGENT_MESSAGE_ID(event_sequence++, id));
    const pthread_t outer = event_caller.exchange(pthread_self());
    event_callback(package, static_cast<int>(size));
    event_caller = outer;
}

void note_arrival(uint32_t device) {
    if (device < 1 || device > kMaxDevice)
        return;
    Guard guard(&queue_lock);
    // Only the worker's Initialize registers for arrivals, so it runs, or
    // is ending and the pad library with it.
    if (!worker_running)
        return;
    pending_arrivals |= 1u << device;
    pthread_cond_signal(&queue_cond);
}

}  // namespace inkagent

using namespace inkagent;

AGENT_API void ClientRegisterFarFunction(const char *package, uint32_t total_size) {
    // Copied at once: the bytes are the bridge's and gone after the return.
    // More than fits a package is kept only up to the header, which is
    // enough to answer it as malformed.
    Inbound call;
    const auto *bytes = reinterpret_cast<const uint8_t *>(package);
    if (bytes == nullptr)
        total_size = 0;
    size_t keep = total_size <= INKAGENT_MAX_INBOUND ? total_size : INKAGENT_HEADER_SIZE;
    call.bytes.assign(bytes, bytes + keep);
    if (keep != total_size)
        call.bytes.push_back(0);  // no longer equal to the size in its header
    call.owner = connection.load();

    Guard guard(&queue_lock);
    if (!worker_running) {
        // Without a worker the call cannot run; it is dropped as the bridge
        // drops what it cannot deliver.
        queue = new std::deque<Inbound>;
        if (pthread_create(&worker, nullptr, work, nullptr) != 0) {
            delete queue;
            queue = nullptr;
            return;
        }
        worker_running = true;
    }
    // The bridge's thread waits for room, which only the worker makes; a
    // thread inside our own callbacks may be the worker's, and never waits.
    const bool may_wait = !in_bridge_callback() && !pthread_equal(worker, pthread_self());
    while (may_wait && worker_running && !worker_stop && queue->size() >= kMaxQueuedCalls &&
           call.owner == connection.load())
        pthread_cond_wait(&room_cond, &queue_lock);
    // Its client left, or the worker ended (and the queue with it), while
    // it waited.
    if (!worker_running || worker_stop || call.owner != connection.load())
        return;
    queue->push_back(std::move(call));
    pthread_cond_signal(&queue_cond);
}

AGENT_API void ClientRegisterResultCallBackFunction(InkagentCallback callback) {
    {
        Guard guard(&result_lock);
        result_callback = callback;
    }
    if (callback == nullptr && callbacks_gone())
        shut_down();
}

AGENT_API void ClientRegisterEventCallBackFunction(InkagentCallback callback) {
    {
        Guard guard(&event_lock);
        event_callback = callback;
        if (callback != nullptr)
            event_sequence = 0;
    }
    if (callback == nullptr && callbacks_gone())
        shut_down();
}

AGENT_API void ClientMakeEventCallBackFunction(void) {}

AGENT_API void ClientRegisterServerConnection(int connection_state) {
    if (connection_state != 0)
        return;
    // May come from any thread, inside our own callbacks too: mark, drop
    // what the gone client queued, and leave the streams to the worker.
    {
        Guard guard(&queue_lock);
        ++connection;
        restart_sequence = true;
        if (worker_running) {
            queue->clear();
            disconnect_pending = true;
            pthread_cond_signal(&queue_cond);
        }
        pthread_cond_broadcast(&room_cond);
    }
    // A result or event that was checked against the old connection may
    // still be on its way: once both locks have been free, none is, and the
    // bridge may hand the connection to a new client. Inside a callback we
    // hold one of them and cannot wait (nor need to: the bridge reports from
    // its own threads when it changes clients).
    if (in_bridge_callback())
        return;
    { Guard results(&result_lock); }
    { Guard events(&event_lock); }
}
