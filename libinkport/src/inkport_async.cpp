// Asynchronous input delivery: per device and end point, a receive thread
// that polls the pad's input reports into the end point's frame queue, and a
// callback thread that hands each queued report to the application's handler.
//
// Locks, in the order they may nest: dev_list_short_lock, then an end point's
// processing_input_report_callback_lock, then its frame queue. An end point's
// info_lock is never taken together with dev_list_short_lock: it serialises
// the starting and stopping of the end point's receive thread, and a stopper
// holds it while it joins the thread. The receive thread itself takes
// dev_list_short_lock to make its pad current, so nobody waits for a worker
// while holding dev_list_short_lock.
//
// Application code (the data handler, the removed handler, the logging
// callback) runs only with none of these locks held by its thread. A removed
// handler on a receive thread may run while a stopper holds info_lock and
// waits for that thread: a stop asked from the thread itself therefore only
// tells it to leave its loop, and a restart from it is refused; Deinitialize
// from there makes the thread finish and free itself.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core.h"
#include "core_ssp.h"
#include "inkport_async.h"
#include "ssp_common.h"
#include "uni_queue.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

using namespace std::chrono_literals;

namespace {

// Every frame is a whole report buffer: the payload, then zero bytes.
constexpr unsigned int kFrameSize = 64;
constexpr size_t kWorkerStack = 1024 * 1024;

constexpr std::chrono::microseconds kReceivePause = 500us;
constexpr std::chrono::microseconds kReceiveErrorPause = 900ms;
constexpr std::chrono::microseconds kDeliveryFirstStep = 1500us;
constexpr std::chrono::microseconds kDeliveryMaxStep = 300ms;
constexpr std::chrono::microseconds kDeliveryRetryPause = 500ms;

}  // namespace

// The receive thread's record, owned by the end point's slot while the thread
// lives and freed by the stopper that joins the thread.
struct receive_info {
    pthread_t thread{};
    std::atomic<int> run{1};  // 0: leave the loop; the thread has not ended yet
    uni_queue *queue = nullptr;
    unsigned int device = 0;
    unsigned int interface_number = 0;
    OneShot start_info_lock;  // raised once the pad was asked to send data
    OneShot pause;            // raised by the stopper: cuts the thread's pause short
    // Only the thread itself touches these: set when the library was
    // stopped from one of its callbacks (see disown_this_receive_thread).
    bool shut_down = false;  // its pad was already switched off
    bool disowned = false;   // out of the slot: the thread frees its record
};

