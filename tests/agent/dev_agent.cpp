// The agent on an emulated pad: the pad functions as a remote client calls
// them, received reports and a removed pad as events, and the streams'
// end when the callbacks go or the client does.
#include <hidapi.h>
#include <inkport/inkport.h>

#include "agent_harness.h"
#include "dev_async_support.h"
#include "pad_pen.h"
#include "ssp_test_pad.h"

using namespace agenttest;
using devtest::callback_threads;
using devtest::receive_threads;
using devtest::stroke;
using devtest::wait_until;

namespace {

constexpr uint16_t kVid = 0x22C9;
constexpr uint16_t kPid = 0x0901;

class OnPad : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bed.ok());
        auto fw = std::make_unique<ssptest::ScriptedSspPad>();
        script = fw.get();
        pad = bed.add_pad(padsim::PadConfig::hid(kVid, kPid, "AG7", 1), std::move(fw));
        ASSERT_NE(pad, nullptr);
        ASSERT_TRUE(agent.ok()) << dlerror();
        Result r = agent.call(INKAGENT_FN_INITIALIZE);
        ASSERT_EQ(r.status, INKAGENT_STATUS_OK);
        ASSERT_EQ(agent.call(INKAGENT_FN_GET_DEVICE_COUNT).result, 1u);
    }
    void TearDown() override {
        agent.unload();
        Deinitialize();
        hid_exit();
    }

    Result enable(uint32_t on) {
        return agent.call(INKAGENT_FN_SET_DATA_RECEIVING_ENABLED, Payload().u32(1).u32(0).u32(on));
    }
    std::vector<Package> data_events() {
        std::vector<Package> out;
        for (auto &e : agent.sink.events_snapshot())
            if (INKAGENT_MESSAGE_FUNCTION(e.message_id()) == INKAGENT_EV_DATA_RECEIVED)
                out.push_back(e);
        return out;
    }
    size_t event_count() {
        std::lock_guard<std::mutex> g(agent.sink.m);
        return agent.sink.events.size();
    }
    bool wait_events(size_t n) {
        return agent.sink.wait([&] { return agent.sink.events.size() >= n; });
    }

    padsim::Testbed bed;
    padsim::Pad *pad = nullptr;
    ssptest::ScriptedSspPad *script = nullptr;
    Agent agent;  // after the testbed: unloaded before it goes
};

TEST_F(OnPad, DescriptionOfThePad) {
    Result r = agent.call(INKAGENT_FN_ENUMERATE_DEVICES_START);
    EXPECT_EQ(single_u32(r), 1u);
    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_ENUMERATE_DEVICES_NEXT)), 0u) << "one pad only";

    auto serial = text_out(agent.call(INKAGENT_FN_GET_SERIAL_NUMBER, Payload().u32(1).u32(256)));
    EXPECT_EQ(serial.text, "AG7");
    EXPECT_EQ(serial.reply, 3u);

    // The strings as the library gives them locally.
    devtest::Text product, vendor;
    ASSERT_EQ(GetProductName(1, 0, product.buf, QLPAD_MAX_STRING_LENGTH, &product.reply), 0u);
    ASSERT_EQ(GetVendorName(1, vendor.buf, QLPAD_MAX_STRING_LENGTH, &vendor.reply), 0u);
    auto remote_product =
        text_out(agent.call(INKAGENT_FN_GET_PRODUCT_NAME, Payload().u32(1).u32(0).u32(256)));
    EXPECT_EQ(remote_product.text, product.str());
    EXPECT_EQ(remote_product.reply, product.reply);
    EXPECT_FALSE(remote_product.text.empty());
    auto remote_vendor =
        text_out(agent.call(INKAGENT_FN_GET_VENDOR_NAME, Payload().u32(1).u32(256)));
    EXPECT_EQ(remote_vendor.text, vendor.str());
    EXPECT_EQ(remote_vendor.reply, vendor.reply);

    // A short buffer: the start of the serial number.
    auto cut = text_out(agent.call(INKAGENT_FN_GET_SERIAL_NUMBER, Payload().u32(1).u32(2)));
    EXPECT_EQ(cut.text, "AG");

    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_GET_PRODUCT_ID, Payload().u32(1).u32(0))), kPid);
    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_GET_VENDOR_ID, Payload().u32(1))), kVid);
    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_GET_USB_VERSION, Payload().u32(1))), 0u);
    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_GET_END_POINT_COUNT, Payload().u32(1))), 1u);
    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_GET_FEATURE_REPORT_SIZE, Payload().u32(1).u32(0))),
              65u);
    for (uint32_t fn : {INKAGENT_FN_GET_VENDOR_ID, INKAGENT_FN_GET_END_POINT_COUNT})
        EXPECT_EQ(agent.call(fn, Payload().u32(1)).result, 0u);
}

