// netbridged as a child process: options, texts, exit statuses, serving a
// client and the interrupt.
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
    "  -v,  --version                        Print the version number\n"
    "  -h,  --help                           Give this help list\n"
    "\n"
    "Examples:\n"
    "  netbridged -p 8888\n"
    "  netbridged --hostname=192.168.117.142 --port=8888\n";

// netbridged as a child, with the given arguments.
class Daemon : public testutil::ChildProcess {
  public:
    explicit Daemon(std::vector<std::string> args) : ChildProcess(with_program(std::move(args))) {}

    // Exit status, or -1 if it has not exited within the deadline.
    int wait_exit() { return wait(std::chrono::seconds(20)); }
    void interrupt() { signal(SIGINT); }

  private:
    static std::vector<std::string> with_program(std::vector<std::string> args) {
        args.insert(args.begin(), NETBRIDGED_PROGRAM);
        return args;
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
    const int port = bridge_test::free_port();
    Daemon d({"--hostname=127.0.0.1", "--port=" + std::to_string(port)});
    std::unique_ptr<Client> client;
    ASSERT_TRUE(connect_when_listening(client, port)) << d.err();
    bridge_test::Bytes call = make_call(0x0A0001, 300);
    ASSERT_TRUE(client->send_all(call));
    bridge_test::Bytes answer = client->receive_package();
    ASSERT_EQ(answer.size(), call.size());
    EXPECT_EQ(bridge_test::head_of(answer).uType, 2);
    EXPECT_EQ(memcmp(answer.data() + kHeadSize, call.data() + kHeadSize, call.size() - kHeadSize),
              0);
    EXPECT_TRUE(bridge_test::wait_until(
        [&] { return d.out().find("Connection From 127.0.0.1:") != std::string::npos; }));

    // Interrupted with the client still connected: the bridge is closed, the
    // client sees the end, the program exits 0.
    d.interrupt();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    EXPECT_TRUE(client->sees_end_of_stream());
}
