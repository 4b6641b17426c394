// Pads that are plugged in or pulled while the library runs: a monitor
// thread on libusb's hot-plug events numbers arriving pads and marks leaving
// ones removed, and tells the application's handlers.
#pragma once

#include <atomic>

#include "api_common.h"

// Initialize's two steps: the monitor listens from before the search (so no
// pad plugged in meanwhile goes unseen) and starts its thread after it (so
// that it does not describe a pad while the search does). Both under
// gen_thread_mutex_lock; neither does anything where libusb has no hot-plug.
void hotplug_listen();
void hotplug_start();
// Deinitialize's step, before anything else is stopped: ends the monitor and
// returns once its thread has ended. Called from a handler on the monitor
// thread itself, it returns at once and the thread ends when the handler
// returns.
void hotplug_stop();
