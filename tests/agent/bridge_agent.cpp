// The reference agent inside the TCP bridge, as netbridged runs it: the
// bridge loads it by name, a client's calls get their results through the
// socket, a client that leaves is replaced cleanly, and closing the bridge
// lets go of the pad library the agent initialised.
#include <gtest/gtest.h>
#include <inkagent/protocol.h>
#include <inkport/inkport.h>

#include <sys/ioctl.h>

#include <string>
#include <thread>

#include "bridge_test_util.h"
#include "netbridge/netbridge.h"

using bridge_test::Client;

namespace {

bridge_test::Bytes call(uint32_t message_id, const std::vector<uint32_t> &args) {
    bridge_test::Bytes p(INKAGENT_HEADER_SIZE + 4 * args.size());
    auto *bytes = reinterpret_cast<uint8_t *>(p.data());
    inkagent_put_header(bytes, INKAGENT_TYPE_CALL, message_id, static_cast<uint32_t>(p.size()));
    for (size_t i = 0; i < args.size(); ++i)
        inkagent_put_u32(bytes + INKAGENT_HEADER_SIZE + 4 * i, args[i]);
    return p;
}

uint32_t field(const bridge_test::Bytes &p, size_t offset) {
    return inkagent_get_u32(reinterpret_cast<const uint8_t *>(p.data()) + offset);
}

class BridgeWithAgent : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = std::to_string(bridge_test::free_port());
        set_ip("127.0.0.1");
        set_port(port_.c_str());
        ASSERT_EQ(DriverOpen(), 0) << "libinkagent.so not found on LD_LIBRARY_PATH?";
    }
    void TearDown() override { DriverClose(); }

    // Sends one call and reads the next package, which must be its result.
    bridge_test::Bytes round_trip(Client &client, uint32_t id, const std::vector<uint32_t> &args) {
        EXPECT_TRUE(client.send_all(call(id, args)));
        bridge_test::Bytes r = client.receive_package();
        EXPECT_GE(r.size(), INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX);
        if (r.size() < INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX)
            return {};
        EXPECT_EQ(inkagent_get_u16(reinterpret_cast<const uint8_t *>(r.data())),
                  INKAGENT_TYPE_RESULT);
        EXPECT_EQ(field(r, INKAGENT_OFFSET_MESSAGE_ID), id);
        return r;
    }

    std::string port_;
};

TEST_F(BridgeWithAgent, CallsThroughTheSocketAndAClientThatLeaves) {
    {
        Client client(std::stoi(port_));
        ASSERT_TRUE(client.connected());
        auto r = round_trip(client, INKAGENT_MESSAGE_ID(1, INKAGENT_FN_INITIALIZE), {});
        EXPECT_EQ(field(r, INKAGENT_HEADER_SIZE), INKAGENT_STATUS_OK);
        r = round_trip(client, INKAGENT_MESSAGE_ID(2, INKAGENT_FN_IS_INITIALIZED), {});
        EXPECT_EQ(field(r, INKAGENT_HEADER_SIZE + 8), 1u);
        r = round_trip(client, INKAGENT_MESSAGE_ID(3, INKAGENT_FN_TRANSLATE_ERROR_CODE),
                       {QLPCEC_TIMEOUT, 64});
        ASSERT_EQ(r.size(), INKAGENT_HEADER_SIZE + 8 + 4 + 2 * 14 + 4);
        EXPECT_EQ(field(r, INKAGENT_HEADER_SIZE + 8), 14u) << "QLPCEC_TIMEOUT";
        r = round_trip(client, INKAGENT_MESSAGE_ID(4, 0x55), {});
        EXPECT_EQ(field(r, INKAGENT_HEADER_SIZE), INKAGENT_STATUS_UNKNOWN);
    }
    // The next client is served by the same agent, the library still up.
    // The bridge writes sockfd atomically; read it the same way.
    ASSERT_TRUE(
        bridge_test::wait_until([] { return __atomic_load_n(&sockfd, __ATOMIC_SEQ_CST) < 0; }));
    Client next(std::stoi(port_));
    ASSERT_TRUE(next.connected());
    auto r = round_trip(next, INKAGENT_MESSAGE_ID(1, INKAGENT_FN_IS_INITIALIZED), {});
    EXPECT_EQ(field(r, INKAGENT_HEADER_SIZE + 8), 1u);
    EXPECT_TRUE(IsInitialized());

    // Closing the bridge unloads the agent, which ended the library it started.
    next.close_now();
    EXPECT_EQ(DriverClose(), 0);
    EXPECT_FALSE(IsInitialized());
}

}  // namespace

namespace {

// Reads packages until none comes for a while; false at the first one whose
// sequence is not in [first, last].
bool only_results_in(Client &client, uint32_t first, uint32_t last, int expected) {
    for (int got = 0; got < expected; ++got) {
        bridge_test::Bytes p = client.receive_package();
        if (p.empty())
            return false;
        const uint32_t sequence = INKAGENT_MESSAGE_SEQUENCE(field(p, INKAGENT_OFFSET_MESSAGE_ID));
        EXPECT_TRUE(sequence >= first && sequence <= last) << "sequence " << sequence;
        if (sequence < first || sequence > last)
            return false;
    }
    return true;
}

}  // namespace

TEST_F(BridgeWithAgent, ANewClientGetsNothingOfTheOldOne) {
    Client old_client(std::stoi(port_), 4096);
    ASSERT_TRUE(old_client.connected());
    // Far more calls than the agent queues, each a while at work (the pad
    // library starts afresh), and not a result read: the bridge stops
    // reading the old client, and the agent is busy with its calls when the
    // new client comes.
    bridge_test::Bytes calls;
    for (uint32_t i = 0; i < 3000; ++i) {
        bridge_test::Bytes c = call(INKAGENT_MESSAGE_ID(0x100000 + i, INKAGENT_FN_INITIALIZE), {});
        calls.insert(calls.end(), c.begin(), c.end());
    }
    std::thread flood([&] { old_client.send_all(calls); });
    // Results of its calls are on their way: the agent is at work for it.
    ASSERT_TRUE(bridge_test::wait_until([&] {
        int pending = 0;
        return ioctl(old_client.fd(), FIONREAD, &pending) == 0 && pending > 0;
    }));

    const auto start = std::chrono::steady_clock::now();
    Client new_client(std::stoi(port_));
    ASSERT_TRUE(new_client.connected());
    bridge_test::Bytes mine;
    for (uint32_t i = 0; i < 50; ++i) {
        bridge_test::Bytes c =
            call(INKAGENT_MESSAGE_ID(0x200000 + i, INKAGENT_FN_IS_INITIALIZED), {});
        mine.insert(mine.end(), c.begin(), c.end());
    }
    ASSERT_TRUE(new_client.send_all(mine));
    bridge_test::Bytes first = new_client.receive_package();
    const double first_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(INKAGENT_MESSAGE_SEQUENCE(field(first, INKAGENT_OFFSET_MESSAGE_ID)), 0x200000u);
    EXPECT_TRUE(only_results_in(new_client, 0x200001, 0x200031, 49));
    printf("the new client's first answer came after %.3f s\n", first_s);
    EXPECT_LT(first_s, 10);
    shutdown(old_client.fd(), SHUT_RDWR);
    flood.join();
}
