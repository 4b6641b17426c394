#include "vcom.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "wrappers.h"
#include "wrappthread.h"

// Opening and closing a VCOM pad, and the bulk primitives and the SSP read
// that the message exchange uses. The search and the report operations are
// in vcom_search.cpp.

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSendAttempts = 3;
constexpr unsigned int kSendTimeoutMs = 1000;
constexpr useconds_t kFirstSendPauseUs = 1000;
constexpr useconds_t kZeroDataPauseUs = 1000;

bool check_bulk_args(const char *func, libusb_device_handle *handle, const void *data, long size) {
    return ArgCheck({__FILE_NAME__, __LINE__, func})
        .length(size, kArgDataSize)
        .data(data)
        .handle(handle,
                "Error, input parameter: struct libusb_device_handle *device_handle is NULL")
        .ok();
}

constexpr useconds_t kEventRetryPauseUs = 1000;
// How long past its time-out a bulk wait goes on handling events that keep
// failing before it gives its transfer up.
constexpr long kEventFailureGraceMs = 500;

// One bulk wait's transfer with the buffer it reads into. Normally the
// waiter frees both. A waiter whose event handling keeps failing cannot see
// the transfer end, so it gives it up to the list below and returns: the
// transfer's callback frees it if it ever completes, else the closing of its
// handle does (libusb_close takes the transfer out of libusb's hands and
// runs no callback meanwhile).
struct BulkWait {
    libusb_transfer *transfer = nullptr;
    libusb_device_handle *handle = nullptr;
    int completed = 0;      // set by the callback; read with __atomic loads
    bool given_up = false;  // under given_up_lock
    std::vector<uint8_t> buffer;
};

std::mutex given_up_lock;
std::vector<BulkWait *> given_up_waits;

void free_wait(BulkWait *w) {
    libusb_free_transfer(w->transfer);
    delete w;
}

void LIBUSB_CALL on_wait_done(libusb_transfer *transfer) {
    auto *w = static_cast<BulkWait *>(transfer->user_data);
    std::lock_guard<std::mutex> g(given_up_lock);
    if (!w->given_up) {
        __atomic_store_n(&w->completed, 1, __ATOMIC_RELEASE);
        return;
    }
    given_up_waits.erase(std::find(given_up_waits.begin(), given_up_waits.end(), w));
    free_wait(w);
}

// True when the waiter gave its transfer up; false when it completed
// meanwhile, and is the waiter's to read and free.
bool give_up(BulkWait *w) {
    std::lock_guard<std::mutex> g(given_up_lock);
    if (__atomic_load_n(&w->completed, __ATOMIC_ACQUIRE) != 0)
        return false;
    w->given_up = true;
    given_up_waits.push_back(w);
    return true;
}

bool has_given_up(libusb_device_handle *handle) {
    std::lock_guard<std::mutex> g(given_up_lock);
    return std::any_of(given_up_waits.begin(), given_up_waits.end(),
                       [handle](const BulkWait *w) { return w->handle == handle; });
}

// A handle closed with a transfer still in flight leaves behind what libusb
// keeps for that transfer. The waits given up on it were cancelled, so if
// event handling works again, a short bounded turn of it before the close
// lets their callbacks run and libusb free everything.
constexpr long kReapBeforeCloseMs = 100;

void reap_given_up(libusb_device_handle *handle) {
    const Clock::time_point start = Clock::now();
    while (has_given_up(handle) && elapsed_ms(start) < kReapBeforeCloseMs) {
        struct timeval tv = {0, 10000};
        if (libusb_handle_events_timeout_completed(nullptr, &tv, nullptr) < 0)
            return;
    }
}

// Frees the waits given up on `handle`, which libusb_close has just closed.
void free_given_up(libusb_device_handle *handle) {
    std::lock_guard<std::mutex> g(given_up_lock);
    auto gone = std::remove_if(given_up_waits.begin(), given_up_waits.end(),
                               [handle](BulkWait *w) { return w->handle == handle; });
    for (auto it = gone; it != given_up_waits.end(); ++it)
        free_wait(*it);
    given_up_waits.erase(gone, given_up_waits.end());
}

}  // namespace

int vcom_wait_bulk_in(TransportWait &wait, libusb_device_handle *handle, uint8_t endpoint,
                      uint8_t *data, int size, unsigned int time_out) {
    if (size < 1)
        return LIBUSB_ERROR_INVALID_PARAM;
    auto *w = new BulkWait;
    w->handle = handle;
    w->buffer.resize(static_cast<size_t>(size));
    w->transfer = libusb_alloc_transfer(0);
    if (w->transfer == nullptr) {
        delete w;
        return LIBUSB_ERROR_NO_MEM;
    }
    libusb_fill_bulk_transfer(w->transfer, handle, endpoint, w->buffer.data(), size, on_wait_done,
                              w, time_out);
    int r = libusb_submit_transfer(w->transfer);
    if (r != 0) {
        free_wait(w);
        TRACE_ERROR("libusb_submit_transfer() failed: %s", libusb_error_name(r));
        return r;
    }
    // From here a stopper, or a thread that needs the pipe, may cancel it.
    wait.set_transfer(w->transfer);
    const Clock::time_point start = Clock::now();
    const long limit_ms = static_cast<long>(time_out) + kEventFailureGraceMs;
    bool failing = false;
    while (__atomic_load_n(&w->completed, __ATOMIC_ACQUIRE) == 0) {
        r = libusb_handle_events_completed(nullptr, &w->completed);
        if (r >= 0 || r == LIBUSB_ERROR_INTERRUPTED)
            continue;
        // The transfer can only end through event handling: cancel it
        // once, keep handling with a pause so that a failure that repeats
        // costs neither a core nor a flood of records, and give it up once
        // its time-out and a grace have passed.
        if (!failing) {
            TRACE_ERROR("libusb_handle_events_completed() failed: %s", libusb_error_name(r));
            libusb_cancel_transfer(w->transfer);
            failing = true;
        }
        if (elapsed_ms(start) >= limit_ms && give_up(w)) {
            wait.set_transfer(nullptr);
            TRACE_ERROR("bulk read given up: libusb's event handling keeps failing");
            return LIBUSB_ERROR_IO;
        }
        usleep(kEventRetryPauseUs);
    }
    wait.set_transfer(nullptr);
    libusb_transfer *transfer = w->transfer;
    int result = transfer->actual_length;
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
        case LIBUSB_TRANSFER_TIMED_OUT:
        case LIBUSB_TRANSFER_CANCELLED:
            break;
        case LIBUSB_TRANSFER_NO_DEVICE:
            result = LIBUSB_ERROR_NO_DEVICE;
            break;
        case LIBUSB_TRANSFER_STALL:
            result = LIBUSB_ERROR_PIPE;
            break;
        case LIBUSB_TRANSFER_OVERFLOW:
            result = LIBUSB_ERROR_OVERFLOW;
            break;
        default:
            result = LIBUSB_ERROR_IO;
            break;
    }
    if (result < 0)
        TRACE_ERROR("bulk read failed: %s", libusb_error_name(result));
    else if (result > 0)
        memcpy(data, w->buffer.data(), static_cast<size_t>(result));
    free_wait(w);
    return result;
}

