// The whole path as a user runs it: a virtual pad from the bench's runner,
// netbridged with the reference agent under it, and inkctl as a separate
// process, locally or through the bridge. Every wait has a deadline.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "free_port.h"
#include "temp_dir.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testutil::ChildProcess;
using testutil::free_port;
using testutil::wait_until;

namespace {

const std::string kPad = "22c9:0901:AB12";

int connect_loopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The runner keeps its testbed in a temporary folder of the test's own.
class TempDir : public testutil::TempDir {
  public:
    TempDir() : testutil::TempDir("inkctl-e2e") {}
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome finish(ChildProcess &p) {
    Outcome r;
    r.status = p.wait();
    r.out = p.out();
    r.err = p.err();
    return r;
}

// netbridged on a free loopback port with the reference agent, under the
// runner's virtual pad. Stopped with SIGINT, as a user would.
class Bridge {
  public:
    explicit Bridge(const std::vector<std::string> &pad_args) : port_(free_port()) {
        std::vector<std::string> argv = {PADSIM_PROGRAM};
        argv.insert(argv.end(), pad_args.begin(), pad_args.end());
        argv.insert(argv.end(),
                    {"--", NETBRIDGED_PROGRAM, "-n", "127.0.0.1", "-p", std::to_string(port_)});
        process_ = std::make_unique<ChildProcess>(
            argv, std::map<std::string, std::string>{{"TMPDIR", dir_.path()},
                                                     {"LD_LIBRARY_PATH", AGENT_DIR}});
        listening_ = wait_until(
            [this] {
                if (!process_->running() || process_->reap())
                    return true;
                int s = connect_loopback(port_);
                if (s < 0)
                    return false;
                close(s);
                return true;
            },
            30s);
        listening_ = listening_ && process_->running();
    }
    ~Bridge() {
        process_->signal(SIGINT);
        EXPECT_EQ(process_->wait(20s), 0) << "bridge:\n" << process_->err();
    }

    bool listening() const { return listening_; }
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string log() const { return process_->out() + process_->err(); }