namespace {

// The callback thread's record, freed by whoever joins the thread: the next
// SetOnDataReceivedHandler for the end point, or Deinitialize.
struct pirc_info {
    pthread_t thread{};
    unsigned int device = 0;
    unsigned int interface_number = 0;
    OneShot start_info_lock;
    std::atomic<bool> quit{false};
};

// What the callback thread of an end point waits on between frames: the
// receive thread raises the doorbell for every queued frame, a stopper to make
// it look at its handler again. Lives for the whole process, like the table
// slots.
struct DeliverySlot {
    // The end point's callback thread, running or ended but not joined yet.
    // Guarded by the slot's processing_input_report_callback_lock.
    pirc_info *record = nullptr;
    OneShot doorbell;
};

DeliverySlot delivery_slots[kMaxDevices][kMaxInterfaces];

thread_local receive_info *this_receive_thread = nullptr;
// Set once the receive thread is past its start-up, which it does on the
// application's behalf: from then on it finds a removal as a library
// thread does (see removal_to_tell).
thread_local bool this_thread_streams = false;
// Receive threads past their start-up, per device, until their shut-down
// is over.
std::atomic<int> streaming_threads[kMaxDevices];

std::mutex worker_hold_lock;
int worker_hold = 0;

bool is_this_receive_thread(unsigned int device, unsigned int end_point) {
    const receive_info *self = this_receive_thread;
    return self != nullptr && self->device == device && self->interface_number == end_point;
}

void request_stop(receive_info *rec) {
    rec->run = 0;
    rec->pause.raise();
}

// ---- Argument checks shared by the four calls ----

enum class SlotCheck { ok, no_table, bad_device, bad_end_point };

// Under dev_list_short_lock.
SlotCheck check_slot(unsigned int device, unsigned int end_point) {
    if (dev_shared_short == nullptr)
        return SlotCheck::no_table;
    if (device >= kMaxDevices)
        return SlotCheck::bad_device;
    if (end_point >= kMaxInterfaces)
        return SlotCheck::bad_end_point;
    return SlotCheck::ok;
}

uint32_t report_slot_check(ApiSite site, SlotCheck c, unsigned int device, unsigned int end_point) {
    switch (c) {
        case SlotCheck::ok:
            return 0;
        case SlotCheck::no_table:
            return api_fail(
                site, QLPCEC_INVALID_PARAMETER,
                " Internal variable dev_shared_short is NULL.. Use Initialize() first.");
        case SlotCheck::bad_device:
            return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                            "Incorrect input value device: ", device);
        case SlotCheck::bad_end_point:
            // The table has eight end points per pad; nothing beyond is touched.
            return api_fail(site, QLPCEC_INVALID_PARAMETER, "%s%d",
                            "Incorrect input value end_point_id: ", end_point);
    }
    return 0;
}

// Runs f(slot) under dev_list_short_lock when the arguments pass; reports the
// failing check once the lock is released.
template <class F>
uint32_t with_slot(ApiSite site, unsigned int device, unsigned int end_point, F &&f) {
    SlotCheck c;
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        c = check_slot(device, end_point);
        if (c == SlotCheck::ok)
            f(dev_shared_short->devices[device].interfaces[end_point]);
    }
    return report_slot_check(site, c, device, end_point);
}

// The slot of an indexed pad, or null. Slots live in static storage, so the
// pointer stays valid after dev_list_short_lock is released. Stopping is
// asked of every slot, indexed or not: only a start traces the refusal.
short_interface *indexed_slot(const char *func, unsigned int device, unsigned int end_point,
                              bool starting) {
    LOCK_GUARD(guard, &dev_list_short_lock);
    const char *why = nullptr;
    if (dev_shared_short == nullptr)
        why = "dev_shared_short is NULL.. Use Initialize() first.";
    else if (device >= kMaxDevices || end_point >= kMaxInterfaces)
        why = "Error: incorrect device value: %d";
    else if (!dev_shared_short->devices[device].indexed)
        why = "Device %d is not indexed";
    if (why == nullptr)
        return &dev_shared_short->devices[device].interfaces[end_point];
    if (starting)
        trace_error(__FILE_NAME__, __LINE__, func, false, why, device);
    return nullptr;
}

void clear_queue(uni_queue *queue) {
    if (queue == nullptr)
        return;
    quiet_lock_queue(queue);
    clear_uni_queue(queue);
    quiet_unlock_queue(queue);
}

// ---- Steps on the pad named by `device` ----

// The outcome of a step that had to make its pad current first.
struct PadStep {
    int switched = 0;  // set_dev_to_current: 0, or why the pad could not be made current
    int removed = 0;   // -20 when the switch found the pad gone
    int result = 0;    // the step's own result, when switched is 0
};

// Makes `device` current and runs step() on it, both under
// dev_list_short_lock, so that no other switch comes between them.
template <class F>
PadStep on_pad(unsigned int device, F &&step) {
    PadStep out;
    LOCK_GUARD(guard, &dev_list_short_lock);
    if (dev_shared_short == nullptr) {
        TRACE_ERROR("dev_shared_short is NULL.. Use Initialize() first.");
        out.switched = -1;
        return out;
    }
    // Always ask the core: the pad the table calls current may not be the
    // one the core last used.
    out.switched = set_dev_to_current(device, 1);
    if (out.switched < 0) {
        int r = -1;
        core_catch_is_dev_was_removed(&r);
        out.removed = r;
    } else if (out.switched == 0) {
        out.result = step();
    }
    return out;
}

