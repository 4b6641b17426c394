// Bulk-endpoint (VCOM) pads on the emulated bus: the search with its
// manufacturer check and endpoint scan, numbering beside HID pads, the report
// operations as legacy messages over the bulk pipe, and the bulk send's
// retries.
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>

#include "dev_vcom_support.h"

using namespace devtest;

namespace {

class Vcom : public VcomBench {};

// Answers the legacy feature request (C0 00) with one scripted message and
// takes every other write without a word.
class ScriptedFirmware : public padsim::Firmware {
  public:
    void attach(padsim::FirmwareHost *host) override {
        std::lock_guard<std::mutex> g(m_);
        host_ = host;
    }
    bool set_feature(int, const padsim::Bytes &) override { return false; }
    std::optional<padsim::Bytes> get_feature(int, size_t) override { return std::nullopt; }
    bool bulk_out(const padsim::Bytes &data) override {
        padsim::FirmwareHost *host;
        padsim::Bytes reply;
        {
            std::lock_guard<std::mutex> g(m_);
            host = host_;
            reply = feature_reply_;
        }
        if (host != nullptr && data == tokens_of({0xC0, 0x00}) && !reply.empty())
            host->queue_bulk_in(tokens_of(reply));
        return true;
    }
    void set_feature_reply(padsim::Bytes message) {
        std::lock_guard<std::mutex> g(m_);
        feature_reply_ = std::move(message);
    }

  private:
    std::mutex m_;
    padsim::FirmwareHost *host_ = nullptr;
    padsim::Bytes feature_reply_;
};

class VcomRecordIo : public VcomBench {
  protected:
    void SetUp() override {
        VcomBench::SetUp();
        pad_ = bed.add_pad(padsim::PadConfig::vcom(kBridgeVid, kBridgePid, "REC"));
        ASSERT_NE(pad_, nullptr);
        fw_ = &pad_->emplace_firmware<ScriptedFirmware>();
        ASSERT_TRUE(r_.open(*pad_));
        pad_->clear_log();
    }
    padsim::Pad *pad_ = nullptr;
    ScriptedFirmware *fw_ = nullptr;
    VcomRecord r_;
};

}  // namespace

TEST_F(Vcom, HidPadsComeFirstAndVcomPadsAreDescribedThroughSsp) {
    add_hid(0x22C9, 0x0901, "AB12");
    Added v = add_vcom(kBridgeVid, kBridgePid, "XY9");
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    ASSERT_EQ(GetDeviceCount(&reply), 2u);

    EXPECT_EQ(settings_of(1), "000000000000000001HID: Quillon Signature Pad (22c9/901/000D/AB12)");
    // The ids are the ones the pad describes, not the bridge's USB ids, and
    // the product carries no trailing blank.
    EXPECT_EQ(settings_of(2), "000000000000000001VCOM: Quillon Signature Pad(2689/ce1/000D/XY9)");
    unsigned int v_id = 0, p_id = 0, size = 0;
    ASSERT_EQ(GetVendorId(2, &v_id), 0u);
    ASSERT_EQ(GetProductId(2, 0, &p_id), 0u);
    EXPECT_EQ(v_id, 0x2689u);
    EXPECT_EQ(p_id, 0x0CE1u);
    ASSERT_EQ(GetFeatureReportSize(2, 0, &size), 0u);
    EXPECT_EQ(size, 65u);
    Text serial;
    ASSERT_EQ(GetSerialNumber(2, serial.buf, QLPAD_MAX_STRING_LENGTH, &serial.reply), 0u);
    EXPECT_EQ(serial.str(), "XY9");

    // The search put the pad into mode 1 with a 64-byte legacy message, then
    // fetched the answer with the legacy feature request.
    EXPECT_EQ(v.model->requested_mode(), 1);
    auto out = bulk_transfers(*v.pad, kBulkOut);
    ASSERT_GE(out.size(), 2u);
    padsim::Bytes mode(64, 0);
    mode[0] = 0x01;
    mode[1] = 0x01;
    EXPECT_EQ(out[0].data, tokens_of(legacy(mode)));
    EXPECT_EQ(out[1].data, tokens_of({0xC0, 0x00}));
}

