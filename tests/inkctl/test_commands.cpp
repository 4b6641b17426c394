// inkctl's commands on a scripted pad stack: what they print, in which
// order, and which exit status each outcome gives.
#include <gtest/gtest.h>

#include <deque>

#include "commands.h"

using inkclient::Bytes;
using inkclient::Error;
using inkclient::Event;
using inkclient::Fault;

namespace {

// Each poll hands out the next batch; a batch may end the stream with an error.
struct Batch {
    std::vector<Event> events;
    Error end;
};

class ScriptedStack final : public inkclient::PadStack {
  public:
    unsigned pads = 1;
    Error info_error;
    std::deque<Batch> batches;
    std::deque<Bytes> ssp_replies;
    std::vector<Bytes> ssp_sent;
    std::vector<std::pair<unsigned, bool>> receiving;

    Error initialize() override { return {}; }
    Error deinitialize() override { return {}; }
    Error device_count(unsigned &count) override {
        count = pads;
        return {};
    }
    Error enumerate_start(unsigned &device) override {
        device = pads > 0 ? 1 : 0;
        return {};
    }
    Error enumerate_next(unsigned &device) override {
        device = device < pads ? device + 1 : 0;
        return {};
    }
    Error serial_number(unsigned device, std::u16string &text) override {
        text = u"SN" + std::u16string(1, static_cast<char16_t>(u'0' + device));
        return info_error;
    }
    Error product_name(unsigned, unsigned, std::u16string &text) override {
        text = u"Pad\u00e9 ";
        return {};
    }
    Error vendor_name(unsigned, std::u16string &text) override {
        text = u"Quillon";
        return {};
    }
    Error product_id(unsigned, unsigned, unsigned &id) override {
        id = 0x901;
        return {};
    }
    Error vendor_id(unsigned, unsigned &id) override {
        id = 0x22C9;
        return {};
    }
    Error end_point_count(unsigned, unsigned &count) override {
        count = 1;
        return {};
    }
    Error feature_report_size(unsigned, unsigned, unsigned &size) override {
        size = 65;
        return {};
    }
    Error send_ssp(unsigned, unsigned, const Bytes &message) override {
        ssp_sent.push_back(message);
        return {};
    }
    Error receive_ssp(unsigned, unsigned, unsigned, unsigned, Bytes &reply) override {
        if (ssp_replies.empty()) {
            Error e;
            e.fault = Fault::api;
            e.function = "ReceiveSspMessage";
            e.handle = 5;
            e.message = "no reply";
            return e;
        }
        reply = ssp_replies.front();
        ssp_replies.pop_front();
        return {};
    }
    Error set_receiving(unsigned device, unsigned, bool enabled) override {
        receiving.emplace_back(device, enabled);
        return {};
    }
    Error watch_arrivals() override { return {}; }
    void wake() override {}
    Error poll_events(std::chrono::milliseconds, const inkclient::EventHandler &handler) override {
        if (batches.empty())
            return {};
        Batch b = batches.front();
        batches.pop_front();
        for (const Event &e : b.events)
            handler(e);
        return b.end;
    }
};

Event report(unsigned device, uint8_t first) {
    Event e;
    e.kind = Event::Kind::data;
    e.device = device;
    e.report = Bytes(64, 0);
    e.report[0] = first;
    e.report[63] = 0xEE;
    return e;
}

Event removed(unsigned device) {
    Event e;
    e.kind = Event::Kind::removed;
    e.device = device;
    return e;
}

Event arrived(unsigned device, const std::u16string &serial) {
    Event e;
    e.kind = Event::Kind::arrived;
    e.device = device;
    e.vendor_id = 0x22C9;
    e.product_id = 0x901;
    e.serial = serial;
    return e;
}

Event gap(uint32_t lost) {
    Event e;
    e.kind = Event::Kind::gap;
    e.lost = lost;
    return e;
}

// Runs a command with its output in memory.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

template <typename F>
Outcome run(F command) {
    Outcome r;
    inkctl::Output o;
    o.out = tmpfile();
    o.err = tmpfile();
    r.status = command(o);
    for (auto [file, text] : {std::pair{o.out, &r.out}, std::pair{o.err, &r.err}}) {
        rewind(file);
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
            text->append(chunk, n);
        fclose(file);
    }
    return r;
}

std::string line(unsigned n, uint8_t first) {
    char head[8];
    snprintf(head, sizeof head, "%02x", first);
    return "report " + std::to_string(n) + ": " + head + std::string(124, '0') + "ee\n";
}

}  // namespace

