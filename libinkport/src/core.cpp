// The records of the core device table: pad models, the pad settings
// string, the current device, opening and closing a record through its
// transport, and the receive threads' waits on a record.
#include "core.h"

#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <span>

#include "transport.h"
#include "uni_queue.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

ql_device_list *dev_shared = nullptr;

namespace {

// The libusb_init of core_initialize succeeded: its context is ours to end.
std::atomic<bool> usb_ready{false};

constexpr const char *kSettingsPrefix = "000000000000000001";

// How the models differ, by model code.
constexpr pad_type_traits kPadTypes[] = {
    {1, false, false, false}, {8, false, true, false}, {9, true, true, false},
    {10, false, true, false}, {11, true, true, false}, {12, true, true, false},
    {13, false, true, false}, {15, true, true, true},  {16, true, true, true},
    {17, true, true, true},
};
constexpr pad_type_traits kUnknownPadType = {0, false, false, false};

const pad_product *find_product(std::span<const pad_product> products, uint32_t product_id) {
    for (const pad_product &p : products)
        if (p.product_id == product_id)
            return &p;
    return nullptr;
}

// Finds the slot of a pad whose settings string begins with `settings`.
ql_device *find_pad(ql_device_list *table, const char *settings) {
    size_t n = strlen(settings);
    for (int i = 0; i < table->count_of_devices && i < kMaxDevices; ++i) {
        ql_device &slot = table->devices[i];
        if (slot.in_use && strncmp(slot.szPadSettings, settings, n) == 0)
            return &slot;
    }
    return nullptr;
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

}  // namespace

void core_close_extra_interfaces(ql_device *dev) {
    if (dev->interfaces == nullptr) {
        TRACE_ERROR("Error, **interfaces is NULL");
        return;
    }
    for (int k = 0; k <= dev->count_of_interfaces - 2 && k < kMaxInterfaces; ++k) {
        ql_device *rec = dev->interfaces[k];
        if (rec == nullptr) {
            TRACE_ERROR("Error, interfaces[%d] is NULL", k);
            continue;
        }
        if (rec->in_use)
            core_close_dev(rec);
    }
}

void clear_record(ql_device *dev) {
    if (dev->vcom_device != nullptr)
        libusb_unref_device(dev->vcom_device);
    ql_device **keep = dev->interfaces;
    memset(static_cast<void *>(dev), 0, sizeof *dev);
    dev->interfaces = keep;
}

bool core_reopen_pad(ql_device *dev) {
    core_close_extra_interfaces(dev);
    // Closed and opened under one hold of its lock: a receive thread that
    // reads the pad meanwhile finds it open, never half-way.
    DEVICE_LOCK_GUARD(guard, dev);
    __core_close_dev(dev);
    if (__core_open_dev(dev) != 0) {
        TRACE_ERROR("core_open_dev() failed and return %p", static_cast<void *>(dev));
        return false;
    }
    return true;
}

bool core_usb_ready() {
    return usb_ready.load();
}

bool core_set_usb_ready(bool ready) {
    return usb_ready.exchange(ready);
}

bool core_record_open(const ql_device *dev) {
    return dev->transport != nullptr && dev->transport->is_open(dev);
}

bool core_reopen_record(ql_device *dev) {
    __core_close_dev(dev);
    if (__core_open_dev(dev) != 0) {
        dev->removed = true;
        return false;
    }
    return true;
}

const pad_type_traits &core_pad_traits(uint32_t pad_type) {
    for (const pad_type_traits &t : kPadTypes)
        if (t.pad_type == pad_type)
            return t;
    return kUnknownPadType;
}

uint32_t core_pad_type(uint32_t vendor_id, uint32_t product_id, ql_device *dev) {
    const bool old_model = vendor_id == kOldPadVendor;
    if (!old_model && std::find(std::begin(kPadVendors), std::end(kPadVendors), vendor_id) ==
                          std::end(kPadVendors)) {
        TRACE_ERROR("unable to fetch type of device by idVendor value");
        return 0;
    }
    const pad_product *p = old_model ? find_product(kOldPadProducts, product_id)
                                     : find_product(kPadProducts, product_id);
    if (p == nullptr) {
        TRACE_ERROR("unable to fetch type of device by idProduct value");
        return 0;
    }
    if (old_model) {
        dev->model_value_1 = 690;
        dev->model_value_2 = 184;
    }
    return p->pad_type;
}

ql_device *core_current_device(bool as_error) {
    const char *missing = nullptr;
    if (dev_shared == nullptr)
        missing = as_error ? "error: dev_shared is NULL..." : "dev_shared is NULL...";
    else if (dev_shared->current_device == nullptr)
        missing = as_error ? "error: dev_shared->current_device is NULL..."
                           : "dev_shared->current_device is NULL...";
    if (missing == nullptr)
        return dev_shared->current_device;
    if (as_error)
        TRACE_ERROR("%s", missing);
    else
        TRACE_INFO("%s", missing);
    return nullptr;
}

bool core_interface_exists(const ql_device *pad, unsigned int number) {
    return number == 0 ||
           (static_cast<int64_t>(number) < pad->count_of_interfaces && number <= kMaxInterfaces);
}

ql_device *core_interface_record(ql_device *pad, unsigned int number, bool trace_missing) {
    if (number == 0)
        return pad;
    if (pad->interfaces == nullptr) {
        TRACE_ERROR("Error, **interfaces is NULL");
        return nullptr;
    }
    ql_device *rec = pad->interfaces[number - 1];
    if (rec == nullptr && trace_missing)
        TRACE_ERROR("Error, interfaces[%d] is NULL", number - 1);
    return rec;
}

void destroy_ssp_queues(ql_device *dev) {
    for (uni_queue **queue : {&dev->ssp_input_read, &dev->ssp_command_messages}) {
        if (*queue != nullptr)
            destroy_uni_queue(*queue);
        *queue = nullptr;
    }
}

pthread_mutex_t *new_device_lock() {
    auto *lock = static_cast<pthread_mutex_t *>(Malloc(sizeof(pthread_mutex_t)));
    Pthread_mutex_init(lock, nullptr);
    return lock;
}

void free_device_lock(ql_device *dev) {
    if (dev->device_lock == nullptr)
        return;
    pthread_mutex_destroy(dev->device_lock);
    free(dev->device_lock);
    dev->device_lock = nullptr;
}

void discard_record(ql_device *dev) {
    destroy_ssp_queues(dev);
    free_device_lock(dev);
    clear_record(dev);
}

void core_usb_location(libusb_device *dev, char *out, size_t size) {
    uint8_t ports[8];
    int count = libusb_get_port_numbers(dev, ports, sizeof ports);
    int n = snprintf(out, size, "%d", libusb_get_bus_number(dev));
    for (int i = 0; i < count && n > 0 && static_cast<size_t>(n) < size; ++i)
        n += snprintf(out + n, size - static_cast<size_t>(n), "%c%d", i == 0 ? '-' : '.', ports[i]);
}

bool store_found_interface(ql_device_list *table, const ql_device &found, bool whole_record) {
    if (ql_device *pad = find_pad(table, found.szPadSettings)) {
        if (pad->interfaces == nullptr) {
            TRACE_ERROR("Error, **interfaces is NULL");
            return false;
        }
        for (int k = 0; k < kMaxInterfaces; ++k) {
            ql_device *rec = pad->interfaces[k];
            if (rec == nullptr) {
                TRACE_ERROR("Error, interfaces[%d] is NULL", k);
                continue;
            }
            if (rec->in_use)
                continue;
            if (whole_record) {
                ql_device **keep = rec->interfaces;
                *rec = found;
                rec->interfaces = keep;
            } else {
                rec->pad_type = found.pad_type;
            }
            rec->in_use = true;
            ++pad->count_of_interfaces;
            return true;
        }
        return false;
    }
    for (int i = 0; i < kMaxDevices; ++i) {
        ql_device &slot = table->devices[i];
        if (slot.in_use)
            continue;
        ql_device **keep = slot.interfaces;
        slot = found;
        slot.interfaces = keep;
        slot.in_use = true;
        slot.count_of_interfaces = 1;
        ++table->count_of_devices;
        return true;
    }
    return false;
}

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

extern "C" {

EXPORT void core_pad_settings_population(char *out, uint32_t pad_type, const char *manufacturer,
                                         const char *product, uint32_t vendor_id,
                                         uint32_t product_id, const char *serial_number,
                                         const char *device_id, int transport) {
    (void)device_id;
    memset(out, 0, kMaxStringLength);
    if (core_pad_traits(pad_type).pad_type == 0) {
        snprintf(out, kMaxStringLength, "%sno pad", kSettingsPrefix);
        return;
    }
    const char *transport_text = transport == 0 ? "HID: " : transport == 1 ? "VCOM: " : "";
    int n = snprintf(out, kMaxStringLength, "%s%s%s %s(%x/%x/000D/%s)", kSettingsPrefix,
                     transport_text, manufacturer, product, vendor_id, product_id, serial_number);
    if (n < 0) {
        TRACE_ERROR("snprintf() failed with return code %d", n);
        memset(out, 0, kMaxStringLength);
    }
}

EXPORT void core_catch_is_dev_was_removed(int *result) {
    if (result == nullptr || dev_shared == nullptr || dev_shared->current_device == nullptr)
        return;
    if (dev_shared->current_device->removed)
        *result = kCoreRemoved;
}

EXPORT int core_open_dev(ql_device *dev) {
    if (!ArgCheck(API_SITE).require(dev != nullptr, kArgCurrentDevicePointer, dev))
        return -1;
    DEVICE_LOCK_GUARD(guard, dev);
    return __core_open_dev(dev);
}

EXPORT int __core_open_dev(ql_device *dev) {
    return dev->transport != nullptr ? dev->transport->open(dev) : 0;
}

EXPORT void core_close_dev(ql_device *dev) {
    if (dev == nullptr)
        return;
    DEVICE_LOCK_GUARD(guard, dev);
    __core_close_dev(dev);
}

EXPORT void __core_close_dev(ql_device *dev) {
    // A receive thread may be waiting on the handle without a lock.
    core_quiesce_reader(dev);
    if (dev->transport != nullptr)
        dev->transport->close(dev);
}

}  // extern "C"
