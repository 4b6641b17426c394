// Asynchronous input delivery: per device and end point, a receive thread
// that waits on the transport for the pad's input reports, holding no lock
// while it waits, and queues them in the end point's frame queue, and a
// callback thread that hands each queued report to the application's handler.
//
// Locks, in the order they may nest: dev_list_short_lock, then an end point's
// processing_input_report_callback_lock, then its frame queue. An end point's
// info_lock is never taken together with dev_list_short_lock: it serialises
// the starting and stopping of the end point's receive thread, and a stopper
// holds it while it waits for the thread's end. dev_list_short_lock is held
// only to look at the tables: the threads address their pad's record
// directly, never make it current, and open, reopen and talk to it with
// none of these locks held.
//
// Application code (the data handler, the removed handler, the logging
// callback) runs only with none of these locks held by its thread. A removed
// handler on a receive thread may run while a stopper holds info_lock and
// waits for that thread: a stop asked from the thread itself therefore only
// tells it to leave its loop, and a restart from it is refused. Deinitialize
// from a worker's own callback lets the worker go: it switches its pad off,
// says it is gone (so no stopper waits for it) and frees its own record once
// it has left the library's loop.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core.h"
#include "core_ssp.h"
#include "inkport_async.h"
#include "device_handlers.h"
#include "ssp_common.h"
#include "uni_queue.h"
#include "worker_threads.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

using namespace std::chrono_literals;

namespace {

// Every frame is a whole report buffer: the payload, then zero bytes.
constexpr unsigned int kFrameSize = 64;

// How long one wait for input lasts. A HID wait cannot be cut short, so a
// stop waits for it: short. A VCOM wait is cancelled by its stopper.
constexpr unsigned int kHidWaitMs = 50;
constexpr unsigned int kVcomWaitMs = 1000;
constexpr std::chrono::microseconds kReceiveErrorPause = 900ms;
constexpr std::chrono::microseconds kDeliveryFirstStep = 1500us;
constexpr std::chrono::microseconds kDeliveryMaxStep = 300ms;
constexpr std::chrono::microseconds kDeliveryRetryPause = 500ms;

}  // namespace

// The receive thread's record, shared by the end point's slot and the
// thread: whichever lets go of it last frees it.
struct receive_info {
    pthread_t thread{};
    std::atomic<int> run{1};  // 0: leave the loop; the thread has not ended yet
    uni_queue *queue = nullptr;
    unsigned int device = 0;
    unsigned int interface_number = 0;
    ql_device *pad = nullptr;    // the pad's record, found when the thread started
    ql_device *input = nullptr;  // the record of the end point it reads
    OneShot start_info_lock;     // raised once the pad was asked to send data
    OneShot pause;               // raised by the stopper: cuts the thread's pause short
    OneShot gone;                // raised when the thread has shut down or let go
    // Set by the thread itself, before `gone`, when the library was stopped
    // from one of its callbacks: nobody joins it, it ends on its own.
    std::atomic<bool> disowned{false};
    std::atomic<int> holders{2};  // the slot and the thread
    bool shut_down = false;       // the thread's own: its pad was switched off
};