TEST(Commands, CaptureListsTheReportsOfItsPadInOrderUpToTheCount) {
    ScriptedStack s;
    s.pads = 2;
    s.batches = {{{report(1, 0xA0), report(2, 0xB0), report(1, 0xA1)}, {}},
                 {{gap(4), report(1, 0xA2), report(1, 0xA3)}, {}}};
    inkctl::CaptureOptions options;
    options.max_reports = 3;
    options.seconds = 60;
    Outcome r = run([&](inkctl::Output &o) { return inkctl::cmd_capture(s, 1, options, o); });
    EXPECT_EQ(r.status, inkctl::kExitOk);
    EXPECT_EQ(r.out, line(1, 0xA0) + line(2, 0xA1) + line(3, 0xA2) + "3 reports captured\n");
    EXPECT_EQ(r.err, "inkctl: 4 events lost on the way\n");
    // Started, then stopped.
    EXPECT_EQ(s.receiving, (std::vector<std::pair<unsigned, bool>>{{1, true}, {1, false}}));
}

TEST(Commands, CaptureEndsWithTheMessageWhenThePadGoes) {
    ScriptedStack s;
    s.batches = {{{report(1, 1), report(1, 2)}, {}}, {{removed(2), removed(1), report(1, 3)}, {}}};
    inkctl::CaptureOptions options;
    options.seconds = 60;
    Outcome r = run([&](inkctl::Output &o) { return inkctl::cmd_capture(s, 1, options, o); });
    EXPECT_EQ(r.status, inkctl::kExitPad);
    // A report queued behind the notice does not count.
    EXPECT_EQ(r.err, "inkctl: pad 1 was removed after 2 reports\n");
    EXPECT_EQ(r.out, line(1, 1) + line(2, 2) + "2 reports captured\n");
}

TEST(Commands, CaptureReportsALostConnectionAsABridgeProblem) {
    ScriptedStack s;
    Error lost;
    lost.fault = Fault::connection_lost;
    lost.message = "the bridge closed the connection";
    s.batches = {{{report(1, 1)}, lost}};
    inkctl::CaptureOptions options;
    options.seconds = 60;
    Outcome r = run([&](inkctl::Output &o) { return inkctl::cmd_capture(s, 1, options, o); });
    EXPECT_EQ(r.status, inkctl::kExitBridge);
    EXPECT_EQ(r.out, line(1, 1) + "1 reports captured\n");
    EXPECT_EQ(r.err, "inkctl: connection to the bridge lost: the bridge closed the connection\n");
}

TEST(Commands, WatchPrintsEachPadThatComesOrGoesUntilTheConnectionEnds) {
    ScriptedStack s;
    Error lost;
    lost.fault = Fault::connection_lost;
    lost.message = "the bridge closed the connection";
    s.batches = {{{arrived(2, u"AB12"), report(2, 1), removed(2), gap(2)}, {}},
                 {{arrived(2, u"AB12"), arrived(3, u"")}, lost}};
    Outcome r = run([&](inkctl::Output &o) { return inkctl::cmd_watch(s, {}, o); });
    EXPECT_EQ(r.status, inkctl::kExitBridge);
    EXPECT_EQ(r.out,
              "arrived pad 2 22c9:0901 serial AB12\n"
              "removed pad 2\n"
              "arrived pad 2 22c9:0901 serial AB12\n"
              "arrived pad 3 22c9:0901 serial \n");
    EXPECT_EQ(r.err,
              "inkctl: 2 events lost on the way\n"
              "inkctl: connection to the bridge lost: the bridge closed the connection\n");
}

TEST(Commands, AMissingPadIsNamedWithTheCountFound) {
    ScriptedStack s;
    Outcome r = run([&](inkctl::Output &o) { return inkctl::cmd_info(s, 3, o); });
    EXPECT_EQ(r.status, inkctl::kExitPad);
    EXPECT_EQ(r.err, "inkctl: no pad 3: 1 pad found\n");
    EXPECT_EQ(r.out, "");
    s.pads = 0;
    r = run(
        [&](inkctl::Output &o) { return inkctl::cmd_capture(s, 1, inkctl::CaptureOptions{}, o); });
    EXPECT_EQ(r.err, "inkctl: no pad 1: 0 pads found\n");
    EXPECT_TRUE(s.receiving.empty());
}

