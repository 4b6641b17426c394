// Report and feature transfers of the current device: interface selection,
// the record lock, dispatch to the HID or VCOM layer, and recovery by
// reopening a record whose transfer failed, and the receive thread's wait
// for input with no lock held.
#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>

#include "core.h"
#include "hid.h"
#include "vcom.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace {

enum class Transfer { feature_read, feature_write, output_write, input_read };

constexpr InterfaceTexts kSetFeatureTexts = {
    "*data of QLPAD_ql_ioctl() is NULL", "data_size of QLPAD_ql_ioctl() <= 0",
    "set_hid_feature_to_interface->interface_number > count of interfaces"};
constexpr InterfaceTexts kGetFeatureTexts = {
    "get_hid_feature_from_interface->data of QLPAD_ql_ioctl() is NULL",
    "get_hid_feature_from_interface->data_size of QLPAD_ql_ioctl() <= 0",
    "get_hid_feature_from_interface->interface_number > count of interfaces"};
constexpr InterfaceTexts kSetOutputTexts = {
    "set_hid_output_to_interface->data of QLPAD_ql_ioctl() is NULL",
    "set_hid_output_to_interface->data_size of QLPAD_ql_ioctl() <= 0",
    "set_hid_output_to_interface->interface_number > count of interfaces"};
constexpr InterfaceTexts kGetInputTexts = {
    "get_hid_input_from_interface->data of QLPAD_ql_ioctl() is NULL",
    "get_hid_input_from_interface->data_size of QLPAD_ql_ioctl() <= 0",
    "get_hid_input_from_interface->interface_number > count of interfaces"};

int dispatch(ql_device *dev, Transfer kind, void *data, unsigned int len) {
    if (dev->vcom_handle != nullptr) {
        switch (kind) {
            case Transfer::feature_read:
                return vcom_feature_read(dev, data, len);
            case Transfer::feature_write:
                return vcom_feature_write(dev, data, len);
            case Transfer::output_write:
                return vcom_output_write(dev, data, len);
            case Transfer::input_read:
                return vcom_input_read(dev, data, len);
        }
    }
    switch (kind) {
        case Transfer::feature_read:
            return hid_feature_read(dev->hid, data, len);
        case Transfer::feature_write:
            return hid_feature_write(dev->hid, data, len);
        case Transfer::output_write:
            return hid_output_write(dev->hid, data, len);
        case Transfer::input_read:
            return hid_input_read(dev->hid, data, len);
    }
    return -1;
}

// After a failed transfer `r`: a close and reopen of the record, so that the
// next transfer starts on a fresh handle. -1, or -20 when the reopen failed.
// The caller holds the record's lock where it has one.
int recover(const char *func, ql_device *dev, bool reading, int r) {
    trace_error(__FILE_NAME__, __LINE__, func, false,
                reading ? "read function failed with return code %d"
                        : "write function failed with return code %d",
                r);
    __core_close_dev(dev);
    if (__core_open_dev(dev) != 0) {
        dev->removed = true;
        return kCoreRemoved;
    }
    return -1;
}

// ---- The waits of the receive threads ----
//
// A few receive threads at most wait at a time: one table for all records,
// under one lock that is never held while a thread waits on a transport.

struct WaitSlot {
    const ql_device *dev = nullptr;  // null: free
    pthread_t owner{};
    libusb_transfer *transfer = nullptr;
    bool cancel = false;  // cut short: cancel the transfer once it is known
};

std::mutex waits_lock;
std::condition_variable waits_ended;
WaitSlot waits[kMaxDevices * kMaxInterfaces];
// Records whose reader was woken between two waits: its next wait ends at
// once, so that a stop that came just before it is not kept waiting.
const ql_device *wakes_pending[std::size(waits)];

// waits_lock held.
void cancel_wait(WaitSlot &w) {
    w.cancel = true;
    if (w.transfer != nullptr)
        libusb_cancel_transfer(w.transfer);
}

