// The HID transport: discovery of HID pads through hidapi (libusb back-end)
// and the raw report transfers on an open HID interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"

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

// Model code of a (vendor, product) pair, or 0 when the pair is unknown (the
// reason is traced). Sets the two model values where the model has them.
uint32_t hid_pad_type(uint32_t vendor_id, uint32_t product_id, ql_device *dev);

// A newly allocated default mutex for a record.
pthread_mutex_t *new_device_lock();
void free_device_lock(ql_device *dev);

// Stores a found interface in the table: a further interface of a pad already
// there (same settings string), or a new pad in the first free slot.
// `whole_record` false stores only the model code in an extra interface (the
// VCOM search's way). Returns true when stored.
bool store_found_interface(ql_device_list *table, const ql_device &found, bool whole_record);
