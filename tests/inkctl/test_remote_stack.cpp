// The remote pad stack against a scripted bridge on loopback: how calls are
// framed, how results are found in a stream that splits and joins packages
// and mixes events in, and what each kind of failure turns into.
#include <gtest/gtest.h>

#include <atomic>

#include "fake_bridge.h"
#include "pad_stack.h"

using namespace std::chrono_literals;
using fake::Bytes;
using inkclient::Event;
using inkclient::Fault;

namespace {

std::unique_ptr<inkclient::PadStack> connect_to(const fake::Bridge &bridge,
                                                inkclient::RemoteOptions options = {}) {
    std::unique_ptr<inkclient::PadStack> stack;
    inkclient::Error e = inkclient::connect_remote("127.0.0.1", bridge.port(), options, stack);
    EXPECT_TRUE(e.ok()) << inkclient::describe(e);
    return stack;
}

std::vector<Event> poll_all(inkclient::PadStack &stack, size_t wanted,
                            inkclient::Error *end = nullptr) {
    std::vector<Event> events;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (events.size() < wanted && std::chrono::steady_clock::now() < deadline) {
        inkclient::Error e =
            stack.poll_events(200ms, [&](const Event &event) { events.push_back(event); });
        if (!e.ok()) {
            if (end != nullptr)
                *end = e;
            break;
        }
    }
    return events;
}

Bytes u32s(std::initializer_list<uint32_t> values) {
    Bytes b;
    for (uint32_t v : values)
        fake::put_u32(b, v);
    return b;
}

}  // namespace

TEST(RemoteStack, CallPackagesCarryHeaderAndArgumentsInApiOrder) {
    std::vector<fake::Call> seen;
    fake::Bridge bridge([&](fake::Peer &peer) {
        fake::Call call;
        for (int i = 0; i < 3 && peer.read_call(call); ++i) {
            seen.push_back(call);
            Bytes outputs = call.function() == INKAGENT_FN_GET_PRODUCT_NAME
                                ? fake::text_outputs(u"Pad 7")
                                : u32s({0});
            peer.send(fake::result(call.message_id, 0, 0, outputs));
        }
    });
    auto stack = connect_to(bridge);
    std::u16string name;
    ASSERT_TRUE(stack->product_name(2, 1, name).ok());
    EXPECT_EQ(name, u"Pad 7");
    ASSERT_TRUE(stack->send_ssp(3, 0, Bytes{0xAA, 0x55}).ok());
    ASSERT_TRUE(stack->set_receiving(1, 0, true).ok());
    stack.reset();

    ASSERT_EQ(seen.size(), 3u);
    const fake::Call &c = seen[0];
    EXPECT_EQ(c.type, INKAGENT_TYPE_CALL);
    EXPECT_EQ(c.version, INKAGENT_PACKAGE_VERSION);
    EXPECT_EQ(c.function(), INKAGENT_FN_GET_PRODUCT_NAME);
    EXPECT_EQ(c.total, INKAGENT_HEADER_SIZE + 12);
    EXPECT_EQ(c.length, c.total);
    EXPECT_EQ(Bytes(c.header.begin() + 16, c.header.end()), Bytes(18, 0));
    EXPECT_EQ(c.payload, u32s({2, 1, 256}));  // device, end point, capacity in units
    EXPECT_EQ(seen[1].function(), INKAGENT_FN_SEND_SSP_MESSAGE);
    EXPECT_EQ(seen[1].payload, (Bytes{3, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0x55}));
    EXPECT_EQ(seen[2].function(), INKAGENT_FN_SET_DATA_RECEIVING_ENABLED);
    EXPECT_EQ(seen[2].payload, u32s({1, 0, 1}));
    // Every call has a sequence of its own.
    EXPECT_NE(INKAGENT_MESSAGE_SEQUENCE(seen[0].message_id),
              INKAGENT_MESSAGE_SEQUENCE(seen[1].message_id));
    EXPECT_NE(INKAGENT_MESSAGE_SEQUENCE(seen[1].message_id),
              INKAGENT_MESSAGE_SEQUENCE(seen[2].message_id));
}