extern "C" {

EXPORT libusb_device_handle *vcom_open_dev(libusb_device *device) {
    if (device == nullptr) {
        TRACE_ERROR("input parameter *usb_device == NULL");
        return nullptr;
    }
    libusb_device_handle *handle = nullptr;
    int r = libusb_open(device, &handle);
    if (r != 0) {
        TRACE_ERROR("failed during opening VCOM device %p", static_cast<void *>(device));
        TRACE_ERROR("libusb_open() failed: %s", libusb_error_name(r));
        return nullptr;
    }
    return handle;
}

EXPORT void vcom_close_dev(libusb_device_handle *handle) {
    if (handle == nullptr)
        return;
    reap_given_up(handle);
    libusb_close(handle);
    free_given_up(handle);
}

EXPORT int usb_data_send(libusb_device_handle *device_handle, uint8_t endpoint, const void *data,
                         int data_size) {
    if (!check_bulk_args(__func__, device_handle, data, data_size))
        return -1;
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    auto *bytes = static_cast<unsigned char *>(const_cast<void *>(data));
    useconds_t pause = kFirstSendPauseUs;
    int status = 0;
    for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
        int transferred = 0;
        status = libusb_bulk_transfer(device_handle, endpoint, bytes, data_size, &transferred,
                                      kSendTimeoutMs);
        if (status == 0) {
            if (transferred != data_size)
                TRACE_ERROR("transferred[%d] != data_size[%d]", transferred, data_size);
            return 0;
        }
        if (status == LIBUSB_ERROR_NO_DEVICE) {
            TRACE_ERROR("libusb_bulk_transfer() failed: %s", libusb_error_name(status));
            return status;
        }
        TRACE_ERROR("libusb_bulk_transfer() failed: %s, going to try again after %d microsecond",
                    libusb_error_name(status), static_cast<int>(pause));
        usleep(pause);
        pause = pause * 2 + 500;
    }
    return status;
}

EXPORT int usb_data_receive(libusb_device_handle *device_handle, uint8_t endpoint, void *data,
                            unsigned int data_size, unsigned int time_out) {
    if (!check_bulk_args(__func__, device_handle, data, data_size))
        return -1;
    int transferred = 0;
    int status = libusb_bulk_transfer(device_handle, endpoint, static_cast<unsigned char *>(data),
                                      static_cast<int>(data_size), &transferred, time_out);
    if (status == 0)
        return transferred < 0 ? -1 : transferred;
    if (status == LIBUSB_ERROR_TIMEOUT)
        TRACE_INFO("libusb_bulk_transfer() failed: %s", libusb_error_name(status));
    else
        TRACE_ERROR("libusb_bulk_transfer() failed: %s", libusb_error_name(status));
    return status;
}

EXPORT int vcom_read_ssp_data(ql_device *current_device, void *data, unsigned int data_size,
                              unsigned int time_out, bool skip_zero_data) {
    ArgCheck check(API_SITE);
    if (!check.handle(current_device, kArgCurrentDevice) ||
        !check
             .handle(current_device->vcom_handle,
                     "Error, input parameter: struct libusb_device_handle *vcom_handle is NULL")
             .length(data_size, kArgDataSize)
             .data(data))
        return -1;
    int remembered = -1;
    const Clock::time_point start = Clock::now();
    while (elapsed_ms(start) < static_cast<long>(time_out)) {
        memset(data, 0, data_size);
        int n = usb_data_receive(current_device->vcom_handle, current_device->endpoint_address_in,
                                 data, data_size, time_out);
        if (n == 0) {
            // An empty transfer ends at once: no spinning on a pad that sends them.
            usleep(kZeroDataPauseUs);
            continue;
        }
        if (n == LIBUSB_ERROR_TIMEOUT) {
            remembered = n;
            continue;
        }
        if (n == LIBUSB_ERROR_NO_DEVICE) {
            current_device->removed = true;
            return n;
        }
        if (n < 0) {
            TRACE_ERROR("usb_data_receive() failed with return code %d", n);
            return remembered;
        }
        // Pads send zero-filled transfers while they have nothing to say.
        if (skip_zero_data && is_it_zero_array(data, static_cast<size_t>(n))) {
            usleep(kZeroDataPauseUs);
            continue;
        }
        return n;
    }
    return remembered;
}

}  // extern "C"
