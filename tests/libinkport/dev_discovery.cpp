// Discovery, numbering, switching and the information API on emulated HID
// pads, and the pad control commands on a record of our own.
#include <dlfcn.h>
#include <hidapi.h>
#include <libusb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "core.h"
#include "core_table.h"
#include "dev_async_support.h"
#include "hid.h"

using namespace devtest;

namespace {

class Discovery : public PadBench {};

std::string serial_of(unsigned int device) {
    Text t;
    EXPECT_EQ(GetSerialNumber(device, t.buf, QLPAD_MAX_STRING_LENGTH, &t.reply), 0u) << device;
    return t.str();
}

// A record opened on the first HID interface of (vid, pid), as the search
// prepares one before it knows the pad.
struct OpenRecord {
    ql_device rec{};
    OpenRecord(uint16_t vid, uint16_t pid, uint32_t pad_type) {
        rec.transport = &hid_transport;
        rec.vendor_id = vid;
        rec.product_id = pid;
        rec.pad_type = pad_type;
        hid_device_info *list = hid_enumerate(vid, pid);
        if (list != nullptr) {
            snprintf(rec.hid_path, sizeof rec.hid_path, "%s", list->path);
            rec.hid = hid_open_dev(rec.hid_path);
        }
        hid_free_enumeration(list);
    }
    ~OpenRecord() { __core_close_dev(&rec); }
};

class Commands : public PadBench {
  protected:
    void TearDown() override { hid_exit(); }
};

// Which libusb_init calls of this program fail: 1 those on the default
// context (the pad library's own), 2 every one (hidapi's too).
std::atomic<int> g_failing_usb_inits{0};

}  // namespace

extern "C" __attribute__((visibility("default"))) int libusb_init(libusb_context **context) {
    using Init = int (*)(libusb_context **);
    static const auto real = reinterpret_cast<Init>(dlsym(RTLD_NEXT, "libusb_init"));
    int failing = g_failing_usb_inits.load();
    if (failing == 2 || (failing == 1 && context == nullptr))
        return LIBUSB_ERROR_NO_MEM;
    return real(context);
}

TEST_F(Discovery, OnePadIsNumberedAndDescribed) {
    add_hid(0x22C9, 0x0901, "AB12");
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    ASSERT_EQ(GetDeviceCount(&reply), 1u);

    Text serial, name, vendor;
    ASSERT_EQ(GetSerialNumber(1, serial.buf, QLPAD_MAX_STRING_LENGTH, &serial.reply), 0u);
    EXPECT_EQ(serial.str(), "AB12");
    EXPECT_EQ(serial.reply, 4u);
    ASSERT_EQ(GetProductName(1, 0, name.buf, QLPAD_MAX_STRING_LENGTH, &name.reply), 0u);
    EXPECT_EQ(name.str(), "Signature Pad ") << "the product keeps one trailing blank";
    EXPECT_EQ(name.reply, 15u) << "the product name counts its terminator";
    ASSERT_EQ(GetVendorName(1, vendor.buf, QLPAD_MAX_STRING_LENGTH, &vendor.reply), 0u);
    EXPECT_EQ(vendor.str(), "Quillon");
    EXPECT_EQ(vendor.reply, 7u);

    unsigned int v = 0;
    ASSERT_EQ(GetProductId(1, 0, &v), 0u);
    EXPECT_EQ(v, 0x0901u);
    ASSERT_EQ(GetVendorId(1, &v), 0u);
    EXPECT_EQ(v, 0x22C9u);
    ASSERT_EQ(GetEndPointCount(1, &v), 0u);
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(GetFeatureReportSize(1, 0, &v), 0u);
    EXPECT_EQ(v, 65u);
    ASSERT_EQ(GetUsbVersion(1, &v), 0u);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(GetBytesToSend(1, &v), 0u);
    EXPECT_EQ(v, 0u);

    Text cut;
    ASSERT_EQ(GetSerialNumber(1, cut.buf, 2, &cut.reply), 0u);
    EXPECT_EQ(cut.reply, 2u);
    EXPECT_EQ(narrow(cut.buf, 2), "AB");

    // Two units just before an unmapped page: nothing past them is touched.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *pages = static_cast<uint8_t *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    auto *two = reinterpret_cast<uint16_t *>(pages + page) - 2;
    ASSERT_EQ(GetVendorName(1, two, 2, &cut.reply), 0u);
    EXPECT_EQ(cut.reply, 2u);
    EXPECT_EQ(narrow(two, 2), "Qu");
    munmap(pages, 2 * page);
}

