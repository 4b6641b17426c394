// SSP over the 0xF8/0xF9 feature reports and the bulk pipe: what the pad
// decodes, what it answers, and how it can be told to misbehave.
#include <gtest/gtest.h>

#include <cstring>

#include "test_unit_fake_host.h"

namespace padsim {
namespace {

using testing::bytes;
using testing::concat;
using testing::FakeHost;
using testing::hid_drain;
using testing::hid_poll;
using testing::hid_send;
using testing::kGenerous;
using testing::messages_of;

constexpr uint8_t kCommunication = 0;  // component ids of the default pad
constexpr uint8_t kSignpad = 1;
constexpr uint8_t kConfHandler = 2;

// Sends a request to a HID pad and returns the one reply it answers with.
Bytes ask(PadModel &pad, const Bytes &msg) {
    hid_send(pad, msg);
    std::vector<Bytes> replies = messages_of(concat(hid_drain(pad)));
    EXPECT_EQ(replies.size(), 1u);
    return replies.empty() ? Bytes{} : replies[0];
}

Bytes payload_of(const Bytes &msg) {
    return msg.size() < 3 ? Bytes{} : Bytes(msg.begin() + 3, msg.end());
}

Bytes conf_var_request(uint8_t comp, uint8_t msg_id, const std::string &name,
                       const std::string &value) {
    wire::ConfVarSet rec{};
    std::memcpy(rec.name, name.data(), std::min(name.size(), sizeof rec.name));
    std::memcpy(rec.value, value.data(), std::min(value.size(), sizeof rec.value));
    Bytes m{comp, 0x3C, 0x00, msg_id};
    const auto *p = reinterpret_cast<const uint8_t *>(&rec);
    m.insert(m.end(), p, p + sizeof rec);
    return m;
}

TEST(PadSspHid, ComponentListExactReports) {
    PadModel pad(PadConfig::hid_pad());
    // The request in one 0xF8 report of 1 + 7 bytes.
    EXPECT_TRUE(pad.set_feature(0, bytes({0xF8, 0xAA, 0x55, 0x02, 0x00, 0x00, 0x00, 0x10})));

    Bytes a = hid_poll(pad);
    Bytes expect(64, 0);
    const Bytes head =
        bytes({0xF9, 0x00, 0xAA, 0x55, 0x02, 0x00, 0x05, 0x00, 0x10, 0x01, 0x03, 0x01, 0x0B, 0x03});
    std::copy(head.begin(), head.end(), expect.begin());
    EXPECT_EQ(a, expect);

    // Nothing more: the status byte says "not ready".
    Bytes idle = hid_poll(pad);
    EXPECT_EQ(idle[0], 0xF9);
    EXPECT_EQ(idle[1], wire::kStatusInProgress);
    EXPECT_EQ(Bytes(idle.begin() + 2, idle.end()), Bytes(62, 0));

    auto rx = pad.received_messages();
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx[0].bytes, bytes({0x00, 0x00, 0x00, 0x10}));
    EXPECT_TRUE(rx[0].complete);
}

TEST(PadSspHid, PadDescriptionReply) {
    PadConfig cfg = PadConfig::hid_pad();
    cfg.serial_number = "AB12";
    cfg.described_vendor_id = 0x22C9;
    cfg.described_product_id = 0x0901;
    PadModel pad(cfg);
    Bytes r = ask(pad, bytes({kSignpad, 0x02, 0x00, 0x10, 0x00, 0x00}));
    ASSERT_EQ(r.size(), 3u + 31u + 4u);
    EXPECT_EQ(r[0], kSignpad);
    EXPECT_EQ(ssp::get_le16(&r[1]) + 1u, 35u);
    Bytes p = payload_of(r);
    EXPECT_EQ(p[0], 0x10);
    EXPECT_EQ(p[1], 0x01);
    EXPECT_EQ(ssp::get_le32(&p[offsetof(wire::PadDescriptionReply, vendor_id)]), 0x22C9u);
    EXPECT_EQ(ssp::get_le32(&p[offsetof(wire::PadDescriptionReply, product_id)]), 0x0901u);
    EXPECT_EQ(ssp::get_le32(&p[offsetof(wire::PadDescriptionReply, version_major)]),
              cfg.version.major);
    EXPECT_EQ(ssp::get_le32(&p[offsetof(wire::PadDescriptionReply, version_revision)]),
              cfg.version.revision);
    EXPECT_EQ(p[30], 4);
    EXPECT_EQ(Bytes(p.begin() + 31, p.end()), bytes({'A', 'B', '1', '2'}));
}

// A message longer than one report crosses 0xF8 reports wherever the 63-byte
// pieces fall, escapes included.
TEST(PadSspHid, RequestAcrossSeveralReports) {
    PadModel pad(PadConfig::hid_pad());
    std::string name(45, 'n');
    name[20] = static_cast<char>(0xAA);
    name[21] = 0x55;
    Bytes req = conf_var_request(kConfHandler, 0x14, name, "value");
    Bytes tokens = ssp::encode_tokens(req);
    ASSERT_GT(tokens.size(), 63u);
    Bytes r = ask(pad, req);
    EXPECT_EQ(payload_of(r), bytes({0x14, 0x01}));
    auto rx = pad.received_messages();
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx[0].bytes, req);
    EXPECT_EQ(pad.variable(name.substr(0, 40)), std::optional<std::string>("value"));
}

// One byte per 0xF8 report: every token is split across reports.
TEST(PadSspHid, TokensSplitAcrossReports) {
    PadModel pad(PadConfig::hid_pad());
    Bytes req = bytes({kSignpad, 0x02, 0x00, 0x11, 0x01, 0x00});
    Bytes tokens = ssp::encode_tokens(req);
    for (uint8_t b : tokens) {
        pad.set_feature(0, bytes({0xF8, b}));
    }
    EXPECT_EQ(messages_of(concat(hid_drain(pad))).size(), 1u);
    EXPECT_TRUE(pad.biodata_enabled());
}

TEST(PadSspHid, IncompleteRequestIsRecordedNotAnswered) {
    PadModel pad(PadConfig::hid_pad());
    // Announces 3 payload bytes, carries 1, then the next SOF arrives.
    pad.set_feature(0, bytes({0xF8, 0xAA, 0x55, 0x02, 0x01, 0x02, 0x00, 0x10}));
    hid_send(pad, bytes({0x00, 0x00, 0x00, 0x10}));
    auto rx = pad.received_messages();
    ASSERT_EQ(rx.size(), 2u);
    EXPECT_FALSE(rx[0].complete);
    EXPECT_TRUE(rx[1].complete);
    auto replies = messages_of(concat(hid_drain(pad)));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(payload_of(replies[0])[0], 0x10);
}

}  // namespace
}  // namespace padsim
