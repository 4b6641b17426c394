// Pads plugged in and pulled while the library runs. A private libusb
// context carries one hot-plug callback, which only queues the event; the
// monitor thread sleeps in that context's event handling and does the work
// after each wake-up: describes an arriving pad as the search would, numbers
// it, and calls the arrived handler; marks a leaving pad removed and tells
// the removed handler.
//
// The context is private so that the callback runs on the monitor thread
// only: on the default context any thread's bulk transfer handles events and
// would run it inside that transfer.
//
// Locks: the monitor numbers an arriving pad under dev_switch_lock, as the
// switches read the core table under that lock alone, and takes
// dev_list_short_lock inside it only to look at or change the tables, never
// while it does I/O or waits for anything. A returning pad's handles are
// swapped under each record's device_lock, in place: the records stay where
// the worker threads of the pad hold them. It never makes a pad current.
// The handlers run with no lock held; one that stops the library
// (Deinitialize) makes the monitor end by itself afterwards, since nobody
// can wait for the thread that runs it.
#include "inkport_hotplug.h"

#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "core.h"
#include "core_table.h"
#include "device_handlers.h"
#include "inkport_async.h"
#include "transport.h"
#include "worker_threads.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace {

// A pad's main record and its extra interfaces.
constexpr int kMaxRecords = 1 + kMaxInterfaces;
// The monitor sleeps until an event or its stopper wakes it; the time-out
// only bounds one wait.
constexpr timeval kLongWait = {3600, 0};

struct PlugEvent {
    bool arrived;
    uint16_t vendor_id;
    uint16_t product_id;
    char location[kLocationLength];
};

struct Monitor {
    libusb_context *ctx = nullptr;
    libusb_hotplug_callback_handle callback{};
    pthread_t thread{};
    bool running = false;  // the thread was started; under gen_thread_mutex_lock
    std::atomic<bool> stop{false};
    // Set by a handler on the monitor thread that stopped the library: the
    // thread frees the monitor itself.
    bool disowned = false;
    std::mutex events_lock;
    std::vector<PlugEvent> events;
};

// The running monitor; changed only under gen_thread_mutex_lock.
Monitor *monitor = nullptr;
thread_local Monitor *this_monitor = nullptr;

// On the monitor thread, inside libusb's event handling: queue, nothing else.
int LIBUSB_CALL on_plug(libusb_context *, libusb_device *dev, libusb_hotplug_event event,
                        void *user) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) != 0)
        return 0;
    const auto &all = core_transports();
    if (std::none_of(all.begin(), all.end(), [&](const Transport *t) {
            return t->searches_for(desc.idVendor, desc.idProduct);
        }))
        return 0;
    PlugEvent e{event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, desc.idVendor, desc.idProduct, {}};
    core_usb_location(dev, e.location, sizeof e.location);
    auto *m = static_cast<Monitor *>(user);
    std::lock_guard<std::mutex> guard(m->events_lock);
    m->events.push_back(e);
    return 0;
}

void release_monitor(Monitor *m) {
    libusb_hotplug_deregister_callback(m->ctx, m->callback);
    libusb_exit(m->ctx);
    delete m;
}

// ---- The tables; under dev_list_short_lock ----

// Core slots that carry an API number: the core holds one more pad than the
// API numbers.
int numbered_slots() {
    return std::min(dev_shared->count_of_devices, kMaxApiDevices);
}

bool located_at(const ql_device &rec, const char *location) {
    if (rec.vcom_device != nullptr) {
        char here[kLocationLength];
        core_usb_location(rec.vcom_device, here, sizeof here);
        return strcmp(here, location) == 0;
    }
    size_t n = strlen(location);
    return strncmp(rec.hid_path, location, n) == 0 && rec.hid_path[n] == ':';
}

bool tables_exist() {
    return dev_shared != nullptr && dev_shared_short != nullptr;
}

// The number of the present pad plugged in at `location`, or 0.
unsigned int number_at(const char *location) {
    for (int i = 0; i < numbered_slots(); ++i) {
        const ql_device &slot = dev_shared->devices[i];
        if (slot.in_use && !slot.removed && located_at(slot, location))
            return static_cast<unsigned int>(i + 1);
    }
    return 0;
}

// Where an arriving pad goes.
struct Placement {
    ql_device *slot = nullptr;
    unsigned int number = 0;  // 0: nowhere
    bool returning = false;   // the slot of the pad when it was here before
    bool current = false;     // that slot is the current device
};

