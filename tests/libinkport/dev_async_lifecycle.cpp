// The life of the receive and callback threads: removal of the pad while
// receiving, stops from the receive thread itself, Deinitialize while reports
// stream or while the application's handler is busy, receiving switched on
// the pad it names, and callbacks that call back into the library.
#include <atomic>
#include <cerrno>
#include <future>

#include <sys/syscall.h>
#include <unistd.h>

#include "dev_async_support.h"

using namespace devtest;

namespace {

class Lifecycle : public PadBench {
  protected:
    Added pad_;
    void start(const std::string &serial = "LC1") {
        pad_ = add_hid(0x22C9, 0x0901, serial);
        ASSERT_EQ(Initialize(), 0u);
    }
    // A bulk-pipe pad: it streams pen data only while biodata is on.
    Added add_vcom(const std::string &serial) {
        padsim::FirmwareConfig cfg = padsim::FirmwareConfig::vcom_pad();
        cfg.serial_number = serial;
        auto model = std::make_unique<padsim::PadModel>(cfg);
        Added added{nullptr, model.get()};
        added.pad =
            bed.add_pad(padsim::PadConfig::vcom(0x0711, 0x0230, serial, 64, 64), std::move(model));
        EXPECT_NE(added.pad, nullptr);
        return added;
    }
};

// Removed notices with the name of the thread that gave each.
struct RemovalLog {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<uint32_t, std::string>> notices;
    std::function<void(uint32_t)> also;  // runs inside the handler, after the notice was kept

    static void callback(void *user, uint32_t device) {
        auto *self = static_cast<RemovalLog *>(user);
        {
            std::lock_guard<std::mutex> g(self->m);
            self->notices.emplace_back(device, this_thread_name());
        }
        self->cv.notify_all();
        if (self->also)
            self->also(device);
    }
    bool wait_count(size_t n, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, limit, [&] { return notices.size() >= n; });
    }
    std::vector<std::pair<uint32_t, std::string>> snapshot() {
        std::lock_guard<std::mutex> g(m);
        return notices;
    }
};

using testutil::returns_within;

// Receiving from a pad that sends nothing, a HID pad (false) or a VCOM pad.
class QuietPad : public Lifecycle, public ::testing::WithParamInterface<bool> {};

}  // namespace