// The failures of a switch that the caller reports once its locks are gone.
uint32_t report_switch(ApiSite site, const PadStep &s, unsigned int device,
                       unsigned int end_point) {
    if (s.switched < 0) {
        catch_removing_device(s.removed, device, end_point);
        return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of switching to device: ", device);
    }
    if (s.switched == 1)
        return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d", "Can not switch to device: ", device);
    return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                    "static function set_dev_to_current() return unexpected value: ", s.switched);
}

// The receive thread's start-up and shut-down: switch, then the biodata
// switch (VCOM pads stream pen data only while it is on; HID pads stream
// input reports without it).
void report_pad_step(ApiSite site, const PadStep &s, unsigned int device, unsigned int end_point) {
    if (s.switched != 0) {
        report_switch(site, s, device, end_point);
        return;
    }
    if (s.result < 0) {
        catch_removing_device(s.result, device, end_point);
        api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                 "Error of send ssp message for device: ", device);
    }
}

// ---- The receive thread ----

// The core record of the pad at API index `device`, found by its settings
// as a switch finds it, without making it current; null when there is none.
// Under dev_list_short_lock.
ql_device *pad_record_locked(unsigned int device) {
    if (dev_shared_short == nullptr || dev_shared == nullptr || device >= kMaxDevices)
        return nullptr;
    const short_device &entry = dev_shared_short->devices[device];
    if (!entry.indexed || entry.pad_settings[0] == '\0')
        return nullptr;
    for (int i = 0; i < dev_shared->count_of_devices && i < kMaxDevices; ++i)
        if (strncmp(dev_shared->devices[i].szPadSettings, entry.pad_settings, kMaxStringLength) ==
            0)
            return &dev_shared->devices[i];
    return nullptr;
}

bool is_open(const ql_device *rec) {
    return rec->hid != nullptr || rec->vcom_handle != nullptr;
}

// The input report size of an open pad (a closed one is opened), or -1.
int input_size(ql_device *pad) {
    if (!is_open(pad) && core_open_dev(pad) != 0)
        return -1;
    return core_packet_size(pad, true);
}

// The record of interface `end_point` of `pad`, opened if it is not; null
// (traced) when the pad has no such interface or it cannot be opened. Under
// dev_list_short_lock.
ql_device *interface_record(ql_device *pad, unsigned int end_point) {
    if (end_point == 0)
        return pad;
    if (static_cast<int>(end_point) > pad->count_of_interfaces || pad->interfaces == nullptr ||
        pad->interfaces[end_point - 1] == nullptr) {
        TRACE_ERROR("Error of using interface with number: %d", end_point);
        return nullptr;
    }
    ql_device *rec = pad->interfaces[end_point - 1];
    if (!is_open(rec) && core_open_dev(rec) != 0) {
        TRACE_ERROR("Error of using interface with number: %d", end_point);
        return nullptr;
    }
    return rec;
}

// The reopen closed the pad's extra interfaces; the one this thread reads is
// opened again now rather than by its first read.
void open_extra_interface(unsigned int end_point) {
    ql_device *dev = dev_shared != nullptr ? dev_shared->current_device : nullptr;
    if (end_point == 0 || dev == nullptr || dev->interfaces == nullptr ||
        static_cast<int>(end_point) >= dev->count_of_interfaces)
        return;
    ql_device *rec = dev->interfaces[end_point - 1];
    if (rec != nullptr && rec->in_use && rec->hid == nullptr && rec->vcom_handle == nullptr)
        core_open_dev(rec);
}

}  // namespace