TEST_F(Vcom, BridgeVendorPadsNeedOneOfOurManufacturers) {
    Added ours = add_vcom(kBridgeVid, kBridgePid, "TV1", 64, 64, "Tovaro Systems");
    Added other = add_vcom(kBridgeVid, kBridgePid, "AC1", 64, 64, "Acme");
    testing::internal::CaptureStderr();
    ASSERT_EQ(Initialize(), 0u);
    std::string errors = testing::internal::GetCapturedStderr();
    unsigned int reply = 0;
    ASSERT_EQ(GetDeviceCount(&reply), 1u);
    Text serial;
    ASSERT_EQ(GetSerialNumber(1, serial.buf, QLPAD_MAX_STRING_LENGTH, &serial.reply), 0u);
    EXPECT_EQ(serial.str(), "TV1");
    EXPECT_NE(errors.find("It looks like not Quillon's device because manufacturer: Acme"),
              std::string::npos)
        << errors;
    EXPECT_TRUE(bulk_transfers(*other.pad, kBulkOut).empty()) << "skipped before any exchange";
    EXPECT_FALSE(bulk_transfers(*ours.pad, kBulkOut).empty());
    EXPECT_EQ(open_handles(*other.pad), 0);
}

TEST_F(Vcom, EndpointScanStoresBulkSizesAndSkipsSingleEndpointInterfaces) {
    add_vcom(0x2689, 0xFF01, "BIG", 512, 512);
    padsim::PadConfig odd = padsim::PadConfig::vcom(0x22C9, 0xFF02, "ODD");
    odd.interfaces[0].endpoints = {{0x83, padsim::TransferType::Interrupt, 16, 4}};
    padsim::Pad *single =
        bed.add_pad(odd, std::make_unique<padsim::PadModel>(padsim::FirmwareConfig::vcom_pad()));
    ASSERT_NE(single, nullptr);
    note_idle(*single);

    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    ASSERT_EQ(GetDeviceCount(&reply), 1u);
    EXPECT_EQ(settings_of(1), "000000000000000001VCOM: Quillon Signature Pad(2689/ce1/000D/BIG)");
    EXPECT_EQ(core_get_max_packet_size_of_input_report(), 512);
    EXPECT_EQ(core_get_max_packet_size_of_out_endpoint(), 64)
        << "legacy messages carry at most 64 bytes";
    EXPECT_EQ(open_handles(*single), 0) << "the skipped pad was closed";

    uint8_t buf[80] = {};
    uint32_t h = WriteFile(1, 0, buf, 66, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER) << "OUT size 64 bounds output reports";
}

TEST_F(Vcom, KernelDriverIsDetachedBeforeTheClaim) {
    padsim::PadConfig usb = padsim::PadConfig::vcom(0x268E, 0xFF02, "DRV");
    usb.interfaces[0].kernel_driver = "cdc_acm";
    padsim::FirmwareConfig cfg = padsim::FirmwareConfig::vcom_pad();
    cfg.serial_number = "DRV";
    ASSERT_NE(bed.add_pad(usb, std::make_unique<padsim::PadModel>(cfg)), nullptr);
    testing::internal::CaptureStderr();
    ASSERT_EQ(Initialize(), 0u);
    std::string errors = testing::internal::GetCapturedStderr();
    unsigned int reply = 0;
    EXPECT_EQ(GetDeviceCount(&reply), 1u);
    EXPECT_EQ(errors.find("libusb_claim_interface() failed"), std::string::npos) << errors;
}

