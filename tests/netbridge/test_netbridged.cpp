// netbridged as a child process: options, texts, exit statuses, serving a
// client and the interrupt, who may connect, and clients that attack it
// (with the reference agent behind it, as it runs in earnest).
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "bridge_test_util.h"
#include "child_process.h"

using bridge_test::Client;
using bridge_test::make_call;

namespace {

const std::string kWelcome = "Welcome to use NETBRIDGED programme...\n";
const std::string kUsage =
    "\n"
    "Usage: netbridged [--hostname=<hostname/IPaddress>] --port=<service/port>\n"
    "\n"
    "Options:\n"
    "  -n,  --hostname=<hostname/IPaddress>  Specify IP address or host-name\n"
    "  -p,  --port=<service/port>            Specify port number or service name\n"
    "       --allow=<network>                Serve clients of this network only\n"
    "                                        (repeatable; 10.1.0.0/16, ::1, ...)\n"
    "       --exclusive                      Refuse new clients while one is connected\n"
    "       --idle-timeout=<seconds>         Let a client go that sends nothing that long\n"
    "  -v,  --version                        Print the version number\n"
    "  -h,  --help                           Give this help list\n"
    "\n"
    "Examples:\n"
    "  netbridged -p 8888\n"
    "  netbridged --hostname=192.168.117.142 --port=8888\n";

// How a daemon is started: the folder of the agent it loads (the test's own
// LD_LIBRARY_PATH when empty), and a program it runs under (the pad bench's
// runner).
struct Launch {
    std::string agent_dir;
    std::vector<std::string> under;
};

// netbridged as a child, with the given arguments.
class Daemon : public testutil::ChildProcess {
  public:
    explicit Daemon(std::vector<std::string> args, const Launch &launch = {})
        : ChildProcess(command(std::move(args), launch), environment(launch)) {}

    // Exit status, or -1 if it has not exited within the deadline.
    int wait_exit(int deadline_ms = 20000) { return wait(std::chrono::milliseconds(deadline_ms)); }
    void interrupt() { signal(SIGINT); }

  private:
    static std::vector<std::string> command(std::vector<std::string> args, const Launch &launch) {
        args.insert(args.begin(), NETBRIDGED_PROGRAM);
        args.insert(args.begin(), launch.under.begin(), launch.under.end());
        return args;
    }
    static std::map<std::string, std::string> environment(const Launch &launch) {
        if (launch.agent_dir.empty())
            return {};
        return {{"LD_LIBRARY_PATH", launch.agent_dir}};
    }
};

// A client of the daemon, once it listens.
bool connect_when_listening(std::unique_ptr<Client> &client, int port) {
    return bridge_test::wait_until([&] {
        client = std::make_unique<Client>(port);
        return client->connected();
    });
}

}  // namespace

TEST(Netbridged, NoArgumentsPrintUsageAndFail) {
    Daemon d({});
    EXPECT_EQ(d.wait_exit(), 255);
    EXPECT_EQ(d.out(), kWelcome);
    EXPECT_EQ(d.err().substr(0, kUsage.size()), kUsage);
    // The third example names the host, then a blank line and where to
    // report bugs, and the text ends with a line break.
    EXPECT_NE(d.err().find("\n  netbridged -n ", kUsage.size() - 1), std::string::npos) << d.err();
    EXPECT_NE(d.err().find(" -p 8888\n\nReport bugs"), std::string::npos) << d.err();
    EXPECT_EQ(d.err().back(), '\n');
}

TEST(Netbridged, VersionAndHelpExitZero) {
    for (const char *option : {"-v", "--version"}) {
        Daemon d({option});
        EXPECT_EQ(d.wait_exit(), 0);
        const std::string head = kWelcome + "netbridged v2.3.3\n\n";
        EXPECT_EQ(d.out().substr(0, head.size()), head);
        // Then one line of credits.
        const std::string credits = d.out().substr(std::min(head.size(), d.out().size()));
        EXPECT_GT(credits.size(), 1u);
        EXPECT_EQ(credits.find('\n'), credits.size() - 1) << credits;
        EXPECT_EQ(d.err(), "");
    }
    for (const char *option : {"-h", "--help"}) {
        Daemon d({option});
        EXPECT_EQ(d.wait_exit(), 0);
        EXPECT_EQ(d.out(), kWelcome);
        EXPECT_EQ(d.err().substr(0, kUsage.size()), kUsage);
    }
}