// Waiting for input that does not come is no failure, and the wait leaves
// the pad to the application's other calls.
TEST_P(QuietPad, ReceivingLeavesNoFailuresAndThePadFreeForOtherCalls) {
    Added pad = GetParam() ? add_vcom("QV1") : add_hid(0x22C9, 0x0901, "QH1");
    ASSERT_EQ(Initialize(), 0u);
    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    const int opens = pad.pad->opens();
    const uint32_t handle = GetDataPacketsAvailable(1, 0, nullptr);  // records an exception
    testing::internal::CaptureStderr();
    std::this_thread::sleep_for(1500ms);
    // The calls below come while the receive thread waits on the pad.
    const auto target = GetParam() ? padsim::Target::BulkIn : padsim::Target::InterruptIn;
    EXPECT_TRUE(pad.pad->wait_in_flight(target, 1));

    uint8_t buf[256] = {0, 0x11};  // the version request
    unsigned int reply = 0;
    EXPECT_EQ(SetFeature(1, 0, buf, 65, &reply), 0u);
    EXPECT_EQ(GetFeature(1, 0, buf, 65, &reply), 0u);
    EXPECT_EQ(buf[1], 0x11);
    const uint8_t list[] = {0x00, 0x00, 0x00, 0x10};  // the component list request
    EXPECT_EQ(SendSspMessage(1, 0, list, sizeof list), 0u);
    EXPECT_EQ(ReceiveSspMessage(1, 0, buf, sizeof buf, 1000, &reply), 0u);
    EXPECT_EQ(buf[3], 0x10);
    EXPECT_EQ(buf[4], 1) << "success";
    std::this_thread::sleep_for(1500ms);

    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors.find(": error: "), std::string::npos) << errors;
    EXPECT_EQ(GetDataPacketsAvailable(1, 0, nullptr), handle % 63 + 1) << "exceptions used up";
    EXPECT_EQ(pad.pad->opens(), opens) << "the pad was reopened";
    EXPECT_TRUE(returns_within([] { SetDataReceivingEnabled(1, 0, 0); }, 1s));
    EXPECT_EQ(sink.count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, QuietPad, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Vcom" : "Hid"; });

// The receive thread closes a pad it found gone while the application may
// still be calling on it: those calls see the pad gone, and (under
// ThreadSanitizer) read its handles and mark only with the pad's lock or
// atomically.
TEST_F(Lifecycle, CallsOnAPadTheReceiveThreadIsClosingSeeItGone) {
    start();
    RemovalLog removed;
    DeinitializeFirst stop_workers_first;
    SetOnDeviceRemovedHandler(&removed, &RemovalLog::callback);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.pad->unplug();
    std::atomic<bool> told{false};
    std::thread watcher([&] { told = removed.wait_count(1); });
    unsigned char report[65] = {};
    const unsigned char message[] = {0x02, 0x00, 0x01};
    unsigned int reply = 0;
    int feature_failures = 0;
    int ssp_failures = 0;
    // At least once: the removal may be told and the thread gone already.
    do {
        feature_failures += GetFeature(1, 0, report, sizeof report, &reply) != 0;
        ssp_failures += SendSspMessage(1, 0, message, sizeof message) != 0;
        if (feature_failures > 2000)
            break;
    } while (!told.load() || receive_threads() != 0);
    watcher.join();
    ASSERT_TRUE(told.load());
    EXPECT_TRUE(wait_until([] { return receive_threads() == 0; }));
    EXPECT_NE(GetFeature(1, 0, report, sizeof report, &reply), 0u) << "the pad is gone";
    EXPECT_NE(SendSspMessage(1, 0, message, sizeof message), 0u) << "the pad is gone";
    EXPECT_GT(feature_failures, 0);
    EXPECT_GT(ssp_failures, 0);
    EXPECT_EQ(SetDataReceivingEnabled(1, 0, 0), 0u);
}

TEST_F(Lifecycle, StopAfterARemovalWaitsForTheThreadsEnd) {
    start();
    RemovalLog removed;
    DeinitializeFirst stop_workers_first;
    SetOnDeviceRemovedHandler(&removed, &RemovalLog::callback);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.pad->unplug();
    // The removal has told the thread to stop; it has not necessarily ended.
    ASSERT_TRUE(removed.wait_count(1));
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 0), 0u);
    EXPECT_EQ(receive_threads(), 0) << "the stopper returned while the thread still ran";
}

TEST_F(Lifecycle, RemovedHandlerMayStopTheReceivingFromTheReceiveThread) {
    start();
    RemovalLog removed;
    std::atomic<int> stops{0};
    std::atomic<uint32_t> stop_result{1};
    std::atomic<uint32_t> count_result{1};
    DeinitializeFirst stop_workers_first;
    removed.also = [&](uint32_t device) {
        // On the receive thread: it cannot wait for itself, it only leaves
        // its loop. The queue can still be looked at.
        stop_result = SetDataReceivingEnabled(device, 0, 0);
        unsigned int n = 0;
        count_result = GetDataPacketsAvailable(device, 0, &n);
        ++stops;
    };
    SetOnDeviceRemovedHandler(&removed, &RemovalLog::callback);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.pad->unplug();
    ASSERT_TRUE(removed.wait_count(1));
    EXPECT_TRUE(wait_until([&] { return stops.load() >= 1; }));
    EXPECT_EQ(stop_result.load(), 0u);
    EXPECT_EQ(count_result.load(), 0u);
    EXPECT_TRUE(wait_until([] { return receive_threads() == 0; }));
    // The record left behind is freed by the next stopper (Deinitialize here;
    // the leak check of the sanitizer run would see it otherwise).
    EXPECT_TRUE(returns_within([] { Deinitialize(); }));
}

TEST_F(Lifecycle, DeinitializeWhileReportsStreamReturnsAfterEveryWorkerEnded) {
    start();
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            ASSERT_EQ(Initialize(), 0u);
        }
        FrameSink sink;
        DeinitializeFirst stop_workers_first;
        ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
        ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
        pad_.model->start_stroke(stroke(2000, 2000));
        ASSERT_TRUE(sink.wait_count(static_cast<size_t>(10 + 40 * round)));
        Deinitialize();
        EXPECT_EQ(library_threads(), 0);
        size_t after = sink.count();
        ASSERT_TRUE(pad_.model->wait_pen_idle(10s));
        EXPECT_EQ(sink.count(), after) << "no handler runs after Deinitialize returned";
    }
}

