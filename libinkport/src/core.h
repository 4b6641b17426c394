// The device core: the core device table, discovery, the current device and
// the per-interface data paths the API frame starts and stops.
#pragma once

#include <cstdint>

#include "api_common.h"


extern "C" {
EXPORT bool core_initialize(void);
EXPORT void core_uninitialize(void);
}

// Fills the API device table from a fresh search; called with
// dev_list_short_lock held. Number of pads, 0 for none, -1 on failure.
int looking_for_device();

// Asynchronous input paths of one API interface slot.
void stop_thread(unsigned device, unsigned end_point);
void flush_data_packets(unsigned device, unsigned end_point);
// Returns only when every running delivery thread has ended.
void stop_delivery_threads();
void destroy_interface_queue(short_interface &slot);