TEST(Netbridged, UnknownOptionOrNoPortFail) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-x"}, {"--hostname=127.0.0.1"}}) {
        Daemon d(args);
        EXPECT_EQ(d.wait_exit(), 255);
        EXPECT_EQ(d.err().substr(0, kUsage.size()), kUsage);
    }
    // What a shell variable that is not set gives.
    for (std::vector<std::string> args : {std::vector<std::string>{"--port="},
                                          {"-p", ""},
                                          {"--hostname=", "-p", "8888"},
                                          {"--idle-timeout=5s", "-p", "8888"}}) {
        Daemon d(args);
        EXPECT_EQ(d.wait_exit(), 255) << args[0];
        EXPECT_TRUE(d.err().find(": empty; give a") != std::string::npos ||
                    d.err().find("not a number of seconds") != std::string::npos)
            << d.err();
    }
}

TEST(Netbridged, BusyPortExitsWithOne) {
    int other = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(other, 1), 0);
    Daemon d({"--hostname=127.0.0.1", "-p", std::to_string(bridge_test::port_of(other))});
    EXPECT_EQ(d.wait_exit(), 1);
    EXPECT_NE(d.err().find("of listening ip: 127.0.0.1 port: "), std::string::npos) << d.err();
    close(other);
}

TEST(Netbridged, ServesALocalClientAndExitsZeroOnInterrupt) {
    for (int stop_signal : {SIGINT, SIGTERM}) {
        const int port = bridge_test::free_port();
        Daemon d({"--hostname=127.0.0.1", "--port=" + std::to_string(port)});
        std::unique_ptr<Client> client;
        ASSERT_TRUE(connect_when_listening(client, port)) << d.err();
        bridge_test::Bytes call = make_call(0x0A0001, 300);
        ASSERT_TRUE(client->send_all(call));
        bridge_test::Bytes answer = client->receive_package();
        ASSERT_EQ(answer.size(), call.size());
        EXPECT_EQ(bridge_test::head_of(answer).uType, 2);
        EXPECT_EQ(
            memcmp(answer.data() + kHeadSize, call.data() + kHeadSize, call.size() - kHeadSize), 0);
        EXPECT_TRUE(bridge_test::wait_until(
            [&] { return d.out().find("Connection From 127.0.0.1:") != std::string::npos; }));

        // Interrupted with the client still connected: the bridge is closed, the
        // client sees the end, the program exits 0.
        d.signal(stop_signal);
        EXPECT_EQ(d.wait_exit(), 0) << d.err();
        EXPECT_TRUE(client->sees_end_of_stream());
    }
}

namespace {

// A call of the reference agent: function id, sequence, u32 arguments.
bridge_test::Bytes agent_call(uint32_t sequence, uint32_t function,
                              const std::vector<uint32_t> &args = {}) {
    bridge_test::Bytes p =
        make_call(sequence << 8 | function, kHeadSize + 4 * static_cast<int>(args.size()));
    for (size_t i = 0; i < args.size(); ++i)
        memcpy(p.data() + kHeadSize + 4 * i, &args[i], 4);
    return p;
}

constexpr uint32_t kInitialize = 0x01;
constexpr uint32_t kIsInitialized = 0x03;
constexpr uint32_t kReceiveSspMessage = 0x15;

// A value of the daemon's /proc status, in kB.
long status_kb(pid_t pid, const std::string &key) {
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *f = fopen(path.c_str(), "r");
    long value = -1;
    char line[256];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, key.c_str(), key.size()) == 0 && line[key.size()] == ':')
            value = atol(line + key.size() + 1);
    if (f != nullptr)
        fclose(f);
    return value;
}

// Seconds from connecting to the first result of a call.
double first_answer_s(int port) {
    const auto start = std::chrono::steady_clock::now();
    Client client(port);
    if (!client.send_all(agent_call(1, kIsInitialized)) || client.receive_package().empty())
        return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether the echo agent's answer to a call comes back.
bool answered(Client &client, uint32_t message_id) {
    bridge_test::Bytes call = make_call(message_id, 64);
    if (!client.send_all(call))
        return false;
    bridge_test::Bytes answer = client.receive_package();
    return answer.size() == call.size() && header_message_id(answer.data()) == message_id;
}

bool served(int port, int family) {
    Client client(port, 0, family);
    return client.connected() && answered(client, 0x0A0002);
}

}  // namespace