TEST_F(Lifecycle, DeinitializeWaitsForAHandlerThatIsBusyInAnotherCall) {
    start();
    std::atomic<bool> busy{false};
    std::atomic<bool> returned{false};
    std::atomic<uint32_t> inner{1};
    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    sink.also = [&](const Frame &f) {
        if (busy.exchange(true))
            return;
        // A feature report that the pad is slow to take: the handler sits
        // in this call while Deinitialize runs.
        uint8_t report[65] = {0, 0x27};
        unsigned int reply = 0;
        inner = SetFeature(f.device, 0, report, sizeof report, &reply);
        returned = true;
    };
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.pad->set_delay(padsim::Target::Control, 300ms);
    pad_.model->start_stroke(stroke(50));
    // The handler's transfer is on its way to the pad.
    ASSERT_TRUE(pad_.pad->wait_in_flight(padsim::Target::Control, 1, 10s));
    ASSERT_TRUE(returns_within([] { Deinitialize(); }));
    EXPECT_TRUE(returned.load())
        << "Deinitialize returned while the handler was still inside the library";
    EXPECT_EQ(inner.load(), 0u) << "the handler's call went through";
    EXPECT_EQ(library_threads(), 0);
    pad_.pad->clear_faults();
}

TEST_F(Lifecycle, ReceivingIsSwitchedOnThePadItNames) {
    Added first = add_hid(0x22C9, 0x0901, "PADA");
    Added second = add_hid(0x22C9, 0x0901, "PADB");
    ASSERT_EQ(Initialize(), 0u);
    unsigned int count = 0;
    ASSERT_EQ(GetDeviceCount(&count), 2u);
    // Which emulated pad became device 2 depends on the search.
    Text serial;
    ASSERT_EQ(GetSerialNumber(2, serial.buf, QLPAD_MAX_STRING_LENGTH, &serial.reply), 0u);
    Added two = serial.str() == "PADB" ? second : first;
    Added one = serial.str() == "PADB" ? first : second;
    unsigned int vid = 0;
    ASSERT_EQ(GetVendorId(1, &vid), 0u);  // device 1 is current now
    size_t one_before = one.pad->log().size();
    size_t two_before = two.pad->log().size();

    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(2, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(2, 0, 1), 0u);
    // The start-up reopened device 2: its pending input transfer was cancelled.
    EXPECT_GT(cancelled_reads(two.pad->log(), two_before), 0u);
    EXPECT_EQ(cancelled_reads(one.pad->log(), one_before), 0u) << "device 1 was left alone";

    // Each pad streams; only device 2's reports are read.
    two.model->start_stroke(stroke(10));
    one.model->start_stroke(stroke(10));
    ASSERT_TRUE(sink.wait_count(10));
    ASSERT_TRUE(one.model->wait_pen_idle(5s));
    ASSERT_TRUE(two.model->wait_pen_idle(5s));
    ASSERT_EQ(SetDataReceivingEnabled(2, 0, 0), 0u);
    for (const auto &f : sink.snapshot())
        EXPECT_EQ(f.device, 2u);
    EXPECT_EQ(sink.count(), 10u) << "only device 2's reports";
}