namespace {

// The callback thread's record, freed by whoever joins the thread: the next
// SetOnDataReceivedHandler for the end point, or Deinitialize.
struct pirc_info {
    pthread_t thread{};
    unsigned int device = 0;
    unsigned int interface_number = 0;
    OneShot start_info_lock;
    std::atomic<bool> quit{false};  // the library is stopping: leave, touch nothing
    bool disowned = false;          // the thread's own: it stopped the library itself
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
// Receive threads whose starter has returned, per device, until their
// shut-down is over: counted before the starter goes on, so that a pad
// pulled right after the start is told of by its receive thread.
std::atomic<int> streaming_threads[kMaxDevices];
thread_local bool this_thread_counted = false;

void begin_streaming() {
    this_thread_counted = true;
    ++streaming_threads[this_receive_thread->device];
}

// The receive thread's streaming is over: its shut-down is done, or it let
// go of the library (a removal from then on is the application's to tell).
void end_streaming() {
    this_thread_streams = false;
    if (!this_thread_counted)
        return;
    this_thread_counted = false;
    --streaming_threads[this_receive_thread->device];
}

bool is_this_receive_thread(unsigned int device, unsigned int end_point) {
    const receive_info *self = this_receive_thread;
    return self != nullptr && !self->disowned && self->device == device &&
           self->interface_number == end_point;
}

void request_stop(receive_info *rec) {
    rec->run = 0;
    rec->pause.raise();
    core_wake_reader(rec->input);
}

void let_go(receive_info *rec) {
    if (--rec->holders == 0)
        delete rec;
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

// ---- The pad named by `device` ----

bool is_open(const ql_device *rec) {
    return rec->hid != nullptr || rec->vcom_handle != nullptr;
}

bool is_vcom(const ql_device *rec) {
    DEVICE_LOCK_GUARD(guard, rec);
    return rec->vcom_handle != nullptr;
}

// The input report size of a pad, opened if it was closed, or -1.
int input_size(ql_device *pad) {
    DEVICE_LOCK_GUARD(guard, pad);
    if (!is_open(pad) && __core_open_dev(pad) != 0)
        return -1;
    return core_packet_size(pad, true);
}

}  // namespace

PadLookup find_pad(unsigned int device) {
    PadLookup out;
    LOCK_GUARD(guard, &dev_list_short_lock);
    if (dev_shared_short == nullptr || dev_shared == nullptr || device > kMaxApiDevices ||
        !dev_shared_short->devices[device].indexed ||
        dev_shared_short->devices[device].pad_settings[0] == '\0') {
        TRACE_ERROR("Device %d is not indexed", device);
        out.failure = -1;
        return out;
    }
    const char *settings = dev_shared_short->devices[device].pad_settings;
    for (int i = 0; i < dev_shared->count_of_devices && i < kMaxDevices; ++i)
        if (strncmp(dev_shared->devices[i].szPadSettings, settings, kMaxStringLength) == 0)
            out.pad = &dev_shared->devices[i];
    if (out.pad == nullptr) {
        TRACE_INFO("No device %s for switching", settings);
        out.failure = 1;
    } else if (out.pad->removed) {
        out.failure = -1;
        out.removed = true;
    }
    return out;
}

uint32_t report_pad_lookup(ApiSite site, const PadLookup &p, unsigned int device,
                           unsigned int end_point) {
    if (p.removed)
        catch_removing_device(kCoreRemoved, device, end_point);
    if (p.failure < 0)
        return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of switching to device: ", device);
    return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d", "Can not switch to device: ", device);
}

ql_device *open_interface(ql_device *pad, unsigned int end_point) {
    ql_device *rec = core_interface_exists(pad, end_point)
                         ? core_interface_record(pad, end_point, true)
                         : nullptr;
    if (rec == nullptr || (!is_open(rec) && core_open_dev(rec) != 0)) {
        TRACE_ERROR("Error of using interface with number: %d", end_point);
        return nullptr;
    }
    return rec;
}

uint32_t read_file(unsigned int device, unsigned int end_point, void *dst, unsigned int dst_length,
                   unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = check_buffer(API_SITE, reply, false, dst, dst_length, 1))
        return h;
    *reply = 0;