TEST_F(Vcom, FailedModeExchangeLeavesOnlyTheHandleTheRecordHolds) {
    // The first mode write fails all three bulk attempts: the transfer layer
    // closes the scratch record and opens it again, so the search must close
    // the new handle, not the one it opened.
    Added v = add_vcom(kBridgeVid, kBridgePid, "RE1");
    v.pad->fail_next(padsim::Target::BulkOut, 3, -EIO);
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    ASSERT_EQ(GetDeviceCount(&reply), 1u);
    EXPECT_EQ(v.model->requested_mode(), 1) << "the second attempt got through";
    EXPECT_EQ(open_handles(*v.pad), 1) << "only the current device's handle";
    Deinitialize();
    EXPECT_EQ(open_handles(*v.pad), 0);
}

TEST_F(Vcom, PadThatCannotBeReadIsSkippedAndClosed) {
    // Every bulk IN fails: the mode answer and the description never come,
    // each failed receive reopens the scratch record, and the pad is skipped.
    Added v = add_vcom(kBridgeVid, kBridgePid, "RE2");
    v.pad->fail_next(padsim::Target::BulkIn, INT_MAX, -EIO);
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    EXPECT_EQ(GetDeviceCount(&reply), 0u);
    EXPECT_EQ(open_handles(*v.pad), 0);
}

TEST_F(Vcom, UsbDataSendGivesUpAtOnceOnAGonePadAndRetriesOtherFailures) {
    VcomRecord r;
    Added v = add_vcom(kBridgeVid, kBridgePid, "SND");
    ASSERT_TRUE(r.open(*v.pad));
    const uint8_t data[] = {1, 2, 3};

    v.pad->clear_log();
    v.pad->fail_next(padsim::Target::BulkOut, 3, -EIO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(usb_data_send(r.rec.vcom_handle, kBulkOut, data, sizeof data), LIBUSB_ERROR_IO);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(bulk_transfers(*v.pad, kBulkOut).size(), 3u);
    EXPECT_NE(errors.find("going to try again after 1000 microsecond"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("going to try again after 2500 microsecond"), std::string::npos)
        << errors;
    // A pause follows each of the three failures. Its third length is left
    // open here: "pause * 2 + 500" gives 5500, the figures quoted for the
    // pads give 6000.
    EXPECT_EQ(count_of(errors, "going to try again after"), 3u) << errors;

    v.pad->clear_log();
    v.pad->fail_next(padsim::Target::BulkOut, 2, -EIO);
    EXPECT_EQ(usb_data_send(r.rec.vcom_handle, kBulkOut, data, sizeof data), 0);
    auto out = bulk_transfers(*v.pad, kBulkOut);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out.back().status, 0);
    EXPECT_EQ(out.back().data, padsim::Bytes(data, data + sizeof data));

    v.pad->unplug();
    testing::internal::CaptureStderr();
    EXPECT_EQ(usb_data_send(r.rec.vcom_handle, kBulkOut, data, sizeof data),
              LIBUSB_ERROR_NO_DEVICE);
    errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(errors, "libusb_bulk_transfer() failed"), 1u) << errors;
    EXPECT_EQ(count_of(errors, "going to try again"), 0u) << errors;
}

TEST_F(VcomRecordIo, FeatureReadCopiesAtMostTheLengthAskedFor) {
    padsim::Bytes payload(20);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(0x30 + i);
    fw_->set_feature_reply(legacy(payload));

    uint8_t out[32];
    memset(out, 0xEE, sizeof out);
    ASSERT_EQ(vcom_feature_read(&r_.rec, out, 8), 0);
    EXPECT_EQ(padsim::Bytes(out, out + 8), padsim::Bytes(payload.begin(), payload.begin() + 8));
    EXPECT_EQ(out[8], 0xEE) << "nothing past the length asked for";
    auto sent = bulk_transfers(*pad_, kBulkOut);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, tokens_of({0xC0, 0x00})) << "the legacy feature request";

    memset(out, 0xEE, sizeof out);
    ASSERT_EQ(vcom_feature_read(&r_.rec, out, 30), 0);
    EXPECT_EQ(padsim::Bytes(out, out + 20), payload);
    EXPECT_EQ(out[20], 0xEE) << "a shorter message copies what it has";

    // A base message is no feature report.
    fw_->set_feature_reply({0x05, 0x01, 0x00, 0x10, 0x01});
    EXPECT_EQ(vcom_feature_read(&r_.rec, out, 8), -1);
}

