// Inbound dispatch to the agent's far function and the framing of results
// and events, with the agent's entries and the client socket stood in for.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <csignal>
#include <string>

#include "bridge_test_util.h"
#include "cmediator.h"
#include "dispatch.h"
#include "netbridge_internal.h"

using bridge_test::Bytes;
using bridge_test::make_call;

namespace {

struct Delivery {
    const char *address;
    uint32_t size;
    Bytes bytes;
};
std::vector<Delivery> deliveries;
std::vector<int> connection_reports;

void record_far_call(const char *package, uint32_t size) {
    deliveries.push_back({package, size, Bytes(package, package + size)});
}

void record_connection(int state) {
    connection_reports.push_back(state);
}

void feed(const Bytes &bytes, size_t from, size_t to) {
    ICADataArrival(0, const_cast<char *>(bytes.data() + from),
                   static_cast<unsigned short>(to - from));
}

class Dispatch : public testing::Test {
  protected:
    void SetUp() override {
        ICADataArrival(0, nullptr, 0);
        deliveries.clear();
        connection_reports.clear();
        pfClientRegisterFarFunction = record_far_call;
        pfClientRegisterServerConnection = record_connection;
    }
    void TearDown() override {
        pfClientRegisterFarFunction = nullptr;
        pfClientRegisterServerConnection = nullptr;
        sockfd = -1;
        if (pair_[0] >= 0)
            close(pair_[0]);
        if (pair_[1] >= 0)
            close(pair_[1]);
    }

    // The bridge writes to one end of a socket pair, the test reads the other.
    void connect_stand_in_client() {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
        fcntl(pair_[0], F_SETFL, O_NONBLOCK);
        sockfd = pair_[0];
    }
    Bytes read_client(size_t n) {
        Bytes b(n);
        size_t got = 0;
        while (got < n) {
            ssize_t r = recv(pair_[1], b.data() + got, n - got, 0);
            if (r <= 0)
                return {};
            got += static_cast<size_t>(r);
        }
        return b;
    }

    int pair_[2] = {-1, -1};
};

}  // namespace

TEST_F(Dispatch, PackageSplitInThreeIsHandedOverOnceInPlace) {
    Bytes call = make_call(0x1234, 500);
    feed(call, 0, 30);
    feed(call, 30, 200);
    EXPECT_TRUE(deliveries.empty());
    const uint32_t before = GetTimeStamp();
    feed(call, 200, 500);
    const uint32_t after = GetTimeStamp();
    ASSERT_EQ(deliveries.size(), 1u);
    const Delivery &d = deliveries[0];
    EXPECT_EQ(d.address, inbound_buffer().GetPointerAtPos(0));
    EXPECT_EQ(d.size, 500u);
    // Everything as received, except the arrival time the bridge stamped.
    PackHead head = bridge_test::head_of(d.bytes);
    EXPECT_LE(head.ulArrivalTime - before, after - before);
    Bytes expected = call;
    memcpy(expected.data() + offsetof(PackHead, ulArrivalTime), &head.ulArrivalTime, 4);
    EXPECT_TRUE(d.bytes == expected);
    EXPECT_TRUE(inbound_buffer().IsHeadEmpty());
}

TEST_F(Dispatch, EveryCompletePackageOfAPieceIsHandedOver) {
    Bytes stream;
    for (uint32_t id : {0x11u, 0x22u, 0x33u, 0x44u}) {
        Bytes call = make_call(id, 40 + static_cast<int>(id));
        stream.insert(stream.end(), call.begin(), call.end());
    }
    const size_t last_start = stream.size() - (40 + 0x44);
    feed(stream, 0, last_start + 10);
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(header_message_id(deliveries[0].bytes.data()), 0x11u);
    EXPECT_EQ(header_message_id(deliveries[1].bytes.data()), 0x22u);
    EXPECT_EQ(header_message_id(deliveries[2].bytes.data()), 0x33u);
    EXPECT_EQ(deliveries[2].size, 40u + 0x33);
    feed(stream, last_start + 10, stream.size());
    ASSERT_EQ(deliveries.size(), 4u);
    EXPECT_EQ(header_message_id(deliveries[3].bytes.data()), 0x44u);
}

TEST_F(Dispatch, EmptyPieceDropsAPartialPackage) {
    Bytes stale = make_call(0x55, 100);
    feed(stale, 0, 50);
    ICADataArrival(0, nullptr, 0);
    Bytes fresh = make_call(0x66, 80);
    feed(fresh, 0, fresh.size());
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(header_message_id(deliveries[0].bytes.data()), 0x66u);
    EXPECT_EQ(
        memcmp(deliveries[0].bytes.data() + kHeadSize, fresh.data() + kHeadSize, 80 - kHeadSize),
        0);
}

TEST_F(Dispatch, WithoutAnAgentThePackageIsReportedAndDropped) {
    pfClientRegisterFarFunction = nullptr;
    Bytes call = make_call(0x77, 60);
    testing::internal::CaptureStderr();
    feed(call, 0, call.size());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("pfClientRegisterFarFunction() is NULL"),
              std::string::npos);
    EXPECT_TRUE(inbound_buffer().IsHeadEmpty());
}

