// The TCP bridge end to end, in this process, with the stand-in echo agent
// and loopback clients.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>

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
        netbridge_tuning::write_stall_ms = 10000;
        netbridge_tuning::package_time_ms = 10000;
        set_exclusive(false);
        set_idle_timeout(0);
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
    // A client that vanishes without a word is found out within a minute.
    int keepalive = 0;
    unsigned user_time_out = 0;
    socklen_t length = sizeof keepalive;
    getsockopt(sockfd, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &length);
    length = sizeof user_time_out;
    getsockopt(sockfd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_time_out, &length);
    EXPECT_EQ(keepalive, 1);
    EXPECT_EQ(user_time_out, 60000u);
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
    // Its call is never answered: it is let go once its results may no
    // longer come.
    netbridge_tuning::write_stall_ms = 300;
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

namespace {

// Reads until the bridge closes the connection: whole packages, of which
// only the last may be cut off. The number of whole ones.
int whole_packages_then_end(Client &client) {
    Bytes stream;
    char chunk[65536];
    ssize_t n;
    while ((n = recv(client.fd(), chunk, sizeof chunk, 0)) > 0)
        stream.insert(stream.end(), chunk, chunk + n);
    EXPECT_EQ(n, 0) << "no end of stream";
    size_t at = 0;
    int whole = 0;
    while (stream.size() - at >= static_cast<size_t>(kHeadSize)) {
        const uint32_t total = header_total_size(stream.data() + at);
        uint16_t type = 0;
        memcpy(&type, stream.data() + at, sizeof type);
        EXPECT_EQ(type, 1) << "not at a package's start: byte " << at;
        if (total < static_cast<uint32_t>(kHeadSize) || stream.size() - at < total)
            break;
        at += total;
        ++whole;
    }
    EXPECT_LT(stream.size() - at, 2000u) << "more than a cut-off package after the last whole one";
    return whole;
}

}  // namespace

TEST_F(Bridge, ClientThatNeverReadsIsCutOffAfterWholePackagesOnly) {
    Client stalled(port_, 4096);
    round_trip(stalled, 0x090001, 64);
    testing::internal::CaptureStderr();
    // The agent's thread goes on at once, whatever the client does: once
    // the client's queue is full, its connection is closed.
    ASSERT_EQ(agent_->emit(1 << 20, 2000, 0x090002), 0);
    int written = 0;
    int last = 0;
    ASSERT_EQ(agent_->wait_emitted(20000, &written, &last), 0);
    EXPECT_LT(written, 1 << 20);
    EXPECT_EQ(last, -1);
    const int whole = whole_packages_then_end(stalled);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("does not read"), std::string::npos);
    EXPECT_LE(whole, written);
    Client next(port_);
    round_trip(next, 0x090003, 64);
}

TEST_F(Bridge, ClientThatTakesNothingIsCutOffAfterTheWriteTimeLimit) {
    netbridge_tuning::write_stall_ms = 300;
    Client stalled(port_, 4096);
    round_trip(stalled, 0x0A0001, 64);
    const int small = 4096;
    setsockopt(sockfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    testing::internal::CaptureStderr();
    // Fewer than the queue holds: all accepted, and then nothing moves.
    ASSERT_EQ(agent_->emit(200, 2000, 0x0A0002), 0);
    int written = 0;
    int last = 0;
    ASSERT_EQ(agent_->wait_emitted(20000, &written, &last), 0);
    EXPECT_EQ(written, 200);
    EXPECT_TRUE(wait_until([] { return sockfd.load() == -1; }));
    EXPECT_LT(whole_packages_then_end(stalled), 200);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no bytes within the write time limit"),
              std::string::npos);
}

TEST_F(Bridge, ClientThatReadsNothingIsCutOffWhateverTheKernelBuffers) {
    netbridge_tuning::write_stall_ms = 300;
    Client stalled(port_, 4096);
    round_trip(stalled, 0x0A0101, 64);
    testing::internal::CaptureStderr();
    // 40 kB: more than the client's window, all of it in the bridge's send
    // buffer, none for its writer.
    ASSERT_EQ(agent_->emit(20, 2000, 0x0A0102), 0);
    int written = 0;
    int last = 0;
    ASSERT_EQ(agent_->wait_emitted(20000, &written, &last), 0);
    EXPECT_EQ(written, 20);
    EXPECT_TRUE(wait_until([] { return sockfd.load() == -1; }));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("acknowledged no bytes"),
              std::string::npos);
}

