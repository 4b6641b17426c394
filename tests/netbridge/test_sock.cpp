// The socket layer on loopback sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/un.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bridge_test_util.h"
#include "netbridge/netbridge.h"
#include "netbridge_internal.h"

namespace {

struct Pair {
    int client = -1;
    int server = -1;
    ~Pair() {
        if (client >= 0)
            close(client);
        if (server >= 0)
            close(server);
    }
};

// A connected loopback pair; options for the accepted side are set on the
// listening socket, which hands them down.
void connect_pair(Pair &pair, int server_receive_buffer = 0) {
    int listener = tcp_listen("127.0.0.1", "0", nullptr);
    ASSERT_GE(listener, 0);
    if (server_receive_buffer > 0)
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &server_receive_buffer,
                   sizeof server_receive_buffer);
    std::string service = std::to_string(bridge_test::port_of(listener));
    pair.client = tcp_connect("127.0.0.1", service.c_str());
    ASSERT_GT(pair.client, 0);
    pair.server = accept(listener, nullptr, nullptr);
    ASSERT_GE(pair.server, 0);
    close(listener);
}

void make_non_blocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

unsigned listen_backlog(int fd) {
    struct tcp_info info = {};
    socklen_t length = sizeof info;
    getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length);
    return info.tcpi_sacked;  // for a listening socket: its backlog
}

struct ScopedEnv {
    explicit ScopedEnv(const char *name) : name_(name) {
        if (const char *v = getenv(name))
            saved_ = v, had_ = true;
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, saved_.c_str(), 1);
        else
            unsetenv(name_);
    }
    const char *name_;
    std::string saved_;
    bool had_ = false;
};

}  // namespace

TEST(TcpListen, PortInUseFails) {
    int first = tcp_listen("127.0.0.1", "0", nullptr);
    ASSERT_GE(first, 0);
    std::string service = std::to_string(bridge_test::port_of(first));
    testing::internal::CaptureStderr();
    EXPECT_EQ(tcp_listen("127.0.0.1", service.c_str(), nullptr), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("tcp_listen(): for 127.0.0.1, " + service), std::string::npos) << err;
    EXPECT_NE(err.find("Address already in use"), std::string::npos) << err;
    close(first);

    // Neither host nor service: nothing to resolve, nothing bound.
    testing::internal::CaptureStderr();
    EXPECT_EQ(Tcp_listen(nullptr, nullptr, nullptr), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("tcp_listen(): for (null), (null): "),
              std::string::npos);
}

