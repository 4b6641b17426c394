// The SSP exchange on emulated pads: what travels in the 0xF8/0xF9 feature
// reports of a HID pad and over the bulk pipe of a VCOM pad, the two queues,
// continuation reads, time-outs and recovery, through the API and through
// the exported exchange functions on records of the test's own.
#include <hidapi.h>
#include <libusb.h>

#include <cerrno>
#include <cstring>

#include "core_ssp.h"
#include "dev_support.h"
#include "hid.h"
#include "ssp_test_pad.h"
#include "uni_queue.h"
#include "vcom.h"

using namespace devtest;
using ssptest::base_message;
using ssptest::Bytes;
using ssptest::old_message;
using ssptest::ScriptedSspPad;

namespace {

constexpr uint16_t kVid = 0x2689;
constexpr uint16_t kPid = 0x0CE1;

Bytes filled(size_t n, uint8_t seed) {
    Bytes p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(seed + i * 13);
    return p;
}

// The 0xF8 reports a send produced, joined back into the token stream.
Bytes written_tokens(const padsim::Pad &pad) {
    Bytes out;
    for (const Bytes &r : set_reports(pad, 0xF8))
        out.insert(out.end(), r.begin() + 1, r.end());
    return out;
}

// A pad record opened by the test, for the exchange functions that take one.
class OwnHidRecord {
  public:
    OwnHidRecord() {
        pthread_mutex_init(&lock_, nullptr);
        rec.device_lock = &lock_;
    }
    ~OwnHidRecord() {
        hid_close_dev(rec.hid);
        destroy_uni_queue(rec.ssp_input_read);
        destroy_uni_queue(rec.ssp_command_messages);
        pthread_mutex_destroy(&lock_);
    }
    OwnHidRecord(const OwnHidRecord &) = delete;
    OwnHidRecord &operator=(const OwnHidRecord &) = delete;

    bool open(uint16_t vid, uint16_t pid) {
        hid_device_info *list = hid_enumerate(vid, pid);
        if (list == nullptr)
            return false;
        snprintf(rec.hid_path, sizeof rec.hid_path, "%s", list->path);
        hid_free_enumeration(list);
        rec.transport = &hid_transport;
        rec.hid = hid_open_dev(rec.hid_path);
        return rec.hid != nullptr;
    }

    ql_device rec{};

  private:
    pthread_mutex_t lock_;
};

class SspExchange : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(bed.ok()); }
    void TearDown() override {
        Deinitialize();
        hid_exit();
    }

    // A HID pad whose SSP side the test scripts; the library found it and
    // made it device 1 unless `initialize` is false.
    void start(bool initialize = true, int interfaces = 1) {
        auto fw = std::make_unique<ScriptedSspPad>();
        script = fw.get();
        pad = bed.add_pad(padsim::PadConfig::hid(kVid, kPid, "EX1", interfaces), std::move(fw));
        ASSERT_NE(pad, nullptr);
        if (initialize) {
            ASSERT_EQ(Initialize(), 0u);
            unsigned int count = 0;
            ASSERT_EQ(GetDeviceCount(&count), 1u);
        }
        pad->clear_log();
    }

    void echo() {
        script->set_rule([](const Bytes &m) { return std::vector<Bytes>{m}; });
    }

    // ReceiveSspMessage into a buffer of `capacity` bytes.
    struct Got {
        uint32_t handle;
        Bytes message;
    };
    Got receive(unsigned int capacity = 70000, unsigned int time_out = 1000,
                unsigned int interface = 0) {
        Bytes buffer(capacity, 0xEE);
        unsigned int reply = 0xDEAD;
        uint32_t h = ReceiveSspMessage(1, interface, buffer.data(), capacity, time_out, &reply);
        if (h != 0)
            return {h, {}};
        EXPECT_LE(reply, capacity);
        buffer.resize(reply);
        return {0, buffer};
    }

    padsim::Testbed bed;
    padsim::Pad *pad = nullptr;
    ScriptedSspPad *script = nullptr;
};

}  // namespace