// One transfer and, when it fails, a close and reopen of the record. The
// caller holds the record's lock where the transfer needs it.
int transfer_with_recovery(const char *func, ql_device *dev, Transfer kind, void *data,
                           unsigned int len) {
    ArgCheck check({__FILE_NAME__, __LINE__, func});
    if (!check.require(dev != nullptr, kArgCurrentDevicePointer, dev) ||
        !check.length(len, kArgLen)
             .data(data)
             .require(dev->hid != nullptr || dev->vcom_handle != nullptr,
                      "Error, device pointers: *hid and *vcom_handle are NULL"))
        return -1;
    int r = dispatch(dev, kind, data, len);
    bool reading = kind == Transfer::feature_read || kind == Transfer::input_read;
    bool failed = kind == Transfer::input_read ? r < 0 : r != 0;
    return failed ? recover(func, dev, reading, r) : r;
}

int locked_transfer(const char *func, ql_device *dev, Transfer kind, void *data, unsigned int len) {
    DeviceLockGuard guard(dev, __FILE_NAME__, __LINE__, func);
    return transfer_with_recovery(func, dev, kind, data, len);
}

// Picks interface `number` of the current device, opening an extra interface
// on first use. Null (traced) when it cannot be used.
ql_device *select_interface(unsigned int number, bool feature) {
    ql_device *rec = core_interface_record(dev_shared->current_device, number, true);
    if (rec == nullptr || number == 0)
        return rec;
    if (rec->hid == nullptr && rec->vcom_handle == nullptr) {
        int r = core_open_dev(rec);
        if (r != 0) {
            if (feature)
                TRACE_ERROR("Error, function core_open_dev() returned %d", r);
            else
                TRACE_ERROR("Error of using interface with number: %d", number);
            return nullptr;
        }
    }
    return rec;
}

int interface_transfer(const InterfaceTexts &texts, Transfer kind, unsigned int number, void *data,
                       int size) {
    int result = -1;
    if (core_current_device(true) == nullptr)
        return result;
    if (data == nullptr) {
        TRACE_ERROR("%s", texts.null_data);
    } else if (size < 1) {
        TRACE_ERROR("%s", texts.bad_size);
    } else if (!core_interface_exists(dev_shared->current_device, number)) {
        TRACE_ERROR("%s", texts.bad_interface);
    } else {
        bool feature = kind == Transfer::feature_read || kind == Transfer::feature_write;
        ql_device *rec = select_interface(number, feature);
        if (rec != nullptr) {
            unsigned int len = static_cast<unsigned int>(size);
            if (feature) {
                result = locked_transfer(__func__, rec, kind, data, len);
            } else {
                result = kind == Transfer::output_write ? core_output_write(rec, data, len)
                                                        : core_input_read(rec, data, len);
            }
        }
    }
    core_catch_is_dev_was_removed(&result);
    return result;
}

int max_packet_size(bool input) {
    int result = -1;
    if (dev_shared != nullptr && dev_shared->current_device != nullptr) {
        ql_device *dev = dev_shared->current_device;
        // A receive thread may close this pad after an unplug meanwhile: read
        // its handles under the pad's lock, never a handle being freed.
        DEVICE_LOCK_GUARD(guard, dev);
        if (dev->hid != nullptr || dev->vcom_handle != nullptr)
            result = core_packet_size(dev, input);
    }
    core_catch_is_dev_was_removed(&result);
    return result;
}

}  // namespace

TransportWait::TransportWait(const ql_device *dev) : slot_(-1) {
    std::lock_guard<std::mutex> g(waits_lock);
    for (int i = 0; i < static_cast<int>(std::size(waits)); ++i) {
        if (waits[i].dev == nullptr) {
            waits[i] = WaitSlot{dev, pthread_self(), nullptr, false};
            slot_ = i;
            for (const ql_device *&woken : wakes_pending) {
                if (woken == dev) {
                    woken = nullptr;
                    waits[i].cancel = true;
                }
            }
            return;
        }
    }
    // More waits than receive threads can exist: only a fault gets here.
    TRACE_ERROR("no room for the wait of another receive thread");
}

TransportWait::~TransportWait() {
    if (slot_ < 0)
        return;
    std::lock_guard<std::mutex> g(waits_lock);
    waits[slot_] = WaitSlot{};
    waits_ended.notify_all();
}

void TransportWait::set_transfer(libusb_transfer *transfer) {
    if (slot_ < 0)
        return;
    std::lock_guard<std::mutex> g(waits_lock);
    waits[slot_].transfer = transfer;
    if (transfer != nullptr && waits[slot_].cancel)
        libusb_cancel_transfer(transfer);
}

