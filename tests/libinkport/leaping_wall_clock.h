// A wall clock that leaps, for tests of deadlines: interposes clock_gettime
// and gettimeofday for the whole test executable. While `wall_clock_leap` is
// 1 (or -1) every reading of the wall clock lies one more hour ahead (or
// behind) than the one before; the monotonic clocks are left alone. Include
// it in exactly one source file of an executable.
#pragma once

#include <dlfcn.h>
#include <sys/time.h>

#include <atomic>
#include <ctime>

inline std::atomic<int> wall_clock_leap{0};
inline std::atomic<long> wall_clock_leaps{0};

extern "C" int clock_gettime(clockid_t clock, struct timespec *ts) {
    using Real = int (*)(clockid_t, struct timespec *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_gettime"));
    int r = real(clock, ts);
    int leap = wall_clock_leap;
    if (r == 0 && leap != 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        ts->tv_sec += leap * 3600 * ++wall_clock_leaps;
    return r;
}

extern "C" int gettimeofday(struct timeval *tv, void *) {
    struct timespec ts;
    int r = clock_gettime(CLOCK_REALTIME, &ts);
    if (r == 0) {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    return r;
}
