// The VCOM transport: pads with a vendor interface of one bulk IN and one
// bulk OUT endpoint, reached through libusb's default context.
#pragma once

#include "core.h"
#include "transport.h"

extern "C" {
EXPORT int search_vcom_devices(ql_device_list *table);
EXPORT libusb_device_handle *vcom_open_dev(libusb_device *device);
EXPORT void vcom_close_dev(libusb_device_handle *handle);
EXPORT int vcom_feature_read(ql_device *dev, void *data, unsigned int len);
EXPORT int vcom_feature_write(ql_device *dev, const void *data, unsigned int len);
EXPORT int vcom_output_write(ql_device *dev, const void *data, unsigned int len);
EXPORT int vcom_input_read(ql_device *dev, void *data, unsigned int len);

// Bulk primitives. usb_data_send: 0, or the libusb error of the last of up to
// three attempts. usb_data_receive: bytes received (0 for an empty
// transfer), or a libusb error code.
EXPORT int usb_data_send(libusb_device_handle *device_handle, uint8_t endpoint, const void *data,
                         int data_size);
EXPORT int usb_data_receive(libusb_device_handle *device_handle, uint8_t endpoint, void *data,
                            unsigned int data_size, unsigned int time_out);
// Reads SSP token data from the pad's bulk IN endpoint until some arrives or
// time_out ms have passed; skip_zero_data ignores transfers of zeros only.
// The byte count, or -1, -7 (nothing within time_out), -4 (pad gone).
EXPORT int vcom_read_ssp_data(ql_device *current_device, void *data, unsigned int data_size,
                              unsigned int time_out, bool skip_zero_data);
}

// The transport table of VCOM records.
extern const Transport vcom_transport;

// The receive thread's wait for one input report of a VCOM record (see
// core_input_wait): a queued pen message first, else one bulk read that
// another thread may cancel. Payload bytes copied, 0 when nothing came
// within time_out ms, a libusb error when the read failed (no device: the
// record is marked removed).
int vcom_input_wait(ql_device *dev, uint8_t *data, unsigned int len, unsigned int time_out);
// One bulk IN read of up to size bytes that `wait` lets another thread cut
// short: bytes read (0 when the time-out or a cancel came first), or a
// libusb error.
int vcom_wait_bulk_in(TransportWait &wait, libusb_device_handle *handle, uint8_t endpoint,
                      uint8_t *data, int size, unsigned int time_out);
// Whether the VCOM search asks for (vendor_id, product_id).
bool vcom_searches_for(uint32_t vendor_id, uint32_t product_id);
// Describes, as the search does, the VCOM pad plugged in at `location` (bus
// and port path, as core_usb_location writes it): true with the record the
// table keeps in *out, which owns a lock and a reference on the USB device
// until the table takes them (discard_record otherwise).
bool describe_arrived_vcom_pad(uint16_t vendor_id, uint16_t product_id, const char *location,
                               ql_device *out);