// Stores a new pad's records in the first free slot and numbers it. The
// table takes what each stored record owns; a record it cannot take (no
// free interface record) stays the caller's.
Placement store_new_pad(ql_device *recs, int count) {
    Placement p;
    int free_slot = 0;
    while (free_slot < kMaxDevices && dev_shared->devices[free_slot].in_use)
        ++free_slot;
    if (free_slot >= kMaxApiDevices) {
        TRACE_ERROR("no device number left for pad %s", recs[0].szPadSettings);
        return p;
    }
    for (int k = 0; k < count; ++k) {
        if (store_found_interface(dev_shared, recs[k], true))
            recs[k] = ql_device{};
    }
    ql_device &slot = dev_shared->devices[free_slot];
    p.slot = &slot;
    p.number = static_cast<unsigned int>(free_slot + 1);
    short_device &entry = dev_shared_short->devices[p.number];
    snprintf(entry.pad_settings, sizeof entry.pad_settings, "%s", slot.szPadSettings);
    entry.indexed = true;
    dev_shared_short->devices[0].indexed = true;  // the reserved number 0
    ++dev_shared_short->count_of_devices;
    return p;
}

Placement place(ql_device *recs, int count) {
    LOCK_GUARD(guard, &dev_list_short_lock);
    if (!tables_exist())
        return {};
    for (int i = 0; i < numbered_slots(); ++i) {
        ql_device &slot = dev_shared->devices[i];
        if (!slot.in_use || strcmp(slot.szPadSettings, recs[0].szPadSettings) != 0)
            continue;
        if (!slot.removed) {
            // Two pads that cannot be told apart: the search would have
            // taken the second for an interface of the first.
            TRACE_ERROR("pad %s is in the table already", recs[0].szPadSettings);
            return {};
        }
        return {&slot, static_cast<unsigned int>(i + 1), true, dev_shared->current_device == &slot};
    }
    return store_new_pad(recs, count);
}

// The record of a returning pad that stands for its USB interface `number`.
ql_device *record_of_interface(ql_device *pad, uint32_t number) {
    if (pad->interface_number == number)
        return pad;
    for (int k = 0; k < pad->count_of_interfaces - 1 && k < kMaxInterfaces; ++k) {
        ql_device *rec = pad->interfaces != nullptr ? pad->interfaces[k] : nullptr;
        if (rec != nullptr && rec->in_use && rec->interface_number == number)
            return rec;
    }
    return nullptr;
}

// The returning pad's records take the new USB device's place; lock, queues
// and number stay. The old handles, of a device that is gone, are closed
// under each record's lock, which also keeps transfers out meanwhile. True
// once the pad's own record is back. dev_switch_lock held since place(), so
// the pad is current now if and only if it was then.
bool revive(const Placement &p, ql_device *recs, int count) {
    bool back = false;
    for (int k = 0; k < count; ++k) {
        ql_device *rec = record_of_interface(p.slot, recs[k].interface_number);
        if (rec != nullptr) {
            DEVICE_LOCK_GUARD(guard, rec);
            __core_close_dev(rec);
            memcpy(rec->hid_path, recs[k].hid_path, sizeof rec->hid_path);
            std::swap(rec->vcom_device, recs[k].vcom_device);
            rec->endpoint_address_in = recs[k].endpoint_address_in;
            rec->endpoint_address_out = recs[k].endpoint_address_out;
            rec->vcom_in_size = recs[k].vcom_in_size;
            rec->vcom_out_size = recs[k].vcom_out_size;
            if (rec == p.slot) {
                // The current device is open, as a switch leaves it.
                if (p.current && __core_open_dev(rec) != 0)
                    TRACE_ERROR("the returning current pad could not be opened");
                rec->removed = false;
                back = true;
            }
        }
        discard_record(&recs[k]);
    }
    return back;
}

void tell_arrived(unsigned int device) {
    call_device_handler(DeviceEvent::arrived, device);
}

// ---- The monitor thread ----

void pad_arrived(const PlugEvent &e) {
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        if (!tables_exist() || number_at(e.location) != 0)
            return;  // a pad the search found after the monitor began to listen
    }
    ql_device recs[kMaxRecords] = {};
    int count = 0;
    for (const Transport *t : core_transports()) {
        count = t->describe_arrived(e.vendor_id, e.product_id, e.location, recs, kMaxRecords);
        if (count > 0)
            break;
    }
    if (count == 0) {
        TRACE_ERROR("the pad %04x:%04x plugged in at %s could not be described", e.vendor_id,
                    e.product_id, e.location);
        return;
    }
    bool numbered = false;
    Placement p;
    {
        SWITCH_LOCK_GUARD(switching);
        p = place(recs, count);
        numbered = p.returning ? revive(p, recs, count) : p.number != 0;
    }
    for (int k = 0; k < count && !p.returning; ++k)
        discard_record(&recs[k]);
    if (!numbered)
        return;
    reset_removal_notices(p.number);
    TRACE_INFO("pad %u arrived at %s", p.number, e.location);
    tell_arrived(p.number);
}

