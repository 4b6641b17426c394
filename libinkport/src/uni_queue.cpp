#include "uni_queue.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "wrappers.h"
#include "wrapunix.h"

namespace {

constexpr const char *kMutexName = "&queue->mutex";

// Holds a queue's mutex for a scope. Unlike ScopedMutex it keeps the lock
// result, because add_uni_frame must answer 0 when the lock cannot be taken.
class QueueLock {
  public:
    QueueLock(uni_queue *queue, const char *func, int line)
        : queue_(queue), func_(func), line_(line) {
        trace_mutex(__FILE_NAME__, line_, func_, MutexStep::before_lock, kMutexName);
        result_ = pthread_mutex_lock(&queue_->mutex);
        if (result_ != 0) {
            errno = result_;
            trace_error(__FILE_NAME__, line_, func_, true, "pthread_mutex_lock()");
            return;
        }
        trace_mutex(__FILE_NAME__, line_, func_, MutexStep::after_lock, kMutexName);
    }
    ~QueueLock() {
        if (result_ != 0)
            return;
        int n = pthread_mutex_unlock(&queue_->mutex);
        if (n != 0) {
            errno = n;
            trace_error(__FILE_NAME__, line_, func_, true, "pthread_mutex_unlock()");
        }
        trace_mutex(__FILE_NAME__, line_, func_, MutexStep::after_unlock, kMutexName);
    }
    bool held() const { return result_ == 0; }
    QueueLock(const QueueLock &) = delete;
    QueueLock &operator=(const QueueLock &) = delete;

  private:
    uni_queue *queue_;
    const char *func_;
    int line_;
    int result_;
};

// The untraced lock or unlock of the quiet pair; its error texts are the same
// for both steps.
int quiet_step(ApiSite site, uni_queue *queue, int (*step)(pthread_mutex_t *)) {
    if (queue == nullptr) {
        if (trace_on(TraceClass::info))
            trace_info(site.file, site.line, site.func, "error: uninitialized queue!");
        return -1;
    }
    int n = step(&queue->mutex);
    if (n != 0) {
        errno = n;
        trace_error(site.file, site.line, site.func, true, "pthread_mutex_lock() return error!");
    }
    return n;
}

bool is_empty(const uni_queue *queue) {
    return queue == nullptr || queue->first == nullptr || queue->last == nullptr ||
           queue->count < 1;
}

}  // namespace

extern "C" {

EXPORT uni_queue *init_uni_queue(void) {
    TRACE_SCOPE();
    auto *queue = static_cast<uni_queue *>(Calloc(1, sizeof(uni_queue)));
    int n = pthread_mutex_init(&queue->mutex, nullptr);
    if (n != 0) {
        errno = n;
        TRACE_ERROR_ERRNO("pthread_mutex_init()");
        free(queue);
        return nullptr;
    }
    return queue;
}

EXPORT int add_uni_frame(uni_queue *queue, void *data, uint32_t length) {
    TRACE_SCOPE();
    // Checked before allocating, so a null queue costs the caller nothing:
    // the buffer stays theirs.
    if (queue == nullptr) {
        TRACE_INFO("queue pointer is NULL");
        return 0;
    }
    auto *frame = static_cast<uni_frame *>(Calloc(1, sizeof(uni_frame)));
    if (frame == nullptr) {
        fprintf(stderr, "error: %s: %d\n", __func__, __LINE__);
        exit(-1);
    }
    QueueLock lock(queue, __func__, __LINE__);
    if (!lock.held()) {
        free(frame);
        return 0;
    }
    frame->length = length;
    frame->data = data;
    if (queue->last == nullptr)
        queue->first = frame;
    else
        queue->last->next = frame;
    queue->last = frame;
    ++queue->count;
    return 1;
}

EXPORT void *get_uni_frame(uni_queue *queue, uint32_t *length) {
    TRACE_SCOPE();
    if (queue == nullptr) {
        TRACE_INFO("queue pointer is NULL");
        return nullptr;
    }
    if (is_empty(queue)) {
        TRACE_INFO("queue is empty");
        return nullptr;
    }
    uni_frame *frame = queue->first;
    if (length != nullptr)
        *length = frame->length;
    void *data = frame->data;
    queue->first = frame->next;
    free(frame);
    if (--queue->count < 1) {
        queue->first = nullptr;
        queue->last = nullptr;
    }
    return data;
}

EXPORT int64_t get_uni_queue_size(uni_queue *queue) {
    TRACE_SCOPE();
    return queue == nullptr ? 0 : queue->count;
}

EXPORT void clear_uni_queue(uni_queue *queue) {
    TRACE_SCOPE();
    if (queue == nullptr) {
        TRACE_INFO("error: uninitialized queue!");
        return;
    }
    while (!is_empty(queue)) {
        uint32_t length = 0;
        free(get_uni_frame(queue, &length));
    }
}

EXPORT void destroy_uni_queue(uni_queue *queue) {
    TRACE_SCOPE();
    if (queue == nullptr)
        return;
    {
        QueueLock lock(queue, __func__, __LINE__);
        if (!lock.held())
            return;
        clear_uni_queue(queue);
    }
    int n = pthread_mutex_destroy(&queue->mutex);
    if (n != 0) {
        errno = n;
        TRACE_ERROR_ERRNO("pthread_mutex_init, %s:%d", __FILE_NAME__, __LINE__);
    }
    free(queue);
}

EXPORT int __lock_uni_queue(uni_queue *queue) {
    TRACE_SCOPE();
    if (queue == nullptr)
        return -1;
    trace_mutex(__FILE_NAME__, __LINE__, __func__, MutexStep::before_lock, kMutexName);
    int n = pthread_mutex_lock(&queue->mutex);
    if (n != 0) {
        errno = n;
        TRACE_ERROR_ERRNO("pthread_mutex_lock()");
        return n;
    }
    trace_mutex(__FILE_NAME__, __LINE__, __func__, MutexStep::after_lock, kMutexName);
    return n;
}

EXPORT int quiet_lock_queue(uni_queue *queue) {
    TRACE_SCOPE();
    return quiet_step(API_SITE, queue, pthread_mutex_lock);
}

EXPORT int quiet_unlock_queue(uni_queue *queue) {
    TRACE_SCOPE();
    return quiet_step(API_SITE, queue, pthread_mutex_unlock);
}

}  // extern "C"
