// The library frame through its exported surface: exception records, result
// code names, the echo test and the logging callback.
#include <gtest/gtest.h>

#include <inkport/inkport.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string narrow(const uint16_t *w, size_t n) {
    std::string s;
    for (size_t i = 0; i < n && w[i] != 0; ++i)
        s.push_back(static_cast<char>(w[i]));
    return s;
}

struct Text {
    uint16_t buf[QLPAD_MAX_STRING_LENGTH];
    unsigned int reply = 0xDEAD;
    std::string str() const { return narrow(buf, QLPAD_MAX_STRING_LENGTH); }
};

const uint16_t *u16(const std::u16string &s) {
    return reinterpret_cast<const uint16_t *>(s.c_str());
}

std::string exception_message(uint32_t handle) {
    Text t;
    EXPECT_EQ(GetExceptionMessage(handle, t.buf, QLPAD_MAX_STRING_LENGTH, &t.reply), 0u);
    return t.str();
}

int exception_code(uint32_t handle) {
    unsigned int code = 0;
    EXPECT_EQ(GetExceptionCode(handle, &code), 0u);
    return static_cast<int>(code);
}

// Collects what the library hands to the logging callback.
struct LogSink {
    std::mutex m;
    std::vector<std::string> lines;
    static void callback(void *user, const uint16_t *message) {
        auto *self = static_cast<LogSink *>(user);
        std::lock_guard<std::mutex> g(self->m);
        self->lines.push_back(narrow(message, QLPAD_MAX_STRING_LENGTH));
    }
    bool contains(const std::string &s) {
        std::lock_guard<std::mutex> g(m);
        for (const auto &l : lines)
            if (l == s)
                return true;
        return false;
    }
};

class Frame : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Initialize(), 0u); }
    void TearDown() override { Deinitialize(); }
};

}  // namespace

TEST_F(Frame, InitializeWithNoPadLeavesAnInitialisedEmptyLibrary) {
    unsigned int reply = 77;
    EXPECT_TRUE(IsInitialized());
    EXPECT_EQ(GetDeviceCount(&reply), 0u);
    EXPECT_EQ(reply, 77u) << "GetDeviceCount answers by its result, not through reply";
    Deinitialize();
    EXPECT_FALSE(IsInitialized());
    EXPECT_EQ(GetDeviceCount(&reply), 0u);
}

TEST_F(Frame, SayHelloComposesAndCounts) {
    Text t;
    ASSERT_EQ(SayHello(u16(u"abc"), t.buf, 64, &t.reply), 0u);
    EXPECT_EQ(t.str(), "someText = \"abc\"");
    EXPECT_EQ(t.reply, 17u);

    Text small;
    for (auto &u : small.buf)
        u = 0x7777;
    ASSERT_EQ(SayHello(u16(u"abc"), small.buf, 5, &small.reply), 0u);
    EXPECT_EQ(small.reply, 5u);
    EXPECT_EQ(narrow(small.buf, 5), "someT");
    EXPECT_EQ(small.buf[5], 0x7777) << "wrote past res_text_size";
}

TEST_F(Frame, SayHelloCutsLongTextsInsideItsOwnBuffers) {
    std::u16string long_text(600, u'x');
    Text t;
    ASSERT_EQ(SayHello(u16(long_text), t.buf, QLPAD_MAX_STRING_LENGTH, &t.reply), 0u);
    EXPECT_EQ(t.reply, 255u);
    EXPECT_EQ(t.str().substr(0, 12), "someText = \"");
}