TEST_F(Lifecycle, StartUpFailuresReachTheApplicationWithNoLibraryLockHeld) {
    start();
    // The pad is lost between the enable's look at the pad and the receive
    // thread's start-up: the logging callback pulls the plug and lets a
    // transfer find out, while the enable call is on its way.
    struct Ctx {
        padsim::Pad *pad;
        std::atomic<bool> armed{false};
        std::atomic<bool> inside{false};
    } ctx{pad_.pad};
    RegisterLoggingCallBackProcedure(&ctx, [](void *user, const uint16_t *message) {
        auto *c = static_cast<Ctx *>(user);
        std::string text = narrow(message, QLPAD_MAX_STRING_LENGTH);
        if (!c->armed || c->inside ||
            text.find("SetDataReceivingEnabled(): Receiving is switched on") == std::string::npos)
            return;
        c->inside = true;
        c->armed = false;
        c->pad->unplug();
        uint8_t out[65] = {};
        unsigned int reply = 0;
        WriteFile(1, 0, out, sizeof out, &reply);  // marks the pad removed
        c->inside = false;
    });
    RemovalLog removed;
    std::atomic<int> calls_done{0};
    // Set once the enable call has returned: a start-up that reported its
    // failure before it opened its start gate would keep it from returning.
    std::mutex m;
    std::condition_variable cv;
    bool enable_returned = false;
    std::atomic<int> first_told_after_return{-1};  // of the first notice on the thread
    removed.also = [&](uint32_t device) {
        if (this_thread_name() != "inkport-recv")
            return;
        {
            std::unique_lock<std::mutex> g(m);
            int unset = -1;
            first_told_after_return.compare_exchange_strong(
                unset, cv.wait_for(g, 10s, [&] { return enable_returned; }) ? 1 : 0);
        }
        // Each of these takes a lock that the enable call holds while it
        // waits for the thread's start-up.
        unsigned int n = 0;
        GetDataPacketsAvailable(device, 0, &n);
        FrameSink none;
        SetOnDataReceivedHandler(device, 1, &none, &FrameSink::callback);
        SetOnDataReceivedHandler(device, 1, nullptr, nullptr);
        SetDataReceivingEnabled(device, 0, 0);
        ++calls_done;
    };
    SetOnDeviceRemovedHandler(&removed, &RemovalLog::callback);
    ctx.armed = true;
    std::atomic<uint32_t> enabled{1};
    DeinitializeFirst stop_workers_first;
    ASSERT_TRUE(returns_within([&] {
        enabled = SetDataReceivingEnabled(1, 0, 1);
        {
            std::lock_guard<std::mutex> g(m);
            enable_returned = true;
        }
        cv.notify_all();
    }));
    EXPECT_EQ(enabled.load(), 0u) << "the thread started; its start-up failed";
    EXPECT_TRUE(wait_until([&] { return calls_done.load() >= 1; }));
    EXPECT_EQ(first_told_after_return.load(), 1)
        << "the removal was reported while the enable call still waited for the start-up";
    EXPECT_TRUE(wait_until([] { return receive_threads() == 0; }));
    RegisterLoggingCallBackProcedure(nullptr, nullptr);
}

TEST_F(Lifecycle, HandlersStartingWorkersDuringDeinitializeLeaveNoneBehind) {
    start();
    std::atomic<bool> busy{false};
    std::atomic<bool> returned{false};
    FrameSink other;
    FrameSink sink;
    auto buf = std::vector<uint8_t>(65 * 20, 0x61);
    sink.also = [&](const Frame &f) {
        if (busy.exchange(true))
            return;
        uint8_t report[65] = {0, 0x27};
        unsigned int reply = 0;
        // The pad is slow to take it: Deinitialize runs meanwhile.
        SetFeature(f.device, 0, report, sizeof report, &reply);
        // Once Deinitialize has stopped the receiving, each of these would
        // start a worker that its sweep has already passed.
        wait_until([] { return receive_threads() == 0; });
        SetDataReceivingEnabled(f.device, 2, 1);
        SetDataReceivingEnabled(f.device, 0, 1);
        SetOnDataReceivedHandler(f.device, 1, &other, &FrameSink::callback);
        SetDataReceivingEnabled(f.device, 1, 1);
        WriteFileBuffer(f.device, 1, buf.data(), static_cast<unsigned>(buf.size()), &reply);
        returned = true;
    };
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.pad->set_delay(padsim::Target::Control, 500ms);
    pad_.model->start_stroke(stroke(5));
    ASSERT_TRUE(pad_.pad->wait_in_flight(padsim::Target::Control, 1, 10s));
    ASSERT_TRUE(returns_within([] { Deinitialize(); }));
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(library_threads(), 0);
    pad_.pad->clear_faults();
}