TEST(RemoteStack, ResultsAreFoundInPiecesAndAmongEventsAndStaleResults) {
    fake::Bridge bridge([](fake::Peer &peer) {
        fake::Call call;
        // A result one byte per write.
        ASSERT_TRUE(peer.read_call(call));
        peer.send_in_pieces(fake::result(call.message_id, 0, 0, u32s({0x22C9})), 1);
        // Events, a result of some earlier call and the right result, in one write.
        ASSERT_TRUE(peer.read_call(call));
        const uint32_t stale = INKAGENT_MESSAGE_ID(0x777, INKAGENT_FN_GET_PRODUCT_ID);
        peer.send(fake::concat(
            {fake::data_event(0, 1, 0, 0x10), fake::result(stale, 0, 0, u32s({9})),
             fake::data_event(1, 1, 0, 0x20), fake::result(call.message_id, 0, 0, u32s({0x0901})),
             fake::removed_event(2, 1), fake::arrived_event(3, 2, u"AB12")}));
        peer.sees_end();
    });
    auto stack = connect_to(bridge);
    unsigned vid = 0;
    ASSERT_TRUE(stack->vendor_id(1, vid).ok());
    EXPECT_EQ(vid, 0x22C9u);
    unsigned pid = 0;
    ASSERT_TRUE(stack->product_id(1, 0, pid).ok());
    EXPECT_EQ(pid, 0x0901u);

    std::vector<Event> events = poll_all(*stack, 4);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, Event::Kind::data);
    EXPECT_EQ(events[0].device, 1u);
    ASSERT_EQ(events[0].report.size(), 64u);
    EXPECT_EQ(events[0].report[0], 0x10);
    EXPECT_EQ(events[0].report[63], 0x10 + 63);
    EXPECT_EQ(events[1].kind, Event::Kind::data);
    EXPECT_EQ(events[1].report[0], 0x20);
    EXPECT_EQ(events[2].kind, Event::Kind::removed);
    EXPECT_EQ(events[2].device, 1u);
    EXPECT_EQ(events[3].kind, Event::Kind::arrived);
    EXPECT_EQ(events[3].device, 2u);
    EXPECT_EQ(events[3].vendor_id, 0x22C9u);
    EXPECT_EQ(events[3].product_id, 0x0901u);
    EXPECT_EQ(events[3].serial, u"AB12");
}

TEST(RemoteStack, AGapInTheEventSequenceIsReportedWithItsSize) {
    fake::Bridge bridge([](fake::Peer &peer) {
        // Sequences wrap at 2^24: 0xFFFFFF is followed by 0.
        peer.send(
            fake::concat({fake::data_event(0xFFFFFE, 1, 0, 1), fake::data_event(0xFFFFFF, 1, 0, 2),
                          fake::data_event(0, 1, 0, 3), fake::data_event(4, 1, 0, 4)}));
        peer.sees_end();
    });
    auto stack = connect_to(bridge);
    std::vector<Event> events = poll_all(*stack, 5);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[2].report[0], 3);
    EXPECT_EQ(events[3].kind, Event::Kind::gap);
    EXPECT_EQ(events[3].lost, 3u);
    EXPECT_EQ(events[4].report[0], 4);
}

