// Control commands: version, pad mode, status, signature rectangle, in
// feature reports and, on VCOM pads, in legacy messages over the bulk pipe.
#include <gtest/gtest.h>

#include "test_unit_fake_host.h"

namespace padsim {
namespace {

using testing::bytes;
using testing::FakeHost;
using testing::kGenerous;

Bytes request(std::initializer_list<int> head) {
    Bytes r(wire::kReportSize, 0);
    size_t i = 0;
    for (int b : head) {
        r[i++] = static_cast<uint8_t>(b);
    }
    return r;
}

Bytes control(PadModel &pad, const Bytes &req) {
    EXPECT_TRUE(pad.set_feature(0, req));
    return pad.get_feature(0, wire::kReportSize).value_or(Bytes{});
}

uint8_t mode_in_status(PadModel &pad) {
    Bytes a = control(pad, request({wire::kCmdGetStatus}));
    EXPECT_EQ(a[0], wire::kCmdGetStatus);
    EXPECT_EQ(a[1], 0);
    return a[11];
}

TEST(PadControl, VersionAnswerLayout) {
    FirmwareConfig cfg = FirmwareConfig::hid_pad();
    cfg.version = FirmwareVersionInfo{0x01020304, 5, 0xA0B0C0D0, 7, {'M', 'F', 'G', '9'}};
    PadModel pad(cfg);
    Bytes a = control(pad, request({wire::kCmdReadVersion}));
    ASSERT_EQ(a.size(), 64u);
    const Bytes expect_head =
        bytes({0x11, 0x00, 0x00, 0x00,                          // echo, status
               0x04, 0x03, 0x02, 0x01, 0x05, 0x00, 0x00, 0x00,  // major, minor
               0xD0, 0xC0, 0xB0, 0xA0, 0x07, 0x00, 0x00, 0x00,  // patch, rev
               'M',  'F',  'G',  '9'});
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 24), expect_head);
    EXPECT_EQ(Bytes(a.begin() + 24, a.end()), Bytes(40, 0));
}

TEST(PadControl, StatusCarriesFlagsAndCurrentMode) {
    FirmwareConfig cfg = FirmwareConfig::hid_pad();
    for (size_t i = 0; i < cfg.status_flags.size(); ++i) {
        cfg.status_flags[i] = static_cast<uint8_t>(0x30 + i);
    }
    cfg.initial_mode = 2;
    PadModel pad(cfg);
    Bytes a = control(pad, request({wire::kCmdGetStatus}));
    EXPECT_EQ(a[0], 0x27);
    EXPECT_EQ(a[1], 0x00);
    EXPECT_EQ(Bytes(a.begin() + 2, a.begin() + 6), Bytes(4, 0));
    Bytes flags(cfg.status_flags.begin(), cfg.status_flags.end());
    flags[5] = 2;
    EXPECT_EQ(Bytes(a.begin() + 6, a.begin() + 20), flags);

    Bytes set = control(pad, request({wire::kCmdSetPadMode, 6, 1}));
    EXPECT_EQ(Bytes(set.begin(), set.begin() + 2), bytes({0x01, 0x00}));
    EXPECT_EQ(mode_in_status(pad), 6);
}

TEST(PadControl, ModeShowsAfterConfiguredPollsOrNever) {
    FirmwareConfig cfg = FirmwareConfig::hid_pad();
    cfg.mode_change.after_status_polls = 2;
    PadModel pad(cfg);
    control(pad, request({wire::kCmdSetPadMode, 1, 0}));
    EXPECT_EQ(pad.requested_mode(), 1);
    EXPECT_EQ(mode_in_status(pad), 0);
    EXPECT_EQ(mode_in_status(pad), 0);
    EXPECT_EQ(mode_in_status(pad), 1);

    pad.set_mode_change(ModeChangeTiming{0, std::chrono::milliseconds(0), true});
    control(pad, request({wire::kCmdSetPadMode, 5, 0}));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(mode_in_status(pad), 1);
    }
    EXPECT_EQ(pad.requested_mode(), 5);
}

TEST(PadControl, ModeDelayedByTimeStaysOldUntilThen) {
    FirmwareConfig cfg = FirmwareConfig::hid_pad();
    cfg.mode_change.after = std::chrono::hours(1);  // never reached within the test
    PadModel pad(cfg);
    control(pad, request({wire::kCmdSetPadMode, 3, 0}));
    EXPECT_EQ(mode_in_status(pad), 0);
    EXPECT_EQ(pad.reported_mode(), 0);
}

TEST(PadControl, SignatureRectangleRequestIsDecoded) {
    PadModel pad(FirmwareConfig::hid_pad());
    Bytes req =
        request({0x65, 0x0A, 0x00, 0x14, 0x00, 0x2C, 0x01, 0xC8, 0x00, 0x01, 0x00, 0x00, 0x00});
    Bytes a = control(pad, req);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 2), bytes({0x65, 0x00}));
    EXPECT_EQ(pad.last_rectangle(), (std::array<uint16_t, 4>{10, 20, 300, 200}));
    EXPECT_EQ(pad.last_rectangle_option(), 1u);
    ASSERT_EQ(pad.control_requests().size(), 1u);
    EXPECT_EQ(pad.control_requests()[0], req);
}

TEST(PadControl, UnknownCommandIsNotImplemented) {
    PadModel pad(FirmwareConfig::hid_pad());
    Bytes a = control(pad, request({0x42}));
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 2), bytes({0x42, wire::kStatusNotImplemented}));
}

