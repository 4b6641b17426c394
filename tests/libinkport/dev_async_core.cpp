// The receive thread's read on emulated pads, through the library's internal
// entry point: a destination shorter than the pad's report gets only what
// fits, a longer one only the report.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dev_async_support.h"
#include "inkport_async.h"

using namespace devtest;

namespace {

class ReadFile : public PadBench {
  protected:
    // Reads until a report comes or the deadline passes; the result of the
    // last read.
    uint32_t read_one(void *dst, unsigned int dst_length, unsigned int *reply) {
        uint32_t h = 0;
        wait_until([&] {
            *reply = 0;
            h = read_file(1, 0, dst, dst_length, reply);
            return h != 0 || *reply != 0;
        });
        return h;
    }
};

struct LogLines {
    std::mutex m;
    std::vector<std::string> lines;
    static void callback(void *user, const uint16_t *message) {
        auto *self = static_cast<LogLines *>(user);
        std::lock_guard<std::mutex> g(self->m);
        self->lines.push_back(narrow(message, QLPAD_MAX_STRING_LENGTH));
    }
};

}  // namespace

TEST_F(ReadFile, ShortDestinationGetsOnlyWhatFits) {
    Added pad = add_hid(0x22C9, 0x0901, "RF1");
    ASSERT_EQ(Initialize(), 0u);
    LogLines log;
    RegisterLoggingCallBackProcedure(&log, &LogLines::callback);
    padsim::Bytes report(64);
    for (size_t i = 0; i < report.size(); ++i)
        report[i] = static_cast<uint8_t>(0x40 + i);
    pad.pad->host().queue_interrupt_in(0, report);

    // Exactly ten bytes of heap: a write beyond them is what the sanitizer
    // run looks for; the guard bytes after the copy are for the plain run.
    auto *ten = static_cast<uint8_t *>(malloc(10));
    unsigned int reply = 0;
    ASSERT_EQ(read_one(ten, 10, &reply), 0u);
    EXPECT_EQ(reply, 10u);
    EXPECT_EQ(0, memcmp(ten, report.data(), 10));
    free(ten);

    pad.pad->host().queue_interrupt_in(0, report);
    uint8_t guarded[64];
    memset(guarded, 0xEE, sizeof guarded);
    ASSERT_EQ(read_one(guarded, 7, &reply), 0u);
    EXPECT_EQ(reply, 7u);
    EXPECT_EQ(0, memcmp(guarded, report.data(), 7));
    for (size_t i = 7; i < sizeof guarded; ++i)
        ASSERT_EQ(guarded[i], 0xEE) << "byte " << i << " written past dst_length";
    RegisterLoggingCallBackProcedure(nullptr, nullptr);
    std::lock_guard<std::mutex> g(log.m);
    EXPECT_NE(std::find(log.lines.begin(), log.lines.end(),
                        "error: read_file(): Error, dst_length 7 < 64 (current size of packet)"),
              log.lines.end());
}

TEST_F(ReadFile, LongDestinationGetsTheWholeShortReport) {
    Added pad = add_hid(0x1690, 0x2000, "RF2", 1, padsim::FirmwareConfig::type1_pad());
    ASSERT_EQ(Initialize(), 0u);
    padsim::Bytes report(20, 0x33);
    pad.pad->host().queue_interrupt_in(0, report);
    uint8_t dst[64];
    memset(dst, 0xEE, sizeof dst);
    unsigned int reply = 0;
    ASSERT_EQ(read_one(dst, sizeof dst, &reply), 0u);
    EXPECT_EQ(reply, 20u);
    EXPECT_EQ(0, memcmp(dst, report.data(), 20));
    for (size_t i = 20; i < sizeof dst; ++i)
        ASSERT_EQ(dst[i], 0xEE) << "byte " << i;

    // Nothing waiting: no bytes, no failure.
    reply = 99;
    EXPECT_EQ(read_file(1, 0, dst, sizeof dst, &reply), 0u);
    EXPECT_EQ(reply, 0u);
}
