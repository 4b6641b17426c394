/* Captures pen input from pad 1 through the data-received callback: register
 * a handler, switch receiving on, print each input report as the library's
 * callback thread delivers it, switch receiving off again.
 *
 *   inkport_capture [seconds [reports]]   (default: 3 seconds, 50 reports) */
#include <inkport/inkport.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

struct capture {
    pthread_mutex_t lock;
    pthread_cond_t more;
    unsigned int count;
    unsigned int limit;
};

/* Runs on the library's callback thread, one report at a time. */
static void on_report(void *user, uint32_t device, uint32_t end_point, const uint8_t *data,
                      uint32_t length) {
    struct capture *cap = user;
    pthread_mutex_lock(&cap->lock);
    unsigned int n = ++cap->count;
    printf("report %3u  pad %u end point %u, %u bytes:", n, device, end_point, length);
    for (uint32_t i = 0; i < 16 && i < length; ++i)
        printf(" %02x", data[i]);
    printf(" ...\n");
    fflush(stdout);
    pthread_cond_signal(&cap->more);
    pthread_mutex_unlock(&cap->lock);
}

static void print_exception(const char *what, uint32_t handle) {
    uint16_t text[QLPAD_MAX_STRING_LENGTH];
    unsigned int reply = 0;
    printf("%s failed", what);
    if (GetExceptionMessage(handle, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
        printf(": %s", print_wchar_to_asci(text));
    printf("\n");
}

int main(int argc, char **argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 3;
    struct capture cap = {.count = 0, .limit = argc > 2 ? (unsigned int)atoi(argv[2]) : 50};
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cap.more, &attr);
    pthread_mutex_init(&cap.lock, NULL);

    Initialize();
    unsigned int reply = 0;
    if (GetDeviceCount(&reply) == 0) {
        printf("no pad found\n");
        Deinitialize();
        return 0;
    }
    uint16_t name[QLPAD_MAX_STRING_LENGTH];
    if (GetProductName(1, 0, name, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
        printf("pad 1: %s\n", print_wchar_to_asci(name));

    uint32_t h = SetOnDataReceivedHandler(1, 0, &cap, on_report);
    if (h != 0) {
        print_exception("SetOnDataReceivedHandler", h);
        Deinitialize();
        return 1;
    }
    h = SetDataReceivingEnabled(1, 0, 1);
    if (h != 0) {
        print_exception("SetDataReceivingEnabled", h);
        Deinitialize();
        return 1;
    }
    printf("receiving on pad 1, end point 0: draw on the pad (%d s, at most %u reports)\n", seconds,
           cap.limit);
    fflush(stdout);

    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    pthread_mutex_lock(&cap.lock);
    while (cap.count < cap.limit) {
        if (pthread_cond_timedwait(&cap.more, &cap.lock, &deadline) != 0)
            break;
    }
    pthread_mutex_unlock(&cap.lock);

    /* Stopping returns once the receive thread has ended; what it queued
     * and the callback has not taken yet is still counted. */
    SetDataReceivingEnabled(1, 0, 0);
    unsigned int queued = 0;
    GetDataPacketsAvailable(1, 0, &queued);
    SetOnDataReceivedHandler(1, 0, NULL, NULL);
    /* After Deinitialize no callback runs any more. */
    Deinitialize();
    printf("receiving off: %u reports captured, %u still queued\n", cap.count, queued);
    return 0;
}