TEST(PadControlFaults, StatusAndEchoFaultsCountDown) {
    PadModel pad(FirmwareConfig::hid_pad());
    pad.fail_next_answers(1, 23);
    Bytes refused = control(pad, request({wire::kCmdSetPadMode, 4, 0}));
    EXPECT_EQ(Bytes(refused.begin(), refused.begin() + 2), bytes({0x01, 23}));
    EXPECT_EQ(pad.requested_mode(), 0) << "a refused mode change must not take effect";
    Bytes ok = control(pad, request({wire::kCmdSetPadMode, 4, 0}));
    EXPECT_EQ(ok[1], 0);
    EXPECT_EQ(pad.reported_mode(), 4);

    pad.wrong_echo_next_answers(2, 0x12);
    EXPECT_EQ(control(pad, request({wire::kCmdReadVersion}))[0], 0x12);
    EXPECT_EQ(control(pad, request({wire::kCmdReadVersion}))[0], 0x12);
    EXPECT_EQ(control(pad, request({wire::kCmdReadVersion}))[0], 0x11);
}

TEST(PadControl, Type1PadTakesWritesAndAnswersNothing) {
    PadModel pad(FirmwareConfig::type1_pad());
    Bytes mode40(40, 0);
    mode40[0] = wire::kCmdSetPadMode;
    mode40[1] = 1;
    mode40[38] = 0xF0;
    mode40[39] = 0xA5;
    EXPECT_TRUE(pad.set_feature(0, mode40));
    EXPECT_EQ(pad.requested_mode(), 1);
    EXPECT_EQ(pad.get_feature(0, 64), Bytes(64, 0));
    EXPECT_TRUE(pad.set_feature(0, request({wire::kCmdReadVersion})));
    EXPECT_EQ(pad.get_feature(0, 64), Bytes(64, 0));

    // SSP gets no answer either: the 0xF9 poll reads zeros, not "busy".
    testing::hid_send(pad, bytes({0x00, 0x00, 0x00, 0x10}));
    EXPECT_EQ(testing::hid_poll(pad), Bytes(64, 0));
    EXPECT_EQ(pad.received_messages().size(), 1u);
}

TEST(PadControl, TransportsRefuseTheOtherPipe) {
    PadModel hid(FirmwareConfig::hid_pad());
    EXPECT_FALSE(hid.bulk_out(bytes({0xAA, 0x55, 0x02, 0xC0, 0x00})));
    EXPECT_FALSE(hid.set_feature(0, Bytes{}));
    PadModel vcom(FirmwareConfig::vcom_pad());
    EXPECT_FALSE(vcom.set_feature(0, request({wire::kCmdReadVersion})));
    EXPECT_EQ(vcom.get_feature(0, 64), std::nullopt);
}

// VCOM: a report travels as legacy message 0x80|(N-1) + N bytes; C0 00 asks
// for the feature report, which comes back the same way on bulk IN.
TEST(PadControlVcom, LegacyFeatureReportViaC000) {
    FirmwareConfig cfg = FirmwareConfig::vcom_pad();
    cfg.version.major = 0x55AA;  // the answer's token data needs an escape
    PadModel pad(cfg);
    FakeHost host;
    pad.attach(&host);

    Bytes req = request({wire::kCmdReadVersion});
    Bytes msg = *ssp::make_old(req.data(), req.size(), false);
    ASSERT_EQ(msg[0], 0xBF);
    EXPECT_TRUE(pad.bulk_out(ssp::encode_tokens(msg)));
    ASSERT_TRUE(pad.wait_output_idle(kGenerous));
    EXPECT_TRUE(host.bulk_chunks().empty()) << "a report write is not answered by itself";

    EXPECT_TRUE(pad.bulk_out(bytes({0xAA, 0x55, 0x02, 0xC0, 0x00})));
    ASSERT_TRUE(host.wait_bulk_chunks(1, kGenerous));
    Bytes in = host.take_bulk();
    // SOF, 0xBF, then 11 00 00 00 | AA 55 escaped | 00 00 ...
    ASSERT_GE(in.size(), 11u);
    EXPECT_EQ(Bytes(in.begin(), in.begin() + 11),
              bytes({0xAA, 0x55, 0x02, 0xBF, 0x11, 0x00, 0x00, 0x00, 0xAA, 0x55, 0x00}));
    auto msgs = testing::messages_of(in);
    ASSERT_EQ(msgs.size(), 1u);
    ASSERT_EQ(msgs[0].size(), 65u);
    EXPECT_EQ(ssp::get_le32(&msgs[0][1 + 4]), 0x55AAu);

    // Mode 1 over the pipe, then the status shows it.
    Bytes mode = request({wire::kCmdSetPadMode, 1, 0});
    pad.bulk_out(ssp::encode_tokens(*ssp::make_old(mode.data(), 64, false)));
    Bytes status = request({wire::kCmdGetStatus});
    pad.bulk_out(ssp::encode_tokens(*ssp::make_old(status.data(), 64, false)));
    pad.bulk_out(bytes({0xAA, 0x55, 0x02, 0xC0, 0x00}));
    ASSERT_TRUE(host.wait_bulk_chunks(1, kGenerous));
    msgs = testing::messages_of(host.take_bulk());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0][1], wire::kCmdGetStatus);
    EXPECT_EQ(msgs[0][1 + 11], 1);
    pad.attach(nullptr);
}

}  // namespace
}  // namespace padsim
