// The HID open retries and the pad mode poll hold their deadlines while the
// wall clock jumps.
//
// This program replaces, for the whole process, the wall clock (it jumps an
// hour forward or back at every reading, see leaping_wall_clock.h) and the
// hidapi calls the two deadlines wait on (a scripted pad answers them). A deadline measured on a
// wall clock that jumps forward gives up after the first try; one on a wall clock that jumps back
// never comes. Each scripted pad has a way out for such a clock, so that a wrong clock makes a test
// fail rather than hang: past what a deadline of the monotonic clock can allow, it stops the jumps
// and notes that it had to. A program of its own, so that nothing else runs on these stand-ins.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hidapi.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>

#include "core.h"
#include "hid.h"
#include "leaping_wall_clock.h"

namespace {

// +1: an hour later at every reading; -1: an hour earlier; 0: the real time.

// The pad behind the stand-ins.
struct Pad {
    // Opening: the first `open_failures` opens fail (-1: all of them).
    int open_failures = 0;
    int opens = 0;
    // Mode command: the mode the status shows once `polls_until_mode` status
    // answers since the last mode request showed `other_mode`, or once the
    // mode has been requested `requests_until_mode` times.
    uint8_t other_mode = 0;
    uint8_t requested = 0;
    int polls_until_mode = 1 << 30;
    int requests_until_mode = 1 << 30;
    int mode_requests = 0;
    int polls_since_request = 0;
    int most_polls_per_request = 0;
    uint8_t last_command = 0;
    // Past these counts only a deadline on the wall clock can still be
    // waiting; the jumps stop so that it ends.
    int open_way_out = 1 << 30;
    int poll_way_out = 1 << 30;
    bool way_out_taken = false;
};
Pad g_pad;

hid_device *fake_hid() {
    return reinterpret_cast<hid_device *>(&g_pad);
}

void take_way_out() {
    g_pad.way_out_taken = true;
    wall_clock_leap = 0;
}

}  // namespace

extern "C" {

hid_device *hid_open_path(const char *) {
    ++g_pad.opens;
    if (g_pad.opens > g_pad.open_way_out)
        take_way_out();
    if (g_pad.open_failures < 0 || g_pad.opens <= g_pad.open_failures)
        return nullptr;
    return fake_hid();
}

void hid_close(hid_device *) {}

int hid_set_nonblocking(hid_device *, int) {
    return 0;
}

const wchar_t *hid_error(hid_device *) {
    return L"scripted pad";
}

// Report id 0 in front of the command.
int hid_send_feature_report(hid_device *, const unsigned char *data, size_t length) {
    if (length < 3)
        return -1;
    g_pad.last_command = data[1];
    if (data[1] == 0x01) {
        ++g_pad.mode_requests;
        g_pad.requested = data[2];
        g_pad.polls_since_request = 0;
    }
    return static_cast<int>(length);
}

int hid_get_feature_report(hid_device *, unsigned char *data, size_t length) {
    memset(data, 0, length);
    if (length < 13)
        return -1;
    data[1] = g_pad.last_command;  // the echo; status 0 in data[2]
    if (g_pad.last_command == 0x27) {
        int polls = ++g_pad.polls_since_request;
        if (polls > g_pad.most_polls_per_request)
            g_pad.most_polls_per_request = polls;
        if (polls > g_pad.poll_way_out)
            take_way_out();
        bool shows =
            polls > g_pad.polls_until_mode || g_pad.mode_requests >= g_pad.requests_until_mode;
        data[1 + 6 + 5] = shows ? g_pad.requested : g_pad.other_mode;  // status flags byte 5
    }
    return static_cast<int>(length);
}

}  // extern "C"

namespace {

class WallClockJumps : public ::testing::Test {
  protected:
    void SetUp() override {
        g_pad = Pad{};
        wall_clock_leaps = 0;
    }
    void TearDown() override { wall_clock_leap = 0; }

    // A mode-reporting pad's record on the scripted handle.
    static ql_device mode_pad() {
        ql_device dev{};
        dev.pad_type = 16;
        dev.transport = &hid_transport;
        dev.hid = fake_hid();
        snprintf(dev.hid_path, sizeof dev.hid_path, "scripted");
        return dev;
    }
};

TEST_F(WallClockJumps, TheWallClockReallyJumpsBothWays) {
    wall_clock_leap = 1;
    auto a = std::chrono::system_clock::now();
    auto b = std::chrono::system_clock::now();
    EXPECT_GE(b - a, std::chrono::hours(1));
    wall_clock_leap = -1;
    a = std::chrono::system_clock::now();
    b = std::chrono::system_clock::now();
    EXPECT_LE(b - a, -std::chrono::minutes(59));
}

// A pad that takes a few tries to open is opened: the jump forward does not
// end the retries after the first failure.
TEST_F(WallClockJumps, OpenRetriesOutlastAJumpForward) {
    g_pad.open_failures = 3;
    wall_clock_leap = 1;
    hid_device *h = hid_open_dev("scripted");
    EXPECT_EQ(h, fake_hid());
    EXPECT_EQ(g_pad.opens, 4);
}

// A pad that never opens is given up: the jumps back do not keep the retries
// going. Within one second the doubling pauses leave room for 13 tries.
TEST_F(WallClockJumps, OpenRetriesEndDespiteJumpsBack) {
    g_pad.open_failures = -1;
    g_pad.open_way_out = 13;
    wall_clock_leap = -1;
    EXPECT_EQ(hid_open_dev("scripted"), nullptr);
    EXPECT_GE(g_pad.opens, 2);
    EXPECT_FALSE(g_pad.way_out_taken) << "tries: " << g_pad.opens;
}

// The pad shows the new mode on its fourth status answer: one request, and
// the poll waits for it through the jumps forward.
TEST_F(WallClockJumps, ModePollOutlastsAJumpForward) {
    ql_device dev = mode_pad();
    g_pad.other_mode = 2;
    g_pad.polls_until_mode = 3;
    wall_clock_leap = 1;
    EXPECT_EQ(core_set_pad_mode(&dev, 5, 0), 5);
    EXPECT_EQ(g_pad.mode_requests, 1) << "a poll cut short would ask again";
    EXPECT_EQ(g_pad.polls_since_request, 4);
}

// The pad shows the mode only once asked a second time: the first poll must
// end after its 3000 ms although the wall clock keeps going back. Polls 300 ms
// apart fit at most 10 times into one poll.
TEST_F(WallClockJumps, ModePollEndsDespiteJumpsBack) {
    ql_device dev = mode_pad();
    g_pad.other_mode = 2;
    g_pad.requests_until_mode = 2;
    g_pad.poll_way_out = 10;
    wall_clock_leap = -1;
    EXPECT_EQ(core_set_pad_mode(&dev, 5, 0), 5);
    EXPECT_EQ(g_pad.mode_requests, 2);
    EXPECT_GE(g_pad.most_polls_per_request, 2);
    EXPECT_FALSE(g_pad.way_out_taken) << "polls: " << g_pad.most_polls_per_request;
}

}  // namespace