uint32_t read_file(unsigned int device, unsigned int end_point, void *dst, unsigned int dst_length,
                   unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = check_buffer(API_SITE, reply, false, dst, dst_length, 1))
        return h;
    *reply = 0;

    // The pad is looked up, not made current: a switch reopens the pad it
    // switches to, which would drop the reports the transport holds, and
    // would redirect the calls of an application thread that made another
    // pad current for its own call. The look-up and the size query happen
    // under dev_list_short_lock (a stopper does not hold it while it waits
    // for this thread); the read itself, which may wait, after it.
    ql_device *pad = nullptr;
    ql_device *rec = nullptr;
    PadStep s;
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        pad = pad_record_locked(device);
        if (pad == nullptr) {
            s.switched = 1;
        } else if (pad->removed) {
            s.switched = -1;
            s.removed = kCoreRemoved;
        } else {
            s.result = input_size(pad);
            if (s.result >= 0)
                rec = interface_record(pad, end_point);
        }
    }
    if (s.switched != 0)
        return report_switch(API_SITE, s, device, end_point);

    int size = s.result;
    if (size < 0) {
        api_error(API_SITE,
                  "Error, function QLPAD_ql_ioctl(QL_IOCTL_GET_MAX_PACKET_SIZE_OF_OUT_ENDPOINT, "
                  "char *) return %d",
                  size);
        catch_removing_device(size, device, end_point);
        return API_FAIL(QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of getting max packet size of hid interfaces for device: ", device);
    }
    // A HID read returns one whole report of that size. A VCOM pad's input
    // comes as legacy messages of at most 64 bytes, whatever its bulk IN
    // size, and often fewer: any count up to that is one report.
    if (size > static_cast<int>(kFrameSize))
        size = static_cast<int>(kFrameSize);
    auto *scratch = static_cast<uint8_t *>(Calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
    int r = -1;
    if (rec != nullptr && size > 0) {
        r = core_input_read(rec, scratch, static_cast<unsigned int>(size));
        if (r < 0 && pad->removed)
            r = kCoreRemoved;
    }
    if (r < 0 || r > size) {
        free(scratch);
        catch_removing_device(r, device, end_point);
        return API_FAIL(QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of read HID input report for device: ", device);
    }
    if (r > 0) {
        auto count = static_cast<unsigned int>(r);
        if (count > dst_length)
            api_error(API_SITE, "Error, dst_length %d < %d (current size of packet)", dst_length,
                      r);
        unsigned int copied = count < dst_length ? count : dst_length;
        memcpy(dst, scratch, copied);
        *reply = copied;
    }
    free(scratch);
    return 0;
}

namespace {

// The receive thread's shut-down on its pad: biodata off, its input dropped.
PadStep switch_pad_off(unsigned int device) {
    return on_pad(device, [] {
        int r = core_disable_ssp_biodata_sending();
        core_clear_ssp_input_queue();
        return r;
    });
}

void *start_routine(void *arg) {
    auto *rec = static_cast<receive_info *>(arg);
    this_receive_thread = rec;
    const unsigned int device = rec->device;
    const unsigned int end_point = rec->interface_number;
    DeliverySlot &slot = delivery_slots[device][end_point];

    // Start-up on the pad this end point belongs to, whichever pad the
    // application made current meanwhile: drop its stale biodata, reopen it
    // (fresh handles, nothing left over from before) and ask it to send.
    PadStep up = on_pad(device, [end_point] {
        core_clear_ssp_input_queue();
        __core_reopen_devs();
        open_extra_interface(end_point);
        return core_enable_ssp_biodata_sending();
    });
    // Named only now: the reader thread that the transport started for the
    // reopened pad would have inherited the name.
    name_worker_thread("inkport-recv");
    // The starter waits under info_lock: release it before anything below
    // can call into the application.
    rec->start_info_lock.raise();
    report_pad_step(API_SITE, up, device, end_point);
    this_thread_streams = true;
    ++streaming_threads[device];

    while (rec->run.load() != 0) {
        auto *buffer = static_cast<uint8_t *>(Calloc(kFrameSize, 1));
        unsigned int reply = 0;
        uint32_t h = read_file(device, end_point, buffer, kFrameSize, &reply);
        if (rec->disowned) {
            // A callback of the read stopped the library: the queue is gone.
            free(buffer);
            break;
        }
        if (h == 0 && reply > 0) {
            if (add_uni_frame(rec->queue, buffer, reply) == 0) {
                api_error(API_SITE, "Error of add new frame to queue");
                free(buffer);
            } else {
                slot.doorbell.raise();
            }
            // Read on at once: the transport keeps only a few reports, and a
            // burst must not wait out a pause per report.
            continue;
        }
        free(buffer);
        if (h == 0) {
            rec->pause.wait_for(kReceivePause);
            continue;
        }
        api_error(API_SITE, "ReadFile() return exception %d", h);
        rec->pause.wait_for(kReceiveErrorPause);
    }

    if (!rec->shut_down) {
        PadStep down = switch_pad_off(device);
        report_pad_step(API_SITE, down, device, end_point);
    }
    --streaming_threads[device];
    if (rec->disowned) {
        this_receive_thread = nullptr;
        delete rec;
    }
    // Returning is the end: the stopper that joins this thread frees rec.
    return nullptr;
}

// The library is being stopped from a callback that this receive thread
// runs. It cannot wait for itself, and nobody else may wait for it either:
// the callback thread of its end point, stopped next, would switch the
// receiving off and so wait for this thread, which waits for it. So the
// thread switches its pad off now, while the pads are still open, takes its
// record out of the slot and frees it itself once it has left its loop.
void disown_this_receive_thread() {
    receive_info *rec = this_receive_thread;
    if (rec == nullptr || rec->disowned)
        return;
    request_stop(rec);
    PadStep down = switch_pad_off(rec->device);
    if (down.switched != 0 || down.result < 0)
        TRACE_ERROR("switching receiving off on device %d failed while the library stops",
                    rec->device);
    rec->shut_down = true;
    short_interface *slot = nullptr;
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        if (dev_shared_short != nullptr)
            slot = &dev_shared_short->devices[rec->device].interfaces[rec->interface_number];
    }
    if (slot != nullptr) {
        LOCK_GUARD(info, &slot->info_lock);
        if (slot->receive_info_ptr == rec)
            slot->receive_info_ptr = nullptr;
    }
    rec->disowned = true;
    pthread_detach(pthread_self());
}

// Stops and frees the slot's receive thread; info_lock held.
void stop_locked(short_interface &slot, const char *func) {
    receive_info *rec = slot.receive_info_ptr;
    if (rec == nullptr) {
        if (trace_on(TraceClass::info))
            trace_info(__FILE_NAME__, __LINE__, func,
                       "other therad was here, silent return from %s()...", func);
        return;
    }
    // Waits even when run is already 0 (a removal cleared it): the thread
    // may still be pausing or switching the biodata off.
    request_stop(rec);
    Pthread_join(rec->thread, nullptr);
    slot.receive_info_ptr = nullptr;
    delete rec;
}

int start_thread(unsigned int device, unsigned int end_point) {
    TRACE_SCOPE();
    if (is_this_receive_thread(device, end_point)) {
        // It would have to wait for its own end.
        TRACE_ERROR("the receive thread of %d/%d cannot restart itself", device, end_point);
        return -1;
    }
    short_interface *slot = indexed_slot(__func__, device, end_point, true);
    if (slot == nullptr)
        return -1;
    uni_queue *queue;
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        if (slot->uqueue == nullptr)
            slot->uqueue = init_uni_queue();
        queue = slot->uqueue;
    }
    if (queue == nullptr)
        return -1;

    LOCK_GUARD(info, &slot->info_lock);
    stop_locked(*slot, __func__);
    clear_queue(queue);
    auto *rec = new receive_info;
    rec->queue = queue;
    rec->device = device;
    rec->interface_number = end_point;
    // In the slot before the thread exists, so that a stopper that comes
    // after the start finds it.
    slot->receive_info_ptr = rec;
    if (!create_worker_thread(&rec->thread, start_routine, rec)) {
        TRACE_ERROR("error of pthread_create() or pthread_attr_destroy()");
        slot->receive_info_ptr = nullptr;
        delete rec;
        return -1;
    }
    rec->start_info_lock.wait();
    return 0;
}

// ---- The callback thread ----

enum class Next { deliver, empty, no_queue, bad_frame, leave };

void *pirc_routine(void *arg) {
    auto *rec = static_cast<pirc_info *>(arg);
    name_worker_thread("inkport-cb");
    rec->start_info_lock.raise();
    const unsigned int device = rec->device;
    const unsigned int end_point = rec->interface_number;
    DeliverySlot &ds = delivery_slots[device][end_point];
    uint8_t frame[kFrameSize];
    auto step = kDeliveryFirstStep;

    for (;;) {
        // Reset before the queue is looked at: a frame queued after the look
        // raises it again, so the wait below does not sleep through it.
        ds.doorbell.reset();
        Next next;
        InputReportCallback handler = nullptr;
        void *user_specific = nullptr;
        uni_queue *queue = nullptr;
        {
            LOCK_GUARD(list, &dev_list_short_lock);
            if (dev_shared_short == nullptr) {
                TRACE_ERROR("dev_shared_short is NULL.. Use Initialize() first.");
                break;
            }
            short_interface &slot = dev_shared_short->devices[device].interfaces[end_point];
            LOCK_GUARD(cb, &slot.processing_input_report_callback_lock);
            handler = slot.processing_input_report_callback;
            user_specific = slot.processing_input_report_user_specific;
            queue = slot.uqueue;
            if (handler == nullptr || rec->quit.load()) {
                TRACE_INFO("processing_input_report_callback == NULL: %d",
                           handler == nullptr ? 1 : 0);
                // Cleared under the locks that SetOnDataReceivedHandler holds:
                // a handler stored after this starts a new thread.
                slot.pirc_routine_started = false;
                next = Next::leave;
            } else if (queue == nullptr) {
                next = Next::no_queue;
            } else {
                quiet_lock_queue(queue);
                if (get_uni_queue_size(queue) < 1) {
                    next = Next::empty;
                } else {
                    uint32_t length = 0;
                    void *data = get_uni_frame(queue, &length);
                    if (data == nullptr || length < 1) {
                        next = Next::bad_frame;
                    } else {
                        memcpy(frame, data, kFrameSize);
                        next = Next::deliver;
                    }
                    free(data);
                }
                quiet_unlock_queue(queue);
            }
        }
        if (next == Next::leave)
            break;
        switch (next) {
            case Next::deliver:
                step = kDeliveryFirstStep;
                handler(user_specific, device, end_point, frame, kFrameSize);
                break;
            case Next::empty:
                ds.doorbell.wait_for(step);
                if (step < kDeliveryMaxStep)
                    step += kDeliveryFirstStep;
                break;
            case Next::bad_frame:
                api_error(API_SITE, "Error of getting frame from queue: %p",
                          static_cast<void *>(queue));
                ds.doorbell.wait_for(kDeliveryRetryPause);
                break;
            case Next::no_queue:
            case Next::leave:
                ds.doorbell.wait_for(kDeliveryRetryPause);
                break;
        }
    }
    // No handler, no delivery: stop reading the pad too. Returning is the
    // end; the joiner frees rec.
    SetDataReceivingEnabled(device, end_point, 0);
    return nullptr;
}

void join_callback_thread(pirc_info *rec) {
    if (pthread_equal(rec->thread, pthread_self())) {
        // Deinitialize from inside the data handler: the thread ends once
        // the handler returns, but cannot wait for itself.
        TRACE_ERROR("the callback thread of %d/%d is stopping itself", rec->device,
                    rec->interface_number);
        pthread_detach(rec->thread);
        return;
    }
    Pthread_join(rec->thread, nullptr);
    delete rec;
}

// Starts the slot's callback thread; dev_list_short_lock and the slot's
// processing_input_report_callback_lock held.
bool start_callback_thread(short_interface &slot, DeliverySlot &ds, unsigned int device,
                           unsigned int end_point) {
    auto *rec = new pirc_info;
    rec->device = device;
    rec->interface_number = end_point;
    ds.record = rec;
    if (!create_worker_thread(&rec->thread, pirc_routine, rec)) {
        TRACE_ERROR("error of pthread_create() or pthread_attr_destroy()");
        ds.record = nullptr;
        delete rec;
        return false;
    }
    slot.pirc_routine_started = true;
    // The thread raises it first thing, before it takes any lock.
    rec->start_info_lock.wait();
    return true;
}

}  // namespace

