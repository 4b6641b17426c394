// netbridged as a child process: options, texts, exit statuses, serving a
// client and the interrupt.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "bridge_test_util.h"

extern char **environ;

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

class Daemon {
  public:
    explicit Daemon(std::vector<std::string> args) {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        args.insert(args.begin(), NETBRIDGED_PROGRAM);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, NETBRIDGED_PROGRAM, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Daemon() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // Exit status, or -1 if it has not exited within the deadline (or was
    // killed by a signal). Collects both outputs meanwhile.
    int wait_exit(int deadline_ms = 20000) {
        bool exited = bridge_test::wait_until(
            [&] {
                drain();
                int status;
                if (waitpid(pid_, &status, WNOHANG) != pid_)
                    return false;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
                return true;
            },
            std::chrono::milliseconds(deadline_ms));
        drain();
        return exited && status_ < 1000 ? status_ : -1;
    }
    void interrupt() { kill(pid_, SIGINT); }
    const std::string &out() {
        drain();
        return out_text_;
    }
    const std::string &err() {
        drain();
        return err_text_;
    }

  private:
    void drain() {
        for (auto [fd, text] : {std::pair{out_, &out_text_}, std::pair{err_, &err_text_}}) {
            struct pollfd p = {fd, POLLIN, 0};
            char chunk[4096];
            while (poll(&p, 1, 0) == 1) {
                ssize_t n = read(fd, chunk, sizeof chunk);
                if (n <= 0)
                    break;
                text->append(chunk, static_cast<size_t>(n));
            }
        }
    }

    pid_t pid_ = -1;
    int status_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string out_text_;
    std::string err_text_;
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