TEST_F(Lifecycle, BiodataIsSwitchedOnAndOffOnThePadItNames) {
    // The biodata switch shows which pad the start-up and the shut-down
    // talked to.
    Added first = add_vcom("VCA");
    Added second = add_vcom("VCB");
    ASSERT_EQ(Initialize(), 0u);
    unsigned int count = 0;
    ASSERT_EQ(GetDeviceCount(&count), 2u);
    Text serial;
    ASSERT_EQ(GetSerialNumber(2, serial.buf, QLPAD_MAX_STRING_LENGTH, &serial.reply), 0u);
    Added two = serial.str() == "VCB" ? second : first;
    Added one = serial.str() == "VCB" ? first : second;

    DeinitializeFirst stop_workers_first;
    unsigned int vid = 0;
    ASSERT_EQ(GetVendorId(1, &vid), 0u);  // device 1 is current
    ASSERT_EQ(SetDataReceivingEnabled(2, 0, 1), 0u);
    // The enable returns once the pad has been asked to send.
    EXPECT_TRUE(two.model->biodata_enabled());
    EXPECT_FALSE(one.model->biodata_enabled());

    ASSERT_EQ(GetVendorId(1, &vid), 0u);  // device 1 is current again
    one.model->clear_records();
    ASSERT_EQ(SetDataReceivingEnabled(2, 0, 0), 0u);
    // The stop returns once the thread has ended, its switch-off included.
    EXPECT_FALSE(two.model->biodata_enabled());
    EXPECT_TRUE(one.model->received_messages().empty()) << "device 1 was left alone";
}

TEST_F(Lifecycle, RemovedHandlerMayDeinitializeFromTheReceiveThread) {
    start();
    RemovalLog removed;
    FrameSink sink;
    std::atomic<bool> deinitialized{false};
    removed.also = [&](uint32_t) {
        if (this_thread_name() != "inkport-recv" || deinitialized.exchange(true))
            return;
        // The application gives up on the pads: every worker but this
        // thread, which cannot wait for itself, ends before this returns.
        Deinitialize();
    };
    SetOnDeviceRemovedHandler(&removed, &RemovalLog::callback);
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad_.model->start_stroke(stroke(3));
    ASSERT_TRUE(sink.wait_count(3));
    pad_.pad->unplug();
    ASSERT_TRUE(wait_until([&] { return deinitialized.load(); }));
    EXPECT_TRUE(wait_until([] { return library_threads() == 0; }, 30s))
        << "a worker was left behind";
    // The library starts again from scratch.
    ASSERT_TRUE(returns_within([] { Deinitialize(); }));
}