TEST_F(SspExchange, SendWritesTheTokenStreamIn0xF8ReportsOfAtMost63Bytes) {
    start();
    Bytes m = base_message(1, filled(200, 3));
    m[50] = 0xAA;  // an escape inside
    m[51] = 0x55;
    ASSERT_EQ(SendSspMessage(1, 0, m.data(), static_cast<unsigned int>(m.size())), 0u);

    Bytes expected = padsim::ssp::encode_tokens(m);
    auto reports = set_reports(*pad, 0xF8);
    ASSERT_EQ(reports.size(), (expected.size() + 62) / 63);
    for (size_t i = 0; i + 1 < reports.size(); ++i)
        EXPECT_EQ(reports[i].size(), 64u) << "report " << i;
    EXPECT_EQ(reports.back().size(), 1 + expected.size() % 63)
        << "the last report is as long as its piece";
    EXPECT_EQ(written_tokens(*pad), expected);
    auto got = script->received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].complete);
    EXPECT_EQ(got[0].bytes, m);
}

TEST_F(SspExchange, RoundTripThroughTheApi) {
    start();
    echo();
    for (size_t n : {1u, 61u, 200u, 1000u}) {
        SCOPED_TRACE(n);
        Bytes m = base_message(2, filled(n, static_cast<uint8_t>(n)));
        ASSERT_EQ(SendSspMessage(1, 0, m.data(), static_cast<unsigned int>(m.size())), 0u);
        Got got = receive();
        ASSERT_EQ(got.handle, 0u) << exception_message(got.handle);
        EXPECT_EQ(got.message, m);
    }
}

// One 0xF9 request, then plain reads continue the message: the pad keeps
// handing out the stream without being asked again.
TEST_F(SspExchange, MessageSplitAcrossReadsIsRebuiltFromContinuationReads) {
    start();
    Bytes reply = base_message(3, filled(300, 7));
    script->send(reply);
    Got got = receive();
    ASSERT_EQ(got.handle, 0u);
    EXPECT_EQ(got.message, reply);
    size_t token_bytes = padsim::ssp::encode_tokens(reply).size();
    EXPECT_EQ(set_reports(*pad, 0xF9).size(), 1u);
    EXPECT_EQ(count_get_reports(*pad), (token_bytes + 61) / 62);
}

TEST_F(SspExchange, TwoMessagesInOneReadAndTheQueuedOneComesWithoutUsbTraffic) {
    start();
    Bytes a = base_message(1, {0x10, 0x01});
    Bytes b = base_message(2, {0x11, 0x01, 0x05});
    script->send(a);
    script->send(b);
    Got first = receive();
    ASSERT_EQ(first.handle, 0u);
    EXPECT_EQ(first.message, a);
    pad->clear_log();
    Got second = receive();
    ASSERT_EQ(second.handle, 0u);
    EXPECT_EQ(second.message, b);
    EXPECT_TRUE(pad->log().empty()) << "delivered from the queue";
}

TEST_F(SspExchange, SendDiscardsRepliesNobodyFetched) {
    start();
    Bytes stale = base_message(1, {0x10, 0x01});
    Bytes fresh = base_message(1, {0x12, 0x01});
    script->send(stale);
    script->send(stale);
    ASSERT_EQ(receive().message, stale);  // the second stays queued
    script->set_rule([&](const Bytes &) { return std::vector<Bytes>{fresh}; });
    Bytes request = base_message(1, {0x12});
    ASSERT_EQ(SendSspMessage(1, 0, request.data(), static_cast<unsigned int>(request.size())), 0u);
    EXPECT_EQ(receive().message, fresh);
}

TEST_F(SspExchange, RequestModeReceiveDiscardsAQueuedReply) {
    start(false);
    OwnHidRecord own;
    ASSERT_TRUE(own.open(kVid, kPid));
    Bytes stale = base_message(1, {0x20, 0x01});
    Bytes fresh = base_message(1, {0x21, 0x01});
    script->send(stale);
    script->send(stale);
    uint8_t buf[64];
    unsigned int len = sizeof buf;
    ASSERT_EQ(lock_dev_and_receive_ssp_message(&own.rec, buf, &len, 1000, false), 0);
    ASSERT_EQ(get_uni_queue_size(own.rec.ssp_command_messages), 1) << "one reply left queued";

    script->send(fresh);
    pad->clear_log();
    len = sizeof buf;
    ASSERT_EQ(lock_dev_and_receive_ssp_message(&own.rec, buf, &len, 1000, true), 0);
    EXPECT_EQ(Bytes(buf, buf + len), fresh);
    EXPECT_EQ(set_reports(*pad, 0xF9).size(), 1u) << "the pad was asked";
}