TEST_F(Discovery, ThreePadsAreNumberedInSearchOrderAndEnumerated) {
    // The search walks vendor 2689 before 22C9 and product 09E1 before 0801.
    add_hid(0x22C9, 0x0901, "THIRD");
    add_hid(0x2689, 0x0801, "SECOND");
    add_hid(0x2689, 0x09E1, "FIRST");
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    ASSERT_EQ(GetDeviceCount(&reply), 3u);
    EXPECT_EQ(serial_of(1), "FIRST");
    EXPECT_EQ(serial_of(2), "SECOND");
    EXPECT_EQ(serial_of(3), "THIRD");

    std::vector<unsigned int> seen;
    ASSERT_EQ(EnumerateDevicesStart(&reply), 0u);
    seen.push_back(reply);
    for (int i = 0; i < 4 && reply != 0; ++i) {
        ASSERT_EQ(EnumerateDevicesNext(&reply), 0u);
        seen.push_back(reply);
    }
    EXPECT_EQ(seen, (std::vector<unsigned int>{1, 2, 3, 0}));

    uint32_t h = GetSerialNumber(7, Text().buf, QLPAD_MAX_STRING_LENGTH, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(h), "Error of switching to device: 7");
}

// A pulled pad keeps its number: the enumeration passes over it, and the
// failed switch to it leaves the pad current before, streaming, as it was.
TEST_F(Discovery, EnumerationPassesOverAPulledPadAndItsSwitchLeavesTheCurrentOne) {
    auto first = add_hid(0x2689, 0x09E1, "FIRST");
    auto second = add_hid(0x2689, 0x0801, "SECOND");
    add_hid(0x22C9, 0x0901, "THIRD");
    ASSERT_EQ(Initialize(), 0u);
    RemovedSink removed;
    FrameSink sink;
    DeinitializeFirst stop_threads_first;
    SetOnDeviceRemovedHandler(&removed, &RemovedSink::callback);
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    second.pad->unplug();
    ASSERT_TRUE(wait_until([&] { return removed.count() == 1; })) << "told by the monitor";
    auto seen = [] {
        std::vector<unsigned int> out;
        unsigned int reply = 0;
        EXPECT_EQ(EnumerateDevicesStart(&reply), 0u);
        for (out.push_back(reply); reply != 0 && out.size() < 5; out.push_back(reply))
            EXPECT_EQ(EnumerateDevicesNext(&reply), 0u);
        return out;
    };
    EXPECT_EQ(seen(), (std::vector<unsigned int>{1, 3, 0}));
    unsigned int reply = 0;
    EXPECT_EQ(GetDeviceCount(&reply), 3u) << "the pulled pad still counts";

    ASSERT_EQ(GetVendorId(1, &reply), 0u);
    EXPECT_EQ(exception_code(GetVendorId(2, &reply)), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(serial_of(1), "FIRST");
    first.model->start_stroke(stroke(3));
    EXPECT_TRUE(sink.wait_count(3)) << "pad 1 kept streaming";
    EXPECT_EQ(removed.count_of(1), 0u) << "no removal told for the present pad";
    first.pad->unplug();
    ASSERT_TRUE(wait_until([&] { return removed.count_of(1) == 1; }));
    EXPECT_EQ(seen(), (std::vector<unsigned int>{3, 0}));
}

TEST_F(Discovery, PadSettingsIdentifyThePad) {
    add_hid(0x22C9, 0x0901, "AB12");
    ASSERT_EQ(Initialize(), 0u);
    char settings[256] = {};
    ASSERT_GT(core_get_pad_settings(settings), 0);
    EXPECT_STREQ(settings, "000000000000000001HID: Quillon Signature Pad (22c9/901/000D/AB12)");
    char unknown[256];
    core_pad_settings_population(unknown, 7, "M", "P ", 1, 2, "S", "", 0);
    EXPECT_STREQ(unknown, "000000000000000001no pad");
}

TEST_F(Discovery, ExtraInterfacesShareOneSlot) {
    add_hid(0x2689, 0x0801, "TWO", 2);
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0, count = 0;
    ASSERT_EQ(GetDeviceCount(&reply), 1u);
    ASSERT_EQ(GetEndPointCount(1, &count), 0u);
    EXPECT_EQ(count, 2u);
}

TEST_F(Discovery, PadsWithEqualSettingsCannotBeToldApart) {
    add_hid(0x2689, 0x0801, "SAME");
    add_hid(0x2689, 0x0801, "SAME");
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0, count = 0;
    ASSERT_EQ(GetDeviceCount(&reply), 1u);
    ASSERT_EQ(GetEndPointCount(1, &count), 0u);
    EXPECT_EQ(count, 2u) << "the second pad is taken for an extra interface of the first";
}

TEST_F(Discovery, UnknownIdsAreNotSearched) {
    add_hid(0x22C9, 0x0902, "NOPE");
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    EXPECT_EQ(GetDeviceCount(&reply), 0u);
}

TEST_F(Discovery, SeventeenPadsFillSixteenCoreSlotsAndFifteenNumbers) {
    std::vector<Added> pads;
    for (int i = 0; i < 17; ++i)
        pads.push_back(add_hid(0x22C9, 0x0901, "P" + std::to_string(100 + i)));
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    EXPECT_EQ(GetDeviceCount(&reply), 15u);
    for (unsigned int d = 1; d <= 15; ++d)
        EXPECT_EQ(serial_of(d).substr(0, 1), "P");
    Text t;
    EXPECT_NE(GetSerialNumber(16, t.buf, QLPAD_MAX_STRING_LENGTH, &t.reply), 0u);

    // A pad plugged in now gets no number. The monitor handles events in
    // order: the pull that follows would be told after its arrival.
    RemovedSink arrived, removed;
    DeinitializeFirst stop_threads_first;
    SetOnDeviceArrivedHandler(&arrived, &RemovedSink::callback);
    SetOnDeviceRemovedHandler(&removed, &RemovedSink::callback);
    padsim::Pad *late = bed.add_pad(
        padsim::PadConfig::hid(0x22C9, 0x0901, "LATE"),
        std::make_unique<padsim::PadModel>(padsim::FirmwareConfig::hid_pad()), padsim::Plug::Later);
    ASSERT_TRUE(late != nullptr && late->replug());
    const std::string first = serial_of(1);
    for (Added &p : pads)
        if (p.pad->config().serial == first)
            p.pad->unplug();
    ASSERT_TRUE(wait_until([&] { return removed.count() == 1; }));
    EXPECT_EQ(arrived.count(), 0u);
    EXPECT_EQ(GetDeviceCount(&reply), 15u);
}

TEST_F(Discovery, AFailedVersionReadEndsTheSearch) {
    // 2689:0801 comes first in the search; it answers the version request
    // with a wrong echo, so the search stops before the second pad.
    auto bad = add_hid(0x2689, 0x0801, "BAD");
    add_hid(0x22C9, 0x0901, "GOOD");
    bad.model->wrong_echo_next_answers(1000, 0x12);
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    EXPECT_EQ(GetDeviceCount(&reply), 0u);
    EXPECT_EQ(set_reports(*bad.pad, 0x11).size(), 3u)
        << "three version requests, then the search ends";
}

TEST_F(Discovery, WithoutLibusbOnlyHidPadsAreFound) {
    add_hid(0x22C9, 0x0901, "AB12");
    ASSERT_NE(bed.add_pad(padsim::PadConfig::vcom(0x0711, 0x0230, "VC1", 64, 64),
                          std::make_unique<padsim::PadModel>(padsim::FirmwareConfig::vcom_pad())),
              nullptr);
    // Failing: every libusb_init, the library's own, none; pads found.
    for (auto [failing, pads] : {std::pair{2, 0u}, {1, 1u}, {0, 2u}}) {
        g_failing_usb_inits = failing;
        EXPECT_EQ(Initialize(), 0u);
        unsigned int reply = 0;
        EXPECT_EQ(GetDeviceCount(&reply), pads) << failing;
        EXPECT_EQ(Deinitialize(), 0u);
    }
}

TEST_F(Discovery, EnumerationOnAnEmptyTableSearchesAgainAndKeepsCallbacks) {
    ASSERT_EQ(Initialize(), 0u);
    struct Sink {
        std::atomic<int> lines{0};
        static void cb(void *u, const uint16_t *) { ++static_cast<Sink *>(u)->lines; }
    } sink;
    RemovedSink removed;
    RegisterLoggingCallBackProcedure(&sink, &Sink::cb);
    SetOnDeviceRemovedHandler(&removed, &RemovedSink::callback);
    add_hid(0x22C9, 0x0901, "LATE");
    unsigned int reply = 99;
    ASSERT_EQ(EnumerateDevicesStart(&reply), 0u);
    EXPECT_EQ(reply, 1u) << "the pad plugged in after Initialize is found";
    int before = sink.lines.load();
    IsInitialized();
    EXPECT_GT(sink.lines.load(), before)
        << "the logging callback survived the internal re-initialisation";
}

TEST_F(Discovery, EnumerationWithNoPadAnswersZero) {
    unsigned int reply = 99;
    ASSERT_EQ(EnumerateDevicesStart(&reply), 0u) << "before Initialize it initialises";
    EXPECT_EQ(reply, 0u);
    EXPECT_TRUE(IsInitialized());
}

TEST_F(Discovery, TransportFlagIsKeptPerPad) {
    add_hid(0x22C9, 0x0901, "AB12");
    ASSERT_EQ(Initialize(), 0u);
    unsigned int v = 9;
    ASSERT_EQ(GetUsedTransportProtocol(1, &v), 0u);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(SetUsedTransportProtocol(1, 5), 0u);
    ASSERT_EQ(GetUsedTransportProtocol(1, &v), 0u);
    EXPECT_EQ(v, 1u);
}

TEST_F(Discovery, RemovedHandlerOfASwitchMayCallTheLibrary) {
    add_hid(0x2689, 0x0801, "ONE");
    auto second = add_hid(0x22C9, 0x0901, "TWO");
    ASSERT_EQ(Initialize(), 0u);
    struct Reentrant {
        std::atomic<int> calls{0};  // by this thread's calls, not the monitor
        std::thread::id caller = std::this_thread::get_id();
        static void cb(void *u, uint32_t) {
            unsigned int reply = 0;
            GetDeviceCount(&reply);  // takes the table lock: must not deadlock
            auto *self = static_cast<Reentrant *>(u);
            if (std::this_thread::get_id() == self->caller)
                ++self->calls;
        }
    } handler;
    SetOnDeviceRemovedHandler(&handler, &Reentrant::cb);
    unsigned int reply = 0;
    ASSERT_EQ(GetVendorId(2, &reply), 0u);
    second.pad->unplug();
    uint8_t report[65] = {};
    EXPECT_NE(WriteFile(2, 0, report, sizeof report, &reply), 0u);
    EXPECT_EQ(handler.calls.load(), 1) << "the report call found the pad gone";
    ASSERT_EQ(GetVendorId(1, &reply), 0u);
    // Switching back to the lost pad reports it gone from inside the switch.
    uint32_t h = GetVendorId(2, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(handler.calls.load(), 2);
}

TEST_F(Commands, StatusTextsCoverEveryCode) {
    EXPECT_STREQ(ql_dev_strerror(0), "device: success");
    EXPECT_STREQ(ql_dev_strerror(39), "device: not in configuration mode");
    EXPECT_STREQ(ql_dev_strerror(40), "device: unknown error");
    EXPECT_STREQ(ql_dev_strerror(static_cast<unsigned char>(256)), "device: success");
    EXPECT_STREQ(ql_dev_strerror(static_cast<unsigned char>(-1)), "device: unknown error");
}

TEST_F(Commands, VersionIsReadFromTheAnswerLayout) {
    auto p = add_hid(0x22C9, 0x0901, "V");
    OpenRecord r(0x22C9, 0x0901, 13);
    ASSERT_NE(r.rec.hid, nullptr);
    dev_fw_version v{};
    ASSERT_EQ(core_read_version(&r.rec, &v), 0);
    padsim::FirmwareVersionInfo expected;
    EXPECT_EQ(v.major, expected.major);
    EXPECT_EQ(v.minor, expected.minor);
    EXPECT_EQ(v.patch, expected.patch);
    EXPECT_EQ(v.revision, expected.revision);
    EXPECT_EQ(0, memcmp(v.manufacturer, expected.manufacturer.data(), 4));
    auto writes = set_reports(*p.pad, 0x11);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].size(), 64u) << "64 data bytes after report id 0";
}

