// The device handlers. A call takes the record under the slot's lock and
// counts itself in; the handler runs with no lock held. A replacement swaps
// the record under the same lock, so a call sees the old pair or the new
// one, never a mix, and then waits for the calls that took an older record.
#include "device_handlers.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "api_common.h"
#include "wrappers.h"

namespace {

struct Slot {
    std::mutex lock;
    std::condition_variable calls_ended;
    DeviceHandler current;
    uint64_t generation = 0;  // of `current`; one more at each replacement
    int current_calls = 0;    // calls of `current` still running
    int earlier_calls = 0;    // calls of the handlers replaced, still running
};

Slot slots[2];

// Per device number: who told of its removal since it arrived.
constexpr uint8_t kTold = 1;         // anyone, the application's calls included
constexpr uint8_t kLibraryTold = 2;  // the monitor or a receive thread
std::atomic<uint8_t> removal_told[kMaxDevices];
// Device handler calls the thread is inside.
thread_local int calls_on_this_thread = 0;

Slot &slot_of(DeviceEvent event) {
    return slots[event == DeviceEvent::removed ? 0 : 1];
}

}  // namespace

void set_device_handler(DeviceEvent event, DeviceHandler handler, bool wait) {
    Slot &s = slot_of(event);
    std::unique_lock<std::mutex> g(s.lock);
    s.current = handler;
    ++s.generation;
    s.earlier_calls += s.current_calls;
    s.current_calls = 0;
    if (!wait || calls_on_this_thread > 0 || on_library_thread())
        return;
    s.calls_ended.wait(g, [&s] { return s.earlier_calls == 0; });
}

uint32_t store_device_handler(DeviceEvent event, DeviceHandlerFn fn, void *user_specific) {
    set_device_handler(event, {fn, user_specific}, true);
    TRACE_INFO("Pointer %p with user_specific %p was set like callback for catch of %s device",
               reinterpret_cast<void *>(fn), user_specific,
               event == DeviceEvent::removed ? "removing" : "arriving");
    return 0;
}

DeviceHandler device_handler(DeviceEvent event) {
    Slot &s = slot_of(event);
    std::lock_guard<std::mutex> g(s.lock);
    return s.current;
}

void call_device_handler(DeviceEvent event, uint32_t device) {
    Slot &s = slot_of(event);
    DeviceHandler h;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(s.lock);
        h = s.current;
        if (h.fn == nullptr)
            return;
        generation = s.generation;
        ++s.current_calls;
    }
    ++calls_on_this_thread;
    h.fn(h.user_specific, device);
    --calls_on_this_thread;
    bool last_earlier = false;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (generation == s.generation) {
            --s.current_calls;
        } else {
            last_earlier = --s.earlier_calls == 0;
        }
    }
    if (last_earlier)
        s.calls_ended.notify_all();
}

bool removal_to_tell(unsigned int device, RemovalFinder finder) {
    if (device >= kMaxDevices)
        return true;
    std::atomic<uint8_t> &told = removal_told[device];
    switch (finder) {
        case RemovalFinder::application:
            told |= kTold;
            return true;
        case RemovalFinder::receive_thread:
            return ((told.fetch_or(kTold | kLibraryTold)) & kLibraryTold) == 0;
        case RemovalFinder::monitor: {
            uint8_t seen = told.load();
            while ((seen & kTold) == 0)
                if (told.compare_exchange_weak(seen, seen | kTold | kLibraryTold))
                    return true;
            return false;
        }
    }
    return true;
}

void reset_removal_notices(unsigned int device) {
    if (device < kMaxDevices) {
        removal_told[device] = 0;
        return;
    }
    for (auto &told : removal_told)
        told = 0;
}