TEST_F(Frame, ArgumentChecksRunInOrderAndWriteNoOutput) {
    Text t;
    unsigned int reply = 5;
    struct Case {
        uint32_t handle;
        const char *message;
    } cases[] = {
        {SayHello(nullptr, nullptr, 0, nullptr), "Error of input parameters, char *text is NULL"},
        {SayHello(u16(u"a"), nullptr, 0, nullptr),
         "Error of input parameters, char *res_text is NULL"},
        {SayHello(u16(u"a"), t.buf, 0, nullptr),
         "Error of input parameters, int res_text_size is 0"},
        {SayHello(u16(u"a"), t.buf, -3, &reply),
         "Error of input parameters, int res_text_size is -3"},
        {SayHello(u16(u"a"), t.buf, 4, nullptr),
         "Error of input parameters, unsigned int *reply is NULL"},
    };
    for (const auto &c : cases) {
        ASSERT_NE(c.handle, 0u);
        EXPECT_EQ(exception_message(c.handle), c.message);
        EXPECT_EQ(exception_code(c.handle), QLPCEC_INVALID_PARAMETER);
    }
    EXPECT_EQ(reply, 5u);

    uint32_t h = TranslateErrorCode(0, t.buf, 0, &reply);
    EXPECT_EQ(exception_code(h), -1)
        << "TranslateErrorCode reports bad arguments as QLPCEC_UNKNOWN";
}

TEST_F(Frame, TranslateErrorCodeNamesEveryCode) {
    struct Case {
        unsigned int code;
        const char *name;
    } cases[] = {{0, "QLPCEC_SUCCESS"},
                 {1, "QLPCEC_DLL_NOT_LOADED"},
                 {2, "QLPCEC_EXCEPTION_CAUGHT"},
                 {257, "QLPCEC_INVALID_HANDLE"},
                 {258, "QLPCEC_INVALID_PARAMETER"},
                 {769, "QLPCEC_TIMEOUT"},
                 {770, "QLPCEC_NO_MORE_ELEMENTS"},
                 {0xFFFFFFFFu, "QLPCEC_UNKNOWN"},
                 {3, "QLPCEC_UNKNOWN"}};
    for (const auto &c : cases) {
        Text t;
        ASSERT_EQ(TranslateErrorCode(c.code, t.buf, QLPAD_MAX_STRING_LENGTH, &t.reply), 0u);
        EXPECT_EQ(t.str(), c.name);
        EXPECT_EQ(t.reply, strlen(c.name) + 1) << "the terminator is counted";
    }
    Text t;
    ASSERT_EQ(TranslateErrorCode(258, t.buf, 6, &t.reply), 0u);
    EXPECT_EQ(t.reply, 6u);
    EXPECT_EQ(narrow(t.buf, 6), "QLPCEC");
}

TEST_F(Frame, ExceptionQueriesCountLikeTheirCallersExpect) {
    uint32_t h = SayHello(nullptr, nullptr, 0, nullptr);
    Text type, name, message;
    ASSERT_EQ(GetExceptionType(h, type.buf, QLPAD_MAX_STRING_LENGTH, &type.reply), 0u);
    EXPECT_EQ(type.str(), "libinkport");
    EXPECT_EQ(type.reply, 10u);
    ASSERT_EQ(GetExceptionName(h, name.buf, QLPAD_MAX_STRING_LENGTH, &name.reply), 0u);
    EXPECT_EQ(name.str(), "SayHello");
    EXPECT_EQ(name.reply, 9u);
    ASSERT_EQ(GetExceptionMessage(h, message.buf, 4, &message.reply), 0u);
    EXPECT_EQ(message.reply, 4u);
    EXPECT_EQ(narrow(message.buf, 4), "Erro");
}

TEST_F(Frame, UnusedAndOutOfRangeHandlesAreRefused) {
    unsigned int reply = 0;
    uint32_t h = GetExceptionCode(0, &reply);
    ASSERT_NE(h, 0u) << "no exception exists yet";
    EXPECT_EQ(exception_code(h), -1);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, incorrect unsigned int exception_handle");
    h = GetExceptionCode(64, &reply);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, incorrect unsigned int exception_handle");
    h = GetExceptionCode(1, nullptr);
    EXPECT_EQ(exception_message(h), "Error of input parameters, unsigned int *reply is NULL");
}