TEST_F(OnPad, FeatureReportsRoundTrip) {
    pad->clear_log();
    // A version request written by hand; the pad answers with its echo.
    Bytes request(65, 0);
    request[0] = 0xEE;
    request[1] = 0x11;
    Result r = agent.call(INKAGENT_FN_SET_FEATURE, Payload().u32(1).u32(0).bytes(request));
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(single_u32(r), 65u);
    auto writes = devtest::set_reports(*pad);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].size(), 64u) << "the report-id slot is not sent";
    EXPECT_EQ(writes[0][0], 0x11);

    r = agent.call(INKAGENT_FN_GET_FEATURE, Payload().u32(1).u32(0).u32(65));
    EXPECT_EQ(r.result, 0u);
    auto in = bytes_out(r);
    EXPECT_EQ(in.reply, 65u);
    ASSERT_EQ(in.data.size(), 65u);
    EXPECT_EQ(in.data[0], 0) << "report-id slot";
    EXPECT_EQ(in.data[1], 0x11) << "echo of the command";
    EXPECT_EQ(in.data[2], 0) << "status";
    EXPECT_EQ(devtest::count_get_reports(*pad), 1u);

    // Interface 3 does not exist: the library's exception, nothing sent.
    r = agent.call(INKAGENT_FN_SET_FEATURE, Payload().u32(1).u32(3).bytes(request));
    EXPECT_NE(r.result, 0u);
    EXPECT_EQ(devtest::set_reports(*pad).size(), 1u);
}

TEST_F(OnPad, ReadFileWithNothingWaitingReturnsNoBytes) {
    Result r = agent.call(INKAGENT_FN_READ_FILE, Payload().u32(1).u32(0).u32(65));
    EXPECT_EQ(r.result, 0u);
    auto in = bytes_out(r);
    EXPECT_EQ(in.reply, 0u);
    EXPECT_TRUE(in.data.empty());

    Bytes out(65, 0);
    out[1] = 0x42;
    r = agent.call(INKAGENT_FN_WRITE_FILE, Payload().u32(1).u32(0).bytes(out));
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(single_u32(r), 65u);
    r = agent.call(INKAGENT_FN_WRITE_FILE, Payload().u32(1).u32(0).bytes(Bytes(200, 1)));
    EXPECT_NE(r.result, 0u) << "longer than a packet";
}

TEST_F(OnPad, SspMessageExchange) {
    script->set_rule([](const Bytes &m) { return std::vector<Bytes>{m}; });
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    payload[40] = 0xAA;  // an escape inside
    payload[41] = 0x55;
    Bytes message = ssptest::base_message(2, payload);
    Result r = agent.call(INKAGENT_FN_SEND_SSP_MESSAGE, Payload().u32(1).u32(0).bytes(message));
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
    EXPECT_EQ(r.result, 0u);
    expect_no_outputs(r);
    auto received = script->received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes, message);

    r = agent.call(INKAGENT_FN_RECEIVE_SSP_MESSAGE, Payload().u32(1).u32(0).u32(1000).u32(2000));
    EXPECT_EQ(r.result, 0u);
    auto in = bytes_out(r);
    EXPECT_EQ(in.reply, message.size());
    EXPECT_EQ(in.data, message);

    // Nothing comes: the library's failure, remotely as locally.
    r = agent.call(INKAGENT_FN_RECEIVE_SSP_MESSAGE, Payload().u32(1).u32(0).u32(100).u32(50));
    EXPECT_NE(r.result, 0u);
    in = bytes_out(r);
    EXPECT_TRUE(in.data.empty());
    uint8_t buffer[100];
    unsigned int reply = 0;
    uint32_t local = ReceiveSspMessage(1, 0, buffer, sizeof buffer, 50, &reply);
    EXPECT_NE(local, 0u);
    EXPECT_EQ(devtest::exception_code(r.result), devtest::exception_code(local));
    EXPECT_EQ(devtest::exception_message(r.result), devtest::exception_message(local));
    // A small buffer gets the start of the reply.
    ASSERT_EQ(
        agent.call(INKAGENT_FN_SEND_SSP_MESSAGE, Payload().u32(1).u32(0).bytes(message)).result,
        0u);
    r = agent.call(INKAGENT_FN_RECEIVE_SSP_MESSAGE, Payload().u32(1).u32(0).u32(8).u32(2000));
    in = bytes_out(r);
    EXPECT_EQ(in.data, Bytes(message.begin(), message.begin() + 8));
}

