// Bulk upload on emulated HID pads: whole records only, the shared position
// over several interfaces, argument checks, and Deinitialize stopping the
// upload threads.
#include <atomic>
#include <future>
#include <map>

#include "dev_async_support.h"

using namespace devtest;

namespace {

constexpr size_t kRecord = 65;  // report-id slot + 64 bytes of payload

class Bulk : public PadBench {
  protected:
    Added pad_;
    void start(int interfaces = 1) {
        pad_ = add_hid(0x22C9, 0x0901, "BU1", interfaces);
        ASSERT_EQ(Initialize(), 0u);
        pad_.pad->clear_log();
    }
};

// Records whose payload says which record they are: byte 1 is 0x60 + the
// record's number modulo 16 (a code the pad firmware answers as unknown),
// bytes 2.. carry the number and a filler.
std::vector<uint8_t> records(size_t count, size_t extra = 0, uint8_t tag = 0) {
    std::vector<uint8_t> buf(count * kRecord + extra, 0xEE);
    for (size_t r = 0; r < count; ++r) {
        uint8_t *rec = &buf[r * kRecord];
        rec[0] = 0xFF;  // the report-id slot is not sent
        rec[1] = static_cast<uint8_t>(0x60 + r % 16);
        rec[2] = static_cast<uint8_t>(r);
        rec[3] = static_cast<uint8_t>(r >> 8);
        rec[4] = tag;
    }
    return buf;
}

// The uploaded reports the pad saw, by interface, as (number, tag).
std::map<int, std::vector<std::pair<int, int>>> uploaded(const padsim::Pad &pad) {
    std::map<int, std::vector<std::pair<int, int>>> out;
    for (const auto &t : pad.log()) {
        if (!is_set_report(t) || t.data.size() != 64 || (t.data[0] & 0xF0) != 0x60)
            continue;
        out[t.index()].emplace_back(t.data[1] | t.data[2] << 8, t.data[3]);
    }
    return out;
}

}  // namespace

TEST_F(Bulk, WholeRecordsGoOutInOrderOnOneInterface) {
    start();
    for (size_t extra : {size_t{0}, size_t{10}}) {
        SCOPED_TRACE(extra);
        pad_.pad->clear_log();
        auto buf = records(10, extra);
        unsigned int reply = 0;
        ASSERT_EQ(WriteFileBuffer(1, 0x01, buf.data(), static_cast<unsigned>(buf.size()), &reply),
                  0u);
        EXPECT_EQ(reply, 650u) << "the 10 bytes after the last whole record are not sent";
        auto seen = uploaded(*pad_.pad);
        ASSERT_EQ(seen[0].size(), 10u);
        for (int r = 0; r < 10; ++r)
            EXPECT_EQ(seen[0][r].first, r);
        // Byte for byte: the payload without the report-id slot.
        for (const auto &t : pad_.pad->log()) {
            if (is_set_report(t) && t.data[0] == 0x63) {
                EXPECT_EQ(0, memcmp(t.data.data(), &buf[3 * kRecord + 1], 64));
            }
        }
    }
    EXPECT_EQ(upload_threads(), 0);
}

TEST_F(Bulk, NothingIsSentWithoutAWholeRecordOrAnInterface) {
    start();
    auto buf = records(10);
    unsigned int reply = 99;
    ASSERT_EQ(WriteFileBuffer(1, 0x01, buf.data(), kRecord - 1, &reply), 0u);
    EXPECT_EQ(reply, 0u);
    reply = 99;
    ASSERT_EQ(WriteFileBuffer(1, 0x00, buf.data(), static_cast<unsigned>(buf.size()), &reply), 0u);
    EXPECT_EQ(reply, 0u) << "mask 0 starts no thread";
    EXPECT_TRUE(uploaded(*pad_.pad).empty());
    // Bits beyond the pad's interfaces are ignored.
    ASSERT_EQ(WriteFileBuffer(1, 0xFE, buf.data(), static_cast<unsigned>(buf.size()), &reply), 0u);
    EXPECT_EQ(reply, 0u);
    ASSERT_EQ(WriteFileBuffer(1, 0xFFFFFFFF, buf.data(), static_cast<unsigned>(buf.size()), &reply),
              0u);
    EXPECT_EQ(reply, 650u);
}

TEST_F(Bulk, EveryCallStartsAtTheFirstRecord) {
    start();
    auto a = records(4, 0, 0xA);
    auto b = records(3, 0, 0xB);
    unsigned int reply = 0;
    ASSERT_EQ(WriteFileBuffer(1, 0x01, a.data(), static_cast<unsigned>(a.size()), &reply), 0u);
    EXPECT_EQ(reply, 4 * kRecord);
    ASSERT_EQ(WriteFileBuffer(1, 0x01, b.data(), static_cast<unsigned>(b.size()), &reply), 0u);
    EXPECT_EQ(reply, 3 * kRecord);
    auto seen = uploaded(*pad_.pad)[0];
    std::vector<std::pair<int, int>> expected = {{0, 0xA}, {1, 0xA}, {2, 0xA}, {3, 0xA},
                                                 {0, 0xB}, {1, 0xB}, {2, 0xB}};
    EXPECT_EQ(seen, expected);
}

