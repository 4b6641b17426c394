#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "wrappers.h"
#include "wrappthread.h"

namespace {

// Runs fn with stdout or stderr captured into a string.
template <typename Fn>
std::string capture(FILE *stream, Fn fn) {
    fflush(stream);
    char path[] = "/tmp/trace-capture-XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(fileno(stream));
    dup2(fd, fileno(stream));
    fn();
    fflush(stream);
    dup2(saved, fileno(stream));
    close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return out;
}

struct Env {
    explicit Env(const char *name, const char *value) : name_(name) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~Env() { unsetenv(name_); }
    const char *name_;
};

}  // namespace

TEST(TraceSwitches, OnlyPositiveNumbersSwitchAClassOn) {
    struct Case {
        const char *value;
        bool on;
    } cases[] = {{nullptr, false}, {"0", false}, {"-3", false},
                 {"yes", false},   {"1", true},  {"2", true}};
    for (const auto &c : cases) {
        Env e("TESTSUP_DEBUG", c.value);
        EXPECT_EQ(trace_on(TraceClass::info), c.on) << (c.value ? c.value : "(unset)");
        std::string out = capture(stdout, [] { TRACE_INFO("hello %d", 7); });
        EXPECT_EQ(!out.empty(), c.on);
    }
}

TEST(TraceSwitches, EachClassHasItsOwnVariableReadAtEveryRecord) {
    Env info("TESTSUP_DEBUG", nullptr);
    Env func("TESTSUP_DEBUG_FUNC", "1");
    Env mutex("TESTSUP_DEBUG_MUTEX", nullptr);
    EXPECT_TRUE(trace_on(TraceClass::func));
    EXPECT_FALSE(trace_on(TraceClass::info));
    EXPECT_FALSE(trace_on(TraceClass::mutex));
    setenv("TESTSUP_DEBUG_MUTEX", "1", 1);
    EXPECT_TRUE(trace_on(TraceClass::mutex));
}

TEST(TraceRecords, InfoRecordFieldForField) {
    Env e("TESTSUP_DEBUG", "1");
    std::string out = capture(stdout, [] { trace_info("file.cpp", 42, "fn", "value %d", 5); });
    std::regex re(
        "^\x1b\\[32m[0-9]+: [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}: {10}file\\.cpp:   42: "
        "info: fn\\(\\): value 5\n\x1b\\[0m$");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
}

TEST(TraceRecords, EnterExitAndResultForms) {
    Env e("TESTSUP_DEBUG_FUNC", "1");
    std::string out = capture(stdout, [] {
        trace_enter("a.cpp", 1, "f");
        trace_exit("a.cpp", 2, "f");
        trace_exit_int("a.cpp", 3, "f", -4);
        trace_exit_long("a.cpp", 4, "f", 5L);
        trace_exit_bool("a.cpp", 5, "f", true);
        trace_exit_bool("a.cpp", 6, "f", false);
    });
    EXPECT_NE(out.find("\x1b[34m"), std::string::npos);
    EXPECT_NE(out.find("    1: f(): enter.\n\x1b[0m"), std::string::npos) << out;
    EXPECT_NE(out.find("    2: f(): exit.\n\x1b[0m"), std::string::npos);
    EXPECT_NE(out.find("f(): exit. returned int: -4.\n"), std::string::npos);
    EXPECT_NE(out.find("f(): exit. returned long: 5.\n"), std::string::npos);
    EXPECT_NE(out.find("f(): exit. returned bool: TRUE.\n"), std::string::npos);
    EXPECT_NE(out.find("f(): exit. returned bool: FALSE.\n"), std::string::npos);
}

TEST(TraceRecords, ScopedMutexWritesThreeRecordsWithTheLockName) {
    Env e("TESTSUP_DEBUG_MUTEX", "1");
    static pthread_mutex_t demo_lock = PTHREAD_MUTEX_INITIALIZER;
    std::string out = capture(stdout, [] { LOCK_GUARD(g, &demo_lock); });
    EXPECT_NE(out.find("\x1b[33m"), std::string::npos);
    auto a = out.find(">>>>>>>>     going to pthread_mutex_lock() -> &demo_lock\n");
    auto b = out.find("########   was called pthread_mutex_lock() -> &demo_lock\n");
    auto c = out.find("<<<<<<<< was called pthread_mutex_unlock() -> &demo_lock\n");
    ASSERT_NE(a, std::string::npos) << out;
    ASSERT_NE(b, std::string::npos);
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_EQ(pthread_mutex_trylock(&demo_lock), 0) << "guard left the lock held";
    pthread_mutex_unlock(&demo_lock);
}