TEST_F(SspExchange, CompleteMessageFollowedByACutSofAtTheReadBoundary) {
    start();
    // The first message fills 60 or 61 of the 62 bytes of an answer, so the
    // next SOF is cut after AA 55 or after AA.
    for (size_t fill : {60u, 61u}) {
        SCOPED_TRACE(fill);
        Bytes a = base_message(1, filled(fill - 6, 1));
        ASSERT_EQ(padsim::ssp::encode_tokens(a).size(), fill);
        Bytes b = base_message(2, filled(20, 2));
        script->send(a);
        script->send(b);
        pad->clear_log();
        EXPECT_EQ(receive().message, a);
        EXPECT_EQ(receive().message, b);
        EXPECT_EQ(set_reports(*pad, 0xF9).size(), 1u) << "b came with the continuation read";
    }
}

// An escape of a long message straddling the 62-byte read boundary, at every
// offset around the first two boundaries: AA | 55 00 and AA 55 | 00 alike.
TEST_F(SspExchange, EscapeStraddlingTheReadBoundaryArrivesExactly) {
    start();
    echo();
    for (size_t at = 52; at < 130; ++at) {
        Bytes payload = filled(160, 5);
        for (auto &b : payload)
            if (b == 0xAA || b == 0x55)
                b = 0x11;
        // Stream offset of payload byte k: SOF (3) + header (3) + k.
        payload[at - 6] = 0xAA;
        payload[at - 5] = 0x55;
        Bytes m = base_message(4, payload);
        ASSERT_EQ(SendSspMessage(1, 0, m.data(), static_cast<unsigned int>(m.size())), 0u);
        Got got = receive();
        ASSERT_EQ(got.handle, 0u) << "escape at stream offset " << at;
        ASSERT_EQ(got.message, m) << "escape at stream offset " << at;
    }
}

TEST_F(SspExchange, SmallCallerBufferGetsTheStartOfTheReply) {
    start();
    Bytes reply = base_message(1, filled(40, 9));
    script->send(reply);
    Got got = receive(10);
    ASSERT_EQ(got.handle, 0u);
    EXPECT_EQ(got.message, Bytes(reply.begin(), reply.begin() + 10));
}

TEST_F(SspExchange, ArgumentChecksOfTheApi) {
    start();
    uint8_t buf[8] = {};
    unsigned int reply = 0;
    uint32_t h = ReceiveSspMessage(1, 0, buf, 1, 100, &reply);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int dst_length is <= 1");
    h = ReceiveSspMessage(1, 0, nullptr, 8, 100, &reply);
    EXPECT_EQ(exception_message(h), "Error of input parameters, const void *dst is NULL");
    h = ReceiveSspMessage(1, 0, buf, 8, 100, nullptr);
    EXPECT_EQ(exception_message(h), "Error of input parameters, unsigned int *reply is NULL");
    h = SendSspMessage(1, 0, nullptr, 4);
    EXPECT_EQ(exception_message(h), "Error of input parameters, const void *src is NULL");
    h = SendSspMessage(1, 0, buf, 0);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_PARAMETER);
    EXPECT_EQ(exception_message(h),
              "Error of input parameters, const unsigned int src_length is 0");
    h = SendSspMessage(5, 0, buf, 4);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(h), "Error of switching to device: 5");
    h = SendSspMessage(1, 2, buf, 4);
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE) << "interface 2 of a pad with one";
    EXPECT_EQ(exception_message(h), "Error of send ssp message for device: 1");
    EXPECT_TRUE(pad->log().empty()) << "nothing reached the pad";
}

TEST_F(SspExchange, ExtraInterfaceIsOpenedAndUsedForTheExchange) {
    start(true, 2);
    Bytes m = base_message(1, {0x30});
    ASSERT_EQ(SendSspMessage(1, 1, m.data(), static_cast<unsigned int>(m.size())), 0u);
    auto reports = set_reports(*pad, 0xF8);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(pad->log().back().index(), 1) << "written to interface 1";
    Bytes reply = base_message(1, {0x30, 0x01});
    script->send(reply, 1);
    Got got = receive(64, 1000, 1);
    ASSERT_EQ(got.handle, 0u);
    EXPECT_EQ(got.message, reply);
}