TEST(RemoteStack, ACallWithoutAnswerTimesOutAndItsLateResultIsNotTakenForTheNext) {
    fake::Bridge bridge([](fake::Peer &peer) {
        fake::Call first;
        ASSERT_TRUE(peer.read_call(first));
        fake::Call second;
        ASSERT_TRUE(peer.read_call(second));  // sent once the first gave up
        peer.send(fake::result(first.message_id, 0, 0, u32s({111})));
        peer.send(fake::result(second.message_id, 0, 0,
                               fake::concat({u32s({3}), Bytes{7, 8, 9}, u32s({3})})));
        peer.sees_end();
    });
    inkclient::RemoteOptions options;
    options.call_timeout = 300ms;
    auto stack = connect_to(bridge, options);
    unsigned value = 0;
    inkclient::Error e = stack->vendor_id(1, value);
    EXPECT_EQ(e.fault, Fault::timeout);
    EXPECT_EQ(inkclient::describe(e), "GetVendorId: timed out: no answer from the bridge in time");
    // The receive's own time-out lengthens its wait well beyond the short one.
    Bytes reply;
    ASSERT_TRUE(stack->receive_ssp(1, 0, 64, 20000, reply).ok());
    EXPECT_EQ(reply, (Bytes{7, 8, 9}));
}

TEST(RemoteStack, ABridgeThatClosesMidResultLosesTheConnectionForGood) {
    fake::Bridge bridge([](fake::Peer &peer) {
        fake::Call call;
        ASSERT_TRUE(peer.read_call(call));
        Bytes r = fake::result(call.message_id, 0, 0, fake::text_outputs(u"AB12"));
        r.resize(r.size() / 2);
        peer.send(r);
    });
    auto stack = connect_to(bridge);
    std::u16string serial;
    inkclient::Error e = stack->serial_number(1, serial);
    EXPECT_EQ(e.fault, Fault::connection_lost) << inkclient::describe(e);
    EXPECT_EQ(e.function, "GetSerialNumber");
    EXPECT_TRUE(serial.empty());
    unsigned count = 0;
    EXPECT_EQ(stack->device_count(count).fault, Fault::connection_lost);
    inkclient::Error end;
    poll_all(*stack, 1, &end);
    EXPECT_EQ(end.fault, Fault::connection_lost);
}

TEST(RemoteStack, ARefusingBridgeIsToldApartFromALostConnection) {
    fake::Bridge bridge([](fake::Peer &peer) {
        const std::string why = "another client is connected";
        peer.send(fake::package(INKAGENT_TYPE_REFUSAL, 0, Bytes(why.begin(), why.end())));
    });
    auto stack = connect_to(bridge);
    unsigned count = 0;
    inkclient::Error e = stack->device_count(count);
    EXPECT_EQ(e.fault, Fault::refused);
    EXPECT_EQ(inkclient::describe(e),
              "GetDeviceCount: the bridge refused the connection: another client is connected");
}

TEST(RemoteStack, EventsBeforeTheEndOfTheStreamAreHandedOutBeforeTheLoss) {
    fake::Bridge bridge([](fake::Peer &peer) {
        peer.send(fake::concat({fake::data_event(0, 1, 0, 5), fake::data_event(1, 1, 0, 6)}));
    });
    auto stack = connect_to(bridge);
    inkclient::Error end;
    std::vector<Event> events = poll_all(*stack, 3, &end);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].report[0], 6);
    EXPECT_EQ(end.fault, Fault::connection_lost);
}

