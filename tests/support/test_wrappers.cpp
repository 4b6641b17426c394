#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "wrappers.h"
#include "wrapunix.h"

namespace {

int failures_left = 0;
void *flaky_malloc(size_t size) {
    if (failures_left > 0) {
        --failures_left;
        return nullptr;
    }
    return malloc(size);
}

struct HookReset {
    ~HookReset() { wrap_hooks::malloc_fn = malloc; }
};

}  // namespace

TEST(Allocators, RetryTwiceThenSucceed) {
    HookReset reset;
    wrap_hooks::malloc_fn = flaky_malloc;
    failures_left = 2;
    void *p = nullptr;
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    p = Malloc(32);
    std::string err = testing::internal::GetCapturedStderr();
    auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_NE(p, nullptr);
    free(p);
    EXPECT_NE(err.find("going to try again after usleep(100)"), std::string::npos) << err;
    EXPECT_NE(err.find("going to try again after usleep(600)"), std::string::npos) << err;
    EXPECT_EQ(err.find("usleep(1100)"), std::string::npos);
    // The two pauses are at least 700 us in all; an upper bound would be a timing assertion.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(waited).count(), 700);
}

TEST(Allocators, ThirdFailureEndsTheProcess) {
    EXPECT_EXIT(
        {
            wrap_hooks::malloc_fn = flaky_malloc;
            failures_left = 3;
            Malloc(16);
        },
        ::testing::ExitedWithCode(1), "malloc\\(\\)");
}

TEST(FileWrappers, ShortWriteIsReportedAndReturned) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    testing::internal::CaptureStderr();
    ssize_t n = Write(fds[1], "0123456789", 10);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(n, -1);
    EXPECT_NE(err.find("error: Write(): write()\x1b[0m: Broken pipe\n"), std::string::npos) << err;
    close(fds[1]);

    testing::internal::CaptureStderr();
    EXPECT_EQ(Open("/nonexistent/x", O_RDONLY, 0), -1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("open() for /nonexistent/x"), std::string::npos);
}

TEST(FileWrappers, CloseFailureIsOnlyAWarningUnderTheDebugSwitch) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Close(-1), -1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
    setenv("TESTSUP_DEBUG", "1", 1);
    testing::internal::CaptureStdout();
    Close(-1);
    out = testing::internal::GetCapturedStdout();
    unsetenv("TESTSUP_DEBUG");
    EXPECT_NE(out.find("error: Close(): close(): Bad file descriptor\n"), std::string::npos) << out;
}

TEST(SocketWrappers, ListenHonoursListenq) {
    int fd = Socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    setenv("LISTENQ", "64", 1);
    Listen(fd, 5);
    unsetenv("LISTENQ");
    socklen_t len = sizeof sa;
    Getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    // Nobody accepts: the kernel completes only as many handshakes as the
    // backlog allows, so 64 completed connects prove the larger backlog.
    int clients[64];
    for (int &c : clients) {
        c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    int established = 0;
    for (int attempt = 0; attempt < 200 && established < 64; ++attempt) {
        established = 0;
        for (int c : clients) {
            int err = 0;
            socklen_t l = sizeof err;
            getsockopt(c, SOL_SOCKET, SO_ERROR, &err, &l);
            sockaddr_in peer{};
            socklen_t pl = sizeof peer;
            if (err == 0 && getpeername(c, reinterpret_cast<sockaddr *>(&peer), &pl) == 0)
                ++established;
        }
        if (established < 64)
            usleep(10000);
    }
    EXPECT_GE(established, 60) << "a backlog of 5 would have refused most of them";
    for (int c : clients)
        close(c);
    close(fd);
}

TEST(SocketWrappers, AcceptRetriesOnAbortedConnectionsOnly) {
    static int calls;
    static int fail_errno;
    calls = 0;
    wrap_hooks::accept_fn = [](int, sockaddr *, socklen_t *) -> int {
        ++calls;
        errno = fail_errno;
        return -1;
    };
    fail_errno = ECONNABORTED;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Accept(3, nullptr, nullptr), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls, 4);
    EXPECT_NE(err.find("accept()"), std::string::npos);

    calls = 0;
    fail_errno = EBADF;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Accept(3, nullptr, nullptr), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls, 1);
    wrap_hooks::accept_fn = accept;
}