// Every 0xF9 answer says "not ready": the read gives up after the time-out,
// the record is closed and reopened, and the locked receive answers -1 (its
// time-out is not passed on). The pad works again afterwards.
TEST_F(SspExchange, PadThatNeverHasDataTimesOutAndIsReopened) {
    start(false);
    OwnHidRecord own;
    ASSERT_TRUE(own.open(kVid, kPid));
    script->set_stuck(true);
    uint8_t buf[64];
    unsigned int len = sizeof buf;
    EXPECT_EQ(__receive_ssp_message(&own.rec, buf, &len, 150, false, 2), -1)
        << "the HID read's failure ends the call";
    EXPECT_GT(set_reports(*pad, 0xF9).size(), 1u) << "polled until the time-out";
    EXPECT_FALSE(own.rec.removed);
    ASSERT_NE(own.rec.hid, nullptr) << "reopened";

    len = sizeof buf;
    EXPECT_EQ(lock_dev_and_receive_ssp_message(&own.rec, buf, &len, 150, false), -1);
    EXPECT_FALSE(own.rec.removed);

    script->set_stuck(false);
    Bytes reply = base_message(1, {0x40, 0x01});
    script->send(reply);
    len = sizeof buf;
    ASSERT_EQ(lock_dev_and_receive_ssp_message(&own.rec, buf, &len, 1000, false), 0);
    EXPECT_EQ(Bytes(buf, buf + len), reply);
}

TEST_F(SspExchange, StuckPadThroughTheApiRaises257) {
    start();
    script->set_stuck(true);
    Got got = receive(64, 150);
    EXPECT_EQ(exception_code(got.handle), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(got.handle), "Error of receive ssp message for device: 1");
}

TEST_F(SspExchange, BiodataArrivingWhileAReplyIsAwaitedStaysQueuedForInputMode) {
    start(false);
    OwnHidRecord own;
    ASSERT_TRUE(own.open(kVid, kPid));
    Bytes pen = old_message({1, 2, 3, 4, 5}, true);
    Bytes reply = base_message(2, {0x50, 0x01});
    script->send(pen);
    script->send(reply);
    uint8_t buf[64];
    unsigned int len = sizeof buf;
    ASSERT_EQ(lock_dev_and_receive_ssp_message(&own.rec, buf, &len, 1000, false), 0);
    EXPECT_EQ(Bytes(buf, buf + len), reply);

    pad->clear_log();
    len = sizeof buf;
    ASSERT_EQ(__receive_ssp_message(&own.rec, buf, &len, 100, false, 1), 0);
    EXPECT_EQ(Bytes(buf, buf + len), pen);
    EXPECT_TRUE(pad->log().empty());
}

TEST_F(SspExchange, UnplugMarksThePadRemovedAndNotifies) {
    start();
    RemovedSink removed;
    SetOnDeviceRemovedHandler(&removed, &RemovedSink::callback);
    pad->unplug();
    Bytes m = base_message(1, {0x60});
    uint32_t h = SendSspMessage(1, 0, m.data(), static_cast<unsigned int>(m.size()));
    EXPECT_EQ(exception_code(h), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(exception_message(h), "Error of send ssp message for device: 1");
    EXPECT_EQ(core_send_ssp_message(0, m.data(), static_cast<unsigned int>(m.size())),
              kCoreRemoved);
    EXPECT_EQ(removed.count_on(), 1u) << "notified by the API call, not by the core";
    Got got = receive(64, 100);
    EXPECT_EQ(exception_code(got.handle), QLPCEC_INVALID_HANDLE);
    EXPECT_EQ(removed.count_on(), 2u);
}

// ---- VCOM: one bulk transfer out, bulk reads in ----

namespace {

class OwnVcomRecord {
  public:
    OwnVcomRecord() { pthread_mutex_init(&lock_, nullptr); }
    ~OwnVcomRecord() {
        vcom_close_dev(rec.vcom_handle);
        if (rec.vcom_device != nullptr)
            libusb_unref_device(rec.vcom_device);
        destroy_uni_queue(rec.ssp_input_read);
        destroy_uni_queue(rec.ssp_command_messages);
        pthread_mutex_destroy(&lock_);
        if (inited_)
            libusb_exit(nullptr);
    }
    OwnVcomRecord(const OwnVcomRecord &) = delete;
    OwnVcomRecord &operator=(const OwnVcomRecord &) = delete;

    bool open(const padsim::Pad &pad) {
        inited_ = libusb_init(nullptr) == 0;
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(nullptr, &list);
        for (ssize_t i = 0; i < n; ++i)
            if (libusb_get_bus_number(list[i]) == pad.bus() &&
                libusb_get_device_address(list[i]) == pad.address())
                rec.vcom_device = libusb_ref_device(list[i]);
        libusb_free_device_list(list, 1);
        rec.transport = &vcom_transport;
        if (rec.vcom_device == nullptr || libusb_open(rec.vcom_device, &rec.vcom_handle) != 0)
            return false;
        rec.endpoint_address_in = 0x81;
        rec.endpoint_address_out = 0x02;
        rec.vcom_in_size = 64;
        rec.vcom_out_size = 64;
        rec.device_lock = &lock_;
        return libusb_claim_interface(rec.vcom_handle, 0) == 0;
    }

    ql_device rec{};

  private:
    pthread_mutex_t lock_;
    bool inited_ = false;
};

class SspVcom : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bed.ok());
        auto m = std::make_unique<padsim::PadModel>(padsim::FirmwareConfig::vcom_pad());
        model = m.get();
        pad = bed.add_pad(padsim::PadConfig::vcom(0x2689, 0xFF01, "VC1"), std::move(m));
        ASSERT_NE(pad, nullptr);
        ASSERT_TRUE(own.open(*pad));
    }

    padsim::Testbed bed;
    padsim::Pad *pad = nullptr;
    padsim::PadModel *model = nullptr;
    OwnVcomRecord own;
};

