// The four pad control commands sent as feature reports outside the message
// protocol, and the texts of the pads' status codes.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "core.h"
#include "le_bytes.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace {

constexpr int kReportSize = 64;
constexpr int kType1ModeReportSize = 40;
constexpr int kAttempts = 3;
// Byte 0 of a command's request and of its answer.
enum PadCommand : uint8_t {
    QL_CMD_SET_PAD_MODE = 0x01,
    QL_CMD_READ_VERSION = 0x11,
    QL_CMD_GET_STATUS = 0x27,
    QL_CMD_CREATE_SIGNATURE_RECTANGLE = 0x65,
};
constexpr int kModePollMs = 3000;
constexpr int kModePollPauseMs = 300;
constexpr int kStatusPauseCap = 500000;

using Clock = std::chrono::steady_clock;

const char *const kStatusTexts[] = {
    "device: success",
    "device: write outside RAM",
    "device: read outside RAM",
    "device: wrong sector",
    "device: flash failure",
    "device: function not implemented",
    "device: wrong HASH",
    "device: in progress",
    "device: invalid sector",
    "device: sector read protected",
    "device: sector write protected",
    "device: sector erase protected",
    "device: write outside sector",
    "device: read outside sector",
    "device: admin key set",
    "device: admin key not set",
    "device: admin key already set",
    "device: wrong admin key",
    "device: pad is locked",
    "device: pre doc HASH not set",
    "device: final doc HASH not set",
    "device: AES context not set",
    "device: there is no sign BMP",
    "device: not in signature mode",
    "device: RSA encryption failed",
    "device: RSA check public key failed",
    "device: pad mode is already set",
    "device: switch mode not allowed",
    "device: invalid address",
    "device: file already open",
    "device: file open failed",
    "device: file not open",
    "device: file close failed",
    "device: delete failed",
    "device: file read failed",
    "device: no directory entry",
    "device: different length written",
    "device: out of memory",
    "device: format failed",
    "device: not in configuration mode",
};

// The retry frame: pauses of 1000, 3000, 7000 us after failed attempts.
struct Retry {
    const ql_device *dev;
    int attempts = 0;
    int pause = 1000;
    int cap = 0;
    // Counts a failed attempt; false once the attempts are used up or the
    // pad is gone.
    bool failed() {
        ++attempts;
        if (dev->removed) {
            TRACE_ERROR("we lost device..");
            return false;
        }
        if (attempts >= kAttempts) {
            TRACE_ERROR("end of attempts, exit with error...");
            return false;
        }
        TRACE_INFO("failed, going to try again after usleep(%d)", pause);
        usleep(static_cast<useconds_t>(pause));
        pause = 2 * pause + 1000;
        if (cap > 0 && pause > cap)
            pause = cap;
        return true;
    }
};

// One request and one answer; false when either transfer or the echo fails.
// The answer's status byte is left to the caller.
bool exchange(ql_device *dev, const uint8_t *request, unsigned int request_size, uint8_t *answer,
              uint8_t code, const char *echo_error) {
    int r = core_feature_write(dev, request, request_size);
    if (r != 0) {
        TRACE_ERROR("usb_feature_write() failed with return code %d", r);
        return false;
    }
    memset(answer, 0, kReportSize);
    r = core_feature_read(dev, answer, kReportSize);
    if (r != 0) {
        TRACE_ERROR("core_feature_read() failed with return code %d", r);
        return false;
    }
    if (answer[0] != code) {
        TRACE_ERROR("%s", echo_error);
        return false;
    }
    return true;
}

bool status_ok(const uint8_t *answer) {
    if (answer[1] == 0)
        return true;
    TRACE_INFO("error: %s", ql_dev_strerror(answer[1]));
    return false;
}

}  // namespace

extern "C" {

EXPORT const char *ql_dev_strerror(unsigned char code) {
    if (code < sizeof kStatusTexts / sizeof kStatusTexts[0])
        return kStatusTexts[code];
    return "device: unknown error";
}

EXPORT int core_read_version(ql_device *dev, dev_fw_version *version) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE)
             .handle(dev, kNullDeviceParameter)
             .handle(version, "Error of parameter dev_fw_version *dev_fw_v is NULL"))
        return -1;
    DEVICE_LOCK_GUARD(lock, dev);
    if (dev->vendor_id == 0x1690 && dev->product_id == 0x2000) {
        version->major = 1;
        version->minor = 31;
        return 0;
    }
    uint8_t request[kReportSize] = {QL_CMD_READ_VERSION};
    uint8_t answer[kReportSize];
    Retry retry{dev};
    do {
        if (!exchange(dev, request, kReportSize, answer, QL_CMD_READ_VERSION,
                      "command in in_report_version not QL_CMD_READ_VERSION"))
            continue;
        if (!status_ok(answer))
            continue;
        ByteReader fields(answer, sizeof answer);
        fields.le32_at(4, &version->major);
        fields.le32(&version->minor);
        fields.le32(&version->patch);
        fields.le32(&version->revision);
        fields.bytes(version->manufacturer, sizeof version->manufacturer);
        return 0;
    } while (retry.failed());
    return -1;
}

