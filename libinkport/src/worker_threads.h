// The library's worker threads as threads: creating them (and holding
// their creation while they are being stopped), naming them, and the count
// of workers that stopped the library from their own callback and that
// nobody joins. Below the units that run workers (asynchronous input, bulk
// upload, hot-plug monitor) and the frame that stops them.
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

// A worker that stopped the library from its own callback and that nobody
// joins counts itself in when it lets go, and out as the last thing it does.
void begin_letting_go();
void end_letting_go();
// Returns once every worker that stopped the library from its own callback
// has ended, the calling thread excepted.
void wait_for_threads_letting_go();