TEST(ErrorReporters, ErrorRecordGoesToStderrInRed) {
    std::string out =
        capture(stderr, [] { trace_error("x.cpp", 9, "g", false, "went %s", "wrong"); });
    std::regex re(
        "^\x1b\\[31m[0-9]+: [0-9:.]{12}: x\\.cpp:    9: error: g\\(\\): went wrong\x1b\\[0m\n$");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
}

TEST(ErrorReporters, ErrRetAppendsTheErrnoText) {
    std::string out = capture(stderr, [] {
        errno = ENOENT;
        err_ret("open %s", "f");
    });
    EXPECT_EQ(out, std::string("open f: ") + strerror(ENOENT) + "\n");
    out = capture(stderr, [] {
        errno = ENOENT;
        err_msg("plain");
    });
    EXPECT_EQ(out, "plain\n");
}

TEST(ErrorReporters, DaemonModeSendsErrorsToSyslogNotStderr) {
    daemon_proc = 1;
    std::string out = capture(stderr, [] { err_msg("to the system log"); });
    daemon_proc = 0;
    EXPECT_EQ(out, "");
}

TEST(ErrorReporters, FatalReportersEndTheProcess) {
    EXPECT_EXIT(err_quit("bye"), ::testing::ExitedWithCode(1), "bye");
    EXPECT_EXIT(
        {
            errno = EINVAL;
            err_sys("sys");
        },
        ::testing::ExitedWithCode(1), "sys: ");
    EXPECT_DEATH(err_dump("dump"), "dump");
}

TEST(Formatting, BitsAndBytes) {
    EXPECT_STREQ(print_bits(0x05), "00000101");
    EXPECT_STREQ(print_bits(0x80), "10000000");
    EXPECT_STREQ(print_bytes(nullptr, 0), "[ ]");
    const uint8_t b[] = {0x00, 0xAB, 0x7F};
    EXPECT_STREQ(print_bytes(b, 3), "[ 00 AB 7F ]");
}

TEST(Formatting, BytesNeverOverrunTheSharedBuffer) {
    std::vector<uint8_t> big(2000, 0xEE);
    std::string s = print_bytes(big.data(), big.size());
    EXPECT_LT(s.size(), 1024u);
    EXPECT_EQ(s.substr(0, 2), "[ ");
    // A byte is appended while more than 4 bytes of room remain: 340 fit.
    EXPECT_EQ(s.size(), 2 + 3 * 340 + 1u) << s.substr(s.size() - 8);
    EXPECT_EQ(s.back(), ']');
}

TEST(Formatting, ZeroArray) {
    const uint8_t z[4] = {};
    const uint8_t nz[4] = {0, 0, 1, 0};
    EXPECT_TRUE(is_it_zero_array(z, 0));
    EXPECT_TRUE(is_it_zero_array(z, 4));
    EXPECT_FALSE(is_it_zero_array(nz, 4));
}

TEST(Files, SaveThenLoadRoundTripsAcrossPieces) {
    std::string data(10000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    char path[] = "/tmp/trace-file-XXXXXX";
    close(mkstemp(path));
    ASSERT_EQ(save_file(path, data.data(), static_cast<unsigned>(data.size())), 0);
    unsigned int size = 0;
    char *loaded = load_file(path, &size);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(std::string(loaded, size), data);
    free(loaded);
    unlink(path);
}

TEST(Files, BadArgumentsAndMissingFiles) {
    unsigned int size = 99;
    std::string err = capture(stderr, [&] { EXPECT_EQ(load_file(nullptr, &size), nullptr); });
    EXPECT_NE(err.find("Wrong parameters: const char *name is (nil), unsigned int *image_size is "),
              std::string::npos)
        << err;
    EXPECT_EQ(load_file("/nonexistent/file", &size), nullptr);
    err = capture(stderr, [] { EXPECT_EQ(save_file("/nonexistent/dir/f", "x", 1), -1); });
    EXPECT_NE(err.find("Cannot open file /nonexistent/dir/f for writing"), std::string::npos);
    err = capture(stderr, [] { EXPECT_EQ(save_file("x", nullptr, 1), -1); });
    EXPECT_NE(err.find("Wrong parameters: const char *name is "), std::string::npos);
}
