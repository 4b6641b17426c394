// Worker threads of the pad library: the receive and callback threads of the
// asynchronous input paths and the upload threads of WriteFileBuffer.
//
// Every worker is created joinable and is joined by whoever stops it, so a
// stopper that returns knows the worker has left the library entirely (its
// last instructions included), not only that it signalled its end.
#pragma once

#include <pthread.h>

// While held, no new worker thread starts: Deinitialize holds the workers
// while it stops them, so that a callback running meanwhile cannot start a
// replacement that nobody would stop. Holds nest.
void hold_worker_threads();
void release_worker_threads();

// Creates a joinable worker with a 1 MiB stack. False (traced) when the
// workers are held or the thread cannot be created.
bool create_worker_thread(pthread_t *thread, void *(*routine)(void *), void *arg);

// Names the calling worker thread (at most 15 characters), for debuggers
// and for tests that look for the library's threads.
void name_worker_thread(const char *name);

// Tells the upload threads to stop and returns once every one has ended.
void stop_upload_threads();

// The receive thread's read: makes `device` current, then copies one waiting
// input report of `end_point` into dst, the payload without a report-id
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
