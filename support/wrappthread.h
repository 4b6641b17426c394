// POSIX thread wrappers, scoped locks, one-shot signals, and the monotonic
// elapsed time that deadlines and retry budgets are measured in.
#pragma once

#include <pthread.h>

#include <chrono>

#include "wrappers.h"

// Whole milliseconds since `start` on the monotonic clock. Deadlines use it;
// time stamps that leave the process use the wall clock instead.
inline long elapsed_ms(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// Each wrapper reports a non-zero result through err_ret (with errno set to
// it) and returns nothing: callers that care use the POSIX call itself.
void Pthread_create(pthread_t *tid, const pthread_attr_t *attr, void *(*func)(void *), void *arg);
void Pthread_join(pthread_t tid, void **status);
void Pthread_detach(pthread_t tid);
void Pthread_kill(pthread_t tid, int signo);
void Pthread_mutexattr_init(pthread_mutexattr_t *attr);
void Pthread_mutexattr_setpshared(pthread_mutexattr_t *attr, int flag);
void Pthread_mutex_init(pthread_mutex_t *mptr, pthread_mutexattr_t *attr);
void Pthread_mutex_lock(pthread_mutex_t *mptr);
void Pthread_mutex_unlock(pthread_mutex_t *mptr);
void Pthread_cond_broadcast(pthread_cond_t *cptr);
void Pthread_cond_signal(pthread_cond_t *cptr);
void Pthread_cond_wait(pthread_cond_t *cptr, pthread_mutex_t *mptr);
void Pthread_cond_timedwait(pthread_cond_t *cptr, pthread_mutex_t *mptr,
                            const struct timespec *tsptr);
void Pthread_once(pthread_once_t *ptr, void (*func)(void));
void Pthread_key_create(pthread_key_t *key, void (*func)(void *));
void Pthread_setspecific(pthread_key_t key, const void *value);

// Counts, per thread, the library locks the thread holds, so that work that
// must not run under any of them (calling out to an application) can wait
// for the last one to go. When a thread's count drops back to 0 the hook set
// with set_locks_released_hook runs on that thread, with no lock held.
struct HeldLockScope {
    HeldLockScope();
    ~HeldLockScope();
    HeldLockScope(const HeldLockScope &) = delete;
    HeldLockScope &operator=(const HeldLockScope &) = delete;
};
// Library locks the calling thread holds now.
int held_lock_count();
void set_locks_released_hook(void (*hook)());

// Holds a named mutex for a scope and writes the mutex trace records with the
// lock's name, so that no return path can leave the lock held. The mutex
// counts as a held library lock (HeldLockScope) until it is released.
class ScopedMutex {
  public:
    ScopedMutex(pthread_mutex_t *mutex, const char *name, const char *file, int line,
                const char *func);
    ~ScopedMutex() { unlock(); }
    // Releases early; the destructor then does nothing.
    void unlock();
    ScopedMutex(const ScopedMutex &) = delete;
    ScopedMutex &operator=(const ScopedMutex &) = delete;

  private:
    pthread_mutex_t *mutex_;
    const char *name_;
    const char *file_;
    int line_;
    const char *func_;
};

#define LOCK_GUARD(var, mutex) ScopedMutex var((mutex), #mutex, __FILE_NAME__, __LINE__, __func__)

// Traced lock and unlock for the few places where a lock's scope is not a
// block (a lock handed over between functions of one thread).
#define TRACED_LOCK(mutex)                                                              \
    do {                                                                                \
        trace_mutex(__FILE_NAME__, __LINE__, __func__, MutexStep::before_lock, #mutex); \
        Pthread_mutex_lock(mutex);                                                      \
        trace_mutex(__FILE_NAME__, __LINE__, __func__, MutexStep::after_lock, #mutex);  \
    } while (0)
#define TRACED_UNLOCK(mutex)                                                             \
    do {                                                                                 \
        Pthread_mutex_unlock(mutex);                                                     \
        trace_mutex(__FILE_NAME__, __LINE__, __func__, MutexStep::after_unlock, #mutex); \
    } while (0)

// A flag that one thread raises and others wait for: "the worker has
// started", "the worker has ended", "stop now", "there is more to look at".
// It stays raised until reset. Unlike a mutex held for a thread's life, it
// may be raised by one thread and consumed by another: it is a condition
// with a flag. It runs either under a mutex of its own or under a named mutex
// of the process, whose lock and unlock then show in the mutex trace.
class OneShot {
  public:
    OneShot() : OneShot(nullptr, nullptr) {}
    OneShot(pthread_mutex_t *mutex, const char *name);
    ~OneShot();
    OneShot(const OneShot &) = delete;
    OneShot &operator=(const OneShot &) = delete;

    void raise();
    void reset();
    bool is_raised();
    void wait();
    // True when raised before `limit` has passed (monotonic clock).
    bool wait_for(std::chrono::microseconds limit);

  private:
    class Hold;
    pthread_mutex_t own_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t *mutex_;
    const char *name_;
    pthread_cond_t cond_;
    bool raised_ = false;
};