void pad_left(const PlugEvent &e) {
    unsigned int number = 0;
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        if (!tables_exist())
            return;
        number = number_at(e.location);
        if (number == 0)
            return;
        dev_shared->devices[number - 1].removed = true;
    }
    TRACE_INFO("pad %u left %s", number, e.location);
    // A receive thread finds the mark at its next read and tells itself, or,
    // past its last read, as it stops counting itself as streaming. The
    // mark and the count are sequentially consistent: of the mark and the
    // count, one side sees the other's change.
    if (!receive_thread_streams(number) && removal_to_tell(number, RemovalFinder::monitor))
        tell_removed(number);
}

void *monitor_routine(void *arg) {
    auto *m = static_cast<Monitor *>(arg);
    this_monitor = m;
    // Its handlers' Initialize or Deinitialize give way to a stopper, which
    // waits for this thread.
    mark_library_thread();
    name_worker_thread("inkport-plug");
    while (!m->stop.load() && !m->disowned) {
        timeval wait = kLongWait;
        int r = libusb_handle_events_timeout_completed(m->ctx, &wait, nullptr);
        if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED) {
            TRACE_ERROR("libusb_handle_events_timeout_completed() failed: %s",
                        libusb_error_name(r));
            break;
        }
        std::vector<PlugEvent> events;
        {
            std::lock_guard<std::mutex> guard(m->events_lock);
            events.swap(m->events);
        }
        for (const PlugEvent &e : events) {
            if (m->stop.load() || m->disowned)
                break;
            if (e.arrived)
                pad_arrived(e);
            else
                pad_left(e);
        }
    }
    if (m->disowned) {
        release_monitor(m);
        end_letting_go();
    }
    return nullptr;
}

}  // namespace

void hotplug_listen() {
    reset_removal_notices(kMaxDevices);
    if (monitor != nullptr)
        return;
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        TRACE_INFO("no hot-plug events here: pads are found by Initialize only");
        return;
    }
    auto *m = new Monitor;
    int r = libusb_init(&m->ctx);
    if (r != 0) {
        TRACE_ERROR("libusb_init() of the hot-plug context failed: %s", libusb_error_name(r));
        delete m;
        return;
    }
    r = libusb_hotplug_register_callback(
        m->ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
        LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, on_plug, m,
        &m->callback);
    if (r != LIBUSB_SUCCESS) {
        TRACE_ERROR("libusb_hotplug_register_callback() failed: %s", libusb_error_name(r));
        libusb_exit(m->ctx);
        delete m;
        return;
    }
    monitor = m;
}

void hotplug_start() {
    Monitor *m = monitor;
    if (m == nullptr || m->running)
        return;
    m->running = create_worker_thread(&m->thread, monitor_routine, m);
    if (!m->running) {
        TRACE_ERROR("the hot-plug monitor could not start");
        monitor = nullptr;
        release_monitor(m);
    }
}

void hotplug_stop() {
    Monitor *m = monitor;
    monitor = nullptr;
    if (m == nullptr)
        return;
    if (this_monitor == m) {
        // A later stop on another thread waits for this one to end.
        m->disowned = true;
        pthread_detach(pthread_self());
        begin_letting_go();
        return;
    }
    m->stop = true;
    if (m->running) {
        libusb_interrupt_event_handler(m->ctx);
        Pthread_join(m->thread, nullptr);
    }
    release_monitor(m);
}

extern "C" {

EXPORT uint32_t SetOnDeviceArrivedHandler(void *user_specific,
                                          InkportDeviceArrivedCallback handler) {
    TRACE_SCOPE();
    return store_device_handler(DeviceEvent::arrived, handler, user_specific);
}

EXPORT uint32_t TriggerOnDeviceArrivedEvents(void) {
    TRACE_SCOPE();
    std::vector<unsigned int> present;
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        if (tables_exist()) {
            for (int i = 0; i < numbered_slots(); ++i) {
                const ql_device &slot = dev_shared->devices[i];
                if (slot.in_use && !slot.removed)
                    present.push_back(static_cast<unsigned int>(i + 1));
            }
        }
    }
    for (unsigned int device : present)
        tell_arrived(device);
    return 0;
}

}  // extern "C"
