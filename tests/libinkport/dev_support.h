// Shared pieces of the pad library's tests on emulated pads.
#pragma once

#include <gtest/gtest.h>

#include <inkport/inkport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "firmware_model.h"
#include "padsim.h"
#include "wait_until.h"

namespace devtest {

using testutil::wait_until;

inline std::string narrow(const uint16_t *w, size_t n) {
    std::string s;
    for (size_t i = 0; i < n && w[i] != 0; ++i)
        s.push_back(static_cast<char>(w[i]));
    return s;
}

struct Text {
    uint16_t buf[QLPAD_MAX_STRING_LENGTH] = {};
    unsigned int reply = 0xDEAD;
    std::string str() const { return narrow(buf, QLPAD_MAX_STRING_LENGTH); }
};

inline std::string exception_message(uint32_t handle) {
    Text t;
    if (GetExceptionMessage(handle, t.buf, QLPAD_MAX_STRING_LENGTH, &t.reply) != 0)
        return "(no such exception)";
    return t.str();
}

inline int exception_code(uint32_t handle) {
    unsigned int code = 0;
    if (GetExceptionCode(handle, &code) != 0)
        return 0;
    return static_cast<int>(code);
}

// Class requests on the control endpoint: SET_REPORT and GET_REPORT.
inline bool is_set_report(const padsim::Transfer &t) {
    return t.type == padsim::TransferType::Control && t.request_type() == 0x21 &&
           t.request() == 0x09;
}
inline bool is_get_report(const padsim::Transfer &t) {
    return t.type == padsim::TransferType::Control && t.request_type() == 0xA1 &&
           t.request() == 0x01;
}

// The data of every SET_REPORT the pad saw whose first byte is `code`.
inline std::vector<padsim::Bytes> set_reports(const padsim::Pad &pad, int code = -1) {
    std::vector<padsim::Bytes> out;
    for (const auto &t : pad.log())
        if (is_set_report(t) && (code < 0 || (!t.data.empty() && t.data[0] == code)))
            out.push_back(t.data);
    return out;
}

// Interrupt IN reads cancelled from `from` on: each closing of an open HID
// pad (a reopen included) cancels the read that waited on it.
inline size_t cancelled_reads(const std::vector<padsim::Transfer> &log, size_t from = 0) {
    size_t n = 0;
    for (size_t i = from; i < log.size(); ++i)
        n += log[i].type == padsim::TransferType::Interrupt && log[i].status == -ENOENT;
    return n;
}

inline size_t count_get_reports(const padsim::Pad &pad) {
    size_t n = 0;
    for (const auto &t : pad.log())
        if (is_get_report(t))
            ++n;
    return n;
}

// Counts device-removed notices and the threads they came from.
struct RemovedSink {
    std::mutex m;
    std::vector<uint32_t> devices;
    std::vector<std::thread::id> threads;
    static void callback(void *user, uint32_t device) {
        auto *self = static_cast<RemovedSink *>(user);
        std::lock_guard<std::mutex> g(self->m);
        self->devices.push_back(device);
        self->threads.push_back(std::this_thread::get_id());
    }
    size_t count() {
        std::lock_guard<std::mutex> g(m);
        return devices.size();
    }
    size_t count_of(uint32_t device) {
        std::lock_guard<std::mutex> g(m);
        return static_cast<size_t>(std::count(devices.begin(), devices.end(), device));
    }
    // The notices of the calls one thread made (the monitor tells of a pulled
    // pad on its own thread too, unless such a call told first).
    size_t count_on(std::thread::id thread = std::this_thread::get_id()) {
        std::lock_guard<std::mutex> g(m);
        return static_cast<size_t>(std::count(threads.begin(), threads.end(), thread));
    }
};

// The library's threads call back into objects of the test body. Declared
// after those objects, this stops the threads (Deinitialize waits for each)
// before the objects go, on every way out of the test.
struct DeinitializeFirst {
    DeinitializeFirst() = default;
    DeinitializeFirst(const DeinitializeFirst &) = delete;
    DeinitializeFirst &operator=(const DeinitializeFirst &) = delete;
    ~DeinitializeFirst() { Deinitialize(); }
};

// A testbed with HID pads running the firmware model. The library is torn
// down before the testbed, as libusb and hidapi require.
class PadBench : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(bed.ok()); }
    void TearDown() override { Deinitialize(); }

    struct Added {
        padsim::Pad *pad;
        padsim::PadModel *model;
    };

    Added add_hid(uint16_t vid, uint16_t pid, const std::string &serial, int interfaces = 1,
                  padsim::FirmwareConfig cfg = padsim::FirmwareConfig::hid_pad()) {
        auto model = std::make_unique<padsim::PadModel>(cfg);
        padsim::PadModel *raw = model.get();
        padsim::Pad *pad =
            bed.add_pad(padsim::PadConfig::hid(vid, pid, serial, interfaces), std::move(model));
        EXPECT_NE(pad, nullptr);
        return {pad, raw};
    }

    padsim::Testbed bed;
};

}  // namespace devtest
