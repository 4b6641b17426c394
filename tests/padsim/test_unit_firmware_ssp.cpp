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
    Bytes m(4 + sizeof rec);
    m[0] = comp;
    m[1] = sizeof rec;
    m[2] = 0x00;
    m[3] = msg_id;
    std::memcpy(&m[4], &rec, sizeof rec);
    return m;
}

ConfHandlerScript script(std::vector<int32_t> busy, int32_t final_state, bool stays_running) {
    ConfHandlerScript s;
    s.busy_states = std::move(busy);
    s.final_state = final_state;
    s.stays_running = stays_running;
    return s;
}

TEST(PadSspHid, ComponentListExactReports) {
    PadModel pad(FirmwareConfig::hid_pad());
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
    FirmwareConfig cfg = FirmwareConfig::hid_pad();
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
    PadModel pad(FirmwareConfig::hid_pad());
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
    PadModel pad(FirmwareConfig::hid_pad());
    Bytes req = bytes({kSignpad, 0x02, 0x00, 0x11, 0x01, 0x00});
    Bytes tokens = ssp::encode_tokens(req);
    for (uint8_t b : tokens) {
        pad.set_feature(0, bytes({0xF8, b}));
    }
    EXPECT_EQ(messages_of(concat(hid_drain(pad))).size(), 1u);
    EXPECT_TRUE(pad.biodata_enabled());
}

