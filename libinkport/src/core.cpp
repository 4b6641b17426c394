// The core device table: initialisation, discovery, the pad settings string,
// the current device, opening and closing of records.
#include "core.h"

#include <hidapi.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <span>

#include "hid.h"
#include "uni_queue.h"
#include "vcom.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

ql_device_list *dev_shared = nullptr;

namespace {

ql_device_list dev_shared_storage;
// The libusb_init of core_initialize succeeded: its context is ours to end.
std::atomic<bool> usb_ready{false};

constexpr const char *kSettingsPrefix = "000000000000000001";

bool usb_string_empty(const char *s) {
    return s[0] == '\0';
}

// Closes every extra interface of a pad that is open for use.
void close_extra_interfaces(ql_device *dev) {
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

// Clears a record but keeps its array of extra interfaces. A VCOM record
// holds a reference on its USB device, taken by the search.
void clear_record(ql_device *dev) {
    if (dev->vcom_device != nullptr)
        libusb_unref_device(dev->vcom_device);
    ql_device **keep = dev->interfaces;
    memset(static_cast<void *>(dev), 0, sizeof *dev);
    dev->interfaces = keep;
}

void reset_rectangle_if_needed(ql_device *dev) {
    if (core_pad_traits(dev->pad_type).resets_rectangle)
        core_create_signature_rectangle(dev, 0, 0, 0, 0, 0);
}

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

// How a switch to one slot ended.
enum class Switched { ok, failed, gone };

// Makes slot `index` current and opens it; an advance (not a switch by
// settings) then resets the signature rectangle of the models that need it.
// A slot that cannot be opened is
// not kept current: the pad that was current before stays so (it was not
// closed), and so do the API table's number of it and the calls made on
// it. `gone` when the slot's pad is marked removed.
Switched make_current(ql_device_list *table, int index, bool advance) {
    const uint16_t previous_index = table->current_index;
    ql_device *const previous = table->current_device;
    table->current_index = static_cast<uint16_t>(index);
    table->current_device = &table->devices[index];
    if (!core_reopen_devs(table)) {
        TRACE_ERROR("Error of initialize of current device");
        const bool gone = table->current_device->removed;
        if (previous != nullptr) {
            table->current_index = previous_index;
            table->current_device = previous;
        }
        return gone ? Switched::gone : Switched::failed;
    }
    if (advance)
        reset_rectangle_if_needed(table->current_device);
    return Switched::ok;
}

// The result of a switch that reopened a slot: `ok` when it succeeded, else
// -1, or -20 for a pad known to be gone.
int switch_result(Switched s, int ok) {
    switch (s) {
        case Switched::ok:
            return ok;
        case Switched::failed:
            return kCoreFailed;
        case Switched::gone:
            return kCoreRemoved;
    }
    return kCoreFailed;
}

}  // namespace

bool core_reopen_pad(ql_device *dev) {
    close_extra_interfaces(dev);
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

extern "C" {

EXPORT bool core_initialize(void) {
    TRACE_SCOPE();
    if (dev_shared != nullptr)
        core_uninitialize();
    dev_shared = &dev_shared_storage;
    memset(static_cast<void *>(dev_shared), 0, sizeof *dev_shared);
    for (auto &slot : dev_shared->devices) {
        slot.interfaces = static_cast<ql_device **>(Calloc(kMaxInterfaces, sizeof(ql_device *)));
        for (int k = 0; k < kMaxInterfaces; ++k)
            slot.interfaces[k] = static_cast<ql_device *>(Calloc(1, sizeof(ql_device)));
    }
    dev_shared->size = sizeof *dev_shared;
    usb_ready = libusb_init(nullptr) == 0;
    if (!usb_ready)
        TRACE_ERROR("Can't initialize libusb by libusb_init()");
    return true;
}

EXPORT void core_uninitialize(void) {
    TRACE_SCOPE();
    if (dev_shared != nullptr) {
        if (!core_close_all_devs_clear_mem(dev_shared))
            TRACE_ERROR("error: core_close_all_devs_clear_mem()");
        for (auto &slot : dev_shared->devices) {
            if (slot.interfaces == nullptr)
                continue;
            for (int k = 0; k < kMaxInterfaces; ++k)
                free(slot.interfaces[k]);
            free(slot.interfaces);
        }
        memset(static_cast<void *>(dev_shared), 0, sizeof *dev_shared);
        dev_shared = nullptr;
        // Balances a libusb_init() of core_initialize that succeeded: the
        // default context is reference-counted, and may be the application's.
        if (usb_ready.exchange(false))
            libusb_exit(nullptr);
    }
    int r = hid_exit();
    if (r < 0)
        TRACE_ERROR("hid_exit() returns: %d", r);
}

EXPORT int core_search_devices(ql_device_list *table) {
    TRACE_SCOPE();
    if (table == nullptr) {
        TRACE_INFO("warning: you should initialize the shared memory");
        return 0;
    }
    if (table->current_device != nullptr) {
        close_extra_interfaces(table->current_device);
        core_close_dev(table->current_device);
    }
    core_close_all_devs_clear_mem(table);
    table->current_device = nullptr;
    table->current_index = 0;
    search_hid_devices(table);
    search_vcom_devices(table);
    return table->count_of_devices;
}

EXPORT bool core_close_all_devs_clear_mem(ql_device_list *table) {
    TRACE_SCOPE();
    if (table == nullptr)
        return true;
    for (auto &slot : table->devices) {
        if (!slot.in_use)
            continue;
        // A pad known to be gone is not asked for anything.
        if (!slot.removed)
            reset_rectangle_if_needed(&slot);
        if (slot.interfaces != nullptr) {
            for (int k = 0; k <= slot.count_of_interfaces - 2 && k < kMaxInterfaces; ++k) {
                ql_device *rec = slot.interfaces[k];
                if (rec == nullptr) {
                    TRACE_ERROR("Error, interfaces[%d] is NULL", k);
                    continue;
                }
                if (!rec->in_use)
                    continue;
                core_close_dev(rec);
                destroy_ssp_queues(rec);
                free_device_lock(rec);
                clear_record(rec);
            }
        } else {
            TRACE_ERROR("Error, **interfaces is NULL");
        }
        destroy_ssp_queues(&slot);
        core_close_dev(&slot);
        free_device_lock(&slot);
        --table->count_of_devices;
        clear_record(&slot);
    }
    table->current_device = nullptr;
    return true;
}

EXPORT int core_looking_for_devices(void) {
    TRACE_SCOPE();
    if (dev_shared == nullptr) {
        TRACE_ERROR("Need use QLPAD_initialize() first");
        return -1;
    }
    int n = core_search_devices(dev_shared);
    if (n == 0) {
        TRACE_INFO("No devices found...");
        return 0;
    }
    if (make_current(dev_shared, 0, true) != Switched::ok)
        return -1;
    return n;
}

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

EXPORT int core_get_pad_settings(char *buffer) {
    TRACE_SCOPE();
    int result = -1;
    if (dev_shared == nullptr || dev_shared->current_device == nullptr) {
        TRACE_ERROR("error: dev_shared is NULL...");
    } else if (buffer == nullptr) {
        TRACE_ERROR("*pad_settings of QLPAD_ql_ioctl() is NULL");
    } else if (usb_string_empty(dev_shared->current_device->szPadSettings)) {
        TRACE_ERROR("Error, Pad Setting of current device not available");
    } else {
        snprintf(buffer, kMaxStringLength, "%s", dev_shared->current_device->szPadSettings);
        TRACE_INFO("Pad Settings of current dev: %s", buffer);
        result = static_cast<int>(strlen(buffer));
        if (result == 0) {
            TRACE_ERROR("Error of populate *pad_settings by Pad Settings");
            result = -1;
        }
    }
    core_catch_is_dev_was_removed(&result);
    return result;
}

EXPORT int core_set_device_to_current(const char *settings) {
    TRACE_SCOPE();
    if (dev_shared == nullptr) {
        TRACE_ERROR("error: %s() dev_shared is NULL...", __func__);
        TRACE_ERROR("Need use core_initialize() first");
        return -1;
    }
    // A table that was empty at the search has no current device until a
    // pad that arrived later is switched to by its settings.
    if (dev_shared->current_device == nullptr && settings == nullptr) {
        TRACE_ERROR("error: %s() dev_shared->current_device is NULL...", __func__);
        TRACE_ERROR("No current device..");
        return -1;
    }
    int result;
    if (settings != nullptr && dev_shared->current_device != nullptr &&
        strncmp(settings, dev_shared->current_device->szPadSettings, kMaxStringLength) == 0) {
        result = 0;
    } else if (dev_shared->count_of_devices < 1) {
        TRACE_ERROR("Count of devices <= 0");
        result = -1;
    } else {
        TRACE_INFO("print Pad Settings for all(%d) found devices:", dev_shared->count_of_devices);
        for (int i = 0; i < kMaxDevices; ++i)
            TRACE_INFO("devices[%d].szPadSettings: %s", i, dev_shared->devices[i].szPadSettings);
        if (settings == nullptr) {
            int index = dev_shared->current_index;
            if (dev_shared->count_of_devices == 1) {
                TRACE_INFO("no devices for switching");
                result = 1;
            } else {
                TRACE_INFO("will switch from device[%d]: %s", index,
                           dev_shared->current_device->szPadSettings);
                index = index + 1 >= dev_shared->count_of_devices ? 0 : index + 1;
                result = 0;
            }
            Switched s = make_current(dev_shared, index, true);
            if (s != Switched::ok)
                return switch_result(s, result);
            if (result == 0)
                TRACE_INFO("was switch to device[%d]: %s", index,
                           dev_shared->current_device->szPadSettings);
        } else {
            result = 1;
            for (int i = 0; i < dev_shared->count_of_devices && i < kMaxDevices; ++i) {
                const char *candidate = dev_shared->devices[i].szPadSettings;
                if (candidate[0] == '\0' || strncmp(candidate, settings, kMaxStringLength) != 0)
                    continue;
                TRACE_INFO("device with Pad Settings: %s was found ", settings);
                // The removal check below is of the current device, which a
                // failed switch leaves as it was: the result says itself
                // whether the pad switched to is gone.
                Switched s = make_current(dev_shared, i, false);
                if (s != Switched::ok)
                    return switch_result(s, 0);
                result = 0;
                break;
            }
            if (result == 1)
                TRACE_INFO("device with Pad Settings: %s not found ", settings);
        }
    }
    core_catch_is_dev_was_removed(&result);
    return result;
}

EXPORT bool core_reopen_devs(ql_device_list *table) {
    TRACE_SCOPE();
    if (table == nullptr || table->current_device == nullptr) {
        TRACE_INFO("dev_shared->current_device is NULL");
        return false;
    }
    return core_reopen_pad(table->current_device);
}

EXPORT bool __core_reopen_devs(void) {
    return core_reopen_devs(dev_shared);
}

EXPORT int core_open_dev(ql_device *dev) {
    if (!ArgCheck(API_SITE).require(dev != nullptr, kArgCurrentDevicePointer, dev))
        return -1;
    DEVICE_LOCK_GUARD(guard, dev);
    return __core_open_dev(dev);
}

EXPORT int __core_open_dev(ql_device *dev) {
    int result = 0;
    if (dev->vcom_handle == nullptr && dev->vcom_device != nullptr) {
        dev->vcom_handle = vcom_open_dev(dev->vcom_device);
        if (dev->vcom_handle == nullptr)
            result = -1;
    }
    if (dev->hid == nullptr && !is_it_zero_array(dev->hid_path, sizeof dev->hid_path)) {
        dev->hid = hid_open_dev(dev->hid_path);
        if (dev->hid == nullptr)
            result = -1;
    }
    return result;
}

EXPORT void core_close_dev(ql_device *dev) {
    if (dev == nullptr)
        return;
    DEVICE_LOCK_GUARD(guard, dev);
    __core_close_dev(dev);
}

EXPORT void __core_close_dev(ql_device *dev) {
    // A receive thread may be waiting on these handles without a lock.
    core_quiesce_reader(dev);
    if (dev->vcom_handle != nullptr) {
        vcom_close_dev(dev->vcom_handle);
        dev->vcom_handle = nullptr;
    }
    if (dev->hid != nullptr) {
        hid_close_dev(dev->hid);
        dev->hid = nullptr;
    }
}

}  // extern "C"