TEST_F(Bulk, RecordsAreSharedOutOverTheSelectedInterfaces) {
    start(3);
    auto buf = records(40);
    unsigned int reply = 0;
    ASSERT_EQ(WriteFileBuffer(1, 0x05, buf.data(), static_cast<unsigned>(buf.size()), &reply), 0u);
    EXPECT_EQ(reply, 40 * kRecord);
    auto seen = uploaded(*pad_.pad);
    EXPECT_TRUE(seen[1].empty()) << "interface 1 was not selected";
    std::vector<int> numbers;
    for (int i : {0, 2}) {
        // Each thread takes records in buffer order.
        for (size_t k = 1; k < seen[i].size(); ++k)
            EXPECT_LT(seen[i][k - 1].first, seen[i][k].first);
        for (const auto &r : seen[i])
            numbers.push_back(r.first);
    }
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(numbers.size(), 40u);
    for (int r = 0; r < 40; ++r)
        EXPECT_EQ(numbers[r], r) << "each record exactly once";
}

TEST_F(Bulk, ArgumentChecksAndPlaceholder) {
    start();
    auto buf = records(2);
    unsigned int reply = 5;
    uint32_t h = WriteFileBuffer(1, 1, buf.data(), 130, nullptr);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    EXPECT_EQ(exception_message(h), "Error of input parameters, unsigned int *reply is NULL");
    h = WriteFileBuffer(1, 1, nullptr, 130, &reply);
    EXPECT_EQ(exception_message(h), "Error of input parameters, const void *src is NULL");
    h = WriteFileBuffer(1, 1, buf.data(), 0, &reply);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int src_length is 0");
    h = WriteFileBuffer(3, 1, buf.data(), 130, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(h), "Error of switching to device: 3");
    EXPECT_EQ(reply, 5u);

    struct Log {
        std::mutex m;
        std::vector<std::string> lines;
    } log;
    RegisterLoggingCallBackProcedure(&log, [](void *user, const uint16_t *message) {
        auto *l = static_cast<Log *>(user);
        std::lock_guard<std::mutex> g(l->m);
        l->lines.push_back(narrow(message, QLPAD_MAX_STRING_LENGTH));
    });
    EXPECT_EQ(ReadFileBuffer(1, 1, buf.data(), 130, &reply), 0u);
    RegisterLoggingCallBackProcedure(nullptr, nullptr);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.back(),
              "error: ReadFileBuffer(): Function ReadFileBuffer() not implemented yet.");
    EXPECT_EQ(reply, 5u);
}

TEST_F(Bulk, FailingInterfaceCountIsReportedNotTakenForAnEmptyUpload) {
    start();
    // The pad is lost just when the upload asks for its interface count:
    // the logging callback sees that call make the pad current, pulls the
    // plug and lets a transfer find out.
    struct Ctx {
        padsim::Pad *pad;
        std::atomic<bool> inside{false};
        std::atomic<bool> done{false};
    } ctx{pad_.pad};
    DeinitializeFirst stop_workers_first;
    RegisterLoggingCallBackProcedure(&ctx, [](void *user, const uint16_t *message) {
        auto *c = static_cast<Ctx *>(user);
        std::string text = narrow(message, QLPAD_MAX_STRING_LENGTH);
        if (c->done || c->inside ||
            text.find("GetEndPointCount(): Was switched") == std::string::npos)
            return;
        c->inside = true;
        c->pad->unplug();
        uint8_t out[65] = {};
        unsigned int reply = 0;
        WriteFile(1, 0, out, sizeof out, &reply);
        c->done = true;
        c->inside = false;
    });
    auto buf = records(10);
    unsigned int reply = 1234;
    uint32_t h = WriteFileBuffer(1, 0x01, buf.data(), static_cast<unsigned>(buf.size()), &reply);
    RegisterLoggingCallBackProcedure(nullptr, nullptr);
    ASSERT_TRUE(ctx.done.load());
    EXPECT_NE(h, 0u);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(h), "Error of getting count of hid interfaces for device: 1");
    Text name;
    ASSERT_EQ(GetExceptionName(h, name.buf, QLPAD_MAX_STRING_LENGTH, &name.reply), 0u);
    EXPECT_EQ(name.str(), "GetEndPointCount");
    EXPECT_EQ(reply, 1234u) << "*reply untouched";
}

TEST_F(Bulk, DeinitializeStopsTheUploadAndWaitsForItsThreads) {
    start(2);
    pad_.pad->set_delay(padsim::Target::Control, 5ms);
    auto buf = records(400);
    std::atomic<uint32_t> result{1};
    unsigned int reply = 0;
    DeinitializeFirst stop_workers_first;
    auto upload = std::async(std::launch::async, [&] {
        result = WriteFileBuffer(1, 0x03, buf.data(), static_cast<unsigned>(buf.size()), &reply);
    });
    ASSERT_TRUE(pad_.pad->wait_log([](const std::vector<padsim::Transfer> &log) {
        int n = 0;
        for (const auto &t : log)
            n += is_set_report(t) && !t.data.empty() && (t.data[0] & 0xF0) == 0x60;
        return n >= 4;
    }));
    Deinitialize();
    EXPECT_EQ(upload_threads(), 0) << "Deinitialize returned before the upload threads ended";
    upload.get();
    EXPECT_EQ(result.load(), 0u);
    EXPECT_LT(reply, 400 * kRecord) << "the upload was cut short";
    EXPECT_EQ(reply % kRecord, 0u);
    pad_.pad->clear_faults();
}
