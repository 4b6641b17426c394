// Virtual HID pads as the real hidapi (libusb back-end) sees them.
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include "loopback_firmware.h"
#include "padsim.h"

namespace padsim {
namespace {

class HidPad : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bed.ok());
        pad = bed.add_pad(PadConfig::hid(0x22C9, 0x0901, "AB12"),
                          std::make_unique<LoopbackFirmware>());
        ASSERT_NE(pad, nullptr);
        ASSERT_TRUE(Testbed::in_mock_environment());
        ASSERT_EQ(hid_init(), 0);
    }
    void TearDown() override {
        if (dev) {
            hid_close(dev);
        }
        hid_exit();
    }

    hid_device *open_pad() {
        hid_device_info *list = hid_enumerate(0x22C9, 0x0901);
        if (!list) {
            return nullptr;
        }
        dev = hid_open_path(list->path);
        hid_free_enumeration(list);
        return dev;
    }

    std::vector<Transfer> control_log() const {
        std::vector<Transfer> out;
        for (auto &t : pad->log()) {
            if (t.type == TransferType::Control && (t.request_type() & 0x60) == 0x20) {
                out.push_back(t);
            }
        }
        return out;
    }

    Testbed bed;
    Pad *pad = nullptr;
    hid_device *dev = nullptr;
};

TEST_F(HidPad, EnumeratesWithStringsAndInterface) {
    hid_device_info *list = hid_enumerate(0x22C9, 0x0901);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(list->vendor_id, 0x22C9);
    EXPECT_EQ(list->product_id, 0x0901);
    EXPECT_EQ(list->interface_number, 0);
    ASSERT_NE(list->serial_number, nullptr);
    EXPECT_STREQ(list->serial_number, L"AB12");
    ASSERT_NE(list->manufacturer_string, nullptr);
    EXPECT_STREQ(list->manufacturer_string, L"Quillon");
    ASSERT_NE(list->product_string, nullptr);
    EXPECT_STREQ(list->product_string, L"Signature Pad");
    hid_free_enumeration(list);

    EXPECT_EQ(hid_enumerate(0x22C9, 0x0902), nullptr);
}

TEST_F(HidPad, TwoInterfacesEnumerateSeparately) {
    ASSERT_NE(bed.add_pad(PadConfig::hid(0x2689, 0x0801, "TWO", 2)), nullptr);
    hid_device_info *list = hid_enumerate(0x2689, 0x0801);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->interface_number, 0);
    EXPECT_EQ(list->next->interface_number, 1);
    EXPECT_STRNE(list->path, list->next->path);
    hid_free_enumeration(list);
}

TEST_F(HidPad, FeatureRoundTripIsSetAndGetReportWithIdZero) {
    ASSERT_NE(open_pad(), nullptr);
    unsigned char out[65] = {0, 0x11};
    ASSERT_EQ(hid_send_feature_report(dev, out, sizeof out), 65);

    unsigned char in[65] = {0};
    ASSERT_EQ(hid_get_feature_report(dev, in, sizeof in), 65);
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(0, std::memcmp(in + 1, out + 1, 64));

    auto log = control_log();
    ASSERT_EQ(log.size(), 2u);
    // SET_REPORT, Feature, id 0, interface 0, 64 data bytes.
    EXPECT_EQ(log[0].setup, (Bytes{0x21, 0x09, 0x00, 0x03, 0x00, 0x00, 0x40, 0x00}));
    Bytes sent(64, 0);
    sent[0] = 0x11;
    EXPECT_EQ(log[0].data, sent);
    EXPECT_EQ(log[0].status, 0);
    // GET_REPORT, Feature, id 0: the pad answered with what was written.
    EXPECT_EQ(log[1].setup, (Bytes{0xA1, 0x01, 0x00, 0x03, 0x00, 0x00, 0x40, 0x00}));
    EXPECT_EQ(log[1].data, sent);
}

TEST_F(HidPad, ShortFeatureReportTravelsWithItsOwnLength) {
    ASSERT_NE(open_pad(), nullptr);
    unsigned char out[4] = {0, 0xF8, 0xAA, 0x55};
    ASSERT_EQ(hid_send_feature_report(dev, out, sizeof out), 4);
    auto log = control_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].value(), 0x0300);
    EXPECT_EQ(log[0].data, (Bytes{0xF8, 0xAA, 0x55}));
}

TEST_F(HidPad, InputReportsArriveInOrder) {
    ASSERT_NE(open_pad(), nullptr);
    for (uint8_t i = 0; i < 10; ++i) {
        Bytes report(64, i);
        report[0] = 0x40;
        pad->host().queue_interrupt_in(0, report);
    }
    for (uint8_t i = 0; i < 10; ++i) {
        unsigned char buf[64] = {};
        ASSERT_EQ(hid_read_timeout(dev, buf, sizeof buf, 5000), 64) << "report " << int(i);
        EXPECT_EQ(buf[0], 0x40);
        EXPECT_EQ(buf[1], i);
        EXPECT_EQ(buf[63], i);
    }
    unsigned char buf[64];
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 0), 0);
}

TEST_F(HidPad, ShortReportsOfTheTypeOnePad) {
    Pad *small = bed.add_pad(PadConfig::hid(0x1690, 0x2000, "S1"));
    ASSERT_NE(small, nullptr);
    hid_device_info *list = hid_enumerate(0x1690, 0x2000);
    ASSERT_NE(list, nullptr);
    dev = hid_open_path(list->path);
    hid_free_enumeration(list);
    ASSERT_NE(dev, nullptr);
    small->host().queue_interrupt_in(0, Bytes(20, 0x5A));
    unsigned char buf[64] = {};
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 5000), 20);
    // The reader asks for one endpoint packet at a time.
    auto log = small->log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().type, TransferType::Interrupt);
    EXPECT_EQ(log.back().endpoint, 0x81);
    EXPECT_EQ(log.back().data.size(), 20u);
}

TEST_F(HidPad, CloseLeavesNothingInFlight) {
    ASSERT_NE(open_pad(), nullptr);
    // The reader thread keeps one interrupt transfer pending.
    ASSERT_TRUE(pad->wait_in_flight(1));
    hid_close(dev);
    dev = nullptr;
    EXPECT_EQ(pad->in_flight(), 0);
    auto log = pad->log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().type, TransferType::Interrupt);
    EXPECT_EQ(log.back().status, -ENOENT);
}

TEST_F(HidPad, OpenPadIdlesWithoutSpinning) {
    ASSERT_NE(open_pad(), nullptr);
    unsigned char buf[64];
    // A blocking read with nothing to read: the reader thread and this one
    // both wait. Measure the process's CPU time over the wait.
    struct rusage before {};
    struct rusage after {};
    getrusage(RUSAGE_SELF, &before);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 500), 0);
    auto wall = std::chrono::steady_clock::now() - start;
    getrusage(RUSAGE_SELF, &after);
    auto us = [](const struct timeval &tv) { return tv.tv_sec * 1000000L + tv.tv_usec; };
    long cpu =
        (us(after.ru_utime) - us(before.ru_utime)) + (us(after.ru_stime) - us(before.ru_stime));
    long wall_us = std::chrono::duration_cast<std::chrono::microseconds>(wall).count();
    EXPECT_LT(cpu, wall_us / 5) << "cpu " << cpu << " us over " << wall_us << " us";
}

}  // namespace
}  // namespace padsim
