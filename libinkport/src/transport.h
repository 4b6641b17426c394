// What the core knows of a transport: one table of operations per back-end
// (HID in hid.cpp, VCOM in vcom.cpp and vcom_search.cpp), every entry filled.
// A back-end's search sets the table of each record it fills
// (ql_device::transport); the core, the SSP exchange and the API reach the
// pad only through it, so a transport is added or changed in its own files
// and in one row of the core's list (core_table.cpp).
//
// Unless said otherwise an operation runs with the record's device_lock
// held where the record has one, the core has checked the arguments, and
// results follow the back-end's entries of the same name.
#pragma once

#include <cstdint>

#include "core.h"

struct Transport {
    // Names the transport in traces: "HID", "VCOM".
    const char *name;

    // ---- Discovery (no record lock) ----
    // Adds the transport's pads to `table`: the count in the table after the
    // last one stored, or -1 when none was.
    int (*search)(ql_device_list *table);
    // Whether the search asks for (vendor_id, product_id).
    bool (*searches_for)(uint32_t vendor_id, uint32_t product_id);
    // Describes, as the search does, the pad plugged in at `location` (see
    // core_usb_location): at most `capacity` records, each owning a lock
    // until the table takes it. The number described, 0 for none.
    int (*describe_arrived)(uint16_t vendor_id, uint16_t product_id, const char *location,
                            ql_device *out, int capacity);
    // Ends what the transport's library keeps for the process; after the
    // core has closed every record.
    void (*end)();

    // ---- The record's handle ----
    // Opens it unless open: 0 (also when the record names nothing to open),
    // or -1.
    int (*open)(ql_device *dev);
    // Closes it if open; the core has quiesced the record's readers.
    void (*close)(ql_device *dev);
    bool (*is_open)(const ql_device *dev);

    // ---- Report and feature transfers on an open record ----
    // 0 or a failure; input_read: the byte count, below 0 on failure.
    int (*feature_read)(ql_device *dev, void *data, unsigned int len);
    int (*feature_write)(ql_device *dev, const void *data, unsigned int len);
    int (*output_write)(ql_device *dev, const void *data, unsigned int len);
    int (*input_read)(ql_device *dev, void *data, unsigned int len);
    // The largest input report (`input`) or out-endpoint transfer; 0 when
    // the record is closed.
    int (*packet_size)(const ql_device *dev, bool input);
    // The receive thread's wait for one input report, taken with no lock
    // held (see core_input_wait): bytes read, 0 when none came within
    // time_out ms or the record was closed meanwhile, below 0 on failure.
    int (*input_wait)(ql_device *dev, uint8_t *data, unsigned int len, unsigned int time_out);

    // ---- SSP transport tokens ----
    // Sends one message's tokens: 0, or below 0 (-20 once the pad is known
    // gone).
    int (*ssp_send)(ql_device *dev, const uint8_t *tokens, unsigned int size);
    // One read of token bytes into buffer (room for size, at least
    // ssp_read_size): fresh is the first read of a pass, which may ask the pad
    // for data (`request`: the exchange asks for a reply), otherwise a read
    // that continues what the last one cut. The byte count, or below 1 (a
    // libusb error where there is one); failures are traced.
    int (*ssp_read)(ql_device *dev, uint8_t *buffer, unsigned int size, unsigned int time_out,
                    bool fresh, bool request);
    // The smallest room a read may be given without losing bytes.
    unsigned int (*ssp_read_size)(const ql_device *dev);
    // The exchange reads the pipe that a receive thread waits on, which it
    // must have to itself.
    bool ssp_shares_input_pipe;
};