    // The pad is looked up, not made current: a switch reopens the pad it
    // switches to, which would drop the reports the transport holds, and
    // would redirect the calls of an application thread that made another
    // pad current for its own call. Opening and reading happen with no
    // table lock held.
    PadLookup p = find_pad(device);
    if (p.failure != 0)
        return report_pad_lookup(API_SITE, p, device, end_point);
    ql_device *pad = p.pad;
    int size = input_size(pad);
    ql_device *rec = size >= 0 ? open_interface(pad, end_point) : nullptr;
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
int switch_pad_off(ql_device *pad) {
    int r = pad_biodata_switch(pad, false);
    clear_ssp_input_queue(pad);
    return r;
}

// A failed read of the receive thread, reported as read_file reports it.
uint32_t report_read_failure(int r, unsigned int device, unsigned int end_point) {
    catch_removing_device(r, device, end_point);
    return api_fail({__FILE_NAME__, __LINE__, "read_file"}, QLPCEC_INVALID_HANDLE, "%s%d",
                    "Error of read HID input report for device: ", device);
}

// A failed biodata switch of the start-up or the shut-down.
void report_biodata(ApiSite site, int r, unsigned int device, unsigned int end_point) {
    if (r >= 0)
        return;
    catch_removing_device(r, device, end_point);
    api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d", "Error of send ssp message for device: ", device);
}

void *start_routine(void *arg) {
    auto *rec = static_cast<receive_info *>(arg);
    this_receive_thread = rec;
    mark_library_thread();
    const unsigned int device = rec->device;
    const unsigned int end_point = rec->interface_number;
    DeliverySlot &slot = delivery_slots[device][end_point];

    // Start-up on the pad this end point belongs to: drop its stale
    // biodata, reopen it (fresh handles, nothing left over from before),
    // open the interface read here and ask the pad to send.
    ql_device *pad = rec->pad;
    clear_ssp_input_queue(pad);
    core_reopen_pad(pad);
    if (end_point != 0)
        open_interface(pad, end_point);
    int up = pad_biodata_switch(pad, true);
    // Named only now: the reader thread that the transport started for the
    // reopened pad would have inherited the name.
    name_worker_thread("inkport-recv");
    // The starter waits under info_lock: release it before anything below
    // can call into the application.
    begin_streaming();
    rec->start_info_lock.raise();
    report_biodata(API_SITE, up, device, end_point);
    this_thread_streams = true;

    const unsigned int wait_ms = is_vcom(pad) ? kVcomWaitMs : kHidWaitMs;
    while (rec->run.load() != 0) {
        uint8_t report[kFrameSize] = {};
        int r = pad->removed ? kCoreRemoved : -1;
        if (r != kCoreRemoved && rec->input != nullptr) {
            r = core_input_wait(rec->input, report, kFrameSize, wait_ms);
            if (r < 0 && pad->removed)
                r = kCoreRemoved;
        }
        if (r > 0) {
            auto *frame = static_cast<uint8_t *>(Calloc(kFrameSize, 1));
            memcpy(frame, report, kFrameSize);
            if (add_uni_frame(rec->queue, frame, static_cast<uint32_t>(r)) == 0) {
                api_error(API_SITE, "Error of add new frame to queue");
                free(frame);
            } else {
                slot.doorbell.raise();
            }
            continue;
        }
        // A wait that ended with nothing to read is no failure: wait again.
        if (r == 0)
            continue;
        uint32_t h = report_read_failure(r, device, end_point);
        if (rec->disowned)
            break;  // a callback of the report stopped the library: the queue is gone
        api_error(API_SITE, "ReadFile() return exception %d", h);
        rec->pause.wait_for(kReceiveErrorPause);
    }

    if (!rec->shut_down)
        report_biodata(API_SITE, switch_pad_off(pad), device, end_point);
    end_streaming();
    // A pad pulled after this thread last looked at it, while the monitor
    // still left the telling to it, is told now (once: removal_to_tell).
    // The count and the mark are sequentially consistent, so of this thread
    // and the monitor one sees the other's change.
    if (!rec->disowned && pad->removed && removal_to_tell(device, RemovalFinder::receive_thread))
        tell_removed(device);
    // Last: once `gone` is raised the stopper may go on; a disowned thread
    // is no longer the receive thread of any end point.
    this_receive_thread = nullptr;
    rec->gone.raise();
    let_go(rec);
    end_letting_go();
    return nullptr;
}

}  // namespace

// The library is being stopped from a callback that this receive thread
// runs. It cannot wait for itself, and nobody else may wait for it either:
// a stopper that holds its end point's info_lock (a callback thread
// switching the receiving off, say) would wait for this thread, which waits
// for that lock. So the thread switches its pad off now, while the pads are
// still open, and lets go: it says it is gone, and frees its share of the
// record once it has left its loop; the stopper that comes for its slot
// frees the slot's share.
void disown_this_receive_thread() {
    receive_info *rec = this_receive_thread;
    if (rec == nullptr || rec->disowned)
        return;
    request_stop(rec);
    if (switch_pad_off(rec->pad) < 0)
        TRACE_ERROR("switching receiving off on device %d failed while the library stops",
                    rec->device);
    rec->shut_down = true;
    end_streaming();
    pthread_detach(pthread_self());
    begin_letting_go();
    rec->disowned = true;
    rec->gone.raise();
}

namespace {

// Stops the slot's receive thread and lets go of its record; info_lock held.
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
    rec->gone.wait();
    if (!rec->disowned)
        Pthread_join(rec->thread, nullptr);
    slot.receive_info_ptr = nullptr;
    let_go(rec);
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
    PadLookup p = find_pad(device);
    if (p.pad == nullptr)
        return -1;
    if (!core_interface_exists(p.pad, end_point)) {
        TRACE_ERROR("Error of using interface with number: %d", end_point);
        return -1;
    }
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
    rec->pad = p.pad;
    rec->input = core_interface_record(p.pad, end_point, false);
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
    mark_library_thread();
    name_worker_thread("inkport-cb");
    rec->start_info_lock.raise();
    const unsigned int device = rec->device;
    const unsigned int end_point = rec->interface_number;
    DeliverySlot &ds = delivery_slots[device][end_point];
    uint8_t frame[kFrameSize];
    auto step = kDeliveryFirstStep;