TEST_F(Dispatch, ResultAndEventAreFramedAsTheAgentGaveThem) {
    connect_stand_in_client();
    Bytes agent(40);
    for (size_t i = 0; i < agent.size(); ++i)
        agent[i] = static_cast<char>(0xA0 + i);
    const uint32_t before = GetTimeStamp();
    ASSERT_EQ(DriverResultProcessorFunction(agent.data(), 40), 0);
    ASSERT_EQ(DriverEventProcessorFunction(agent.data(), 40), 0);
    const uint32_t after = GetTimeStamp();

    for (uint16_t type : {2, 1}) {
        Bytes wire = read_client(40);
        ASSERT_EQ(wire.size(), 40u);
        PackHead head = bridge_test::head_of(wire);
        EXPECT_EQ(head.uType, type);
        EXPECT_EQ(head.uVersion, 10001);
        EXPECT_EQ(head.ulTotalSize, 40u);
        EXPECT_EQ(head.ulLength, 40u);
        EXPECT_EQ(head.uPackageID, 0);
        EXPECT_LE(head.ulSendTime - before, after - before);
        // The message id, the reserved bytes, the arrival time and the data
        // pass as the agent gave them.
        Bytes expected = agent;
        PackHead framed = bridge_test::head_of(agent);
        framed.uType = type;
        framed.uVersion = 10001;
        framed.ulTotalSize = 40;
        framed.ulLength = 40;
        framed.uPackageID = 0;
        framed.ulSendTime = head.ulSendTime;
        memcpy(expected.data(), &framed, sizeof framed);
        EXPECT_TRUE(wire == expected);
    }
}

TEST_F(Dispatch, PackagesWithoutWholeHeaderOrTooLongAreNotSent) {
    connect_stand_in_client();
    Bytes longest = make_call(0x88, 2009);
    ASSERT_EQ(DriverResultProcessorFunction(longest.data(), 2009), 0);
    EXPECT_EQ(read_client(2009).size(), 2009u);

    Bytes too_long = make_call(0x89, 2010);
    Bytes too_short = make_call(0x8A, 33);
    testing::internal::CaptureStderr();
    EXPECT_EQ(DriverResultProcessorFunction(too_long.data(), 2010), -1);
    EXPECT_EQ(DriverEventProcessorFunction(too_long.data(), 4000), -1);
    EXPECT_EQ(DriverResultProcessorFunction(too_short.data(), 33), -1);
    EXPECT_EQ(DriverEventProcessorFunction(nullptr, 40), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("DriverResultProcessorFunction(): package of 2010 bytes does not fit"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("DriverResultProcessorFunction(): package of 33 bytes"), std::string::npos)
        << err;

    // Nothing of them reached the wire: the next bytes are the next package.
    Bytes marker = make_call(0x8B, 40);
    ASSERT_EQ(DriverResultProcessorFunction(marker.data(), 40), 0);
    Bytes wire = read_client(40);
    ASSERT_EQ(wire.size(), 40u);
    EXPECT_EQ(header_message_id(wire.data()), 0x8Bu);
    EXPECT_TRUE(connection_reports.empty());
}

TEST_F(Dispatch, WithoutAClientBothCallbacksFailAndTheAgentHearsOfIt) {
    Bytes result = make_call(0x99, 40);
    testing::internal::CaptureStderr();
    EXPECT_EQ(DriverResultProcessorFunction(result.data(), 40), -1);
    EXPECT_EQ(DriverEventProcessorFunction(result.data(), 40), -1);
    EXPECT_EQ(DriverSendData(result.data(), 40), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("DriverResultProcessorFunction(): error of socket: -1"), std::string::npos)
        << err;
    EXPECT_NE(err.find("DriverEventProcessorFunction(): error of socket: -1"), std::string::npos)
        << err;
    EXPECT_NE(err.find("send_cmd(): error write to socket: -1"), std::string::npos) << err;
    EXPECT_EQ(connection_reports, (std::vector<int>{0, 0}));
}

TEST_F(Dispatch, WritingToAVanishedClientDoesNotRaiseSigpipe) {
    // The host program need not ignore SIGPIPE.
    struct RestoreSigpipe {
        void (*saved)(int) = signal(SIGPIPE, SIG_DFL);
        ~RestoreSigpipe() { signal(SIGPIPE, saved); }
    } restore;
    connect_stand_in_client();
    close(pair_[1]);
    pair_[1] = -1;
    Bytes result = make_call(0xAA, 40);
    EXPECT_EQ(DriverResultProcessorFunction(result.data(), 40), -1);
    EXPECT_EQ(DriverEventProcessorFunction(result.data(), 40), -1);
    EXPECT_EQ(DriverSendData(result.data(), 40), -1);
}

TEST_F(Dispatch, DriverSendDataWritesTheBytesAsTheyAre) {
    connect_stand_in_client();
    Bytes raw = make_call(0xBB, 50);
    EXPECT_EQ(DriverSendData(raw.data(), 50), 50);
    EXPECT_TRUE(read_client(50) == raw);
}