TEST(TcpListen, BacklogIsLISTENQWhenSet) {
    ScopedEnv keep("LISTENQ");
    unsetenv("LISTENQ");
    socklen_t length = 0;
    int fd = tcp_listen("127.0.0.1", "0", &length);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(length, sizeof(sockaddr_in));
    unsigned somaxconn = 4096;
    std::ifstream("/proc/sys/net/core/somaxconn") >> somaxconn;
    EXPECT_EQ(listen_backlog(fd), std::min(1024u, somaxconn));
    close(fd);

    setenv("LISTENQ", "5", 1);
    fd = tcp_listen("127.0.0.1", "0", nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(listen_backlog(fd), 5u);
    close(fd);
}

TEST(SockNtop, AddressTexts) {
    sockaddr_in v4 = {};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(8888);
    inet_pton(AF_INET, "127.0.0.1", &v4.sin_addr);
    auto *sa4 = reinterpret_cast<sockaddr *>(&v4);
    EXPECT_STREQ(sock_ntop(sa4, sizeof v4), "127.0.0.1:8888");
    EXPECT_STREQ(sock_ntop_host(sa4, sizeof v4), "127.0.0.1");
    v4.sin_port = 0;
    EXPECT_STREQ(sock_ntop(sa4, sizeof v4), "127.0.0.1");

    sockaddr_in6 v6 = {};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(8888);
    v6.sin6_addr = in6addr_loopback;
    auto *sa6 = reinterpret_cast<sockaddr *>(&v6);
    EXPECT_STREQ(sock_ntop(sa6, sizeof v6), "[::1]:8888");
    EXPECT_STREQ(Sock_ntop_host(sa6, sizeof v6), "::1");
    v6.sin6_port = 0;
    EXPECT_STREQ(sock_ntop(sa6, sizeof v6), "[::1");

    sockaddr_un local = {};
    local.sun_family = AF_UNIX;
    auto *sau = reinterpret_cast<sockaddr *>(&local);
    EXPECT_STREQ(sock_ntop(sau, sizeof local), "(no pathname bound)");
    strcpy(local.sun_path, "/run/bridge.sock");
    EXPECT_STREQ(sock_ntop(sau, sizeof local), "/run/bridge.sock");

    sockaddr other = {};
    other.sa_family = AF_APPLETALK;
    EXPECT_STREQ(sock_ntop(&other, sizeof other), "sock_ntop: unknown AF_xxx: 5, len 16");
    EXPECT_STREQ(sock_ntop_host(&other, sizeof other), "sock_ntop_host: unknown AF_xxx: 5, len 16");

    // An address too short for its family cannot be converted.
    testing::internal::CaptureStderr();
    EXPECT_EQ(Sock_ntop(sa4, 4), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("sock_ntop()"), std::string::npos);
}

TEST(SockAddressHelpers, CompareSetAndBindWild) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    sockaddr_in b = a;
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    auto *sb = reinterpret_cast<sockaddr *>(&b);
    const in_addr loopback = {htonl(INADDR_LOOPBACK)};
    sock_set_addr(sa, sizeof a, &loopback);
    sock_set_port(sa, sizeof a, htons(8888));
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(sock_get_port(sa, sizeof a), htons(8888));
    EXPECT_NE(sock_cmp_addr(sa, sb, sizeof a), 0);
    EXPECT_EQ(sock_cmp_port(sa, sb, sizeof a), 0);
    sock_set_addr(sb, sizeof b, &loopback);
    sock_set_port(sb, sizeof b, htons(8888));
    EXPECT_EQ(sock_cmp_addr(sa, sb, sizeof a), 0);
    EXPECT_EQ(sock_cmp_port(sa, sb, sizeof a), 1);
    sock_set_wild(sb, sizeof b);
    EXPECT_EQ(b.sin_addr.s_addr, htonl(INADDR_ANY));

    sockaddr_in6 c = {};
    c.sin6_family = AF_INET6;
    EXPECT_EQ(sock_cmp_addr(sa, reinterpret_cast<sockaddr *>(&c), sizeof a), -1);
    EXPECT_EQ(sock_cmp_port(sa, reinterpret_cast<sockaddr *>(&c), sizeof a), -1);
    sockaddr_un u = {};
    u.sun_family = AF_UNIX;
    EXPECT_EQ(sock_get_port(reinterpret_cast<sockaddr *>(&u), sizeof u), -1);

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int bound = sock_bind_wild(fd, AF_INET);
    ASSERT_GT(bound, 0);
    EXPECT_EQ(ntohs(static_cast<uint16_t>(bound)), bridge_test::port_of(fd));
    close(fd);
    fd = socket(AF_INET, SOCK_STREAM, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Sock_bind_wild(fd, AF_UNIX), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("sock_bind_wild()"), std::string::npos);
    close(fd);
}