void core_quiesce_reader(const ql_device *dev) {
    const pthread_t self = pthread_self();
    auto waiting = [&] {
        bool any = false;
        for (WaitSlot &w : waits) {
            if (w.dev != dev || pthread_equal(w.owner, self))
                continue;
            if (!w.cancel)
                cancel_wait(w);
            any = true;
        }
        return any;
    };
    std::unique_lock<std::mutex> g(waits_lock);
    waits_ended.wait(g, [&] { return !waiting(); });
}

void core_wake_reader(const ql_device *dev) {
    if (dev == nullptr)
        return;
    std::lock_guard<std::mutex> g(waits_lock);
    bool woken = false;
    for (WaitSlot &w : waits) {
        if (w.dev == dev) {
            cancel_wait(w);
            woken = true;
        }
    }
    if (woken || std::find(std::begin(wakes_pending), std::end(wakes_pending), dev) !=
                     std::end(wakes_pending))
        return;
    auto *free_slot = std::find(std::begin(wakes_pending), std::end(wakes_pending), nullptr);
    if (free_slot != std::end(wakes_pending))
        *free_slot = dev;
}

int core_input_wait(ql_device *dev, uint8_t *data, unsigned int len, unsigned int time_out) {
    bool vcom;
    {
        DEVICE_LOCK_GUARD(guard, dev);
        if (dev->hid == nullptr && dev->vcom_handle == nullptr && __core_open_dev(dev) != 0) {
            TRACE_ERROR("Error of using interface with number: %d", dev->interface_number);
            return -1;
        }
        vcom = dev->vcom_handle != nullptr;
    }
    int r =
        vcom ? vcom_input_wait(dev, data, len, time_out) : hid_input_wait(dev, data, len, time_out);
    if (r >= 0)
        return r;
    if (dev->removed)
        return kCoreRemoved;
    DEVICE_LOCK_GUARD(guard, dev);
    return recover(__func__, dev, true, r);
}

int core_packet_size(const ql_device *dev, bool input) {
    if (dev->hid != nullptr)
        return input ? hid_get_max_packet_size_of_input_report(dev)
                     : hid_get_max_packet_size_of_out_endpoint(dev);
    return static_cast<int>(input ? dev->vcom_in_size : dev->vcom_out_size);
}

extern "C" {

EXPORT int core_feature_read(ql_device *dev, void *data, unsigned int len) {
    return transfer_with_recovery(__func__, dev, Transfer::feature_read, data, len);
}

EXPORT int core_feature_write(ql_device *dev, const void *data, unsigned int len) {
    return transfer_with_recovery(__func__, dev, Transfer::feature_write, const_cast<void *>(data),
                                  len);
}

EXPORT int core_output_write(ql_device *dev, const void *data, unsigned int len) {
    return locked_transfer(__func__, dev, Transfer::output_write, const_cast<void *>(data), len);
}

EXPORT int core_input_read(ql_device *dev, void *data, unsigned int len) {
    return locked_transfer(__func__, dev, Transfer::input_read, data, len);
}

EXPORT int core_set_hid_feature_report(unsigned int interface_number, const void *data, int size) {
    return interface_transfer(kSetFeatureTexts, Transfer::feature_write, interface_number,
                              const_cast<void *>(data), size);
}

EXPORT int core_get_hid_feature_report(unsigned int interface_number, void *data, int size) {
    return interface_transfer(kGetFeatureTexts, Transfer::feature_read, interface_number, data,
                              size);
}

EXPORT int core_set_unsync_hid_output_report(unsigned int interface_number, const void *data,
                                             int size) {
    return interface_transfer(kSetOutputTexts, Transfer::output_write, interface_number,
                              const_cast<void *>(data), size);
}

EXPORT int core_get_hid_input_report(unsigned int interface_number, void *data, int size) {
    return interface_transfer(kGetInputTexts, Transfer::input_read, interface_number, data, size);
}

EXPORT int core_get_max_packet_size_of_out_endpoint(void) {
    return max_packet_size(false);
}

EXPORT int core_get_max_packet_size_of_input_report(void) {
    return max_packet_size(true);
}

}  // extern "C"