std::vector<Bytes> bulk_out(const padsim::Pad &pad) {
    std::vector<Bytes> out;
    for (const auto &t : pad.log())
        if (t.type == padsim::TransferType::Bulk && !t.is_in())
            out.push_back(t.data);
    return out;
}

}  // namespace

TEST_F(SspVcom, MessageGoesOutAsOneBulkTransferAndTheReplyComesBack) {
    // The component list request of the pad model.
    Bytes request = base_message(0, {padsim::wire::kMsgComponentList});
    ASSERT_EQ(lock_dev_and_send_ssp_message(&own.rec, request.data(),
                                            static_cast<unsigned int>(request.size())),
              0);
    auto out = bulk_out(*pad);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], padsim::ssp::encode_tokens(request));

    uint8_t buf[256];
    unsigned int len = sizeof buf;
    ASSERT_EQ(lock_dev_and_receive_ssp_message(&own.rec, buf, &len, 1000, false), 0);
    ASSERT_EQ(model->sent_messages().size(), 1u);
    EXPECT_EQ(Bytes(buf, buf + len), model->sent_messages()[0]);
}

// Request mode on a VCOM pad sends the legacy feature request C0 00 first.
TEST_F(SspVcom, RequestModeAsksWithTheLegacyFeatureRequest) {
    Bytes version_request = old_message(Bytes{padsim::wire::kCmdReadVersion}, false);
    ASSERT_EQ(__send_ssp_message(&own.rec, version_request.data(),
                                 static_cast<unsigned int>(version_request.size())),
              0);
    uint8_t buf[128];
    unsigned int len = sizeof buf;
    ASSERT_EQ(__receive_ssp_message(&own.rec, buf, &len, 1000, true, 2), 0);
    auto out = bulk_out(*pad);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], padsim::ssp::encode_tokens(Bytes{0xC0, 0x00}));
    ASSERT_EQ(len, 65u) << "an old message of 64 bytes";
    EXPECT_EQ(buf[0], 0xBF);
    EXPECT_EQ(buf[1], padsim::wire::kCmdReadVersion) << "the answer echoes the command";
    EXPECT_EQ(buf[2], padsim::wire::kStatusSuccess);
}

TEST_F(SspVcom, NothingToReadTimesOutAndReopens) {
    uint8_t buf[64];
    unsigned int len = sizeof buf;
    EXPECT_EQ(__receive_ssp_message(&own.rec, buf, &len, 100, false, 1), LIBUSB_ERROR_TIMEOUT);
    EXPECT_NE(own.rec.vcom_handle, nullptr) << "reopened";
    EXPECT_FALSE(own.rec.removed);
    len = sizeof buf;
    EXPECT_EQ(lock_dev_and_receive_ssp_message(&own.rec, buf, &len, 100, false), -1);
}

TEST_F(SspVcom, UnpluggedPadFailsTheSendWithNoDevice) {
    pad->unplug();
    Bytes m = base_message(0, {0x10});
    EXPECT_EQ(usb_data_send(own.rec.vcom_handle, own.rec.endpoint_address_out, m.data(),
                            static_cast<int>(m.size())),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(__send_ssp_message(&own.rec, m.data(), static_cast<unsigned int>(m.size())),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(own.rec.removed);
    EXPECT_EQ(
        lock_dev_and_send_ssp_message(&own.rec, m.data(), static_cast<unsigned int>(m.size())),
        kCoreRemoved);
}
