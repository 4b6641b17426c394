// The TCP bridge end to end, in this process, with the stand-in echo agent
// and loopback clients.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>

#include "bridge_test_util.h"
#include "cmediator.h"
#include "netbridge_internal.h"
#include "wrapunix.h"

using bridge_test::AgentControls;
using bridge_test::Bytes;
using bridge_test::Client;
using bridge_test::make_call;
using bridge_test::wait_until;

namespace {

// What the echo agent's answer to a call must look like on the wire.
void expect_answer(const Bytes &answer, const Bytes &call) {
    ASSERT_EQ(answer.size(), call.size());
    PackHead head = bridge_test::head_of(answer);
    EXPECT_EQ(head.uType, 2);
    EXPECT_EQ(head.uVersion, 10001);
    EXPECT_EQ(head.ulMessageID, header_message_id(call.data()));
    EXPECT_EQ(head.ulTotalSize, call.size());
    EXPECT_EQ(head.ulLength, call.size());
    EXPECT_EQ(head.uPackageID, 0);
    EXPECT_EQ(memcmp(answer.data() + kHeadSize, call.data() + kHeadSize, call.size() - kHeadSize),
              0);
}

class Bridge : public testing::Test {
  protected:
    void SetUp() override {
        agent_ = std::make_unique<AgentControls>();
        ASSERT_TRUE(agent_->ok()) << "the echo agent is not on LD_LIBRARY_PATH";
        set_ip("127.0.0.1");
        set_port("0");
        ASSERT_EQ(DriverOpen(), 0);
        // One accepting thread (the last test's may still be on its way out).
        ASSERT_TRUE(wait_until([] { return bridge_test::count_threads_named("nb_accept") == 1; }));
        port_ = bridge_test::port_of(a_socket);
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        EXPECT_EQ(DriverClose(), 0);
        netbridge_tuning::accept_pause_ms = 500;
        agent_.reset();
    }

    void round_trip(Client &client, uint32_t message_id, int size) {
        Bytes call = make_call(message_id, size);
        ASSERT_TRUE(client.send_all(call));
        Bytes answer = client.receive_package();
        ASSERT_FALSE(answer.empty()) << "no answer to call " << message_id;
        expect_answer(answer, call);
    }

    std::unique_ptr<AgentControls> agent_;
    int port_ = 0;
};

}  // namespace

TEST_F(Bridge, CallsAreAnsweredWithTheirIdAndData) {
    Client client(port_);
    ASSERT_TRUE(client.connected());
    round_trip(client, 0x010001, 64);
    round_trip(client, 0x010002, 2000);
    round_trip(client, 0x010003, kHeadSize);
}

TEST_F(Bridge, CallWrittenInThreePiecesIsAnsweredOnce) {
    Client client(port_);
    Bytes call = make_call(0x020001, 1500);
    ASSERT_TRUE(client.send_all(call.data(), 20));
    ASSERT_TRUE(client.send_all(call.data() + 20, 700));
    ASSERT_TRUE(client.send_all(call.data() + 720, call.size() - 720));
    Bytes answer = client.receive_package();
    expect_answer(answer, call);
    // The next answer is the next call's: the first was not answered twice.
    round_trip(client, 0x020002, 100);
}

TEST_F(Bridge, TwoCallsInOneWriteAreBothAnswered) {
    Client client(port_);
    Bytes first = make_call(0x030001, 300);
    Bytes second = make_call(0x030002, 200);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(client.send_all(both));
    expect_answer(client.receive_package(), first);
    expect_answer(client.receive_package(), second);
}

TEST_F(Bridge, NewClientReplacesTheOldOneAndGetsTheResults) {
    Client first(port_);
    round_trip(first, 0x040001, 64);
    const int told_before = agent_->counters().no_connection_reports;

    Client second(port_);
    round_trip(second, 0x040002, 64);
    EXPECT_TRUE(first.sees_end_of_stream());
    EXPECT_GT(agent_->counters().no_connection_reports, told_before);

    // A result the agent reports now goes to the new client, byte for byte.
    Bytes agent_bytes(40);
    for (size_t i = 0; i < agent_bytes.size(); ++i)
        agent_bytes[i] = static_cast<char>(0x30 + i);
    ASSERT_EQ(DriverResultProcessorFunction(agent_bytes.data(), 40), 0);
    Bytes wire(40);
    ASSERT_TRUE(second.receive_exact(wire.data(), wire.size()));
    PackHead expected = bridge_test::head_of(agent_bytes);
    expected.uType = 2;
    expected.uVersion = 10001;
    expected.ulTotalSize = 40;
    expected.ulLength = 40;
    expected.uPackageID = 0;
    expected.ulSendTime = bridge_test::head_of(wire).ulSendTime;
    EXPECT_EQ(memcmp(wire.data(), &expected, kHeadSize), 0);
    EXPECT_EQ(memcmp(wire.data() + kHeadSize, agent_bytes.data() + kHeadSize, 40 - kHeadSize), 0);
}