TEST(Netbridged, AllowServesOnlyTheNetworksGiven) {
    struct Case {
        std::string host;
        std::vector<std::string> allow;
        int client_family;
        bool served;
    };
    const Case cases[] = {
        {"127.0.0.1", {"127.0.0.0/8"}, AF_INET, true},
        {"127.0.0.1", {"10.0.0.0/8", "::1"}, AF_INET, false},
        {"::1", {"10.1.0.0/16", "::1"}, AF_INET6, true},
        {"::1", {"fd00::/8"}, AF_INET6, false},
        // IPv4 clients of an IPv6 socket count as IPv4.
        {"::", {"127.0.0.1"}, AF_INET, true},
        // And so do IPv4 networks written as mapped addresses.
        {"::", {"::ffff:127.0.0.1"}, AF_INET, true},
        {"::", {"::ffff:0:0/96"}, AF_INET, true},
        {"::", {"::ffff:10.0.0.0/104"}, AF_INET, false},
    };
    for (const Case &c : cases) {
        const int port = bridge_test::free_port();
        std::vector<std::string> args = {"-n", c.host, "-p", std::to_string(port)};
        for (const std::string &network : c.allow)
            args.insert(args.end(), {"--allow", network});
        Daemon d(args);
        std::unique_ptr<Client> probe;
        ASSERT_TRUE(bridge_test::wait_until([&] {
            probe = std::make_unique<Client>(port, 0, c.client_family);
            return probe->connected();
        })) << c.host;
        probe.reset();
        EXPECT_EQ(served(port, c.client_family), c.served) << c.host << " " << c.allow[0];
        if (!c.served) {
            EXPECT_TRUE(bridge_test::wait_until([&] {
                return d.out().find("refused: outside the allowed networks") != std::string::npos;
            })) << d.out();
        }
        d.interrupt();
        EXPECT_EQ(d.wait_exit(), 0) << d.err();
    }
    for (const char *malformed : {"10.0.0.0/33", "1.2.3.4/", "::1/129", "example.org", "10/8x"}) {
        Daemon d({"--allow", malformed, "-p", "0"});
        EXPECT_EQ(d.wait_exit(), 255) << malformed;
        EXPECT_NE(d.err().find(std::string("--allow ") + malformed + ": not an address"),
                  std::string::npos)
            << d.err();
    }
}

TEST(Netbridged, ExclusiveKeepsTheConnectedClient) {
    const int port = bridge_test::free_port();
    Daemon d({"-n", "127.0.0.1", "-p", std::to_string(port), "--exclusive"});
    std::unique_ptr<Client> first;
    ASSERT_TRUE(connect_when_listening(first, port)) << d.err();
    ASSERT_TRUE(answered(*first, 0x0B0001));

    {
        // Told why, then the end of the stream.
        Client refused(port);
        const bridge_test::Bytes notice = refused.receive_package();
        ASSERT_GT(notice.size(), static_cast<size_t>(kHeadSize));
        EXPECT_EQ(bridge_test::head_of(notice).uType, 3);
        EXPECT_EQ(std::string(notice.begin() + kHeadSize, notice.end()),
                  "another client is connected");
        EXPECT_TRUE(refused.sees_end_of_stream());
    }
    EXPECT_FALSE(served(port, AF_INET));
    EXPECT_NE(d.out().find("refused: another client is connected"), std::string::npos) << d.out();
    EXPECT_TRUE(answered(*first, 0x0B0002)) << "the first client lost its place";

    // Once it has gone, the next one is served.
    first->close_now();
    EXPECT_TRUE(bridge_test::wait_until([&] { return served(port, AF_INET); }));
    d.interrupt();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
}

TEST(Netbridged, SecondInterruptEndsItAtOnceWhateverTheAgentDoes) {
    const int port = bridge_test::free_port();
    Daemon d({"-n", "127.0.0.1", "-p", std::to_string(port)});
    std::unique_ptr<Client> client;
    ASSERT_TRUE(connect_when_listening(client, port)) << d.err();
    // Answered, then the agent keeps the bridge's thread for 30 s.
    ASSERT_TRUE(client->send_all(make_call(0x0C0000 | ECHO_AGENT_STALL_FUNCTION, 64)));
    ASSERT_FALSE(client->receive_package().empty());
    d.interrupt();
    // The close has begun (the client is let go) and now waits for the agent.
    EXPECT_TRUE(client->receive_package().empty());
    d.interrupt();
    EXPECT_EQ(d.wait_exit(10000), 130) << d.err();
}

