/* Preloaded into inkwebd by bench_inkwebd.py: notes the wall-clock time at
 * which the pad library's data callback starts for each report, so that the
 * bench can set it against the time the browser page's onmessage sees the
 * same report (the browser's clock is the wall clock too).
 *
 * It stands between the library and the gateway's handler: the handler of
 * every SetOnDataReceivedHandler call is kept and a wrapper registered in its
 * place. The wrapper takes the time, calls the real handler, and then writes
 * "SAMPLE NANOSECONDS" (bytes 1-4 of the pen report, the pad's running sample
 * number) to the file INKWEBD_CALLBACK_CLOCK names. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <inkport/inkport.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

enum { kDevices = 16, kEndPoints = 8 };

struct registration {
    InkportDataReceivedCallback handler;
    void *user;
};

/* Written by the thread that registers, read by the callback threads. */
static struct registration registrations[kDevices][kEndPoints];
static int log_fd = -1;

static void clock_callback(void *user, uint32_t device, uint32_t end_point, const uint8_t *data,
                           uint32_t length) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct registration *r = user;
    InkportDataReceivedCallback handler = __atomic_load_n(&r->handler, __ATOMIC_ACQUIRE);
    if (handler)
        handler(__atomic_load_n(&r->user, __ATOMIC_ACQUIRE), device, end_point, data, length);
    if (log_fd >= 0 && length >= 5) {
        const uint32_t sample = (uint32_t)data[1] | (uint32_t)data[2] << 8 |
                                (uint32_t)data[3] << 16 | (uint32_t)data[4] << 24;
        char line[64];
        const int n = snprintf(line, sizeof line, "%u %lld\n", sample,
                               (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
        if (write(log_fd, line, (size_t)n) != n)
            log_fd = -1;
    }
}

__attribute__((visibility("default"))) uint32_t SetOnDataReceivedHandler(
    unsigned int device, unsigned int end_point_id, void *user_specific,
    InkportDataReceivedCallback handler) {
    static uint32_t (*real)(unsigned int, unsigned int, void *, InkportDataReceivedCallback);
    if (!real) {
        *(void **)&real = dlsym(RTLD_NEXT, "SetOnDataReceivedHandler");
        const char *path = getenv("INKWEBD_CALLBACK_CLOCK");
        if (path && log_fd < 0)
            log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (!real)
        return QLPCEC_UNKNOWN;
    if (device >= kDevices || end_point_id >= kEndPoints || !handler)
        return real(device, end_point_id, user_specific, handler);
    struct registration *r = &registrations[device][end_point_id];
    __atomic_store_n(&r->user, user_specific, __ATOMIC_RELEASE);
    __atomic_store_n(&r->handler, handler, __ATOMIC_RELEASE);
    return real(device, end_point_id, r, clock_callback);
}
