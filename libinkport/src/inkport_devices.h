// The API device table: numbering the pads of the core table, switching
// the current pad by its API number, enumerating.
#pragma once

#include "api_common.h"

// Fills `table` from a fresh search; Initialize calls it on the table before
// it publishes it, with dev_switch_lock held. Number of pads, 0 for none, -1
// on failure.
int looking_for_device(short_device_list *table);
int set_dev_to_current(unsigned int device, int lock_flag);
int get_current_dev();
// Makes an API device current for a device function: 0, or the handle of
// the exception that describes why it could not (code 257).
uint32_t switch_to_device(ApiSite site, unsigned int device);
// Number of pads the API table numbers.
unsigned int api_device_count();
// The first pad from API number `first` on that can be made current (made
// so), or 0; `start` for the first look of an enumeration.
unsigned int enumerate_from(ApiSite site, unsigned int first, bool start);
