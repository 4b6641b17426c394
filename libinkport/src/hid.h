// The HID transport: discovery of HID pads through hidapi (libusb back-end)
// and the raw report transfers on an open HID interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"
#include "transport.h"

extern "C" {
EXPORT int search_hid_devices(ql_device_list *table);
EXPORT hid_device *hid_open_dev(const char *path);
EXPORT void hid_close_dev(hid_device *handle);
EXPORT int hid_feature_read(hid_device *handle, void *data, unsigned int len);
EXPORT int hid_feature_write(hid_device *handle, const void *data, unsigned int len);
EXPORT int hid_input_read(hid_device *handle, void *data, unsigned int len);
EXPORT int hid_output_write(hid_device *handle, const void *data, unsigned int len);
EXPORT int hid_get_max_packet_size_of_out_endpoint(const ql_device *dev);
EXPORT int hid_get_max_packet_size_of_input_report(const ql_device *dev);
EXPORT const char *hidapi_str_error(hid_device *handle);
// Polls the pad for SSP token data (0xF9 answers with status 0) until
// time_out ms have passed; send_request writes the 0xF9 request before each
// read. The byte count copied into data (at most 62), or -1.
EXPORT int hid_read_ssp_data(hid_device *hid, void *data, unsigned int data_size,
                             unsigned int time_out, bool send_request);
}

// The transport table of HID records.
extern const Transport hid_transport;

// The receive thread's wait for one input report of a HID record (see
// core_input_wait): bytes read, 0 when none came within time_out ms, -1 when
// the read failed; 0 too when the record was closed meanwhile.
int hid_input_wait(ql_device *dev, uint8_t *data, unsigned int len, unsigned int time_out);
// Whether the HID search asks for (vendor_id, product_id).
bool hid_searches_for(uint32_t vendor_id, uint32_t product_id);
// Describes, as the search does, the HID interfaces of the pad plugged in at
// `location` (bus and port path, as core_usb_location writes it): at most
// `capacity` records, each with a lock of its own, for the table to take.
// The number described; 0 when the pad is none of ours or could not be
// described whole.
int describe_arrived_hid_pad(uint16_t vendor_id, uint16_t product_id, const char *location,
                             ql_device *out, int capacity);
