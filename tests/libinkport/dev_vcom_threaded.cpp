// VCOM pads with threads at work: receiving with the biodata switch, and a
// pad unplugged while a bulk transfer waits on another thread.
#include <dlfcn.h>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "dev_vcom_support.h"
#include "pad_pen.h"

using namespace devtest;

namespace {

class VcomThreads : public VcomBench {};

// Input reports handed to the application, with a wait for a count.
struct DataSink {
    std::mutex m;
    std::condition_variable cv;
    std::vector<padsim::Bytes> frames;
    std::vector<uint32_t> lengths;
    static void callback(void *user, uint32_t, uint32_t, const uint8_t *data, uint32_t length) {
        auto *self = static_cast<DataSink *>(user);
        std::lock_guard<std::mutex> g(self->m);
        self->frames.emplace_back(data, data + 64);
        self->lengths.push_back(length);
        self->cv.notify_all();
    }
    bool wait_for(size_t n) {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, std::chrono::seconds(20), [&] { return frames.size() >= n; });
    }
};

// The pad model, except that it can be told to leave the legacy feature
// request (C0 00) unanswered.
class MutableFeatureRequests : public padsim::Firmware {
  public:
    explicit MutableFeatureRequests(padsim::FirmwareConfig cfg) : model_(std::move(cfg)) {}
    void attach(padsim::FirmwareHost *host) override { model_.attach(host); }
    bool set_feature(int interface, const padsim::Bytes &data) override {
        return model_.set_feature(interface, data);
    }
    std::optional<padsim::Bytes> get_feature(int interface, size_t length) override {
        return model_.get_feature(interface, length);
    }
    bool bulk_out(const padsim::Bytes &data) override {
        if (muted_.load() && data == tokens_of({0xC0, 0x00}))
            return true;
        return model_.bulk_out(data);
    }
    void mute(bool on) { muted_.store(on); }

  private:
    padsim::PadModel model_;
    std::atomic<bool> muted_{false};
};

// While set, libusb's event handling fails when the pad library calls it
// (libusb's own transfers, which handle events inside libusb, go on).
std::atomic<bool> g_failing_events{false};

bool called_by_the_library(void *return_address) {
    Dl_info info{};
    return dladdr(return_address, &info) != 0 && info.dli_fname != nullptr &&
           strstr(info.dli_fname, "libinkport") != nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int libusb_handle_events_completed(
    libusb_context *ctx, int *completed) {
    using Handle = int (*)(libusb_context *, int *);
    static const auto real =
        reinterpret_cast<Handle>(dlsym(RTLD_NEXT, "libusb_handle_events_completed"));
    if (g_failing_events.load() && called_by_the_library(__builtin_return_address(0)))
        return LIBUSB_ERROR_IO;
    return real(ctx, completed);
}

TEST_F(VcomThreads, AReceiveWaitWhoseEventHandlingKeepsFailingEndsAsAFailedRead) {
    Added v = add_vcom(kBridgeVid, kBridgePid, "EVT");
    ASSERT_EQ(Initialize(), 0u);
    struct Log {
        std::atomic<int> failed_reads{0};
        static void cb(void *user, const uint16_t *message) {
            if (narrow(message, QLPAD_MAX_STRING_LENGTH).find("Error of read HID input report") !=
                std::string::npos)
                ++static_cast<Log *>(user)->failed_reads;
        }
    } log;
    DataSink sink;
    DeinitializeFirst stop_threads_first;
    RegisterLoggingCallBackProcedure(&log, &Log::cb);
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, DataSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    ASSERT_TRUE(v.pad->wait_in_flight(1)) << "the receive thread waits on the bulk IN";
    g_failing_events = true;
    EXPECT_TRUE(wait_until([&] { return log.failed_reads.load() > 0; }));
    testutil::must_return_within("SetDataReceivingEnabled",
                                 [] { SetDataReceivingEnabled(1, 0, 0); });
    g_failing_events = false;
}

TEST_F(VcomThreads, ReceivingSwitchesBiodataAndDeliversShortPenReportsFromABigEndpoint) {
    // IN 512: the receive thread must not wait for 512-byte reports, every
    // legacy message holds at most 64, here 20.
    padsim::FirmwareConfig cfg = padsim::FirmwareConfig::vcom_pad();
    cfg.input_report_size = 20;
    Added v = add_vcom(0x2689, 0xFF01, "PEN", 512, 512, "Quillon", cfg);
    ASSERT_EQ(Initialize(), 0u);
    DataSink sink;
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, DataSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    ASSERT_TRUE(wait_until([&] { return v.model->biodata_enabled(); }));

    padsim::PenStroke stroke;
    stroke.reports = 5;
    stroke.rate_hz = 100;
    v.model->start_stroke(stroke);
    ASSERT_TRUE(sink.wait_for(5));
    {
        std::lock_guard<std::mutex> g(sink.m);
        for (size_t i = 0; i < 5; ++i) {
            padsim::PenSample s;
            ASSERT_TRUE(padsim::parse_pen_report(sink.frames[i].data(), 20, &s)) << i;
            EXPECT_EQ(s.x, 100 + 3 * i);
            EXPECT_EQ(sink.lengths[i], 64u);
            EXPECT_TRUE(std::all_of(sink.frames[i].begin() + 20, sink.frames[i].end(),
                                    [](uint8_t b) { return b == 0; }));
        }
    }
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 0), 0u);
    EXPECT_TRUE(wait_until([&] { return !v.model->biodata_enabled(); }));
}

TEST_F(VcomThreads, UnplugDuringABulkTransferMarksThePadRemoved) {
    // The pad stops answering the legacy feature request, so a feature read
    // waits on a bulk IN that only the unplug ends.
    auto fw = std::make_unique<MutableFeatureRequests>(padsim::FirmwareConfig::vcom_pad());
    MutableFeatureRequests *mute = fw.get();
    padsim::Pad *pad =
        bed.add_pad(padsim::PadConfig::vcom(kBridgeVid, kBridgePid, "GON"), std::move(fw));
    ASSERT_NE(pad, nullptr);
    ASSERT_EQ(Initialize(), 0u);
    RemovedSink removed;
    ASSERT_EQ(SetOnDeviceRemovedHandler(&removed, RemovedSink::callback), 0u);

    mute->mute(true);
    ASSERT_TRUE(pad->wait_in_flight(0));
    uint8_t buf[10] = {};
    unsigned int reply = 0;
    uint32_t h = 0;
    std::thread reader([&] { h = GetFeature(1, 0, buf, sizeof buf, &reply); });
    const std::thread::id reader_id = reader.get_id();
    ASSERT_TRUE(pad->wait_log([](const std::vector<padsim::Transfer> &log) {
        return !log.empty() && log.back().endpoint == kBulkOut &&
               log.back().data == tokens_of({0xC0, 0x00});
    }));
    ASSERT_TRUE(pad->wait_in_flight(1)) << "the bulk IN waits for the answer";
    pad->unplug();
    reader.join();
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(h), "Error of read HID feature for device: 1");
    EXPECT_EQ(removed.count_on(reader_id), 1u);
    EXPECT_EQ(core_set_unsync_hid_output_report(0, buf + 1, 3), kCoreRemoved);
}