TEST(TcpConnect, RefusedPortFailsAfterThreeAttempts) {
    std::string service = std::to_string(bridge_test::free_port());
    testing::internal::CaptureStderr();
    EXPECT_EQ(Tcp_connect("127.0.0.1", service.c_str()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    const std::string refused =
        "tcp_connect(): for 127.0.0.1, " + service + ", errno: Connection refused";
    size_t count = 0;
    for (size_t at = err.find(refused); at != std::string::npos; at = err.find(refused, at + 1))
        ++count;
    EXPECT_EQ(count, 3u) << err;
}

TEST(SendData, WritesEverythingWhileThePeerReadsSlowly) {
    Pair pair;
    connect_pair(pair, 4096);
    const int small = 4096;
    setsockopt(pair.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    make_non_blocking(pair.client);

    std::string data(3 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 31 + (i >> 12));
    std::string received;
    std::thread reader([&] {
        char chunk[8192];
        while (received.size() < data.size()) {
            ssize_t n = recv(pair.server, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            received.append(chunk, static_cast<size_t>(n));
        }
    });
    int sent = send_data(pair.client, data.data(), static_cast<int>(data.size()), MSG_NOSIGNAL);
    reader.join();
    EXPECT_EQ(sent, static_cast<int>(data.size()));
    EXPECT_TRUE(received == data);
}

TEST(SendData, ResetPeerFailsAtTheFirstError) {
    Pair pair;
    connect_pair(pair);
    make_non_blocking(pair.client);
    const struct linger reset = {1, 0};
    setsockopt(pair.server, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(pair.server);
    pair.server = -1;
    struct pollfd p = {pair.client, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1);  // the reset has arrived

    char data[100] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_data(pair.client, data, sizeof data, MSG_NOSIGNAL), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("exit by timeout"), std::string::npos);
}

TEST(SendData, SlowStalledPeerTimesOut) {
    Pair pair;
    connect_pair(pair, 4096);
    const int small = 4096;
    setsockopt(pair.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    make_non_blocking(pair.client);
    std::string data(8 << 20, 'x');
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_data(pair.client, data.data(), static_cast<int>(data.size()), MSG_NOSIGNAL), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("send_data(): exit by timeout: 10000 ms"), std::string::npos) << err;
}

TEST(RecvData, ReadsExactlyTheLengthOrReportsTheEnd) {
    Pair pair;
    connect_pair(pair);
    std::thread writer([&] {
        send(pair.client, "hello ", 6, 0);
        send(pair.client, "world", 5, 0);
        shutdown(pair.client, SHUT_WR);
    });
    char buffer[11] = {};
    EXPECT_EQ(recv_data(pair.server, buffer, 11, 0), 11);
    EXPECT_EQ(std::string(buffer, 11), "hello world");
    writer.join();
    EXPECT_EQ(recv_data(pair.server, buffer, 1, 0), 0);
}

namespace {

// The socket address of a textual IPv4 or IPv6 address.
sockaddr_storage address_of(const char *text, socklen_t *length) {
    sockaddr_storage ss = {};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        *length = sizeof *v4;
    } else {
        inet_pton(AF_INET6, text, &v6->sin6_addr);
        v6->sin6_family = AF_INET6;
        *length = sizeof *v6;
    }
    return ss;
}

}  // namespace

TEST(Allow, PeersMatchTheirNetworksBitByBit) {
    struct Case {
        const char *network;
        const char *peer;
        bool allowed;
    };
    const Case cases[] = {
        {"10.1.0.0/16", "10.1.255.3", true},
        {"10.1.0.0/16", "10.2.0.1", false},
        {"10.1.2.3", "10.1.2.3", true},
        {"10.1.2.3", "10.1.2.4", false},
        {"192.168.0.0/23", "192.168.1.9", true},
        {"192.168.0.0/23", "192.168.2.1", false},
        {"0.0.0.0/0", "203.0.113.7", true},
        {"0.0.0.0/0", "::1", false},
        {"127.0.0.0/8", "::ffff:127.0.0.5", true},
        {"::1", "::ffff:127.0.0.1", false},
        {"fd00::/8", "fd12::1", true},
        {"fd00::/8", "fe80::1", false},
        {"2001:db8::/33", "2001:db8:7fff::1", true},
        {"2001:db8::/33", "2001:db8:8000::1", false},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(set_allow(nullptr), 0);
        ASSERT_EQ(set_allow(c.network), 0) << c.network;
        socklen_t length = 0;
        sockaddr_storage peer = address_of(c.peer, &length);
        EXPECT_EQ(peer_allowed(reinterpret_cast<sockaddr *>(&peer), length), c.allowed)
            << c.network << " " << c.peer;
    }
    testing::internal::CaptureStderr();
    for (const char *bad : {"", "1.2.3.4/", "1.2.3.4/33", "::/129", "1.2.3.4/-1", "1.2.3.4/ 8",
                            "10.0.0/8", "localhost"})
        EXPECT_EQ(set_allow(bad), -1) << bad;
    testing::internal::GetCapturedStderr();
    // Without networks, anyone.
    ASSERT_EQ(set_allow(nullptr), 0);
    socklen_t length = 0;
    sockaddr_storage peer = address_of("198.51.100.1", &length);
    EXPECT_TRUE(peer_allowed(reinterpret_cast<sockaddr *>(&peer), length));
}
