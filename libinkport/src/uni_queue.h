// The frame queue: a first-in-first-out list of received frames, each a heap
// buffer with its length, guarded by one mutex.
//
// Ownership: add_uni_frame takes over the buffer it is given when it returns
// 1 (it copies nothing); when it returns 0 the buffer still belongs to the
// caller. get_uni_frame hands the buffer to its caller, who releases it with
// free().
//
// Locking: add_uni_frame and destroy_uni_queue lock the queue themselves.
// get_uni_frame, get_uni_queue_size and clear_uni_queue take no lock; a caller
// that shares the queue with another thread brackets them with
// quiet_lock_queue / quiet_unlock_queue, and must not call add_uni_frame or
// destroy_uni_queue while it holds that lock.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "api_common.h"

struct uni_frame {
    uint32_t length;
    void *data;
    uni_frame *next;  // the next newer frame
};

struct uni_queue {
    pthread_mutex_t mutex;
    int64_t count;
    uni_frame *first;  // oldest, null when empty
    uni_frame *last;   // newest, null when empty
};

extern "C" {

// A new empty queue, or null when its mutex cannot be initialised.
EXPORT uni_queue *init_uni_queue(void);
// 1 when appended; 0 when the queue is null or cannot be locked.
EXPORT int add_uni_frame(uni_queue *queue, void *data, uint32_t length);
// The oldest frame's buffer (its length through *length), or null when the
// queue is null or empty, in which case *length is left untouched.
EXPORT void *get_uni_frame(uni_queue *queue, uint32_t *length);
// Number of queued frames; 0 for a null queue.
EXPORT int64_t get_uni_queue_size(uni_queue *queue);
// Removes and frees every frame.
EXPORT void clear_uni_queue(uni_queue *queue);
// Clears the queue under its lock, then frees it. A null queue, or one that
// cannot be locked, is left alone.
EXPORT void destroy_uni_queue(uni_queue *queue);

// Lock and unlock results are those of pthread_mutex_lock/unlock; -1 for a
// null queue. __lock_uni_queue writes mutex trace records, the quiet pair
// does not (consumers poll with it).
EXPORT int __lock_uni_queue(uni_queue *queue);
EXPORT int quiet_lock_queue(uni_queue *queue);
EXPORT int quiet_unlock_queue(uni_queue *queue);
}
