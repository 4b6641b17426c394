// The VCOM transport: pads with a vendor interface of one bulk IN and one
// bulk OUT endpoint, reached through libusb's default context.
#pragma once

#include "core.h"

extern "C" {
EXPORT int search_vcom_devices(ql_device_list *table);
EXPORT libusb_device_handle *vcom_open_dev(libusb_device *device);
EXPORT void vcom_close_dev(libusb_device_handle *handle);
EXPORT int vcom_feature_read(ql_device *dev, void *data, unsigned int len);
EXPORT int vcom_feature_write(ql_device *dev, const void *data, unsigned int len);
EXPORT int vcom_output_write(ql_device *dev, const void *data, unsigned int len);
EXPORT int vcom_input_read(ql_device *dev, void *data, unsigned int len);
}
