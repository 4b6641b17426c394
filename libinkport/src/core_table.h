// The life of the core device table: initialising and ending it, the search
// over every transport, switching the current device, closing every pad.
// The one unit that knows the list of transports.
#pragma once

#include <span>

#include "core.h"

struct Transport;

extern "C" {
EXPORT bool core_initialize(void);
EXPORT void core_uninitialize(void);
EXPORT int core_search_devices(ql_device_list *table);
EXPORT int core_looking_for_devices(void);
EXPORT int core_get_pad_settings(char *buffer);
EXPORT int core_set_device_to_current(const char *settings);
EXPORT bool core_reopen_devs(ql_device_list *table);
EXPORT bool __core_reopen_devs(void);
EXPORT bool core_close_all_devs_clear_mem(ql_device_list *table);
}

// Every transport, in the order the search asks them.
std::span<const Transport *const> core_transports();
