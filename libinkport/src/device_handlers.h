// The library-wide device handlers (a pad removed, a pad arrived): each is
// one record of function and user pointer, replaced as a whole and called
// as the pair that was registered.
#pragma once

#include <cstdint>

#include "inkport/inkport.h"

// The two handlers share one shape.
typedef InkportDeviceRemovedCallback DeviceHandlerFn;

enum class DeviceEvent { removed, arrived };

struct DeviceHandler {
    DeviceHandlerFn fn = nullptr;
    void *user_specific = nullptr;
};

// Replaces the handler of `event`. From then on no call of the old one
// starts. With `wait`, it returns once no call of a handler it (or an
// earlier replacement) replaced is still running, unless the calling thread
// is one of the library's or is inside a device handler itself: such a wait
// could be for a call that waits for this thread.
void set_device_handler(DeviceEvent event, DeviceHandler handler, bool wait);
// The exported registration: the handler replaced, waiting as above, and
// the registration traced. Always 0.
uint32_t store_device_handler(DeviceEvent event, DeviceHandlerFn fn, void *user_specific);
// The handler registered now.
DeviceHandler device_handler(DeviceEvent event);
// Who found a pad gone. The library's own threads (the monitor, receive
// threads) tell the application once per removal between them; each call of
// the application that meets the removal tells it again.
enum class RemovalFinder { application, receive_thread, monitor };
// Whether a removal of pad `device` that `finder` met is to be told.
bool removal_to_tell(unsigned int device, RemovalFinder finder);
// Forgets who told of the removal of pad `device` (it has arrived again), or
// of every pad for a `device` out of range (the library starts).
void reset_removal_notices(unsigned int device);

// Calls the handler of `event`, if any, with `device`. Call with no library
// lock held.
void call_device_handler(DeviceEvent event, uint32_t device);