// ---- Worker threads of the library ----

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

bool on_streaming_receive_thread() {
    return this_thread_streams;
}

bool receive_thread_streams(unsigned int device) {
    return device < kMaxDevices && streaming_threads[device].load() > 0;
}

// ---- Hooks of the library's lifecycle ----

void stop_thread(unsigned device, unsigned end_point) {
    TRACE_SCOPE();
    if (is_this_receive_thread(device, end_point)) {
        // From the removed handler on the receive thread: it cannot wait for
        // its own end, so it only leaves its loop; the record stays in the
        // slot for the thread's next stopper.
        request_stop(this_receive_thread);
        return;
    }
    short_interface *slot = indexed_slot(__func__, device, end_point, false);
    if (slot == nullptr)
        return;
    LOCK_GUARD(info, &slot->info_lock);
    stop_locked(*slot, __func__);
}

void __stop_thread(unsigned device, unsigned end_point) {
    if (is_this_receive_thread(device, end_point)) {
        request_stop(this_receive_thread);
        return;
    }
    short_interface *slot = nullptr;
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        if (dev_shared_short != nullptr && device < kMaxDevices && end_point < kMaxInterfaces &&
            dev_shared_short->devices[device].indexed)
            slot = &dev_shared_short->devices[device].interfaces[end_point];
    }
    if (slot == nullptr)
        return;
    // The record is freed only under info_lock, by the stopper that joined
    // its thread.
    LOCK_GUARD(info, &slot->info_lock);
    if (slot->receive_info_ptr != nullptr)
        request_stop(slot->receive_info_ptr);
}

