// The life of the core device table: initialising it, the search over
// every transport, switching the current device, closing every pad.
#include "core_table.h"

#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "transport.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

// The back-ends' tables (hid.cpp, vcom_search.cpp).
extern const Transport hid_transport;
extern const Transport vcom_transport;

namespace {

// The search asks them in this order: the table numbers HID pads first.
constexpr const Transport *kTransports[] = {&hid_transport, &vcom_transport};

ql_device_list dev_shared_storage;

bool usb_string_empty(const char *s) {
    return s[0] == '\0';
}

void reset_rectangle_if_needed(ql_device *dev) {
    if (core_pad_traits(dev->pad_type).resets_rectangle)
        core_create_signature_rectangle(dev, 0, 0, 0, 0, 0);
}

// How a switch to one slot ended.
enum class Switched { ok, failed, gone };

// Makes slot `index` current and opens it; an advance (not a switch by
// settings) then resets the signature rectangle of the models that need it.
// A slot that cannot be opened is not kept current: the pad that was
// current before stays so (it was not closed), and so do the API table's
// number of it and the calls made on it. `gone` when the slot's pad is
// marked removed.
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

std::span<const Transport *const> core_transports() {
    return kTransports;
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
    core_set_usb_ready(libusb_init(nullptr) == 0);
    if (!core_usb_ready())
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
        if (core_set_usb_ready(false))
            libusb_exit(nullptr);
    }
    for (const Transport *t : kTransports)
        t->end();
}

EXPORT int core_search_devices(ql_device_list *table) {
    TRACE_SCOPE();
    if (table == nullptr) {
        TRACE_INFO("warning: you should initialize the shared memory");
        return 0;
    }
    if (table->current_device != nullptr) {
        core_close_extra_interfaces(table->current_device);
        core_close_dev(table->current_device);
    }
    core_close_all_devs_clear_mem(table);
    table->current_device = nullptr;
    table->current_index = 0;
    for (const Transport *t : kTransports)
        t->search(table);
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

}  // extern "C"