TEST_F(Bridge, ClientThatSendsAndClosesIsServedThenGivenUp) {
    const EchoAgentCounters before = agent_->counters();
    {
        Client client(port_);
        ASSERT_TRUE(client.send_all(make_call(0x050000 | ECHO_AGENT_SILENT_FUNCTION, 80)));
    }
    ASSERT_TRUE(wait_until([&] { return agent_->counters().far_calls == before.far_calls + 1; }));
    ASSERT_TRUE(wait_until([] { return sockfd.load() == -1; }));
    EXPECT_GT(agent_->counters().no_connection_reports, before.no_connection_reports);
    Client next(port_);
    round_trip(next, 0x050001, 64);
}

TEST_F(Bridge, ResultsWithoutAClientFailAndTheAgentHearsOfIt) {
    const int told_before = agent_->counters().no_connection_reports;
    Bytes result = make_call(0x060001, 40);
    testing::internal::CaptureStderr();
    EXPECT_EQ(DriverResultProcessorFunction(result.data(), 40), -1);
    EXPECT_EQ(DriverEventProcessorFunction(result.data(), 40), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(agent_->counters().no_connection_reports, told_before + 2);
}

TEST_F(Bridge, CloseWithAClientConnectedEndsEverything) {
    Client client(port_);
    round_trip(client, 0x070001, 64);
    EXPECT_EQ(bridge_test::count_threads_named("nb_"), 2);
    const EchoAgentCounters before = agent_->counters();
    EXPECT_EQ(DriverClose(), 0);
    const EchoAgentCounters after = agent_->counters();
    EXPECT_GT(after.no_connection_reports, before.no_connection_reports);
    EXPECT_EQ(after.removals, before.removals + 2);
    EXPECT_EQ(hClientMediatorHandle, nullptr);
    EXPECT_EQ(a_socket.load(), -1);
    EXPECT_EQ(sockfd.load(), -1);
    EXPECT_TRUE(client.sees_end_of_stream());
    // Both workers are on their way out once close returns.
    EXPECT_TRUE(wait_until([] { return bridge_test::count_threads_named("nb_") == 0; }))
        << bridge_test::count_threads_named("nb_") << " bridge threads left";
    EXPECT_EQ(DriverClose(), 0);
    EXPECT_FALSE(Client(port_).connected());
}

TEST_F(Bridge, OpenFailsWithoutAPortOrOnABusyOne) {
    ASSERT_EQ(DriverClose(), 0);
    set_ip(nullptr);
    set_port(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(DriverOpen(), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("of listening ip: (null) port: (null)"), std::string::npos) << err;

    int other = tcp_listen("127.0.0.1", "0", nullptr);
    std::string busy = std::to_string(bridge_test::port_of(other));
    set_ip("127.0.0.1");
    set_port(busy.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(DriverOpen(), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(a_socket.load(), -1);
    close(other);
    set_port("0");
}

TEST_F(Bridge, ThousandClientsInARowLeakNoDescriptor) {
    netbridge_tuning::accept_pause_ms = 0;
    const int fds_before = bridge_test::count_fds();
    for (int i = 0; i < 1000; ++i) {
        Client client(port_);
        ASSERT_TRUE(client.connected()) << "client " << i;
        round_trip(client, 0x08000000 + (static_cast<uint32_t>(i) << 8), 64);
        if (HasFatalFailure())
            return;
    }
    ASSERT_TRUE(wait_until([] { return sockfd.load() == -1; }));
    EXPECT_TRUE(wait_until([&] { return bridge_test::count_fds() <= fds_before; }))
        << bridge_test::count_fds() << " descriptors, " << fds_before << " before";
}

TEST_F(Bridge, SlowClientThatNeverReadsDoesNotStallTheBridge) {
    Client stalled(port_, 4096);
    round_trip(stalled, 0x090001, 64);
    testing::internal::CaptureStderr();
    ASSERT_EQ(agent_->emit(1 << 20, 2000, 0x090002), 0);
    // Calls from the same client still reach the agent while its events
    // cannot be written.
    const int far_before = agent_->counters().far_calls;
    ASSERT_TRUE(stalled.send_all(make_call(0x090000 | ECHO_AGENT_SILENT_FUNCTION, 64)));
    EXPECT_TRUE(wait_until([&] { return agent_->counters().far_calls == far_before + 1; }));
    int written = 0;
    int last = 0;
    ASSERT_EQ(agent_->wait_emitted(120000, &written, &last), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GT(written, 0);
    EXPECT_EQ(last, -1);
    EXPECT_NE(err.find("send_data(): exit by timeout: 10000 ms"), std::string::npos);
    // And the bridge serves the next client.
    Client next(port_);
    round_trip(next, 0x090003, 64);
}

namespace {

// Fails the next accept() calls with a chosen errno, then accepts.
std::atomic<int> accept_failures_left{0};
std::atomic<int> accept_failure{0};

int flaky_accept(int fd, struct sockaddr *sa, socklen_t *length) {
    if (accept_failures_left.fetch_sub(1) > 0) {
        errno = accept_failure;
        return -1;
    }
    return accept(fd, sa, length);
}

// The hook is set before the bridge's threads exist and reset after they end.
class AcceptFailure : public testing::Test {
  protected:
    void SetUp() override {
        agent_ = std::make_unique<AgentControls>();
        ASSERT_TRUE(agent_->ok());
        wrap_hooks::accept_fn = flaky_accept;
    }
    void TearDown() override {
        EXPECT_EQ(DriverClose(), 0);
        wrap_hooks::accept_fn = accept;
        accept_failures_left = 0;
    }
    int open(int failure) {
        accept_failure = failure;
        accept_failures_left = 1;
        set_ip("127.0.0.1");
        set_port("0");
        EXPECT_EQ(DriverOpen(), 0);
        return bridge_test::port_of(a_socket);
    }
    std::unique_ptr<AgentControls> agent_;
};

void expect_served(int port, uint32_t message_id) {
    Client client(port);
    Bytes call = make_call(message_id, 64);
    ASSERT_TRUE(client.send_all(call));
    expect_answer(client.receive_package(), call);
}

}  // namespace

TEST_F(AcceptFailure, NetworkTroubleIsWaitedOutOnTheSamePort) {
    const int listen_port = open(ENETDOWN);
    testing::internal::CaptureStderr();
    expect_served(listen_port, 0x0B0001);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(": go to Continue"), std::string::npos) << err;
    EXPECT_EQ(bridge_test::port_of(a_socket), listen_port);
}

TEST_F(AcceptFailure, OtherFailureRestartsTheListenerWithTheAgentKept) {
    const int old_port = open(EMFILE);
    void *const agent_handle = hClientMediatorHandle;
    const EchoAgentCounters before = agent_->counters();
    testing::internal::CaptureStderr();
    {
        // Its connection is what makes accept() run, and fail.
        Client trigger(old_port);
        ASSERT_TRUE(trigger.connected());
        ASSERT_TRUE(wait_until(
            [&] { return agent_->counters().registrations == before.registrations + 2; }));
    }
    testing::internal::GetCapturedStderr();
    // Listening again, on a new port as the port asked for is "0", and done
    // with the restart.
    int new_port = 0;
    ASSERT_TRUE(wait_until([&] {
        new_port = bridge_test::port_of(a_socket);
        return new_port > 0 && new_port != old_port && !do_not_touch_libinkagent.load();
    }));
    // Closed and opened again: callbacks removed and registered anew, the
    // agent told there is no connection, but not released and loaded again.
    const EchoAgentCounters after = agent_->counters();
    EXPECT_EQ(after.removals, before.removals + 2);
    EXPECT_GT(after.no_connection_reports, before.no_connection_reports);
    EXPECT_EQ(hClientMediatorHandle, agent_handle);
    expect_served(new_port, 0x0C0001);
}