void flush_data_packets(unsigned device, unsigned end_point) {
    LOCK_GUARD(guard, &dev_list_short_lock);
    if (dev_shared_short == nullptr || device >= kMaxDevices || end_point >= kMaxInterfaces)
        return;
    clear_queue(dev_shared_short->devices[device].interfaces[end_point].uqueue);
}

void stop_delivery_threads() {
    TRACE_SCOPE();
    disown_this_receive_thread();
    for (unsigned device = 0; device < kMaxDevices; ++device) {
        for (unsigned end_point = 0; end_point < kMaxInterfaces; ++end_point) {
            DeliverySlot &ds = delivery_slots[device][end_point];
            pirc_info *rec = nullptr;
            {
                LOCK_GUARD(list, &dev_list_short_lock);
                if (dev_shared_short == nullptr)
                    return;
                short_interface &slot = dev_shared_short->devices[device].interfaces[end_point];
                LOCK_GUARD(cb, &slot.processing_input_report_callback_lock);
                rec = ds.record;
                ds.record = nullptr;
                if (rec != nullptr) {
                    rec->quit = true;
                    slot.processing_input_report_callback = nullptr;
                }
            }
            if (rec == nullptr)
                continue;
            // Joined without a lock: the thread's last steps take
            // dev_list_short_lock, and its handler may call the API.
            ds.doorbell.raise();
            join_callback_thread(rec);
        }
    }
}

