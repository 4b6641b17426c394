// Input delivery on emulated pads: handlers, receiving, the queue and its
// count, argument checks, and reports arriving whole and in order.
#include <set>

#include "dev_async_support.h"

using namespace devtest;

namespace {

class Delivery : public PadBench {
  protected:
    Added pad_;
    void start(uint16_t vid = 0x22C9, uint16_t pid = 0x0901,
               padsim::FirmwareConfig cfg = padsim::FirmwareConfig::hid_pad()) {
        pad_ = add_hid(vid, pid, "AS1", 1, cfg);
        ASSERT_EQ(Initialize(), 0u);
    }
    unsigned int available(unsigned int end_point = 0) {
        unsigned int n = 0xDEAD;
        EXPECT_EQ(GetDataPacketsAvailable(1, end_point, &n), 0u);
        return n;
    }
};

// Sequence numbers of the pen reports the sink got, in arrival order.
std::vector<uint32_t> sequence_of(const std::vector<Frame> &frames, size_t report_size = 64) {
    std::vector<uint32_t> seq;
    for (const auto &f : frames) {
        padsim::PenSample s;
        if (padsim::parse_pen_report(f.data.data(), report_size, &s))
            seq.push_back(s.seq);
        else
            seq.push_back(UINT32_MAX);
    }
    return seq;
}

}  // namespace

TEST_F(Delivery, HandlerSetTwiceRunsOneCallbackThreadWithTheLatestHandler) {
    start();
    FrameSink first, second;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &first, &FrameSink::callback), 0u);
    EXPECT_EQ(callback_threads(), 1);
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &second, &FrameSink::callback), 0u);
    EXPECT_EQ(callback_threads(), 1) << "the second call only replaces the handler";

    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.model->start_stroke(stroke(30));
    ASSERT_TRUE(second.wait_count(30));
    EXPECT_EQ(first.count(), 0u);
    std::set<std::thread::id> threads;
    for (const auto &f : second.snapshot()) {
        threads.insert(f.thread);
        EXPECT_EQ(f.thread_name, "inkport-cb");
        EXPECT_EQ(f.device, 1u);
        EXPECT_EQ(f.end_point, 0u);
    }
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST_F(Delivery, NullHandlerEndsTheCallbackThreadAndTheReceiving) {
    start();
    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    EXPECT_EQ(receive_threads(), 1);
    EXPECT_EQ(callback_threads(), 1);

    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, nullptr, nullptr), 0u);
    EXPECT_TRUE(wait_until([] { return callback_threads() == 0 && receive_threads() == 0; }));

    // Nothing is queued any more.
    unsigned int before = available();
    pad_.model->start_stroke(stroke(5));
    ASSERT_TRUE(pad_.model->wait_pen_idle(5s));
    EXPECT_EQ(available(), before);

    // A new handler gets a new thread, and receiving can start again.
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    EXPECT_EQ(callback_threads(), 1);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    size_t had = sink.count();
    pad_.model->start_stroke(stroke(5));
    EXPECT_TRUE(sink.wait_count(had + 5));
}

TEST_F(Delivery, ShortReportOfTypeOnePadArrivesAsSixtyFourBytes) {
    start(0x1690, 0x2000, padsim::FirmwareConfig::type1_pad());
    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.model->start_stroke(stroke(3));
    ASSERT_TRUE(sink.wait_count(3));
    for (const auto &f : sink.snapshot()) {
        EXPECT_EQ(f.length, 64u);
        padsim::PenSample s;
        EXPECT_TRUE(padsim::parse_pen_report(f.data.data(), 20, &s)) << "20 payload bytes first";
        for (size_t i = 20; i < 64; ++i)
            ASSERT_EQ(f.data[i], 0) << "byte " << i;
    }
    EXPECT_EQ(sequence_of(sink.snapshot(), 20), (std::vector<uint32_t>{0, 1, 2}));
}

TEST_F(Delivery, QueueCountAndFlush) {
    start();
    unsigned int n = 777;
    ASSERT_EQ(GetDataPacketsAvailable(1, 0, &n), 0u);
    EXPECT_EQ(n, 777u) << "no queue before receiving was first enabled";

    // Without a handler the reports stay queued.
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.model->start_stroke(stroke(5));
    EXPECT_TRUE(wait_until([&] { return available() == 5; }));

    // Enabling again restarts the receiving with an empty queue.
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    EXPECT_EQ(available(), 0u);
    EXPECT_EQ(receive_threads(), 1);
    pad_.model->start_stroke(stroke(3));
    EXPECT_TRUE(wait_until([&] { return available() == 3; }));

    ASSERT_EQ(FlushDataPackets(1, 0), 0u);
    EXPECT_EQ(available(), 0u);

    // Disabled: the queue stays and keeps its count.
    pad_.model->start_stroke(stroke(2));
    EXPECT_TRUE(wait_until([&] { return available() == 2; }));
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 0), 0u);
    EXPECT_EQ(receive_threads(), 0) << "stopping returns after the thread ended";
    EXPECT_EQ(available(), 2u);

    // The queued reports are delivered once a handler is set, oldest first.
    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_TRUE(sink.wait_count(2));
    auto seq = sequence_of(sink.snapshot());
    ASSERT_EQ(seq.size(), 2u);
    EXPECT_LT(seq[0], seq[1]);
}

