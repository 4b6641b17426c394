#include "vcom.h"

#include <libusb.h>

#include "wrappers.h"

// Bulk-endpoint pads are not searched yet: the search finds none and the
// report functions refuse every transfer.

extern "C" {

EXPORT int search_vcom_devices(ql_device_list *) { return -1; }

EXPORT libusb_device_handle *vcom_open_dev(libusb_device *device)
{
    if (device == nullptr) {
        TRACE_ERROR("input parameter *usb_device == NULL");
        return nullptr;
    }
    libusb_device_handle *handle = nullptr;
    int r = libusb_open(device, &handle);
    if (r != 0) {
        TRACE_ERROR("failed during opening VCOM device %p", static_cast<void *>(device));
        TRACE_ERROR("libusb_open() failed: %s", libusb_error_name(r));
        return nullptr;
    }
    return handle;
}

EXPORT void vcom_close_dev(libusb_device_handle *handle)
{
    if (handle != nullptr)
        libusb_close(handle);
}

EXPORT int vcom_feature_read(ql_device *, void *, unsigned int) { return -1; }
EXPORT int vcom_feature_write(ql_device *, const void *, unsigned int) { return -1; }
EXPORT int vcom_output_write(ql_device *, const void *, unsigned int) { return -1; }
EXPORT int vcom_input_read(ql_device *, void *, unsigned int) { return -1; }

}  // extern "C"