TEST_F(VcomRecordIo, WritesTravelAsLegacyMessages) {
    const uint8_t report[5] = {0x11, 0x22, 0x33, 0x44, 0x55};
    ASSERT_EQ(vcom_feature_write(&r_.rec, report, sizeof report), 0);
    ASSERT_EQ(vcom_output_write(&r_.rec, report, 2), 0);
    auto sent = bulk_transfers(*pad_, kBulkOut);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, (padsim::Bytes{0xAA, 0x55, 0x02, 0x84, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(sent[1].data, (padsim::Bytes{0xAA, 0x55, 0x02, 0x81, 0x11, 0x22}));

    uint8_t big[65] = {};
    EXPECT_EQ(vcom_feature_write(&r_.rec, big, sizeof big), -1)
        << "a legacy message holds 64 bytes";
    EXPECT_EQ(vcom_output_write(&r_.rec, big, sizeof big), -1);
    EXPECT_EQ(bulk_transfers(*pad_, kBulkOut).size(), 2u) << "nothing sent";

    // Argument checks: a closed record is refused by writers and reads as
    // "nothing there" for the input read.
    ql_device closed = r_.rec;
    closed.vcom_handle = nullptr;
    uint8_t in[8];
    EXPECT_EQ(vcom_feature_write(&closed, report, sizeof report), -1);
    EXPECT_EQ(vcom_feature_read(&closed, in, sizeof in), -1);
    EXPECT_EQ(vcom_input_read(&closed, in, sizeof in), 0);
    EXPECT_EQ(vcom_input_read(&r_.rec, in, 0), -1);
    EXPECT_EQ(vcom_output_write(nullptr, report, 1), -1);
}

TEST_F(VcomRecordIo, InputReadTakesBiodataAndFindsNothingWithoutIt) {
    uint8_t in[64];
    EXPECT_EQ(vcom_input_read(&r_.rec, in, sizeof in), 0) << "a quiet pad is no failure";

    padsim::Bytes pen(20, 0x5A);
    pen[0] = 0xA0;
    pad_->host().queue_bulk_in(tokens_of(legacy(pen, true)));
    memset(in, 0, sizeof in);
    ASSERT_EQ(vcom_input_read(&r_.rec, in, sizeof in), 20);
    EXPECT_EQ(padsim::Bytes(in, in + 20), pen);
}

TEST_F(Vcom, ReadFileWithNothingToReadIsNoFailure) {
    Added v = add_vcom(kBridgeVid, kBridgePid, "RD1");
    ASSERT_EQ(Initialize(), 0u);
    const int opens = v.pad->opens();
    uint8_t buf[65] = {};
    unsigned int reply = 7;
    EXPECT_EQ(ReadFile(1, 0, buf, sizeof buf, &reply), 0u);
    EXPECT_EQ(reply, 7u) << "nothing was waiting";
    EXPECT_EQ(v.pad->opens(), opens) << "a quiet pad is not reopened";
    EXPECT_EQ(open_handles(*v.pad), 1);

    // The pad still answers: a version request and its answer.
    uint8_t version[65] = {0, 0x11};
    ASSERT_EQ(SetFeature(1, 0, version, sizeof version, &reply), 0u);
    memset(buf, 0, sizeof buf);
    ASSERT_EQ(GetFeature(1, 0, buf, sizeof buf, &reply), 0u);
    EXPECT_EQ(buf[1], 0x11);
    EXPECT_EQ(buf[2], 0) << "status success";
}

TEST(VcomApi, AddComDeviceIsAPlaceholder) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(AddComDevice(nullptr, 9600, nullptr), 0u);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("Function AddComDevice() not implemented yet."), std::string::npos)
        << errors;
}