TEST_F(Delivery, ArgumentsAreCheckedBeforeAnythingIsTouched) {
    unsigned int n = 5;
    // Before Initialize.
    uint32_t h = SetDataReceivingEnabled(1, 0, 1);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    EXPECT_EQ(exception_message(h),
              " Internal variable dev_shared_short is NULL.. Use Initialize() first.");

    start();
    struct Call {
        const char *name;
        std::function<uint32_t(unsigned int, unsigned int)> run;
    };
    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    std::vector<Call> calls = {
        {"SetOnDataReceivedHandler",
         [&](unsigned d, unsigned e) {
             return SetOnDataReceivedHandler(d, e, &sink, &FrameSink::callback);
         }},
        {"SetDataReceivingEnabled",
         [](unsigned d, unsigned e) { return SetDataReceivingEnabled(d, e, 1); }},
        {"GetDataPacketsAvailable",
         [&](unsigned d, unsigned e) { return GetDataPacketsAvailable(d, e, &n); }},
        {"FlushDataPackets", [](unsigned d, unsigned e) { return FlushDataPackets(d, e); }},
    };
    for (const auto &call : calls) {
        SCOPED_TRACE(call.name);
        h = call.run(16, 0);
        EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
        EXPECT_EQ(exception_message(h), "Incorrect input value device: 16");
        h = call.run(1, 8);
        EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
        EXPECT_EQ(exception_message(h), "Incorrect input value end_point_id: 8");
    }
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(library_threads(), 0) << "no refused call started a thread";

    h = GetDataPacketsAvailable(1, 0, nullptr);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    EXPECT_EQ(exception_message(h), "Error of input parameters, unsigned int *result is NULL");

    // Device 2 does not exist: receiving cannot be switched on there.
    h = SetDataReceivingEnabled(2, 0, 1);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(h), "Error of switching to device: 2");
    EXPECT_EQ(receive_threads(), 0);
    EXPECT_EQ(FlushDataPackets(2, 0), 0u) << "nothing to flush there";
}

TEST_F(Delivery, TenThousandReportsArriveInOrderWithNoneLost) {
    start();
    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    // Reports go out in bursts of 20, each once the previous one has come
    // through: the transport keeps about 30 reports per pad and drops the
    // oldest beyond that, which a starved test machine would otherwise
    // count against the library.
    constexpr uint32_t kReports = 10000;
    constexpr uint32_t kBurst = 20;
    for (uint32_t next = 0; next < kReports; next += kBurst) {
        for (uint32_t i = next; i < next + kBurst; ++i) {
            padsim::Bytes report(64, 0);
            report[0] = 0xB7;
            memcpy(&report[1], &i, sizeof i);
            pad_.pad->host().queue_interrupt_in(0, std::move(report));
        }
        ASSERT_TRUE(sink.wait_count(next + kBurst)) << sink.count() << " of " << next + kBurst;
    }
    auto frames = sink.snapshot();
    ASSERT_EQ(frames.size(), kReports);
    for (uint32_t i = 0; i < kReports; ++i) {
        uint32_t seq;
        memcpy(&seq, &frames[i].data[1], sizeof seq);
        ASSERT_EQ(frames[i].data[0], 0xB7);
        ASSERT_EQ(seq, i) << "report " << i;
    }
    unsigned int n = 1;
    ASSERT_EQ(GetDataPacketsAvailable(1, 0, &n), 0u);
    EXPECT_EQ(n, 0u);
}

TEST_F(Delivery, EndPointsOfAPadAreDeliveredApart) {
    pad_ = add_hid(0x22C9, 0x0901, "AS2", 2);
    ASSERT_EQ(Initialize(), 0u);
    FrameSink zero, one;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &zero, &FrameSink::callback), 0u);
    ASSERT_EQ(SetOnDataReceivedHandler(1, 1, &one, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 1, 1), 0u);
    EXPECT_EQ(receive_threads(), 2);
    EXPECT_EQ(callback_threads(), 2);

    padsim::Bytes report(64, 0x11);
    pad_.pad->host().queue_interrupt_in(1, report);
    ASSERT_TRUE(one.wait_count(1));
    auto got = one.snapshot()[0];
    EXPECT_EQ(got.end_point, 1u);
    EXPECT_EQ(got.data[0], 0x11);
    pad_.pad->host().queue_interrupt_in(0, padsim::Bytes(64, 0x22));
    ASSERT_TRUE(zero.wait_count(1));
    EXPECT_EQ(zero.snapshot()[0].data[0], 0x22);
    EXPECT_EQ(one.count(), 1u);
}
