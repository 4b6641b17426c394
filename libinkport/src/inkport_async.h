// Worker threads of the pad library: the receive and callback threads of the
// asynchronous input paths and the upload threads of WriteFileBuffer.
//
// Every worker is created joinable and is joined by whoever stops it, so a
// stopper that returns knows the worker has left the library entirely (its
// last instructions included), not only that it signalled its end.
#pragma once

#include <pthread.h>

#include "api_common.h"

// Tells the upload threads to stop and returns once every one has ended.
void stop_upload_threads();

struct ql_device;

// The core record of the pad at API number `device`, found by its settings
// as a switch finds it, without making it current. failure is what a
// switch would have answered instead of 0: -1 (no such pad, or it is gone:
// removed), 1 (the table names a pad the core does not have).
struct PadLookup {
    ql_device *pad = nullptr;
    int failure = 0;
    bool removed = false;
};
PadLookup find_pad(unsigned int device);
// Reports a failed look-up as a failed switch is reported (exception 257),
// the removal hook included. Call with no library lock held.
uint32_t report_pad_lookup(ApiSite site, const PadLookup &p, unsigned int device,
                           unsigned int end_point);
// Record of interface `end_point` of `pad`, opened if it was closed; null
// (traced) when the pad has no such interface or it cannot be opened.
ql_device *open_interface(ql_device *pad, unsigned int end_point);

// A read of the pad of `device` that does not make it current (the receive
// thread itself waits with core_input_wait): copies one waiting input
// report of `end_point` into dst, the payload without a report-id
// byte and never more than dst_length bytes (a longer report is cut short
// and logged). *reply is the number of bytes copied, left at 0 when no report
// was waiting. 0 or an exception's handle.
uint32_t read_file(unsigned int device, unsigned int end_point, void *dst, unsigned int dst_length,
                   unsigned int *reply);

// Whether the calling thread is a receive thread past its start-up (which
// it runs on behalf of the application's call): it tells of a removal of
// its pad as a library thread does (see removal_to_tell).
bool on_streaming_receive_thread();
// Whether a receive thread streams from pad `device`: it finds the pad gone
// at its next read and tells the application itself.
bool receive_thread_streams(unsigned int device);

// Removal hook: for -20, stops receiving on (device, end point) and tells the
// application's removed handler. Call with no library lock held.
void catch_removing_device(int result, unsigned int device, unsigned int end_point);
// Calls the application's removed handler, if any, for `device`. Call with
// no library lock held.
void tell_removed(unsigned int device);

// Asynchronous input paths of one API interface slot.
void stop_thread(unsigned device, unsigned end_point);
// Asks the receive thread of (device, end point) to stop without waiting.
void __stop_thread(unsigned device, unsigned end_point);
void flush_data_packets(unsigned device, unsigned end_point);
// Returns only when every running delivery thread has ended.
void stop_delivery_threads();
// On a receive thread whose callback stops the library: lets the thread go
// (see inkport_async.cpp) so that no stopper waits for it. Else nothing.
void disown_this_receive_thread();
void destroy_interface_queue(short_interface &slot);
