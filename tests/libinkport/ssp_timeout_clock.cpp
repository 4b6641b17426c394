// The exchange's time-outs hold while the wall clock jumps.
//
// This program replaces, for the whole process, the clock (while
// `wall_clock_leap` is set the wall clock leaps an hour ahead at every
// reading) and the few hidapi and libusb calls the exchange makes (a
// scripted pad answers them). A wait measured on the wall clock would give
// up before the pad's answer; one measured on the monotonic clock waits for
// it. A program of its own, so that nothing else runs on these stand-ins.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hidapi.h>
#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <vector>

#include "core.h"
#include "core_ssp.h"
#include "hid.h"
#include "leaping_wall_clock.h"
#include "uni_queue.h"
#include "vcom.h"

namespace {

// The pad's answers in order; the last one repeats. An empty answer means
// "nothing ready" (a busy 0xF9 status, a bulk time-out).
struct Pad {
    std::deque<std::vector<uint8_t>> answers;
    int polls = 0;

    std::vector<uint8_t> next() {
        ++polls;
        std::vector<uint8_t> a = answers.front();
        if (answers.size() > 1)
            answers.pop_front();
        return a;
    }
};
Pad g_pad;

hid_device *fake_hid() {
    return reinterpret_cast<hid_device *>(&g_pad);
}

}  // namespace

extern "C" {

// Feature reports (report id 0 in front): every write is taken, every read
// is the pad's next 0xF9 answer.
int hid_send_feature_report(hid_device *, const unsigned char *, size_t length) {
    return static_cast<int>(length);
}

int hid_get_feature_report(hid_device *, unsigned char *data, size_t length) {
    memset(data, 0, length);
    if (length < 3)
        return -1;
    std::vector<uint8_t> a = g_pad.next();
    data[1] = 0xF9;
    data[2] = a.empty() ? 7 : 0;
    if (!a.empty())
        memcpy(data + 3, a.data(), std::min(a.size(), length - 3));
    return static_cast<int>(length);
}

hid_device *hid_open_path(const char *) {
    return fake_hid();
}
void hid_close(hid_device *) {}
int hid_set_nonblocking(hid_device *, int) {
    return 0;
}

// Bulk: OUT is taken; IN is the pad's next answer or a time-out.
int libusb_bulk_transfer(libusb_device_handle *, unsigned char endpoint, unsigned char *data,
                         int length, int *transferred, unsigned int) {
    *transferred = 0;
    if ((endpoint & LIBUSB_ENDPOINT_IN) == 0) {
        *transferred = length;
        return 0;
    }
    std::vector<uint8_t> a = g_pad.next();
    if (a.empty())
        return LIBUSB_ERROR_TIMEOUT;
    int n = std::min(length, static_cast<int>(a.size()));
    memcpy(data, a.data(), static_cast<size_t>(n));
    *transferred = n;
    return 0;
}

}  // extern "C"

namespace {

const std::vector<uint8_t> kReply = {0x01, 0x01, 0x00, 0x10,
                                     0x01};  // base message, 2 payload bytes
const std::vector<uint8_t> kReplyTokens = {0xAA, 0x55, 0x02, 0x01, 0x01, 0x00, 0x10, 0x01};
const std::vector<uint8_t> kNoise = {0x11, 0x22, 0x33};

class WallClockLeaps : public ::testing::Test {
  protected:
    void SetUp() override {
        g_pad = Pad{};
        wall_clock_leaps = 0;
        wall_clock_leap = 1;
    }
    void TearDown() override { wall_clock_leap = 0; }
};

}  // namespace

TEST_F(WallClockLeaps, TheWallClockReallyLeaps) {
    auto before = std::chrono::system_clock::now();
    auto after = std::chrono::system_clock::now();
    EXPECT_GE(after - before, std::chrono::hours(1));
}

TEST_F(WallClockLeaps, HidReadWaitsThroughBusyAnswers) {
    g_pad.answers = {{}, {}, {}, kReplyTokens};
    uint8_t buf[64];
    EXPECT_EQ(hid_read_ssp_data(fake_hid(), buf, sizeof buf, 5000, true), 62);
    EXPECT_EQ(g_pad.polls, 4);
    EXPECT_EQ(0, memcmp(buf, kReplyTokens.data(), kReplyTokens.size()));
}

TEST_F(WallClockLeaps, VcomReadWaitsThroughBulkTimeOuts) {
    g_pad.answers = {{}, {}, {}, kReplyTokens};
    ql_device dev{};
    dev.vcom_handle = reinterpret_cast<libusb_device_handle *>(&g_pad);
    dev.endpoint_address_in = 0x81;
    uint8_t buf[64];
    EXPECT_EQ(vcom_read_ssp_data(&dev, buf, sizeof buf, 5000, true),
              static_cast<int>(kReplyTokens.size()));
    EXPECT_EQ(g_pad.polls, 4);
}

// Read passes that find only noise: the receive starts new passes until its
// time-out, which the leaping wall clock must not cut short.
TEST_F(WallClockLeaps, ReceiveKeepsStartingPassesUntilTheReplyComes) {
    g_pad.answers = {kNoise, kNoise, kNoise, kReplyTokens};
    ql_device dev{};
    dev.transport = &hid_transport;
    dev.hid = fake_hid();
    uint8_t buf[64];
    unsigned int len = sizeof buf;
    EXPECT_EQ(__receive_ssp_message(&dev, buf, &len, 5000, false, 2), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + len), kReply);
    EXPECT_EQ(g_pad.polls, 4) << "one pass per answer";
    destroy_uni_queue(dev.ssp_input_read);
    destroy_uni_queue(dev.ssp_command_messages);
}