TEST(PadSspHid, IncompleteRequestIsRecordedNotAnswered) {
    PadModel pad(FirmwareConfig::hid_pad());
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

TEST(PadSspCommands, ModeListAndModeSend) {
    FirmwareConfig cfg = FirmwareConfig::hid_pad();
    cfg.signpad_modes = {0, 5, 6, 13};
    cfg.user_input_button = 0x01020304;
    cfg.button_events[5] = 203;
    PadModel pad(cfg);

    Bytes list = ask(pad, bytes({kSignpad, 0x02, 0x00, 0x12, 0x00, 0x00}));
    Bytes expect_list = bytes({0x12, 0x01, 0x04});
    for (uint32_t m : cfg.signpad_modes) {
        ssp::append_le32(expect_list, m);
    }
    EXPECT_EQ(list[0], kSignpad);
    EXPECT_EQ(payload_of(list), expect_list);

    struct Case {
        const char *what;
        uint8_t mode_id;
        uint8_t sub;
        Bytes reply;
    };
    const Case cases[] = {
        {"user input", 3, 0x10, bytes({0x13, 0x01, 0x03, 0x10, 0x04, 0x03, 0x02, 0x01})},
        {"button event, document view", 1, 0x12,
         bytes({0x13, 0x01, 0x01, 0x12, 203, 0x00, 0x00, 0x00})},
        {"button event, no event yet", 0, 0x12,
         bytes({0x13, 0x01, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00})},
        {"buttons refresh, document sign", 2, 0x10, bytes({0x13, 0x01, 0x02, 0x10})},
        {"mode id out of range", 9, 0x10, bytes({0x13, 0x00, 0x09})},
        {"unknown sub-command", 0, 0x33, bytes({0x13, 0x00, 0x00})},
    };
    for (const auto &c : cases) {
        Bytes r = ask(pad, bytes({kSignpad, 0x02, 0x00, 0x13, c.mode_id, c.sub}));
        EXPECT_EQ(payload_of(r), c.reply) << c.what;
    }
    EXPECT_EQ(pad.buttons_refreshed(6), 1u);
    EXPECT_EQ(pad.buttons_refreshed(0), 0u);
}

TEST(PadSspCommands, BiodataSwitchAndConnection) {
    PadModel pad(FirmwareConfig::hid_pad());
    EXPECT_EQ(payload_of(ask(pad, bytes({kSignpad, 0x02, 0x00, 0x11, 0x01, 0x00}))),
              bytes({0x11, 0x01}));
    EXPECT_TRUE(pad.biodata_enabled());
    EXPECT_EQ(payload_of(ask(pad, bytes({kSignpad, 0x02, 0x00, 0x11, 0x00, 0x00}))),
              bytes({0x11, 0x01}));
    EXPECT_FALSE(pad.biodata_enabled());

    // Setting the connection gets no reply by default.
    hid_send(pad, bytes({kCommunication, 0x02, 0x00, 0x11, 0x02, 0x00}));
    EXPECT_TRUE(hid_drain(pad).empty());
    EXPECT_EQ(pad.connection_type(), 2);
    Bytes r = ask(pad, bytes({kCommunication, 0x02, 0x00, 0x10, 0x00, 0x00}));
    EXPECT_EQ(r[0], kCommunication);
    EXPECT_EQ(payload_of(r), bytes({0x10, 0x01, 0x02}));
}

TEST(PadSspCommands, RequestsToUnknownComponentsFail) {
    PadModel pad(FirmwareConfig::hid_pad());
    EXPECT_EQ(payload_of(ask(pad, bytes({0x07, 0x02, 0x00, 0x10, 0x00, 0x00}))),
              bytes({0x10, 0x00}));
    EXPECT_EQ(payload_of(ask(pad, bytes({kSignpad, 0x02, 0x00, 0x42, 0x00, 0x00}))),
              bytes({0x42, 0x00}));
}

TEST(PadSspConfHandler, SetAndPersistWithDefaultScript) {
    PadModel pad(FirmwareConfig::hid_pad());
    const Bytes state_get = bytes({kConfHandler, 0x00, 0x00, 0x10});
    EXPECT_EQ(payload_of(ask(pad, state_get)), bytes({0x10, 0x01, 0x00, 0x00, 0x00, 0x00}));

    Bytes r = ask(pad, conf_var_request(kConfHandler, 0x14, "ql.pad.mode.0.button.ok.config",
                                        std::string(25, 'v')));
    EXPECT_EQ(r[0], kConfHandler);
    EXPECT_EQ(payload_of(r), bytes({0x14, 0x01}));
    EXPECT_EQ(pad.variable("ql.pad.mode.0.button.ok.config"),
              std::optional<std::string>(std::string(20, 'v')));
    // One CHS_RUNNING, then the final state 0 for as long as asked.
    EXPECT_EQ(payload_of(ask(pad, state_get)), bytes({0x10, 0x01, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(payload_of(ask(pad, state_get)), bytes({0x10, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(payload_of(ask(pad, state_get)), bytes({0x10, 0x01, 0x00, 0x00, 0x00, 0x00}));

    EXPECT_FALSE(pad.persisted("ql.pad.mode.0.button.ok.config"));
    r = ask(pad, conf_var_request(kConfHandler, 0x17, "ql.pad.mode.0.button.ok.config", ""));
    EXPECT_EQ(payload_of(r), bytes({0x17, 0x01}));
    EXPECT_TRUE(pad.persisted("ql.pad.mode.0.button.ok.config"));
}

TEST(PadSspConfHandler, ScriptedStates) {
    struct Case {
        const char *what;
        ConfHandlerScript script;
        std::vector<int32_t> states;  // answers to the state requests after a set
    };
    const std::vector<Case> cases = {
        {"waits, runs, ends failed", script({1, 2, 2}, 4, false), {1, 2, 2, 4, 4}},
        {"ends in 3 at once", script({}, 3, false), {3, 3}},
        {"stays running", script({1}, 0, true), {1, 2, 2, 2, 2, 2}},
    };
    for (const auto &c : cases) {
        FirmwareConfig cfg = FirmwareConfig::hid_pad();
        cfg.conf_handler = c.script;
        PadModel pad(cfg);
        ask(pad, conf_var_request(kConfHandler, 0x14, "a", "b"));
        std::vector<int32_t> seen;
        for (size_t i = 0; i < c.states.size(); ++i) {
            Bytes p = payload_of(ask(pad, bytes({kConfHandler, 0x00, 0x00, 0x10})));
            seen.push_back(p.size() == 6 ? static_cast<int32_t>(ssp::get_le32(&p[2])) : -99);
        }
        EXPECT_EQ(seen, c.states) << c.what;
    }
}

TEST(PadSspFaults, FailedReplyChangesNothing) {
    PadModel pad(FirmwareConfig::hid_pad());
    pad.fail_next_ssp_replies(1, 0x00);
    EXPECT_EQ(payload_of(ask(pad, bytes({kSignpad, 0x02, 0x00, 0x11, 0x01, 0x00}))),
              bytes({0x11, 0x00}));
    EXPECT_FALSE(pad.biodata_enabled());
    EXPECT_EQ(payload_of(ask(pad, bytes({kSignpad, 0x02, 0x00, 0x11, 0x01, 0x00}))),
              bytes({0x11, 0x01}));
    EXPECT_TRUE(pad.biodata_enabled());
}

// Each piece of a split reply is one 0xF9 answer of its own.
TEST(PadSspFaults, SplitRepliesOverSeveralPolls) {
    PadModel pad(FirmwareConfig::hid_pad());
    pad.split_replies({2, 4});
    hid_send(pad, bytes({0x00, 0x00, 0x00, 0x10}));
    std::vector<Bytes> answers = hid_drain(pad);
    const Bytes tokens = ssp::encode_tokens(pad.sent_messages().at(0));
    ASSERT_EQ(tokens.size(), 12u);
    ASSERT_EQ(answers.size(), 4u);  // 2 + 4 + 4 + 2
    const size_t sizes[] = {2, 4, 4, 2};
    size_t off = 0;
    for (size_t i = 0; i < answers.size(); ++i) {
        Bytes expect(62, 0);
        std::copy(tokens.begin() + off, tokens.begin() + off + sizes[i], expect.begin());
        EXPECT_EQ(answers[i], expect) << "answer " << i;
        off += sizes[i];
    }
}

// Unsplit, a long reply fills every answer's 62 bytes; a token the end of an
// answer cuts (AA | 55 .., AA 55 | ..) continues at the start of the next.
TEST(PadSspFaults, DefaultCutFillsEveryAnswer) {
    struct Case {
        const char *what;
        uint32_t mode12;
        uint32_t mode13;
    };
    // Token stream: SOF 0-2, header 3-5, 12 01 count 6-8, mode i at 9 + 4i.
    const Case cases[] = {
        {"AA 55 at 61-62", 0x01010101, 0x010155AA},
        {"AA 55 at 60-61", 0xAA010101, 0x01010155},
        {"no token at the edge", 0x01010101, 0x01010101},
    };
    for (const auto &c : cases) {
        FirmwareConfig cfg = FirmwareConfig::hid_pad();
        cfg.signpad_modes.assign(20, 0x01010101);
        cfg.signpad_modes[12] = c.mode12;
        cfg.signpad_modes[13] = c.mode13;
        PadModel pad(cfg);
        hid_send(pad, bytes({kSignpad, 0x02, 0x00, 0x12, 0x00, 0x00}));
        std::vector<Bytes> answers = hid_drain(pad);
        const Bytes tokens = ssp::encode_tokens(pad.sent_messages().at(0));
        ASSERT_GT(tokens.size(), 62u) << c.what;
        ASSERT_EQ(answers.size(), 2u) << c.what;
        EXPECT_EQ(answers[0], Bytes(tokens.begin(), tokens.begin() + 62)) << c.what;
        Bytes second(62, 0);
        std::copy(tokens.begin() + 62, tokens.end(), second.begin());
        EXPECT_EQ(answers[1], second) << c.what;
        EXPECT_EQ(messages_of(concat(answers)), pad.sent_messages()) << c.what;
    }
}

// A reply of several hundred token bytes: the answers are the stream cut
// every 62 bytes, whatever tokens the cuts fall into.
TEST(PadSspFaults, LongReplyIsTheStreamCutEvery62Bytes) {
    FirmwareConfig cfg = FirmwareConfig::hid_pad();
    cfg.signpad_modes.clear();
    for (uint32_t i = 0; i < 100; ++i)
        cfg.signpad_modes.push_back(i % 3 == 0 ? 0x55AA55AA : 0x0155AA00 + i);
    PadModel pad(cfg);
    hid_send(pad, bytes({kSignpad, 0x02, 0x00, 0x12, 0x00, 0x00}));
    std::vector<Bytes> answers = hid_drain(pad);
    const Bytes tokens = ssp::encode_tokens(pad.sent_messages().at(0));
    ASSERT_EQ(answers.size(), (tokens.size() + 61) / 62);
    Bytes stream = concat(answers);
    ASSERT_GE(stream.size(), tokens.size());
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + static_cast<long>(tokens.size())), tokens);
    EXPECT_EQ(Bytes(stream.begin() + static_cast<long>(tokens.size()), stream.end()),
              Bytes(stream.size() - tokens.size(), 0));
    EXPECT_EQ(messages_of(stream), pad.sent_messages());
}

TEST(PadSspFaults, GarbageOverstatementAndStuckPolls) {
    PadModel pad(FirmwareConfig::hid_pad());
    const Bytes list_request = bytes({0x00, 0x00, 0x00, 0x10});

    pad.garbage_before_next_replies(1, bytes({0x07, 0x08, 0xAA}));
    hid_send(pad, list_request);
    Bytes a = hid_poll(pad);
    EXPECT_EQ(Bytes(a.begin() + 2, a.begin() + 8), bytes({0x07, 0x08, 0xAA, 0xAA, 0x55, 0x02}));
    hid_send(pad, list_request);
    a = hid_poll(pad);
    EXPECT_EQ(Bytes(a.begin() + 2, a.begin() + 5), bytes({0xAA, 0x55, 0x02})) << "one reply only";

    pad.overstate_next_replies(1, 5);
    hid_send(pad, list_request);
    a = hid_poll(pad);
    // Header announces 5 + 6 payload bytes, 6 follow.
    EXPECT_EQ(Bytes(a.begin() + 2, a.begin() + 8), bytes({0xAA, 0x55, 0x02, 0x00, 0x0A, 0x00}));
    EXPECT_EQ(Bytes(a.begin() + 14, a.end()), Bytes(50, 0));

    pad.set_ssp_in_stuck(true);
    hid_send(pad, list_request);
    for (int i = 0; i < 5; ++i) {
        a = hid_poll(pad);
        ASSERT_EQ(a[0], 0xF9);
        ASSERT_NE(a[1], 0);
    }
    pad.set_ssp_in_stuck(false);
    EXPECT_EQ(messages_of(concat(hid_drain(pad))).size(), 1u);
}

// On a VCOM pad the same requests travel over the bulk pipe.
TEST(PadSspVcom, RepliesOnBulkInWithOptionalSplit) {
    PadModel pad(FirmwareConfig::vcom_pad());
    FakeHost host;
    pad.attach(&host);
    EXPECT_TRUE(pad.bulk_out(ssp::encode_tokens(bytes({0x00, 0x00, 0x00, 0x10}))));
    ASSERT_TRUE(host.wait_bulk_chunks(1, kGenerous));
    EXPECT_EQ(host.take_bulk(),
              bytes({0xAA, 0x55, 0x02, 0x00, 0x05, 0x00, 0x10, 0x01, 0x03, 0x01, 0x0B, 0x03}));

    pad.split_replies({4, 7});
    pad.garbage_before_next_replies(1, bytes({0x00, 0x00}));
    pad.bulk_out(ssp::encode_tokens(bytes({kSignpad, 0x02, 0x00, 0x10, 0x00, 0x00})));
    ASSERT_TRUE(pad.wait_output_idle(kGenerous));
    std::vector<Bytes> chunks = host.bulk_chunks();
    const Bytes tokens = ssp::encode_tokens(pad.sent_messages().at(1));
    const size_t total = tokens.size() + 2;
    ASSERT_EQ(chunks.size(), 1 + (total - 4 + 6) / 7);
    EXPECT_EQ(chunks[0].size(), 4u);
    for (size_t i = 1; i + 1 < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].size(), 7u);
    }
    Bytes all = host.take_bulk();
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 2), bytes({0x00, 0x00}));
    EXPECT_EQ(Bytes(all.begin() + 2, all.end()), tokens);

    auto rx = pad.received_messages();
    ASSERT_EQ(rx.size(), 2u);
    EXPECT_EQ(rx[1].bytes, bytes({kSignpad, 0x02, 0x00, 0x10, 0x00, 0x00}));
    pad.attach(nullptr);
}

}  // namespace
}  // namespace padsim