TEST_F(Lifecycle, AReceiveThreadLeavesTheCallsOnOtherPadsAlone) {
    Added first = add_hid(0x22C9, 0x0901, "PADA");
    Added second = add_hid(0x22C9, 0x0901, "PADB");
    ASSERT_EQ(Initialize(), 0u);
    Text serial;
    ASSERT_EQ(GetSerialNumber(2, serial.buf, QLPAD_MAX_STRING_LENGTH, &serial.reply), 0u);
    const std::string two_serial = serial.str();
    Added two = two_serial == "PADB" ? second : first;
    const std::string one_serial = two_serial == "PADB" ? "PADA" : "PADB";

    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    ASSERT_EQ(SetOnDataReceivedHandler(2, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(2, 0, 1), 0u);
    constexpr uint32_t kReports = 300;
    two.model->start_stroke(stroke(kReports, 500));
    // The application works with device 1 all the while: its calls must
    // reach device 1, and device 2's reports must all come through.
    int calls = 0;
    int wrong = 0;
    while (sink.count() < kReports && calls < 20000) {
        Text s;
        if (GetSerialNumber(1, s.buf, QLPAD_MAX_STRING_LENGTH, &s.reply) != 0 ||
            s.str() != one_serial)
            ++wrong;
        ++calls;
    }
    EXPECT_EQ(wrong, 0) << "of " << calls << " calls on device 1";
    ASSERT_TRUE(sink.wait_count(kReports)) << sink.count() << " of " << kReports;
    std::vector<uint32_t> expected(kReports);
    for (uint32_t i = 0; i < kReports; ++i)
        expected[i] = i;
    std::vector<uint32_t> seq;
    for (const auto &f : sink.snapshot()) {
        padsim::PenSample s;
        seq.push_back(padsim::parse_pen_report(f.data.data(), 64, &s) ? s.seq : UINT32_MAX);
    }
    EXPECT_EQ(seq, expected);
}

// The receive threads address their own pad: its start-up and shut-down
// leave the application's current device alone, and nothing the start-up
// waits for (here the biodata request to a slow pad) holds the table lock.
TEST_F(Lifecycle, ReceiveThreadsNeitherSwitchPadsNorHoldTheTableLock) {
    padsim::Pad *first = add_vcom("VCA").pad;
    padsim::Pad *second = add_vcom("VCB").pad;
    ASSERT_EQ(Initialize(), 0u);
    DeinitializeFirst stop_workers_first;
    unsigned int device = 0;
    ASSERT_EQ(EnumerateDevicesStart(&device), 0u);
    ASSERT_EQ(device, 1u);
    ASSERT_EQ(SetDataReceivingEnabled(2, 0, 1), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(2, 0, 0), 0u);
    ASSERT_EQ(EnumerateDevicesNext(&device), 0u);
    EXPECT_EQ(device, 2u) << "device 1 stayed current";

    for (padsim::Pad *pad : {first, second})
        pad->set_delay(padsim::Target::BulkOut, 3s);
    std::atomic<uint32_t> enabled{1};
    std::thread starter([&] { enabled = SetDataReceivingEnabled(1, 0, 1); });
    auto sending = [&] {
        for (padsim::Pad *pad : {first, second})
            if (pad->wait_in_flight(padsim::Target::BulkOut, 1, 0ms))
                return pad;
        return static_cast<padsim::Pad *>(nullptr);
    };
    EXPECT_TRUE(wait_until([&] { return sending() != nullptr; }));
    padsim::Pad *busy = sending();
    unsigned int count = 0;
    EXPECT_EQ(GetDeviceCount(&count), 2u);
    EXPECT_TRUE(busy != nullptr && busy->wait_in_flight(padsim::Target::BulkOut, 1, 0ms))
        << "the count waited for the start-up's transfer";
    starter.join();
    EXPECT_EQ(enabled.load(), 0u);
    first->clear_faults();
    second->clear_faults();
}

// Each callback on each thread where it runs (the monitor's arrived handler
// included) calls back into the library:
// Deinitialize, GetDeviceCount and EnumerateDevicesStart. Nothing may hang,
// so every step has a deadline; a missed one ends the test program.
namespace {

enum class Cb { logging, removed, data, arrived };

struct Reentry {
    const char *name;
    Cb cb;
    const char *thread;  // the library thread's name, or null: the application's
    // The application deinitializes while the handler on the library thread calls.
    bool racing = false;
};

const Reentry kReentries[] = {
    {"LoggingOnApplication", Cb::logging, nullptr},
    {"LoggingOnReceive", Cb::logging, "inkport-recv"},
    {"LoggingOnCallback", Cb::logging, "inkport-cb"},
    {"LoggingOnUpload", Cb::logging, "inkport-upload"},
    {"RemovedOnApplication", Cb::removed, nullptr},
    {"RemovedOnReceive", Cb::removed, "inkport-recv"},
    {"RemovedOnReceiveWhileTheApplicationDeinitializes", Cb::removed, "inkport-recv", true},
    {"RemovedOnCallback", Cb::removed, "inkport-cb"},
    {"RemovedOnUpload", Cb::removed, "inkport-upload"},
    {"DataOnCallback", Cb::data, "inkport-cb"},
    {"ArrivedOnMonitorWhileTheApplicationDeinitializes", Cb::arrived, "inkport-plug", true},
};

const std::function<void()> kCalls[] = {
    [] { Deinitialize(); },
    [] {
        unsigned int n = 0;
        GetDeviceCount(&n);
    },
    [] {
        unsigned int n = 0;
        EnumerateDevicesStart(&n);
    },
};

void PrintTo(const Reentry &row, std::ostream *os) {
    *os << row.name;
}

using testutil::must_return_within;

class Reentrant : public Lifecycle, public ::testing::WithParamInterface<Reentry> {
  protected:
    struct State {
        const Reentry *row;
        const std::function<void()> *call;
        padsim::Pad *pad;
        pid_t application = 0;
        std::atomic<bool> armed{false}, fired{false}, entered{false}, returned{false},
            deinitializing{false};
    };

    // The call under test, once, from the row's callback on its thread.
    static void reenter(State &s, Cb cb) {
        const char *thread = s.row->thread;
        std::string name = this_thread_name();
        if (!s.armed || cb != s.row->cb ||
            (thread ? name != thread : name.rfind("inkport-", 0) == 0) || s.fired.exchange(true))
            return;
        s.entered = true;
        // Inside Deinitialize, the application waits for this thread.
        while (s.row->racing && (!s.deinitializing || !testutil::thread_sleeps(s.application)))
            std::this_thread::yield();
        (*s.call)();
        s.returned = true;
    }

    static void on_log(void *u, const uint16_t *) {
        reenter(*static_cast<State *>(u), Cb::logging);
    }
    static void on_removed(void *u, uint32_t) { reenter(*static_cast<State *>(u), Cb::removed); }
    static void on_arrived(void *u, uint32_t) { reenter(*static_cast<State *>(u), Cb::arrived); }
    static void on_data(void *u, uint32_t, uint32_t, const uint8_t *, uint32_t) {
        auto *s = static_cast<State *>(u);
        if (s->row->cb == Cb::logging) {
            IsInitialized();  // logs on the callback thread
        } else if (s->row->cb == Cb::removed && !s->fired) {
            s->pad->unplug();
            uint8_t out[65] = {};
            unsigned int reply = 0;
            WriteFile(1, 0, out, sizeof out, &reply);
        }
        reenter(*s, Cb::data);
    }

    // Sets the row's callback going on its thread.
    void trigger(State &s) {
        const std::string thread = s.row->thread ? s.row->thread : "";
        s.armed = true;
        uint8_t out[65 * 8] = {};
        unsigned int reply = 0;
        if (thread == "inkport-cb") {
            ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &s, &on_data), 0u);
            ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
            pad_.model->start_stroke(stroke(20));
            return;
        }
        if (thread.empty() && s.row->cb == Cb::logging) {
            IsInitialized();
            return;
        }
        if (thread == "inkport-recv") {
            ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
        }
        if (thread == "inkport-upload") {
            // Pulled while the first record is on its way: the upload thread
            // meets the removal, however soon the monitor marks the pad.
            pad_.pad->set_delay(padsim::Target::Control, 2s);
            std::thread puller([&] {
                if (pad_.pad->wait_in_flight(padsim::Target::Control, 1, 10s))
                    pad_.pad->unplug();
                pad_.pad->clear_faults();
            });
            WriteFileBuffer(1, 1, out, sizeof out, &reply);
            puller.join();
            return;
        }
        pad_.pad->unplug();
        if (s.row->cb == Cb::arrived) {
            ASSERT_TRUE(pad_.pad->replug());
        }
        if (thread.empty())
            WriteFile(1, 0, out, 65, &reply);
        if (s.row->racing) {
            ASSERT_TRUE(wait_until([&] { return s.entered.load(); }));
            s.application = static_cast<pid_t>(syscall(SYS_gettid));
            s.deinitializing = true;
            Deinitialize();
        }
    }
};

}  // namespace