void destroy_interface_queue(short_interface &slot) {
    destroy_uni_queue(slot.uqueue);
    slot.uqueue = nullptr;
}

// ---- API ----

extern "C" {

EXPORT uint32_t SetOnDataReceivedHandler(unsigned int device, unsigned int end_point_id,
                                         void *user_specific, InkportDataReceivedCallback handler) {
    TRACE_SCOPE();
    for (;;) {
        pirc_info *ended = nullptr;
        bool start_failed = false;
        uint32_t h = with_slot(API_SITE, device, end_point_id, [&](short_interface &slot) {
            DeliverySlot &ds = delivery_slots[device][end_point_id];
            LOCK_GUARD(cb, &slot.processing_input_report_callback_lock);
            slot.processing_input_report_callback = handler;
            slot.processing_input_report_user_specific = user_specific;
            if (slot.pirc_routine_started) {
                TRACE_INFO("receive input report thread already started");
            } else if (ds.record != nullptr) {
                // The previous thread has left its loop but may still be
                // switching the receiving off: let it finish first, or it
                // would switch off what the application enables next.
                ended = ds.record;
                ds.record = nullptr;
            } else {
                start_failed = !start_callback_thread(slot, ds, device, end_point_id);
            }
        });
        if (h != 0)
            return h;
        if (ended != nullptr) {
            join_callback_thread(ended);
            continue;
        }
        if (start_failed)
            return API_FAIL(QLPCEC_INVALID_PARAMETER,
                            " Error of starting thread of processing frames by callback call");
        // A thread pausing on an empty queue looks at its handler again now.
        delivery_slots[device][end_point_id].doorbell.raise();
        return 0;
    }
}

EXPORT uint32_t SetDataReceivingEnabled(unsigned int device, unsigned int end_point_id,
                                        uint32_t enabled) {
    TRACE_SCOPE();
    if (uint32_t h = with_slot(API_SITE, device, end_point_id, [](short_interface &) {}))
        return h;
    if (enabled == 0) {
        stop_thread(device, end_point_id);
        return 0;
    }
    // Receiving is switched on the pad named by `device`.
    if (uint32_t h = switch_to_device(API_SITE, device))
        return h;
    core_clear_ssp_input_queue();
    if (start_thread(device, end_point_id) != 0)
        return API_FAIL(-1,
                        "Error of starting thread of data receiving for device/end_point_id: %d/%d",
                        device, end_point_id);
    return 0;
}

EXPORT uint32_t GetDataPacketsAvailable(unsigned int device, unsigned int end_point_id,
                                        unsigned int *result) {
    TRACE_SCOPE();
    if (result == nullptr)
        return API_FAIL(QLPCEC_INVALID_PARAMETER,
                        "Error of input parameters, unsigned int *result is NULL");
    return with_slot(API_SITE, device, end_point_id, [&](short_interface &slot) {
        if (slot.uqueue == nullptr)
            return;  // receiving was never enabled: *result stays as it was
        quiet_lock_queue(slot.uqueue);
        *result = static_cast<unsigned int>(get_uni_queue_size(slot.uqueue));
        quiet_unlock_queue(slot.uqueue);
    });
}

EXPORT uint32_t FlushDataPackets(unsigned int device, unsigned int end_point_id) {
    TRACE_SCOPE();
    if (uint32_t h = with_slot(API_SITE, device, end_point_id,
                               [](short_interface &slot) { clear_queue(slot.uqueue); }))
        return h;
    // The pad's own queue of pen messages belongs to the same stream.
    if (uint32_t h = switch_to_device(API_SITE, device))
        return h;
    core_clear_ssp_input_queue();
    return 0;
}

}  // extern "C"