TEST(Netbridged, SlowStopEndsWithinSecondsWhileTheAgentHoldsTheBridge) {
    const int port = bridge_test::free_port();
    Daemon d({"-n", "127.0.0.1", "-p", std::to_string(port)});
    std::unique_ptr<Client> client;
    ASSERT_TRUE(connect_when_listening(client, port)) << d.err();
    // Answered, then the agent keeps the bridge's thread for 30 s.
    ASSERT_TRUE(client->send_all(make_call(0x0C0100 | ECHO_AGENT_STALL_FUNCTION, 64)));
    ASSERT_FALSE(client->receive_package().empty());
    const auto start = std::chrono::steady_clock::now();
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(20000), 0) << d.err();
    const double took_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("SIGTERM while the agent holds the bridge for 30 s: ended after %.2f s\n", took_s);
    EXPECT_LT(took_s, 15);
    EXPECT_NE(d.err().find("receiving thread is still running after 5 s"), std::string::npos)
        << d.err();
}

TEST(HostileClient, FloodOfCallsKeepsMemoryBoundedAndTheNextClientIsServed) {
    const int port = bridge_test::free_port();
    Daemon d({"-n", "127.0.0.1", "-p", std::to_string(port)}, {AGENT_DIR, {}});
    std::unique_ptr<Client> flood;
    ASSERT_TRUE(connect_when_listening(flood, port)) << d.err();
    const long before_kb = status_kb(d.pid(), "VmRSS");
    // 60 MB of small calls, never reading: the bridge holds the client back
    // and, once its results pile up, closes the connection.
    bridge_test::Bytes chunk;
    for (uint32_t i = 0; i < 30000; ++i) {
        bridge_test::Bytes call = agent_call(i, kIsInitialized);
        chunk.insert(chunk.end(), call.begin(), call.end());
    }
    const struct timeval limit = {5, 0};
    setsockopt(flood->fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    size_t sent = 0;
    while (sent < 60u << 20 && flood->send_all(chunk))
        sent += chunk.size();
    const long peak_kb = status_kb(d.pid(), "VmHWM");
    flood->close_now();
    const double wait_s = first_answer_s(port);
    printf(
        "flood: %.1f MB sent, RSS %ld kB before, peak %ld kB; next client answered after "
        "%.3f s\n",
        sent / 1e6, before_kb, peak_kb, wait_s);
    EXPECT_GE(wait_s, 0);
    EXPECT_LT(wait_s, 10);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak_kb, 64 * 1024);
#endif
    d.interrupt();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
}

TEST(HostileClient, BurstOfGoneConnectionsLocksNobodyOut) {
    const int port = bridge_test::free_port();
    Daemon d({"-n", "127.0.0.1", "-p", std::to_string(port)});
    std::unique_ptr<Client> probe;
    ASSERT_TRUE(connect_when_listening(probe, port)) << d.err();
    probe.reset();
    for (int i = 0; i < 60; ++i)
        Client(port).close_now();
    const double wait_s = first_answer_s(port);
    printf("60 connections opened and closed: next client answered after %.3f s\n", wait_s);
    EXPECT_GE(wait_s, 0);
    EXPECT_LT(wait_s, 5);
    d.interrupt();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
}

TEST(HostileClient, SlowInterruptDuringALongCallOfTheAgentEndsItWithinSeconds) {
#ifndef PADSIM_PROGRAM
    GTEST_SKIP() << "no pad bench";
#else
    const int port = bridge_test::free_port();
    Daemon d({"-n", "127.0.0.1", "-p", std::to_string(port)},
             {AGENT_DIR, {PADSIM_PROGRAM, "--hid", "22c9:0901:AB12", "--"}});
    std::unique_ptr<Client> client;
    ASSERT_TRUE(connect_when_listening(client, port)) << d.err();
    // The longest wait a client may ask for; the pad sends nothing.
    bridge_test::Bytes calls = agent_call(1, kInitialize);
    bridge_test::Bytes wait = agent_call(2, kReceiveSspMessage, {1, 0, 64, 5000});
    calls.insert(calls.end(), wait.begin(), wait.end());
    ASSERT_TRUE(client->send_all(calls));
    ASSERT_FALSE(client->receive_package().empty()) << "Initialize's result";
    const auto start = std::chrono::steady_clock::now();
    d.interrupt();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    const double took_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("interrupted during a 5 s call: ended after %.2f s\n", took_s);
    EXPECT_LT(took_s, 15);
#endif
}
