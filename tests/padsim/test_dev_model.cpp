// The pad firmware model behind virtual pads: an SSP request travels through
// the real hidapi or libusb and the model's answer comes back the same way.
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>
#include <libusb.h>

#include "firmware_model.h"
#include "padsim.h"

namespace padsim {
namespace {

// The component list request to component 0, in its transport-token framing.
const Bytes kComponentListTokens = {0xAA, 0x55, 0x02, 0x00, 0x00, 0x00, 0x10};

// The payload the pad must answer: message id, success, count, types.
Bytes component_list_payload(const FirmwareConfig &config) {
    Bytes p{0x10, 0x01, static_cast<uint8_t>(config.components.size())};
    p.insert(p.end(), config.components.begin(), config.components.end());
    return p;
}

// One base message framed by a leading SOF: its payload.
Bytes payload_of(const Bytes &tokens) {
    if (tokens.size() < 6 || tokens[0] != 0xAA || tokens[1] != 0x55 || tokens[2] != 0x02) {
        return {};
    }
    const size_t length = static_cast<size_t>(tokens[4] | (tokens[5] << 8)) + 1;
    if (tokens.size() < 6 + length) {
        return {};
    }
    return Bytes(tokens.begin() + 6, tokens.begin() + 6 + static_cast<long>(length));
}

TEST(ModelOnHidPad, AnswersComponentListOverFeatureReports) {
    Testbed bed;
    ASSERT_TRUE(bed.ok());
    const FirmwareConfig config = FirmwareConfig::hid_pad();
    Pad *pad =
        bed.add_pad(PadConfig::hid(0x2689, 0x0CE1, "PS1"), std::make_unique<PadModel>(config));
    ASSERT_NE(pad, nullptr);
    ASSERT_EQ(hid_init(), 0);
    hid_device_info *list = hid_enumerate(0x2689, 0x0CE1);
    ASSERT_NE(list, nullptr);
    hid_device *dev = hid_open_path(list->path);
    hid_free_enumeration(list);
    ASSERT_NE(dev, nullptr);

    // 0xF8 carries the request's tokens; the report is as long as they need.
    unsigned char out[65] = {0, 0xF8};
    std::memcpy(out + 2, kComponentListTokens.data(), kComponentListTokens.size());
    const int len = static_cast<int>(2 + kComponentListTokens.size());
    ASSERT_EQ(hid_send_feature_report(dev, out, static_cast<size_t>(len)), len);

    // Ask with 0xF9 until the pad has its answer ready.
    Bytes tokens;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (tokens.empty() && std::chrono::steady_clock::now() < deadline) {
        unsigned char ask[65] = {0, 0xF9};
        ASSERT_EQ(hid_send_feature_report(dev, ask, sizeof ask), 65);
        unsigned char in[65] = {0};
        ASSERT_EQ(hid_get_feature_report(dev, in, sizeof in), 65);
        ASSERT_EQ(in[1], 0xF9);
        if (in[2] == 0) {
            tokens.assign(in + 3, in + 65);
        }
    }
    EXPECT_EQ(payload_of(tokens), component_list_payload(config));

    auto log = pad->log();
    bool saw_request = false;
    for (const auto &t : log) {
        if (t.request() == 0x09 && !t.data.empty() && t.data[0] == 0xF8) {
            Bytes expected{0xF8};
            expected.insert(expected.end(), kComponentListTokens.begin(),
                            kComponentListTokens.end());
            EXPECT_EQ(t.data, expected);
            saw_request = true;
        }
    }
    EXPECT_TRUE(saw_request);
    hid_close(dev);
    hid_exit();
}

TEST(ModelOnVcomPad, AnswersComponentListOverTheBulkPipe) {
    Testbed bed;
    ASSERT_TRUE(bed.ok());
    const FirmwareConfig config = FirmwareConfig::vcom_pad();
    Pad *pad =
        bed.add_pad(PadConfig::vcom(0x2689, 0xFF01, "PS2"), std::make_unique<PadModel>(config));
    ASSERT_NE(pad, nullptr);
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device_handle *handle = libusb_open_device_with_vid_pid(ctx, 0x2689, 0xFF01);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);

    Bytes request = kComponentListTokens;
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x02, request.data(), static_cast<int>(request.size()),
                                   &done, 1000),
              0);
    unsigned char in[4096];
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 2000), 0);
    EXPECT_EQ(payload_of(Bytes(in, in + done)), component_list_payload(config));

    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(ctx);
}

}  // namespace
}  // namespace padsim