// The pen's reports as events, whole and in order, numbered without gaps.
TEST_F(OnPad, ReceivedReportsBecomeEventsInOrder) {
    Result r = enable(1);
    ASSERT_EQ(r.result, 0u);
    expect_no_outputs(r);
    script->model().start_stroke(stroke(200));
    ASSERT_TRUE(wait_events(200));
    auto events = data_events();
    ASSERT_EQ(events.size(), 200u);
    for (size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        const Package &e = events[i];
        EXPECT_EQ(e.type(), INKAGENT_TYPE_EVENT);
        EXPECT_EQ(e.total(), INKAGENT_DATA_EVENT_SIZE);
        EXPECT_EQ(INKAGENT_MESSAGE_SEQUENCE(e.message_id()), i) << "event sequence";
        Reader in{e.bytes};
        EXPECT_EQ(in.u32(), 1u) << "device";
        EXPECT_EQ(in.u32(), 0u) << "end point";
        Bytes report = in.bytes();
        ASSERT_EQ(report.size(), 64u);
        EXPECT_TRUE(in.done());
        padsim::PenSample s;
        ASSERT_TRUE(padsim::parse_pen_report(report.data(), 64, &s));
        EXPECT_EQ(s.seq, i) << "pen reports in the pad's order";
    }

    // Switched off: the handler is gone, later reports make no events.
    r = enable(0);
    EXPECT_EQ(r.result, 0u);
    EXPECT_TRUE(wait_until([] { return receive_threads() == 0 && callback_threads() == 0; }));
    script->model().start_stroke(stroke(20));
    ASSERT_TRUE(script->model().wait_pen_idle(10s));
    EXPECT_EQ(agent.call(INKAGENT_FN_IS_INITIALIZED).status, INKAGENT_STATUS_OK);
    EXPECT_EQ(event_count(), 200u);
}

TEST_F(OnPad, QueueCountAndFlushRemotely) {
    // Receiving without the agent's handler (switched on locally): reports queue.
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    script->model().start_stroke(stroke(5));
    ASSERT_TRUE(wait_until([&] {
        return single_u32(agent.call(INKAGENT_FN_GET_DATA_PACKETS_AVAILABLE,
                                     Payload().u32(1).u32(0))) == 5;
    }));
    Result r = agent.call(INKAGENT_FN_FLUSH_DATA_PACKETS, Payload().u32(1).u32(0));
    EXPECT_EQ(r.result, 0u);
    expect_no_outputs(r);
    EXPECT_EQ(
        single_u32(agent.call(INKAGENT_FN_GET_DATA_PACKETS_AVAILABLE, Payload().u32(1).u32(0))),
        0u);
    // End point 8 is refused by the library.
    EXPECT_NE(
        agent.call(INKAGENT_FN_SET_DATA_RECEIVING_ENABLED, Payload().u32(1).u32(8).u32(1)).result,
        0u);
    EXPECT_NE(
        agent.call(INKAGENT_FN_SET_DATA_RECEIVING_ENABLED, Payload().u32(16).u32(0).u32(1)).result,
        0u);
}

// A pad found gone, by a call or by the receiving thread, becomes an event.
class Unplug : public OnPad {
  protected:
    bool removed_event_seen() {
        return agent.sink.wait([&] {
            for (const auto &e : agent.sink.events)
                if (INKAGENT_MESSAGE_FUNCTION(e.message_id()) == INKAGENT_EV_DEVICE_REMOVED)
                    return true;
            return false;
        });
    }
    void expect_removed_events_name_pad_1() {
        for (const auto &e : agent.sink.events_snapshot()) {
            if (INKAGENT_MESSAGE_FUNCTION(e.message_id()) != INKAGENT_EV_DEVICE_REMOVED)
                continue;
            EXPECT_EQ(e.total(), INKAGENT_HEADER_SIZE + 4);
            Reader in{e.bytes};
            EXPECT_EQ(in.u32(), 1u);
            EXPECT_TRUE(in.done());
        }
    }
};

TEST_F(Unplug, ACallOnTheGonePadReportsIt) {
    pad->unplug();
    Result r = agent.call(INKAGENT_FN_GET_FEATURE, Payload().u32(1).u32(0).u32(65));
    EXPECT_NE(r.result, 0u);
    ASSERT_TRUE(removed_event_seen());
    expect_removed_events_name_pad_1();
}

TEST_F(Unplug, TheReceivingThreadReportsIt) {
    ASSERT_EQ(enable(1).result, 0u);
    pad->unplug();
    ASSERT_TRUE(removed_event_seen());
    expect_removed_events_name_pad_1();
}