TEST(Commands, ListAndInfoPrintWhatTheStackKnows) {
    ScriptedStack s;
    s.pads = 2;
    Outcome r = run([&](inkctl::Output &o) { return inkctl::cmd_list(s, o); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "2 pads found\n"
              "pad 1  22c9:0901  serial SN1  Pad? \n"
              "pad 2  22c9:0901  serial SN2  Pad? \n");
    r = run([&](inkctl::Output &o) { return inkctl::cmd_info(s, 2, o); });
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("  serial number:       SN2\n  product:             Pad? \n"),
              std::string::npos)
        << r.out;

    s.info_error.fault = Fault::api;
    s.info_error.function = "GetSerialNumber";
    s.info_error.handle = 12;
    s.info_error.message = "the pad was removed";
    r = run([&](inkctl::Output &o) { return inkctl::cmd_info(s, 1, o); });
    EXPECT_EQ(r.status, inkctl::kExitPad);
    EXPECT_EQ(r.err,
              "inkctl: GetSerialNumber: the pad library raised exception 12: the pad was "
              "removed\n");
}

TEST(Commands, SetVarFindsTheHandlerWaitsAndReportsItsState) {
    ScriptedStack s;
    s.ssp_replies = {
        {0, 5, 0, 0x10, 1, 3, 1, 11, 3},  // components: the handler is id 2
        {2, 5, 0, 0x10, 1, 0, 0, 0, 0},   // idle
        {2, 1, 0, 0x14, 1},               // accepted
        {2, 5, 0, 0x10, 1, 2, 0, 0, 0},   // running
        {2, 5, 0, 0x10, 1, 3, 0, 0, 0},   // done
    };
    Outcome r =
        run([&](inkctl::Output &o) { return inkctl::cmd_set_var(s, 1, "ql.pad.volume", "7", o); });
    EXPECT_EQ(r.status, inkctl::kExitOk) << r.err;
    EXPECT_EQ(r.out, "pad 1: ql.pad.volume set to \"7\" (configuration handler state 3)\n");
    ASSERT_EQ(s.ssp_sent.size(), 5u);
    EXPECT_EQ(s.ssp_sent[0], inkctl::component_list_request());
    EXPECT_EQ(s.ssp_sent[1], inkctl::conf_state_request(2));
    EXPECT_EQ(s.ssp_sent[2], inkctl::variable_set_request(2, "ql.pad.volume", "7"));
    EXPECT_EQ(s.ssp_sent[4], inkctl::conf_state_request(2));
}

TEST(Commands, SetVarFailsWhenThePadRefusesOrCannotApply) {
    ScriptedStack s;
    s.ssp_replies = {{0, 5, 0, 0x10, 1, 3, 1, 11, 3},
                     {2, 5, 0, 0x10, 1, 0, 0, 0, 0},
                     {2, 1, 0, 0x14, 1},
                     {2, 5, 0, 0x10, 1, 4, 0, 0, 0}};
    Outcome r = run([&](inkctl::Output &o) { return inkctl::cmd_set_var(s, 1, "a", "b", o); });
    EXPECT_EQ(r.status, inkctl::kExitPad);
    EXPECT_EQ(r.err, "inkctl: pad 1 could not apply a: configuration handler state 4\n");

    s.ssp_replies = {
        {0, 5, 0, 0x10, 1, 3, 1, 11, 3}, {2, 5, 0, 0x10, 1, 0, 0, 0, 0}, {2, 1, 0, 0x14, 2}};
    r = run([&](inkctl::Output &o) { return inkctl::cmd_set_var(s, 1, "a", "b", o); });
    EXPECT_EQ(r.status, inkctl::kExitPad);
    EXPECT_EQ(r.err, "inkctl: pad 1 refused a: protocol result 2\n");

    s.ssp_replies = {{0, 2, 0, 0x10, 1, 1, 11}};
    r = run([&](inkctl::Output &o) { return inkctl::cmd_set_var(s, 1, "a", "b", o); });
    EXPECT_EQ(r.status, inkctl::kExitPad);
    EXPECT_EQ(r.err, "inkctl: pad 1 has no configuration handler\n");
}

TEST(Commands, HexInputAndOutput) {
    Bytes b;
    ASSERT_TRUE(inkctl::parse_hex("00 0a:FF-10", b));
    EXPECT_EQ(b, (Bytes{0x00, 0x0A, 0xFF, 0x10}));
    EXPECT_EQ(inkctl::hex(b), "00 0a ff 10");
    EXPECT_FALSE(inkctl::parse_hex("abc", b));
    EXPECT_FALSE(inkctl::parse_hex("", b));
    EXPECT_FALSE(inkctl::parse_hex("0g", b));
}
