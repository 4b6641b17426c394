// Getters of the current device's identity.
#include <cstdio>
#include <cstring>

#include "core.h"
#include "wrappers.h"

namespace {

int finish(int result) {
    core_catch_is_dev_was_removed(&result);
    return result;
}

// Copies one text field of the current device (at most 255 characters).
// An empty field is -1 with `empty_error`, or 0 when that is null.
template <size_t N>
int copy_field(char *buffer, const char (ql_device::*field)[N], const char *empty_error,
               const char *info) {
    const ql_device *dev = core_current_device(true);
    if (dev == nullptr)
        return -1;
    if (buffer == nullptr) {
        TRACE_ERROR("*ptr of QLPAD_ql_ioctl() is NULL");
        return finish(-1);
    }
    const char *text = dev->*field;
    snprintf(buffer, kMaxStringLength, "%.255s", text);
    int n = static_cast<int>(strlen(buffer));
    if (n == 0 && empty_error != nullptr) {
        TRACE_ERROR("%s", empty_error);
        return finish(-1);
    }
    if (info != nullptr)
        TRACE_INFO(info, buffer);
    return finish(n);
}

int number_field(uint32_t ql_device::*field, const char *info) {
    const ql_device *dev = core_current_device(true);
    if (dev == nullptr)
        return -1;
    int value = static_cast<int>(dev->*field);
    TRACE_INFO(info, value);
    return finish(value);
}

}  // namespace

extern "C" {

EXPORT int core_get_serial_number(char *buffer) {
    return copy_field(buffer, &ql_device::serial_number, nullptr, nullptr);
}

EXPORT int core_get_pad_name(char *buffer) {
    return copy_field(buffer, &ql_device::product,
                      "Error, Pad Name of current device not available",
                      "Pad Name of current dev: %s");
}

EXPORT int core_get_pad_manufacturer(char *buffer) {
    return copy_field(buffer, &ql_device::manufacturer,
                      "Error, Pad manufacturer of current device not available",
                      "Pad's manufacturer of current dev: %s");
}

EXPORT int core_get_pad_product_id(void) {
    return number_field(&ql_device::product_id, "Pad's product ID: %d");
}

EXPORT int core_get_vendor_id(void) {
    return number_field(&ql_device::vendor_id, "Pad's vendor ID: %d");
}

EXPORT int core_get_pad_bcd_device(void) {
    return number_field(&ql_device::bcd_device, "Pad's bcdDevice: %x");
}

EXPORT int core_get_count_of_hid_interfaces(void) {
    const ql_device *dev = core_current_device(true);
    if (dev == nullptr)
        return -1;
    TRACE_INFO("Pad's have %d interfaces", dev->count_of_interfaces);
    return finish(dev->count_of_interfaces);
}

}  // extern "C"