TEST_F(Bridge, PackageBegunMustBeCompleteInTime) {
    netbridge_tuning::package_time_ms = 300;
    set_exclusive(true);
    // A header a byte at a time, and a size that is never reached.
    const Bytes huge = [] {
        Bytes call = make_call(0x0A0201, 64);
        const uint32_t size = 0xFFFFFFFF;
        memcpy(call.data() + 8, &size, sizeof size);
        call.resize(12);
        return call;
    }();
    for (bool trickle : {true, false}) {
        testing::internal::CaptureStderr();
        Client holder(port_);
        if (trickle) {
            const Bytes call = make_call(0x0A0202, 64);
            for (size_t i = 0; i < 20 && holder.send_all(call.data() + i, 1); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } else {
            ASSERT_TRUE(holder.send_all(huge));
        }
        EXPECT_TRUE(holder.sees_close());
        EXPECT_NE(testing::internal::GetCapturedStderr().find("package time limit"),
                  std::string::npos);
        Client next(port_);
        round_trip(next, 0x0A0203, 64);
    }
}

TEST_F(Bridge, IdleTimeOutLetsASilentClientGo) {
    set_idle_timeout(1);
    Client client(port_);
    round_trip(client, 0x0A0301, 64);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(client.sees_end_of_stream());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("idle time-out"), std::string::npos);
}

TEST_F(Bridge, HalfClosedClientGetsItsLateResults) {
    Client client(port_);
    const Bytes call = make_call(0x0A0400 | ECHO_AGENT_LATE_FUNCTION, 64);
    ASSERT_TRUE(client.send_all(call));
    ASSERT_EQ(shutdown(client.fd(), SHUT_WR), 0);
    expect_answer(client.receive_package(), call);
    EXPECT_TRUE(client.sees_end_of_stream());
}

TEST_F(Bridge, BrokenStreamsCloseTheirConnectionsWithRateLimitedRecords) {
    netbridge_tuning::accept_pause_ms = 0;
    const Bytes zeros(1 << 16, 0);
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) {
        Client client(port_);
        client.send_all(zeros);  // may fail once the bridge has closed
        EXPECT_TRUE(client.receive_package().empty());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string err = testing::internal::GetCapturedStderr();
    int records = 0;
    for (size_t at = err.find("broken stream"); at != std::string::npos;
         at = err.find("broken stream", at + 1))
        ++records;
    EXPECT_GE(records, 1);
    EXPECT_LE(records, 10 * (static_cast<int>(seconds) + 2)) << seconds << " s";
    Client next(port_);
    round_trip(next, 0x0B0001, 64);
}

namespace {

// Fails the next accept() calls with a chosen errno, then accepts; and
// the next listen() calls with EMFILE.
std::atomic<int> accept_failures_left{0};
std::atomic<int> accept_failure{0};
std::atomic<int> listen_failures_left{0};

int flaky_listen(int fd, int backlog) {
    if (listen_failures_left.fetch_sub(1) > 0) {
        errno = EMFILE;
        return -1;
    }
    return listen(fd, backlog);
}

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
        wrap_hooks::listen_fn = flaky_listen;
    }
    void TearDown() override {
        EXPECT_EQ(DriverClose(), 0);
        wrap_hooks::accept_fn = accept;
        wrap_hooks::listen_fn = listen;
        accept_failures_left = 0;
        listen_failures_left = 0;
        netbridge_tuning::restart_pause_ms = 100;
    }
    int open(int failure) {
        accept_failure = failure;
        accept_failures_left = failure != 0 ? 1 : 0;
        set_ip("127.0.0.1");
        set_port("0");
        EXPECT_EQ(DriverOpen(), 0);
        return bridge_test::port_of(a_socket);
    }
    std::unique_ptr<AgentControls> agent_;
};

void expect_served_on(Client &client, uint32_t message_id) {
    Bytes call = make_call(message_id, 64);
    ASSERT_TRUE(client.send_all(call));
    expect_answer(client.receive_package(), call);
}

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

TEST_F(AcceptFailure, ShortageOfDescriptorsIsWaitedOutKeepingListenerAndClient) {
    const int listen_port = open(0);
    Client first(listen_port);
    Bytes call = make_call(0x0B0101, 64);
    ASSERT_TRUE(first.send_all(call));
    expect_answer(first.receive_package(), call);
    accept_failure = EMFILE;
    accept_failures_left = 4;
    testing::internal::CaptureStderr();
    Client second(listen_port);
    // Served while the bridge waits for descriptors, then replaced.
    call = make_call(0x0B0102, 64);
    ASSERT_TRUE(first.send_all(call));
    expect_answer(first.receive_package(), call);
    expect_served_on(second, 0x0B0103);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("trying again in 800 ms"), std::string::npos) << err;
    EXPECT_EQ(bridge_test::port_of(a_socket), listen_port);
}

TEST_F(AcceptFailure, OtherFailureRestartsTheListenerWithTheAgentKept) {
    const int old_port = open(EINVAL);
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

TEST_F(AcceptFailure, FailedRestartTriesAgainUntilTheListenerIsBack) {
    netbridge_tuning::restart_pause_ms = 10;
    const int old_port = open(EINVAL);
    testing::internal::CaptureStderr();
    listen_failures_left = 3;
    {
        Client trigger(old_port);
        ASSERT_TRUE(trigger.connected());
        ASSERT_TRUE(wait_until([] { return listen_failures_left.load() < 0; }));
    }
    int new_port = 0;
    ASSERT_TRUE(wait_until([&] {
        new_port = bridge_test::port_of(a_socket);
        return new_port > 0 && !do_not_touch_libinkagent.load();
    }));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no listener: trying again in 40 ms"), std::string::npos) << err;
    expect_served(new_port, 0x0D0001);
}