TEST_F(Commands, ABusyStatusIsRetriedOnce) {
    auto p = add_hid(0x22C9, 0x0901, "V");
    OpenRecord r(0x22C9, 0x0901, 13);
    p.model->fail_next_answers(1, 7);
    dev_fw_version v{};
    EXPECT_EQ(core_read_version(&r.rec, &v), 0);
    EXPECT_EQ(set_reports(*p.pad, 0x11).size(), 2u);
}

TEST_F(Commands, AWrongEchoThreeTimesFails) {
    auto p = add_hid(0x22C9, 0x0901, "V");
    OpenRecord r(0x22C9, 0x0901, 13);
    p.model->wrong_echo_next_answers(3, 0x12);
    dev_fw_version v{};
    EXPECT_EQ(core_read_version(&r.rec, &v), -1);
    EXPECT_EQ(set_reports(*p.pad, 0x11).size(), 3u);
}

TEST_F(Commands, TypeOnePadIsAnsweredWithoutTraffic) {
    auto p = add_hid(0x1690, 0x2000, "T1", 1, padsim::FirmwareConfig::type1_pad());
    OpenRecord r(0x1690, 0x2000, 1);
    ASSERT_NE(r.rec.hid, nullptr);
    p.pad->clear_log();
    dev_fw_version v{};
    ASSERT_EQ(core_read_version(&r.rec, &v), 0);
    EXPECT_EQ(v.major, 1u);
    EXPECT_EQ(v.minor, 31u);
    flags_status status{};
    memset(status.bytes, 0xEE, sizeof status.bytes);
    ASSERT_EQ(__core_get_status(&r.rec, &status), 0);
    EXPECT_TRUE(std::all_of(std::begin(status.bytes), std::end(status.bytes),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(p.pad->log().empty()) << "version and status need no transfer";

    ASSERT_EQ(core_set_pad_mode(&r.rec, 3, 1), 0);
    auto writes = set_reports(*p.pad);
    ASSERT_EQ(writes.size(), 1u);
    ASSERT_EQ(writes[0].size(), 40u);
    EXPECT_EQ(writes[0][0], 0x01);
    EXPECT_EQ(writes[0][1], 3);
    EXPECT_EQ(writes[0][2], 1);
    EXPECT_EQ(writes[0][38], 0xF0);
    EXPECT_EQ(writes[0][39], 0xA5);
    EXPECT_EQ(count_get_reports(*p.pad), 0u) << "the type-1 pad's answer is never read";
}

TEST_F(Commands, ModeAlreadyReportedEndsThePollAtOnce) {
    padsim::FirmwareConfig cfg = padsim::FirmwareConfig::hid_pad();
    cfg.initial_mode = 5;
    auto p = add_hid(0x2689, 0x0CE1, "M", 1, cfg);
    OpenRecord r(0x2689, 0x0CE1, 16);
    EXPECT_EQ(core_set_pad_mode(&r.rec, 5, 0), 5);
    EXPECT_EQ(set_reports(*p.pad, 0x27).size(), 1u) << "one status exchange";
}

TEST_F(Commands, ModeThatNeverShowsFailsAfterThreePolls) {
    auto p = add_hid(0x2689, 0x0CE1, "M");
    OpenRecord r(0x2689, 0x0CE1, 16);
    padsim::ModeChangeTiming never;
    never.never = true;
    p.model->set_mode_change(never);
    EXPECT_EQ(core_set_pad_mode(&r.rec, 2, 0), -1);
    EXPECT_EQ(set_reports(*p.pad, 0x01).size(), 3u) << "a new request per attempt";
}

TEST_F(Commands, RectangleCommandBytes) {
    auto p = add_hid(0x22C9, 0x0901, "R");
    OpenRecord r(0x22C9, 0x0901, 13);
    ASSERT_EQ(core_create_signature_rectangle(&r.rec, 10, 20, 300, 200, 1), 0);
    auto writes = set_reports(*p.pad, 0x65);
    ASSERT_EQ(writes.size(), 1u);
    padsim::Bytes expected(64, 0);
    const uint8_t head[] = {0x65, 0x0A, 0x00, 0x14, 0x00, 0x2C, 0x01,
                            0xC8, 0x00, 0x01, 0x00, 0x00, 0x00};
    std::copy(std::begin(head), std::end(head), expected.begin());
    EXPECT_EQ(writes[0], expected);
}

TEST_F(Commands, RectangleOnAnUnpluggedPadMarksItRemoved) {
    auto p = add_hid(0x22C9, 0x0901, "R");
    OpenRecord r(0x22C9, 0x0901, 13);
    p.pad->unplug();
    EXPECT_EQ(core_create_signature_rectangle(&r.rec, 0, 0, 0, 0, 0), -20);
    EXPECT_TRUE(r.rec.removed);
    EXPECT_EQ(r.rec.hid, nullptr);
}

TEST_F(Commands, OpeningAnUnpluggedPadGivesUp) {
    auto p = add_hid(0x22C9, 0x0901, "U");
    hid_device_info *list = hid_enumerate(0x22C9, 0x0901);
    ASSERT_NE(list, nullptr);
    std::string path = list->path;
    hid_free_enumeration(list);
    p.pad->unplug();
    EXPECT_EQ(hid_open_dev(path.c_str()), nullptr);
}
