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