EXPORT int __core_get_status(ql_device *dev, flags_status *status) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE)
             .handle(dev, kNullDeviceParameter)
             .handle(status, "Error of parameter flags_status *status is NULL"))
        return -1;
    if (dev->pad_type == 1) {
        memset(status->bytes, 0, sizeof status->bytes);
        return 0;
    }
    uint8_t request[kReportSize] = {QL_CMD_GET_STATUS};
    uint8_t answer[kReportSize];
    Retry retry{dev};
    retry.cap = kStatusPauseCap;
    do {
        if (exchange(dev, request, kReportSize, answer, QL_CMD_GET_STATUS,
                     "value command in in_report_status not QL_CMD_GET_STATUS") &&
            status_ok(answer)) {
            memcpy(status->bytes, answer + 6, sizeof status->bytes);
            return 0;
        }
    } while (retry.failed());
    return -1;
}

EXPORT int __core_get_pad_mode(ql_device *dev) {
    flags_status status{};
    int r = __core_get_status(dev, &status);
    if (r != 0) {
        TRACE_ERROR("error: %s(): __core_get_status() return %d", __func__, r);
        return -1;
    }
    return status.bytes[5];
}

EXPORT int core_set_pad_mode(ql_device *dev, uint8_t mode, uint8_t option) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(dev, kNullDeviceParameter))
        return -1;
    TRACE_INFO("*** going to set pad mode %d", mode);
    uint8_t request[kReportSize] = {QL_CMD_SET_PAD_MODE, mode, option};
    if (dev->pad_type == 1) {
        request[38] = 0xF0;
        request[39] = 0xA5;
    }
    uint8_t answer[kReportSize];
    int result = -1;
    Retry retry{dev};
    bool more = true;
    while (more) {
        DEVICE_LOCK_GUARD(lock, dev);
        if (dev->pad_type == 8)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        unsigned int size = dev->pad_type == 1 ? kType1ModeReportSize : kReportSize;
        int r = core_feature_write(dev, request, size);
        if (r != 0) {
            TRACE_ERROR("usb_feature_write() failed with return code %d", r);
            more = retry.failed();
            continue;
        }
        if (dev->pad_type == 1)
            return 0;
        memset(answer, 0, sizeof answer);
        r = core_feature_read(dev, answer, kReportSize);
        if (r != 0) {
            TRACE_ERROR("core_feature_read() failed with return code %d", r);
            more = retry.failed();
            continue;
        }
        if (answer[0] != QL_CMD_SET_PAD_MODE) {
            TRACE_ERROR("command in in_report_general not QL_CMD_SET_PAD_MODE");
            more = retry.failed();
            continue;
        }
        if (!core_pad_traits(dev->pad_type).reports_mode)
            return 0;
        if (!status_ok(answer)) {
            more = retry.failed();
            continue;
        }
        // The pad switches in its own time: poll its status until it shows
        // the mode, at most 3000 ms per request.
        Clock::time_point start = Clock::now();
        bool reached = false;
        while (more && elapsed_ms(start) < kModePollMs) {
            int m = __core_get_pad_mode(dev);
            if (m == mode) {
                TRACE_INFO("Device status mode: %d", m);
                result = m;
                reached = true;
                break;
            }
            if (m >= 0) {
                TRACE_INFO("Device status mode: %d", m);
                std::this_thread::sleep_for(std::chrono::milliseconds(kModePollPauseMs));
                continue;
            }
            TRACE_ERROR("error: __core_get_pad_mode() return %d", m);
            TRACE_ERROR("elapsed_time: %ld, time_out: %d", elapsed_ms(start), kModePollMs);
            more = retry.failed();
        }
        if (reached)
            break;
        if (more)
            more = retry.failed();
    }
    if (dev->removed)
        TRACE_ERROR("we lost device..");
    return result;
}

EXPORT int core_create_signature_rectangle(ql_device *dev, uint16_t r1, uint16_t r2, uint16_t r3,
                                           uint16_t r4, uint32_t option) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(dev, kNullDeviceParameter))
        return -1;
    DEVICE_LOCK_GUARD(lock, dev);
    uint8_t request[kReportSize] = {};
    ByteWriter(request, sizeof request)
        .u8(QL_CMD_CREATE_SIGNATURE_RECTANGLE)
        .le16(r1)
        .le16(r2)
        .le16(r3)
        .le16(r4)
        .le32(option);
    uint8_t answer[kReportSize];
    Retry retry{dev};
    do {
        if (exchange(dev, request, kReportSize, answer, QL_CMD_CREATE_SIGNATURE_RECTANGLE,
                     "command in in_report_general not QL_CMD_CREATE_SIGNATURE_RECTANGLE") &&
            status_ok(answer))
            return 0;
    } while (retry.failed());
    __core_close_dev(dev);
    if (__core_open_dev(dev) != 0) {
        dev->removed = true;
        return kCoreRemoved;
    }
    return -1;
}

}  // extern "C"