    while (!rec->quit) {
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
            if (rec->quit) {
                next = Next::leave;  // the stopper has taken care of the slot
            } else if (handler == nullptr) {
                TRACE_INFO("processing_input_report_callback == NULL: %d", 1);
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
                // Every queued frame rings the doorbell: the pause only
                // bounds how long a missed ring could delay a frame, so it
                // grows quickly to its longest and an idle end point costs
                // a few wake-ups a second.
                ds.doorbell.wait_for(step);
                step = std::min(step * 2, kDeliveryMaxStep);
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
    if (rec->disowned) {
        // The handler stopped the library: nobody joins this thread.
        delete rec;
        end_letting_go();
        return nullptr;
    }
    // No handler, no delivery: stop reading the pad too. When the library
    // stops, it has stopped the receiving itself. Returning is the end; the
    // joiner frees rec.
    if (!rec->quit)
        SetDataReceivingEnabled(device, end_point, 0);
    return nullptr;
}

void join_callback_thread(pirc_info *rec) {
    if (pthread_equal(rec->thread, pthread_self())) {
        // Deinitialize from inside the data handler: the thread cannot wait
        // for itself; it ends, and frees its record, once the handler returns.
        TRACE_INFO("the callback thread of %d/%d is stopping itself", rec->device,
                   rec->interface_number);
        rec->disowned = true;
        pthread_detach(rec->thread);
        begin_letting_go();
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
                    slot.pirc_routine_started = false;
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

void catch_removing_device(int result, unsigned int device, unsigned int end_point) {
    if (result != kCoreRemoved)
        return;
    __stop_thread(device, end_point);
    RemovalFinder finder =
        on_streaming_receive_thread() ? RemovalFinder::receive_thread : RemovalFinder::application;
    if (removal_to_tell(device, finder))
        tell_removed(device);
}

void tell_removed(unsigned int device) {
    call_device_handler(DeviceEvent::removed, device);
}

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
    // Receiving is switched on the pad named by `device`; the current
    // device stays what the application made it.
    PadLookup p = find_pad(device);
    if (p.failure != 0)
        return report_pad_lookup(API_SITE, p, device, end_point_id);
    API_INFO("Receiving is switched on for device/end_point_id: %d/%d\n", device, end_point_id);
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
    // The pad's own queue of pen messages belongs to the same stream. A
    // number without a pad has nothing to flush.
    if (ql_device *pad = find_pad(device).pad)
        clear_ssp_input_queue(pad);
    return 0;
}

}  // extern "C"