TEST(RemoteStack, StatusCodesBecomeProtocolFaultsWithTheirNames) {
    const std::vector<std::pair<uint32_t, std::string>> statuses = {
        {INKAGENT_STATUS_MALFORMED, "malformed call"},
        {INKAGENT_STATUS_UNKNOWN, "unknown function"},
        {INKAGENT_STATUS_TOO_LARGE, "output too large"},
        {INKAGENT_STATUS_REFUSED, "refused"},
        {9, "status 9"},
    };
    fake::Bridge bridge([&](fake::Peer &peer) {
        fake::Call call;
        for (const auto &s : statuses) {
            ASSERT_TRUE(peer.read_call(call));
            peer.send(fake::result(call.message_id, s.first, 0));
        }
        // Too short to hold status and result.
        ASSERT_TRUE(peer.read_call(call));
        peer.send(fake::package(INKAGENT_TYPE_RESULT, call.message_id, Bytes{0, 0, 0}));
        // Status 0, but the outputs the call needs are missing.
        ASSERT_TRUE(peer.read_call(call));
        peer.send(fake::result(call.message_id, 0, 0));
    });
    auto stack = connect_to(bridge);
    for (const auto &s : statuses) {
        Bytes reply;
        inkclient::Error e = stack->receive_ssp(1, 0, 64, 100, reply);
        EXPECT_EQ(e.fault, Fault::protocol);
        EXPECT_EQ(e.status, s.first);
        EXPECT_NE(inkclient::describe(e).find("ReceiveSspMessage: the agent refused the call: " +
                                              s.second),
                  std::string::npos)
            << inkclient::describe(e);
    }
    unsigned value = 0;
    inkclient::Error e = stack->vendor_id(1, value);
    EXPECT_EQ(e.fault, Fault::protocol);
    EXPECT_EQ(e.status, 0u);
    e = stack->vendor_id(1, value);
    EXPECT_EQ(e.fault, Fault::protocol);
    EXPECT_NE(inkclient::describe(e).find("fewer outputs"), std::string::npos);
}

TEST(RemoteStack, AnExceptionBringsItsMessageFromTheRemoteLibrary) {
    fake::Call asked;
    fake::Bridge bridge([&](fake::Peer &peer) {
        fake::Call call;
        ASSERT_TRUE(peer.read_call(call));
        peer.send(fake::result(call.message_id, 0, 7));  // exception handle 7, no outputs
        ASSERT_TRUE(peer.read_call(asked));
        peer.send(fake::result(asked.message_id, 0, 0, fake::text_outputs(u"pad 4 is not there")));
    });
    auto stack = connect_to(bridge);
    std::u16string serial;
    inkclient::Error e = stack->serial_number(4, serial);
    EXPECT_EQ(e.fault, Fault::api);
    EXPECT_EQ(e.handle, 7u);
    EXPECT_EQ(e.message, "pad 4 is not there");
    EXPECT_EQ(inkclient::describe(e),
              "GetSerialNumber: the pad library raised exception 7: pad 4 is not there");
    stack.reset();
    EXPECT_EQ(asked.function(), INKAGENT_FN_GET_EXCEPTION_MESSAGE);
    EXPECT_EQ(asked.payload, u32s({7, 256}));
}

TEST(RemoteStack, AHeaderWithAnImpossibleSizeBreaksTheStream) {
    fake::Bridge bridge([](fake::Peer &peer) {
        fake::Call call;
        ASSERT_TRUE(peer.read_call(call));
        Bytes bad = fake::result(call.message_id, 0, 0, u32s({1}));
        inkagent_put_u32(bad.data() + INKAGENT_OFFSET_TOTAL_SIZE, 20);
        peer.send(bad);
        peer.sees_end();
    });
    auto stack = connect_to(bridge);
    unsigned value = 0;
    EXPECT_EQ(stack->vendor_id(1, value).fault, Fault::protocol);
    EXPECT_EQ(stack->vendor_id(1, value).fault, Fault::protocol);
    stack.reset();
}

TEST(RemoteStack, AnUnreachableBridgeSaysWhy) {
    // A port that was free a moment ago and has no listener now.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len);
    close(s);
    std::unique_ptr<inkclient::PadStack> stack;
    inkclient::Error e =
        inkclient::connect_remote("127.0.0.1", std::to_string(ntohs(sa.sin_port)), {}, stack);
    EXPECT_EQ(e.fault, Fault::unreachable);
    EXPECT_EQ(e.message, "Connection refused");
    EXPECT_EQ(stack, nullptr);

    e = inkclient::connect_remote("no-such-host.invalid", "8888", {}, stack);
    EXPECT_EQ(e.fault, Fault::unreachable);
    EXPECT_FALSE(e.message.empty());
    EXPECT_EQ(stack, nullptr);
}
