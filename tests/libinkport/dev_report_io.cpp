// Report and feature calls on emulated HID pads: size checks, the bytes the
// pad sees, recovery by reopening, and removal notices.
#include <cerrno>
#include <gmock/gmock.h>

#include <functional>
#include <thread>

#include "dev_support.h"

using namespace devtest;

namespace {

class ReportIo : public PadBench {
  protected:
    Added pad_;
    void start(int interfaces = 1, uint16_t vid = 0x22C9, uint16_t pid = 0x0901,
               padsim::FirmwareConfig cfg = padsim::FirmwareConfig::hid_pad()) {
        pad_ = add_hid(vid, pid, "IO1", interfaces, cfg);
        ASSERT_EQ(Initialize(), 0u);
        pad_.pad->clear_log();
    }
};

}  // namespace

TEST_F(ReportIo, SizeChecksComeBeforeAnyTransfer) {
    start();
    uint8_t buf[80] = {};
    unsigned int reply = 0;
    uint32_t h = SetFeature(1, 0, buf, 1, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(h), "Error of write HID feature for device: 1");

    h = GetFeature(1, 0, buf, 1, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int dst_length is <= 1");

    h = WriteFile(1, 0, buf, 66, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int src_length > max packet size + 1");
    std::vector<uint8_t> big(65537);
    h = SetFeature(1, 0, big.data(), 65537, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int src_length > 65536");
    h = GetFeature(1, 0, big.data(), 0x80000000u, &reply);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int dst_length > 65536");
    EXPECT_TRUE(pad_.pad->log().empty()) << "refused before anything was sent";

    h = ReadFile(1, 0, buf, 0, &reply);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int dst_length is 0");
    h = WriteFile(1, 0, nullptr, 3, &reply);
    EXPECT_EQ(exception_message(h), "Error of input parameters, const void *src is NULL");
    h = GetFeature(1, 0, nullptr, 3, &reply);
    EXPECT_EQ(exception_message(h), "Error of input parameters, const void *dst is NULL");
    h = GetFeature(1, 0, buf, 3, nullptr);
    EXPECT_EQ(exception_message(h), "Error of input parameters, unsigned int *reply is NULL");

    ASSERT_EQ(WriteFile(1, 0, buf, 65, &reply), 0u);
    EXPECT_EQ(reply, 65u);
}

TEST_F(ReportIo, FeatureRoundTripCarriesReportIdZeroAndThePayload) {
    start();
    // A version request written by hand: the model answers it like the library's.
    uint8_t out[65] = {0xEE, 0x11};
    unsigned int reply = 0;
    ASSERT_EQ(SetFeature(1, 0, out, sizeof out, &reply), 0u);
    EXPECT_EQ(reply, 65u);
    uint8_t in[65];
    memset(in, 0x77, sizeof in);
    ASSERT_EQ(GetFeature(1, 0, in, sizeof in, &reply), 0u);
    EXPECT_EQ(reply, 65u);
    EXPECT_EQ(in[0], 0) << "byte 0 is the report-id slot";
    EXPECT_EQ(in[1], 0x11) << "echo of the command";
    EXPECT_EQ(in[2], 0) << "status";

    auto log = pad_.pad->log();
    ASSERT_GE(log.size(), 2u);
    const auto &w = log[log.size() - 2];
    ASSERT_TRUE(is_set_report(w));
    EXPECT_EQ(w.value(), 0x0300) << "Feature report, id 0";
    EXPECT_EQ(w.data.size(), 64u) << "the report-id slot is not sent";
    EXPECT_EQ(w.data[0], 0x11);
    ASSERT_TRUE(is_get_report(log.back()));
    EXPECT_EQ(log.back().value(), 0x0300);
}

TEST_F(ReportIo, ExtraInterfacesAreOpenedOnFirstUse) {
    start(2);
    uint8_t out[10] = {0, 0x27};
    unsigned int reply = 0;
    ASSERT_EQ(SetFeature(1, 1, out, sizeof out, &reply), 0u);
    auto writes = set_reports(*pad_.pad, 0x27);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(pad_.pad->log().back().index(), 1) << "sent to interface 1";

    uint32_t h = SetFeature(1, 3, out, sizeof out, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE) << "interface 3 on a pad with two";
    h = SetFeature(1, 9, out, sizeof out, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE) << "never past the eight extra interfaces";
}

TEST_F(ReportIo, ReadFileTakesWaitingInputReportsAndLeavesReplyOtherwise) {
    start();
    uint8_t in[65];
    unsigned int reply = 4242;
    ASSERT_EQ(ReadFile(1, 0, in, sizeof in, &reply), 0u);
    EXPECT_EQ(reply, 4242u) << "nothing was waiting";

    padsim::Bytes report(64);
    for (size_t i = 0; i < report.size(); ++i)
        report[i] = static_cast<uint8_t>(i + 1);
    pad_.pad->host().queue_interrupt_in(0, report);
    bool got = false;
    for (int i = 0; i < 500 && !got; ++i) {
        ASSERT_EQ(ReadFile(1, 0, in, sizeof in, &reply), 0u);
        got = reply == 65u;
        if (!got)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // polling the API itself
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(0, memcmp(in + 1, report.data(), 64));
}

TEST_F(ReportIo, TypeOnePadHasShortInputReports) {
    start(1, 0x1690, 0x2000, padsim::FirmwareConfig::type1_pad());
    uint8_t in[40];
    unsigned int reply = 7;
    EXPECT_EQ(ReadFile(1, 0, in, 21, &reply), 0u);
    uint32_t h = ReadFile(1, 0, in, 22, &reply);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int dst_length > max packet size + 1");
}

TEST_F(ReportIo, AFailedTransferReopensThePadForTheNextCall) {
    start();
    // Enough failures to outlast the transport's one-second retries, not the reopen.
    pad_.pad->fail_next(padsim::Target::Control, 13, -EPIPE);
    uint8_t out[65] = {0, 0x27};
    unsigned int reply = 0;
    uint32_t h = SetFeature(1, 0, out, sizeof out, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    pad_.pad->clear_faults();
    EXPECT_EQ(SetFeature(1, 0, out, sizeof out, &reply), 0u) << "the pad was reopened";
}

TEST_F(ReportIo, AFewFailedWritesAreRetriedWithoutAReopen) {
    start();
    pad_.pad->fail_next(padsim::Target::Control, 3, -EPIPE);
    uint8_t out[65] = {0, 0x27};
    unsigned int reply = 0;
    ASSERT_EQ(SetFeature(1, 0, out, sizeof out, &reply), 0u);
    EXPECT_EQ(set_reports(*pad_.pad, 0x27).size(), 4u) << "three refused, the fourth taken";
    EXPECT_EQ(cancelled_reads(pad_.pad->log()), 0u) << "the pad was not reopened";
}

TEST_F(ReportIo, AnInterfaceNumberAtTheCountIsRefusedBeforeAnyTransfer) {
    start(2);
    uint8_t buf[65] = {0, 0x27};
    unsigned int reply = 0;
    const std::pair<const char *, std::function<uint32_t()>> entries[] = {
        {"set_hid_feature_to_interface", [&] { return SetFeature(1, 2, buf, 65, &reply); }},
        {"get_hid_feature_from_interface", [&] { return GetFeature(1, 2, buf, 65, &reply); }},
        {"set_hid_output_to_interface", [&] { return WriteFile(1, 2, buf, 65, &reply); }},
        {"get_hid_input_from_interface", [&] { return ReadFile(1, 2, buf, 65, &reply); }},
        {"send_ssp_message_to_interface", [&] { return SendSspMessage(1, 2, buf, 3); }},
        {"receive_ssp_message_from_interface",
         [&] { return ReceiveSspMessage(1, 2, buf, 65, 50, &reply); }},
    };
    for (const auto &[check, call] : entries) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(exception_code(call()), QLPCEC_INVALID_HANDLE) << check;
        EXPECT_THAT(
            testing::internal::GetCapturedStderr(),
            testing::HasSubstr(std::string(check) + "->interface_number > count of interfaces"));
    }
    EXPECT_EQ(exception_code(SetDataReceivingEnabled(1, 2, 1)), static_cast<int>(QLPCEC_UNKNOWN));
    EXPECT_TRUE(pad_.pad->log().empty()) << "nothing was sent, nothing reopened";
}

TEST_F(ReportIo, UnplugMakesEveryLaterCallFailAndNotify) {
    start();
    RemovedSink removed;
    SetOnDeviceRemovedHandler(&removed, &RemovedSink::callback);
    pad_.pad->unplug();
    uint8_t out[65] = {};
    unsigned int reply = 0;
    for (int i = 1; i <= 2; ++i) {
        uint32_t h = WriteFile(1, 0, out, sizeof out, &reply);
        EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
        EXPECT_EQ(removed.count_on(), static_cast<size_t>(i)) << "one notice per failing call";
    }
    std::lock_guard<std::mutex> g(removed.m);
    EXPECT_EQ(removed.devices[0], 1u);
}

TEST_F(ReportIo, RemovedHandlerRunsOnTheThreadThatMetTheFailure) {
    start();
    struct ThreadSink {
        std::atomic<bool> called{false};
        std::thread::id where;
        static void cb(void *u, uint32_t) {
            auto *self = static_cast<ThreadSink *>(u);
            self->where = std::this_thread::get_id();
            self->called = true;
        }
    } sink;
    SetOnDeviceRemovedHandler(&sink, &ThreadSink::cb);
    pad_.pad->unplug();
    std::thread::id worker;
    std::thread t([&] {
        worker = std::this_thread::get_id();
        uint8_t out[65] = {};
        unsigned int reply = 0;
        WriteFile(1, 0, out, sizeof out, &reply);
    });
    t.join();
    ASSERT_TRUE(sink.called.load());
    EXPECT_EQ(sink.where, worker);
}