TEST_P(Reentrant, CallbacksMayCallTheLibraryOnEveryThread) {
    pad_ = add_hid(0x22C9, 0x0901, "RE1");
    for (const auto &call : kCalls) {
        SCOPED_TRACE(&call - kCalls);
        if (!pad_.pad->plugged()) {
            ASSERT_TRUE(pad_.pad->replug());
        }
        ASSERT_EQ(Initialize(), 0u);
        State s{&GetParam(), &call, pad_.pad};
        RegisterLoggingCallBackProcedure(&s, &on_log);
        SetOnDeviceRemovedHandler(&s, &on_removed);
        SetOnDeviceArrivedHandler(&s, &on_arrived);
        must_return_within("the call that sets the callback off", [&] { trigger(s); });
        ASSERT_TRUE(wait_until([&] { return s.fired.load(); }));
        EXPECT_TRUE(wait_until([&] { return s.returned.load(); }, 30s))
            << "the callback's call did not return";
        must_return_within("Deinitialize", [] { Deinitialize(); });
        EXPECT_TRUE(wait_until([] { return library_threads() + monitor_threads() == 0; }));
        pad_.model->wait_pen_idle(10s);
    }
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, Reentrant, ::testing::ValuesIn(kReentries),
                         [](const auto &info) { return std::string(info.param.name); });