// A pad plugged in is described by the worker, between calls, and announced
// with its ids and serial number; pulled, it is announced as removed.
TEST_F(OnPad, APadPluggedInAndPulledIsAnnounced) {
    padsim::Pad *second = bed.add_pad(
        padsim::PadConfig::hid(kVid, kPid, "AG8"),
        std::make_unique<padsim::PadModel>(padsim::FirmwareConfig::hid_pad()), padsim::Plug::Later);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->replug());
    auto events_of = [&](uint32_t id) {
        std::vector<Package> out;
        for (auto &e : agent.sink.events_snapshot())
            if (INKAGENT_MESSAGE_FUNCTION(e.message_id()) == id)
                out.push_back(e);
        return out;
    };
    ASSERT_TRUE(wait_until([&] { return !events_of(INKAGENT_EV_DEVICE_ARRIVED).empty(); }));
    second->unplug();
    ASSERT_TRUE(wait_until([&] { return !events_of(INKAGENT_EV_DEVICE_REMOVED).empty(); }));
    std::vector<Package> arrivals = events_of(INKAGENT_EV_DEVICE_ARRIVED);
    ASSERT_EQ(arrivals.size(), 1u);
    EXPECT_EQ(arrivals[0].type(), INKAGENT_TYPE_EVENT);
    EXPECT_EQ(arrivals[0].total(), INKAGENT_HEADER_SIZE + 16 + 2 * 3);
    Reader in{arrivals[0].bytes};
    EXPECT_EQ(in.u32(), 2u);
    EXPECT_EQ(in.u32(), kVid);
    EXPECT_EQ(in.u32(), kPid);
    EXPECT_EQ(in.text(), "AG8");
    EXPECT_TRUE(in.done());
    std::vector<Package> removals = events_of(INKAGENT_EV_DEVICE_REMOVED);
    Reader removed{removals[0].bytes};
    EXPECT_EQ(removed.u32(), 2u);
}

// Once the bridge removed the callbacks, nothing calls them, while the pen
// goes on writing; the agent let go of the library it initialised.
TEST_F(OnPad, CallbacksRemovedWhileStreaming) {
    ASSERT_EQ(enable(1).result, 0u);
    script->model().start_stroke(stroke(3000, 2000));
    ASSERT_TRUE(wait_events(50));
    agent.remove_callbacks();
    const size_t at_removal = event_count();
    EXPECT_FALSE(IsInitialized()) << "the agent ran Initialize, so it ended the library";
    EXPECT_EQ(receive_threads() + callback_threads(), 0);
    ASSERT_TRUE(script->model().wait_pen_idle(30s));
    EXPECT_EQ(calls_after_removal.load(), 0);
    EXPECT_EQ(event_count(), at_removal);
}

// Only the event callback goes: calls keep running, events stop at once.
TEST_F(OnPad, EventCallbackRemovedWhileStreaming) {
    ASSERT_EQ(enable(1).result, 0u);
    script->model().start_stroke(stroke(3000, 2000));
    ASSERT_TRUE(wait_events(50));
    agent.register_event(nullptr);
    events_removed = true;
    const size_t at_removal = event_count();
    EXPECT_EQ(agent.call(INKAGENT_FN_GET_DATA_PACKETS_AVAILABLE, Payload().u32(1).u32(0)).status,
              INKAGENT_STATUS_OK);
    EXPECT_TRUE(IsInitialized()) << "the result callback still binds the agent";
    ASSERT_TRUE(script->model().wait_pen_idle(30s));
    EXPECT_EQ(calls_after_removal.load(), 0);
    EXPECT_EQ(event_count(), at_removal);
}

// The bridge reports its client gone from inside an event callback (its
// socket closed while sending): the streams stop, the next client starts
// with the numbering from 0.
TEST_F(OnPad, ClientGoneInsideAnEventStopsTheStreams) {
    std::atomic<bool> reported{false};
    agent.sink.on_event = [&](const Package &) {
        if (!reported.exchange(true))
            agent.server_connection(0);
    };
    ASSERT_EQ(enable(1).result, 0u);
    script->model().start_stroke(stroke(3000, 2000));
    ASSERT_TRUE(wait_until([&] { return reported.load(); }));
    EXPECT_TRUE(wait_until([] { return receive_threads() == 0 && callback_threads() == 0; }))
        << "the worker switched the stream off";
    const size_t after = event_count();
    ASSERT_TRUE(script->model().wait_pen_idle(30s));
    EXPECT_EQ(event_count(), after);
    EXPECT_LE(after, 2u) << "the first event reported the loss; at most one was under way";

    // The next client.
    {
        std::lock_guard<std::mutex> g(agent.sink.m);
        agent.sink.events.clear();
        agent.sink.on_event = nullptr;
    }
    ASSERT_EQ(enable(1).result, 0u);
    script->model().start_stroke(stroke(10));
    ASSERT_TRUE(wait_events(10));
    auto events = data_events();
    for (size_t i = 0; i < events.size(); ++i)
        EXPECT_EQ(INKAGENT_MESSAGE_SEQUENCE(events[i].message_id()), i);
}

}  // namespace