  private:
    TempDir dir_;
    int port_;
    std::unique_ptr<ChildProcess> process_;
    bool listening_ = false;
};

// inkctl through the bridge.
std::unique_ptr<ChildProcess> start_remote(const Bridge &bridge, std::vector<std::string> args) {
    std::vector<std::string> argv = {INKCTL_PROGRAM, "--connect", bridge.address()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv);
}

Outcome remote(const Bridge &bridge, std::vector<std::string> args) {
    auto p = start_remote(bridge, std::move(args));
    return finish(*p);
}

// inkctl with the pad library of its own process, under a runner of its own.
Outcome local(const std::vector<std::string> &pad_args, std::vector<std::string> args) {
    TempDir dir;
    std::vector<std::string> argv = {PADSIM_PROGRAM};
    argv.insert(argv.end(), pad_args.begin(), pad_args.end());
    argv.insert(argv.end(), {"--", INKCTL_PROGRAM});
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess p(argv, {{"TMPDIR", dir.path()}});
    return finish(p);
}

// The reports of a capture's output: the sample number in each report's
// bytes 1-4 (pen reports of the bench: tag a0, then the number). False
// when a line is not a report of the expected shape.
bool samples_of(const std::string &out, std::vector<uint32_t> &samples, std::string &why) {
    std::istringstream in(out);
    std::string line;
    unsigned expected = 1;
    while (std::getline(in, line)) {
        if (line.rfind("report ", 0) != 0)
            continue;
        const std::string head = "report " + std::to_string(expected) + ": ";
        if (line.rfind(head, 0) != 0 || line.size() != head.size() + 128 ||
            line.compare(head.size(), 2, "a0") != 0) {
            why = "line " + std::to_string(expected) + ": " + line;
            return false;
        }
        uint32_t sample = 0;
        for (int i = 3; i >= 0; --i)
            sample = sample << 8 | static_cast<uint32_t>(std::stoul(
                                       line.substr(head.size() + 2 + 2 * i, 2), nullptr, 16));
        samples.push_back(sample);
        ++expected;
    }
    return true;
}

size_t count_reports(const std::string &out) {
    size_t n = 0;
    for (size_t at = out.find("report "); at != std::string::npos; at = out.find("report ", at + 1))
        ++n;
    return n;
}

}  // namespace

TEST(E2E, AStrokeOf500ReportsCrossesTheBridgeWholeAndInOrder) {
    Bridge bridge({"--hid", kPad, "--stroke", "500@1000"});
    ASSERT_TRUE(bridge.listening()) << bridge.log();

    // The capture is the first to open the pad, so the stroke starts with it.
    Outcome capture = remote(bridge, {"capture", "1", "--count", "500", "--seconds", "60"});
    ASSERT_EQ(capture.status, 0) << capture.err;
    std::vector<uint32_t> samples;
    std::string why;
    ASSERT_TRUE(samples_of(capture.out, samples, why)) << why;
    ASSERT_EQ(samples.size(), 500u);
    for (uint32_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(samples[i], i) << "report " << i + 1;
    EXPECT_NE(capture.out.find("\n500 reports captured\n"), std::string::npos);
    EXPECT_EQ(capture.err, "");

    Outcome list = remote(bridge, {"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "1 pad found");
    EXPECT_NE(list.out.find("pad 1  22c9:0901  serial AB12  "), std::string::npos) << list.out;
}

TEST(E2E, AClientKilledMidCaptureStopsTheStreamAndTheNextStartsClean) {
    // A stroke far longer than the test, 200 reports a second.
    Bridge bridge({"--hid", kPad, "--stroke", "1000000@200"});
    ASSERT_TRUE(bridge.listening()) << bridge.log();

    auto first = start_remote(bridge, {"capture", "1", "--seconds", "120"});
    ASSERT_TRUE(wait_until([&] { return count_reports(first->out()) >= 20; }, 30s))
        << first->out() << first->err();
    first->signal(SIGKILL);
    EXPECT_EQ(first->wait(), 128 + SIGKILL);

    // A client that calls nothing: once whatever was under way has drained,
    // no event reaches it, because nobody has enabled a stream.
    int quiet = connect_loopback(bridge.port());
    ASSERT_GE(quiet, 0);
    char chunk[4096];
    const auto drain_end = Clock::now() + 500ms;
    while (Clock::now() < drain_end) {
        struct pollfd p = {quiet, POLLIN, 0};
        if (poll(&p, 1, 50) == 1 && recv(quiet, chunk, sizeof chunk, 0) <= 0)
            break;
    }
    struct pollfd p = {quiet, POLLIN, 0};
    ssize_t late = poll(&p, 1, 1000) == 1 ? recv(quiet, chunk, sizeof chunk, 0) : 0;
    EXPECT_LE(late, 0) << "events kept coming after the client was gone";
    close(quiet);

    Outcome second = remote(bridge, {"capture", "1", "--count", "20", "--seconds", "60"});
    ASSERT_EQ(second.status, 0) << second.err;
    std::vector<uint32_t> samples;
    std::string why;
    ASSERT_TRUE(samples_of(second.out, samples, why)) << why;
    ASSERT_EQ(samples.size(), 20u);
    for (size_t i = 1; i < samples.size(); ++i)
        EXPECT_EQ(samples[i], samples[i - 1] + 1);
    EXPECT_EQ(second.err, "");
}

TEST(E2E, LocalAndRemoteRunsPrintTheSame) {
    const std::vector<std::string> pad = {"--hid", kPad};
    Bridge bridge(pad);
    ASSERT_TRUE(bridge.listening()) << bridge.log();
    const std::vector<std::vector<std::string>> commands = {
        {"list"},
        {"info", "1"},
        {"info", "2"},
        {"ssp", "1", "00000010"},
        {"set-var", "1", "ql.pad.backlight", "40"},
    };
    for (const auto &command : commands) {
        Outcome here = local(pad, command);
        Outcome there = remote(bridge, command);
        EXPECT_EQ(here.status, there.status) << command[0];
        EXPECT_EQ(here.out, there.out) << command[0];
        EXPECT_EQ(here.err, there.err) << command[0];
        EXPECT_FALSE(here.out.empty() && here.err.empty()) << command[0];
    }
    // A missing pad, named alike on both sides.
    Outcome missing = remote(bridge, {"info", "2"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "inkctl: no pad 2: 1 pad found\n");

    // A capture of a scripted stroke: a bridge of its own, so that the
    // capture is the first client to open the pad.
    const std::vector<std::string> stroke = {"--hid", kPad, "--stroke", "50@1000"};
    const std::vector<std::string> capture = {"capture", "1", "--count", "50", "--seconds", "60"};
    Outcome here = local(stroke, capture);
    Bridge second(stroke);
    ASSERT_TRUE(second.listening()) << second.log();
    Outcome there = remote(second, capture);
    EXPECT_EQ(here.status, 0) << here.err;
    EXPECT_EQ(here.out, there.out);
    EXPECT_EQ(count_reports(there.out), 50u);
}

TEST(E2E, VersionIsTheOneInTheVersionFile) {
    std::ifstream file(VERSION_FILE);
    std::string version;
    std::getline(file, version);
    ASSERT_FALSE(version.empty());
    ChildProcess p({INKCTL_PROGRAM, "--version"});
    Outcome r = finish(p);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "inkctl " + version + "\n");
}

TEST(E2E, AnUnreachableBridgeIsNamedWithTheReason) {
    const int port = free_port();
    ChildProcess p({INKCTL_PROGRAM, "--connect", "127.0.0.1:" + std::to_string(port), "list"});
    Outcome r = finish(p);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "inkctl: cannot reach the bridge at 127.0.0.1:" + std::to_string(port) +
                         ": Connection refused\n");
    EXPECT_EQ(r.out, "");
}

TEST(E2E, ABridgeThatStopsMidCaptureEndsTheCaptureAsAConnectionProblem) {
    auto bridge = std::make_unique<Bridge>(
        std::vector<std::string>{"--hid", kPad, "--stroke", "1000000@200"});
    ASSERT_TRUE(bridge->listening()) << bridge->log();
    auto client = start_remote(*bridge, {"capture", "1", "--seconds", "120"});
    ASSERT_TRUE(wait_until([&] { return count_reports(client->out()) >= 5; }, 30s))
        << client->err();
    bridge.reset();  // SIGINT: the bridge closes the connection and exits
    Outcome r = finish(*client);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("inkctl: connection to the bridge lost"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(" reports captured\n"), std::string::npos);
}

// A pad plugged in and pulled while `watch` runs, locally and through the
// bridge. The runner counts from the start of its command, which for the
// bridge is netbridged: the remote watch has started well before the pad
// comes.
TEST(E2E, WatchSeesAPadArriveAndLeaveLocallyAndThroughTheBridge) {
    Bridge bridge({"--arrive-after", "3000", "--leave-after", "4000", "--hid", kPad});
    ASSERT_TRUE(bridge.listening()) << bridge.log();
    auto there = start_remote(bridge, {"watch", "--seconds", "6"});
    Outcome here = local({"--arrive-after", "1500", "--leave-after", "2500", "--hid", kPad},
                         {"watch", "--seconds", "4"});
    Outcome remote_watch = finish(*there);
    const std::string expected = "arrived pad 1 22c9:0901 serial AB12\nremoved pad 1\n";
    EXPECT_EQ(here.status, 0) << here.err;
    EXPECT_EQ(here.out, expected);
    EXPECT_EQ(here.err, "");
    EXPECT_EQ(remote_watch.status, 0) << remote_watch.err;
    EXPECT_EQ(remote_watch.out, expected);
    EXPECT_EQ(remote_watch.err, "");
}