TEST_F(Frame, TheSixtyFourthExceptionWrapsToHandleOne) {
    std::vector<uint32_t> handles;
    for (int i = 0; i < 64; ++i)
        handles.push_back(SayHello(nullptr, nullptr, 0, nullptr));
    for (int i = 0; i < 63; ++i)
        EXPECT_EQ(handles[i], static_cast<uint32_t>(i + 1));
    EXPECT_EQ(handles[63], 1u);
}

TEST_F(Frame, InitializeAgainInvalidatesEarlierHandles) {
    uint32_t h = SayHello(nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    uint32_t refused = GetExceptionCode(h, &reply);
    EXPECT_NE(refused, 0u);
    EXPECT_EQ(exception_message(refused),
              "Error of input parameters, incorrect unsigned int exception_handle");
}

TEST_F(Frame, LoggingCallbackGetsPlainMessagesAndIsClearedByInitialize) {
    LogSink sink;
    RegisterLoggingCallBackProcedure(&sink, &LogSink::callback);
    SayHello(u16(u"a"), nullptr, 0, nullptr);
    EXPECT_TRUE(
        sink.contains("error: SayHello(): Error of input parameters, char *res_text is NULL"));
    IsInitialized();
    EXPECT_TRUE(sink.contains("info: IsInitialized(): Was initialized\n"));
    LogDeviceStatistics(3);
    EXPECT_TRUE(sink.contains(
        "error: LogDeviceStatistics(): Function LogDeviceStatistics() not implemented yet."));

    Initialize();
    size_t before = sink.lines.size();
    SayHello(nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(sink.lines.size(), before) << "Initialize must drop the callback";
}

TEST_F(Frame, LongLogMessagesAreCutTo255Units) {
    LogSink sink;
    RegisterLoggingCallBackProcedure(&sink, &LogSink::callback);
    std::u16string long_text(300, u'y');
    Text t;
    SayHello(u16(long_text), t.buf, QLPAD_MAX_STRING_LENGTH, &t.reply);
    std::lock_guard<std::mutex> g(sink.m);
    ASSERT_FALSE(sink.lines.empty());
    for (const auto &l : sink.lines)
        EXPECT_LE(l.size(), 255u);
}

TEST_F(Frame, ManyThreadsRaiseAndQueryExceptionsAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 500;
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&bad] {
            for (int i = 0; i < kRounds; ++i) {
                uint32_t h = SayHello(nullptr, nullptr, 0, nullptr);
                if (h < 1 || h > 63)
                    ++bad;
                Text msg;
                // Another thread may have overwritten the record meanwhile; the
                // query must still return a whole message of some exception.
                if (GetExceptionMessage(h, msg.buf, QLPAD_MAX_STRING_LENGTH, &msg.reply) == 0 &&
                    msg.str().rfind("Error of input parameters, ", 0) != 0)
                    ++bad;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(WideStrings, HelpersConvertUnitByUnit) {
    uint16_t w[8];
    EXPECT_EQ(astr_to_wstr(w, "abc", 4), 4);
    EXPECT_EQ(w[0], 'a');
    EXPECT_EQ(w[3], 0);
    EXPECT_EQ(wstr_length(w), 3);
    char a[8] = {};
    EXPECT_EQ(wstr_to_astr(a, w, 4), 4);
    EXPECT_STREQ(a, "abc");
    const uint16_t odd[] = {'x', 0x263A, 'y', 0};
    wstr_to_astr(a, odd, 4);
    EXPECT_EQ(static_cast<unsigned char>(a[1]), 0xFF) << "a unit without a byte form becomes 0xFF";
    EXPECT_STREQ(print_wchar_to_asci(w), "abc");
    wbzero(w, 8);
    EXPECT_EQ(wstr_length(w), 0);
    std::vector<uint16_t> unterminated(400, 'z');
    EXPECT_EQ(wstr_length(unterminated.data()), 256);
    EXPECT_EQ(strlen(print_wchar_to_asci(unterminated.data())), 254u);
}
