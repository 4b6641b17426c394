#include "core.h"

#include "wrappers.h"

// Device discovery and the data paths arrive with the transports; until then
// the library behaves as on a machine with no pad attached and no worker
// thread running.

extern "C" {

EXPORT bool core_initialize(void)
{
    TRACE_SCOPE();
    return true;
}

EXPORT void core_uninitialize(void) { TRACE_SCOPE(); }

}  // extern "C"

int looking_for_device()
{
    API_INFO("sizeof(wchar_t): %d\n", static_cast<int>(sizeof(char16_t)));
    API_INFO("Devices not found!\n");
    return 0;
}

void stop_thread(unsigned, unsigned) {}
void flush_data_packets(unsigned, unsigned) {}
void stop_delivery_threads() {}
void destroy_interface_queue(short_interface &slot) { slot.uqueue = nullptr; }
