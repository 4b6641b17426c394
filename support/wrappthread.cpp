#include "wrappthread.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

void report(int n, const char *call) {
    if (n == 0)
        return;
    errno = n;
    err_ret("%s", call);
}

}  // namespace

void Pthread_create(pthread_t *tid, const pthread_attr_t *attr, void *(*func)(void *), void *arg) {
    int n = pthread_create(tid, attr, func, arg);
    if (n == 0) {
        TRACE_INFO("pthread_create return -> %d", n);
        return;
    }
    report(n, "pthread_create()");
}

void Pthread_join(pthread_t tid, void **status) {
    report(pthread_join(tid, status), "pthread_join()");
}

void Pthread_detach(pthread_t tid) {
    report(pthread_detach(tid), "pthread_detach()");
}

void Pthread_kill(pthread_t tid, int signo) {
    report(pthread_kill(tid, signo), "pthread_kill()");
}

void Pthread_mutexattr_init(pthread_mutexattr_t *attr) {
    report(pthread_mutexattr_init(attr), "pthread_mutexattr_init()");
}

void Pthread_mutexattr_setpshared(pthread_mutexattr_t *attr, int flag) {
    report(pthread_mutexattr_setpshared(attr, flag), "pthread_mutexattr_setpshared()");
}

void Pthread_mutex_init(pthread_mutex_t *mptr, pthread_mutexattr_t *attr) {
    report(pthread_mutex_init(mptr, attr), "pthread_mutex_init()");
}

void Pthread_mutex_lock(pthread_mutex_t *mptr) {
    report(pthread_mutex_lock(mptr), "pthread_mutex_lock()");
}

void Pthread_mutex_unlock(pthread_mutex_t *mptr) {
    report(pthread_mutex_unlock(mptr), "pthread_mutex_unlock()");
}

void Pthread_cond_broadcast(pthread_cond_t *cptr) {
    report(pthread_cond_broadcast(cptr), "pthread_cond_broadcast()");
}

void Pthread_cond_signal(pthread_cond_t *cptr) {
    report(pthread_cond_signal(cptr), "pthread_cond_signal()");
}

void Pthread_cond_wait(pthread_cond_t *cptr, pthread_mutex_t *mptr) {
    report(pthread_cond_wait(cptr, mptr), "pthread_cond_wait()");
}

void Pthread_cond_timedwait(pthread_cond_t *cptr, pthread_mutex_t *mptr,
                            const struct timespec *tsptr) {
    report(pthread_cond_timedwait(cptr, mptr, tsptr), "pthread_cond_timedwait()");
}

void Pthread_once(pthread_once_t *ptr, void (*func)(void)) {
    report(pthread_once(ptr, func), "pthread_once()");
}

void Pthread_key_create(pthread_key_t *key, void (*func)(void *)) {
    report(pthread_key_create(key, func), "pthread_key_create()");
}

void Pthread_setspecific(pthread_key_t key, const void *value) {
    report(pthread_setspecific(key, value), "pthread_setspecific()");
}

namespace {

thread_local int held_locks = 0;
std::atomic<void (*)()> locks_released_hook{nullptr};

void count_held(int delta) {
    held_locks += delta;
    if (held_locks != 0)
        return;
    if (void (*hook)() = locks_released_hook.load())
        hook();
}

}  // namespace

HeldLockScope::HeldLockScope() {
    count_held(1);
}

HeldLockScope::~HeldLockScope() {
    count_held(-1);
}

int held_lock_count() {
    return held_locks;
}

void set_locks_released_hook(void (*hook)()) {
    locks_released_hook = hook;
}

ScopedMutex::ScopedMutex(pthread_mutex_t *mutex, const char *name, const char *file, int line,
                         const char *func)
    : mutex_(mutex), name_(name), file_(file), line_(line), func_(func) {
    trace_mutex(file_, line_, func_, MutexStep::before_lock, name_);
    Pthread_mutex_lock(mutex_);
    trace_mutex(file_, line_, func_, MutexStep::after_lock, name_);
    count_held(1);
}

void ScopedMutex::unlock() {
    if (mutex_ == nullptr)
        return;
    Pthread_mutex_unlock(mutex_);
    trace_mutex(file_, line_, func_, MutexStep::after_unlock, name_);
    mutex_ = nullptr;
    count_held(-1);
}

// Holds the signal's mutex for a scope; a named one writes its trace records.
class OneShot::Hold {
  public:
    Hold(OneShot &s, const char *func) : s_(s), func_(func) {
        if (s_.name_ != nullptr)
            trace_mutex(__FILE_NAME__, __LINE__, func_, MutexStep::before_lock, s_.name_);
        Pthread_mutex_lock(s_.mutex_);
        if (s_.name_ != nullptr)
            trace_mutex(__FILE_NAME__, __LINE__, func_, MutexStep::after_lock, s_.name_);
    }
    ~Hold() {
        Pthread_mutex_unlock(s_.mutex_);
        if (s_.name_ != nullptr)
            trace_mutex(__FILE_NAME__, __LINE__, func_, MutexStep::after_unlock, s_.name_);
    }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

  private:
    OneShot &s_;
    const char *func_;
};

OneShot::OneShot(pthread_mutex_t *mutex, const char *name)
    : mutex_(mutex != nullptr ? mutex : &own_), name_(mutex != nullptr ? name : nullptr) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    // Timed waits measure a span, which a wall-clock step must not stretch.
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &attr);
    pthread_condattr_destroy(&attr);
}

OneShot::~OneShot() {
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&own_);
}

void OneShot::raise() {
    Hold hold(*this, __func__);
    raised_ = true;
    Pthread_cond_broadcast(&cond_);
}

void OneShot::reset() {
    Hold hold(*this, __func__);
    raised_ = false;
}

bool OneShot::is_raised() {
    Hold hold(*this, __func__);
    return raised_;
}

void OneShot::wait() {
    Hold hold(*this, __func__);
    while (!raised_)
        Pthread_cond_wait(&cond_, mutex_);
}

bool OneShot::wait_for(std::chrono::microseconds limit) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(limit);
    deadline.tv_sec += static_cast<time_t>(whole.count());
    deadline.tv_nsec += static_cast<long>((limit - whole).count()) * 1000;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    Hold hold(*this, __func__);
    while (!raised_) {
        if (pthread_cond_timedwait(&cond_, mutex_, &deadline) == ETIMEDOUT)
            break;
    }
    return raised_;
}
