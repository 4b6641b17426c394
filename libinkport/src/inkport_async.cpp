// Asynchronous input delivery per device interface.
#include "core.h"

// Receiving threads come with the asynchronous-input work; until then no
// thread runs and there is nothing to stop or flush.

void stop_thread(unsigned, unsigned) {}
void flush_data_packets(unsigned, unsigned) {}
void stop_delivery_threads() {}
void destroy_interface_queue(short_interface &slot) { slot.uqueue = nullptr; }
void __stop_thread(unsigned, unsigned) {}
