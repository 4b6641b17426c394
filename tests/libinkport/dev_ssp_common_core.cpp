// SSP commands that need the library's internals: the biodata switch of the
// current device, and the configuration wait that runs to its deadline.
// Linked against the static archive (the core table is not exported).
#include <libusb.h>

#include <chrono>
#include <mutex>

#include "dev_ssp_support.h"
#include "vcom.h"

using namespace devtest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kBulkVid = 0x0711;
constexpr uint16_t kBulkPid = 0x0230;

// The exchange of the bulk-pipe record goes to the HID record's pad, so that
// the firmware model answers it while the record itself looks like a VCOM pad
// (a libusb handle that can be closed and reopened, and no HID handle).
ql_device *g_hid_side = nullptr;
std::mutex g_attempts_mu;
std::vector<Clock::time_point> g_attempts;

int forward_send(ql_device *, const void *data, unsigned int len) {
    const auto *p = static_cast<const uint8_t *>(data);
    if (len > 3 && p[3] == 0x11) {
        std::lock_guard<std::mutex> g(g_attempts_mu);
        g_attempts.push_back(Clock::now());
    }
    return __send_ssp_message(g_hid_side, data, len);
}

int forward_receive(ql_device *, void *data, unsigned int *len, unsigned int time_out, bool request,
                    unsigned int source) {
    return __receive_ssp_message(g_hid_side, data, len, time_out, request, source);
}

class SspCore : public SspBench {
  protected:
    void TearDown() override {
        dev_shared = saved_table_;
        if (bulk.vcom_handle != nullptr)
            vcom_close_dev(bulk.vcom_handle);
        if (bulk.vcom_device != nullptr)
            libusb_unref_device(bulk.vcom_device);
        if (usb_ready_)
            libusb_exit(nullptr);
        g_hid_side = nullptr;
        SspBench::TearDown();
    }

    // A record that looks like a bulk-pipe pad on the pad (kBulkVid,
    // kBulkPid), current in a core table of its own.
    void make_bulk_record() {
        ASSERT_NE(bed.add_pad(padsim::PadConfig::vcom(kBulkVid, kBulkPid, "B1")), nullptr);
        ASSERT_EQ(libusb_init(nullptr), 0);
        usb_ready_ = true;
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(nullptr, &list);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == kBulkVid &&
                d.idProduct == kBulkPid)
                bulk.vcom_device = libusb_ref_device(list[i]);
        }
        libusb_free_device_list(list, 1);
        ASSERT_NE(bulk.vcom_device, nullptr);
        bulk.transport = &vcom_transport;
        bulk.vcom_handle = vcom_open_dev(bulk.vcom_device);
        ASSERT_NE(bulk.vcom_handle, nullptr);
        bulk.pad_type = 16;
        bulk.device_lock = &bulk_lock_;
        bulk.send_ssp_message = forward_send;
        bulk.receive_ssp_message = forward_receive;
        g_hid_side = dev;
        saved_table_ = dev_shared;
        table_.current_device = &bulk;
        dev_shared = &table_;
    }

    std::vector<Clock::time_point> attempts() {
        std::lock_guard<std::mutex> g(g_attempts_mu);
        return g_attempts;
    }

    ql_device bulk{};

  private:
    pthread_mutex_t bulk_lock_ = PTHREAD_MUTEX_INITIALIZER;
    ql_device_list table_{};
    ql_device_list *saved_table_ = nullptr;
    bool usb_ready_ = false;
};

}  // namespace

TEST_F(SspCore, BiodataSwitchOfTheCurrentBulkPad) {
    start();
    make_bulk_record();
    ASSERT_EQ(core_enable_ssp_biodata_sending(), 0);
    EXPECT_TRUE(model().biodata_enabled());
    ASSERT_EQ(core_disable_ssp_biodata_sending(), 0);
    EXPECT_FALSE(model().biodata_enabled());
    EXPECT_EQ(attempts().size(), 2u);
}

// The pauses between attempts are at least 1, 3, 7, ... 255 ms, then 500 ms,
// until 3 s have passed; then the record is closed and reopened.
TEST_F(SspCore, RejectedBiodataSwitchIsRetriedThenTheDeviceReopened) {
    start();
    make_bulk_record();
    ASSERT_EQ(ssp_common_component_id_get_id(&bulk, 11), 1) << "tables known before the faults";
    model().fail_next_ssp_replies(1000, 0);
    const Clock::time_point start_time = Clock::now();
    EXPECT_EQ(core_enable_ssp_biodata_sending(), -1);
    const auto took = Clock::now() - start_time;
    EXPECT_FALSE(bulk.removed);
    ASSERT_NE(bulk.vcom_handle, nullptr) << "reopened";
    EXPECT_EQ(libusb_get_device(bulk.vcom_handle), bulk.vcom_device);

    std::vector<Clock::time_point> at = attempts();
    ASSERT_GE(at.size(), 2u);
    EXPECT_LE(at.size(), 14u) << "the pauses alone pass 3 s after 13 of them";
    long pause_us = 1000;
    for (size_t i = 1; i < at.size(); ++i) {
        pause_us = std::min(pause_us, 500000L);
        EXPECT_GE(at[i] - at[i - 1], std::chrono::microseconds(pause_us))
            << "before attempt " << i + 1;
        pause_us = pause_us * 2 + 1000;
    }
    EXPECT_GE(took, std::chrono::milliseconds(3000)) << "it stops only once 3 s have passed";
    EXPECT_FALSE(model().biodata_enabled());
}

TEST_F(SspCore, RejectedBiodataSwitchOnAPadThatCannotBeReopened) {
    start();
    make_bulk_record();
    ASSERT_EQ(ssp_common_component_id_get_id(&bulk, 11), 1);
    model().fail_next_ssp_replies(1000, 0);
    // The bulk side goes away; the switch is still refused, and the reopen
    // after the last refusal fails.
    bed.remove_pad(bed.pads().back().get());
    EXPECT_EQ(core_disable_ssp_biodata_sending(), -20);
    EXPECT_TRUE(bulk.removed);
    EXPECT_EQ(bulk.vcom_handle, nullptr);
}

// A handler that never leaves CHS_RUNNING: each of the two waits ends at its
// 10 s deadline, and the accepted change still counts as done.
TEST_F(SspCore, SlowHandlerStaysRunning) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.conf_handler.stays_running = true;
    start(cfg);
    ASSERT_EQ(ssp_common_set_configuration_variable(dev, "x", "1"), 0);
    EXPECT_EQ(model().variable("x"), "1");
    const Clock::time_point wait_start = Clock::now();
    EXPECT_EQ(ssp_common_check_configuration_state(dev), padsim::wire::kChsRunning);
    EXPECT_GE(Clock::now() - wait_start, std::chrono::milliseconds(10000));
}
