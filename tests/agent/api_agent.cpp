// The agent without a pad: every function id through the five entry
// points, the texts and exception records of the pad library as a remote
// client sees them, malformed packages, ordering and the callbacks' end.
#include <inkport/inkport.h>

#include <thread>

#include "agent_harness.h"
#include "thread_count.h"

using namespace agenttest;

namespace {

class NoPad : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(agent.ok()) << dlerror(); }
    void TearDown() override {
        agent.unload();
        Deinitialize();
    }

    // The local library's text for a text call, for comparison.
    static std::string local_text(const uint16_t *buffer) {
        std::string s;
        for (int i = 0; buffer[i] != 0; ++i)
            s.push_back(static_cast<char>(buffer[i]));
        return s;
    }

    Agent agent;
};

TEST_F(NoPad, LifecycleAndEnumerationWithoutPads) {
    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_IS_INITIALIZED)), 0u);
    Result r = agent.call(INKAGENT_FN_INITIALIZE);
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
    EXPECT_EQ(r.result, 0u);
    expect_no_outputs(r);
    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_IS_INITIALIZED)), 1u);
    EXPECT_TRUE(IsInitialized()) << "the agent runs the library of this process";

    r = agent.call(INKAGENT_FN_GET_DEVICE_COUNT);
    EXPECT_EQ(r.result, 0u) << "the count is the result";
    EXPECT_EQ(single_u32(r), 0u);
    for (uint32_t fn : {INKAGENT_FN_ENUMERATE_DEVICES_START, INKAGENT_FN_ENUMERATE_DEVICES_NEXT}) {
        r = agent.call(fn);
        EXPECT_EQ(r.result, 0u);
        EXPECT_EQ(single_u32(r), 0u) << "no pad: " << fn;
    }

    r = agent.call(INKAGENT_FN_DEINITIALIZE);
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
    expect_no_outputs(r);
    EXPECT_EQ(single_u32(agent.call(INKAGENT_FN_IS_INITIALIZED)), 0u);
}

// Each pad function on a missing pad answers with an exception handle, its
// outputs in their usual shape, and the record reads the same remotely and
// locally.
TEST_F(NoPad, PadFunctionsGiveExceptionsReadableRemotely) {
    ASSERT_EQ(agent.call(INKAGENT_FN_INITIALIZE).status, INKAGENT_STATUS_OK);
    enum Shape { U32Out, TextOut, BytesOut, NoOut };
    struct Case {
        uint32_t fn;
        const char *name;
        Payload args;
        Shape shape;
    };
    std::vector<Case> cases = {
        {INKAGENT_FN_GET_SERIAL_NUMBER, "GetSerialNumber", Payload().u32(1).u32(64), TextOut},
        {INKAGENT_FN_GET_PRODUCT_NAME, "GetProductName", Payload().u32(1).u32(0).u32(64), TextOut},
        {INKAGENT_FN_GET_VENDOR_NAME, "GetVendorName", Payload().u32(1).u32(64), TextOut},
        {INKAGENT_FN_GET_PRODUCT_ID, "GetProductId", Payload().u32(1).u32(0), U32Out},
        {INKAGENT_FN_GET_VENDOR_ID, "GetVendorId", Payload().u32(1), U32Out},
        {INKAGENT_FN_GET_USB_VERSION, "GetUsbVersion", Payload().u32(1), U32Out},
        {INKAGENT_FN_GET_END_POINT_COUNT, "GetEndPointCount", Payload().u32(1), U32Out},
        {INKAGENT_FN_GET_FEATURE_REPORT_SIZE, "GetFeatureReportSize", Payload().u32(1).u32(0),
         U32Out},
        {INKAGENT_FN_SET_FEATURE, "SetFeature", Payload().u32(1).u32(0).bytes({0, 1, 2}), U32Out},
        {INKAGENT_FN_GET_FEATURE, "GetFeature", Payload().u32(1).u32(0).u32(65), BytesOut},
        {INKAGENT_FN_WRITE_FILE, "WriteFile", Payload().u32(1).u32(0).bytes({0, 1}), U32Out},
        {INKAGENT_FN_READ_FILE, "ReadFile", Payload().u32(1).u32(0).u32(65), BytesOut},
        {INKAGENT_FN_SEND_SSP_MESSAGE, "SendSspMessage", Payload().u32(1).u32(0).bytes({1, 2}),
         NoOut},
        {INKAGENT_FN_RECEIVE_SSP_MESSAGE, "ReceiveSspMessage",
         Payload().u32(1).u32(0).u32(100).u32(10), BytesOut},
        {INKAGENT_FN_SET_DATA_RECEIVING_ENABLED, "SetDataReceivingEnabled",
         Payload().u32(1).u32(0).u32(1), NoOut},
        {INKAGENT_FN_GET_DATA_PACKETS_AVAILABLE, "GetDataPacketsAvailable", Payload().u32(1).u32(0),
         U32Out},
        {INKAGENT_FN_FLUSH_DATA_PACKETS, "FlushDataPackets", Payload().u32(1).u32(0), NoOut},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = agent.call(c.fn, c.args);
        ASSERT_EQ(r.status, INKAGENT_STATUS_OK);
        const uint32_t handle = r.result;
        Reader out = r.outputs();
        switch (c.shape) {
            case U32Out:
                out.u32();
                break;
            case TextOut:
                EXPECT_EQ(out.text(), "");
                out.u32();
                break;
            case BytesOut:
                EXPECT_EQ(out.bytes(), Bytes{}) << "nothing read";
                EXPECT_EQ(out.u32(), 0u);
                break;
            case NoOut:
                break;
        }
        EXPECT_TRUE(out.done()) << "outputs of the wrong shape";
        if (c.fn == INKAGENT_FN_GET_DATA_PACKETS_AVAILABLE ||
            c.fn == INKAGENT_FN_FLUSH_DATA_PACKETS) {
            // The library answers these without a pad, as it does locally.
            unsigned int n = 0;
            EXPECT_EQ(handle, c.fn == INKAGENT_FN_FLUSH_DATA_PACKETS
                                  ? FlushDataPackets(1, 0)
                                  : GetDataPacketsAvailable(1, 0, &n));
            continue;
        }
        ASSERT_NE(handle, 0u) << "no pad: the call fails";

        // The record, remotely and locally.
        unsigned int code = 0;
        ASSERT_EQ(GetExceptionCode(handle, &code), 0u);
        r = agent.call(INKAGENT_FN_GET_EXCEPTION_CODE, Payload().u32(handle));
        EXPECT_EQ(r.result, 0u);
        EXPECT_EQ(single_u32(r), code);
        EXPECT_NE(code, 0u);

        auto name =
            text_out(agent.call(INKAGENT_FN_GET_EXCEPTION_NAME, Payload().u32(handle).u32(256)));
        EXPECT_EQ(name.text, c.name);
        EXPECT_EQ(name.reply, name.text.size() + 1) << "the name's count includes the terminator";
        auto type =
            text_out(agent.call(INKAGENT_FN_GET_EXCEPTION_TYPE, Payload().u32(handle).u32(256)));
        EXPECT_EQ(type.text, "libinkport");
        EXPECT_EQ(type.reply, type.text.size());

        uint16_t local[QLPAD_MAX_STRING_LENGTH] = {};
        unsigned int local_reply = 0;
        ASSERT_EQ(GetExceptionMessage(handle, local, QLPAD_MAX_STRING_LENGTH, &local_reply), 0u);
        auto message =
            text_out(agent.call(INKAGENT_FN_GET_EXCEPTION_MESSAGE, Payload().u32(handle).u32(256)));
        EXPECT_EQ(message.text, local_text(local));
        EXPECT_EQ(message.reply, local_reply);
        EXPECT_FALSE(message.text.empty());
    }
    // A handle beyond the records: answered as locally.
    Result r = agent.call(INKAGENT_FN_GET_EXCEPTION_CODE, Payload().u32(64));
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
    unsigned int code = 0;
    EXPECT_EQ(r.result == 0, GetExceptionCode(64, &code) == 0);
}

TEST_F(NoPad, TranslateErrorCodeAndSayHelloMatchTheLocalCalls) {
    struct Case {
        uint32_t code;
        const char *text;
    };
    for (const Case &c :
         {Case{QLPCEC_SUCCESS, "QLPCEC_SUCCESS"}, Case{QLPCEC_TIMEOUT, "QLPCEC_TIMEOUT"},
          Case{QLPCEC_INVALID_HANDLE, "QLPCEC_INVALID_HANDLE"},
          Case{QLPCEC_NO_MORE_ELEMENTS, "QLPCEC_NO_MORE_ELEMENTS"},
          Case{0x4711, "QLPCEC_UNKNOWN"}}) {
        SCOPED_TRACE(c.text);
        Result r = agent.call(INKAGENT_FN_TRANSLATE_ERROR_CODE, Payload().u32(c.code).u32(256));
        EXPECT_EQ(r.result, 0u);
        auto t = text_out(r);
        EXPECT_EQ(t.text, c.text);
        EXPECT_EQ(t.reply, t.text.size() + 1);
    }
    // A small buffer behaves remotely as it does locally.
    for (uint32_t capacity : {0u, 1u, 5u, 14u, 15u}) {
        SCOPED_TRACE(capacity);
        uint16_t local[32] = {};
        unsigned int local_reply = 0;
        uint32_t local_result =
            TranslateErrorCode(QLPCEC_SUCCESS, local, static_cast<int>(capacity), &local_reply);
        Result r = agent.call(INKAGENT_FN_TRANSLATE_ERROR_CODE,
                              Payload().u32(QLPCEC_SUCCESS).u32(capacity));
        ASSERT_EQ(r.status, INKAGENT_STATUS_OK);
        EXPECT_EQ(r.result == 0, local_result == 0);
        Reader out = r.outputs();
        std::string text = out.text();
        EXPECT_LE(text.size(), capacity);
        EXPECT_EQ(text, local_text(local).substr(0, capacity));
        EXPECT_EQ(out.u32(), local_reply);
    }

    std::u16string hello = u"pen";
    Result r = agent.call(INKAGENT_FN_SAY_HELLO, Payload().text(hello).u32(100));
    EXPECT_EQ(r.result, 0u);
    auto t = text_out(r);
    EXPECT_EQ(t.text, "someText = \"pen\"");
    uint16_t local[100] = {};
    unsigned int local_reply = 0;
    const uint16_t pen[] = {'p', 'e', 'n', 0};
    ASSERT_EQ(SayHello(pen, local, 100, &local_reply), 0u);
    EXPECT_EQ(t.reply, local_reply);

    // An empty text and a text with a 0 unit inside: the call sees the units
    // up to the first 0.
    EXPECT_EQ(text_out(agent.call(INKAGENT_FN_SAY_HELLO, Payload().text(u"").u32(100))).text,
              "someText = \"\"");
    EXPECT_EQ(text_out(agent.call(INKAGENT_FN_SAY_HELLO,
                                  Payload().text(std::u16string(u"ab\0cd", 5)).u32(100)))
                  .text,
              "someText = \"ab\"");
}

// The worked example of the protocol's document, byte for byte (the bridge
// stamps the send time later; the agent leaves it 0).
TEST_F(NoPad, WorkedExampleOfTheDocument) {
    const Bytes call = {0x00, 0x00, 0x11, 0x27, 0x19, 0x01, 0x00, 0x00, 0x2a, 0x00, 0x00,
                        0x00, 0x2a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x01, 0x03, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00};
    Bytes expected = {0x02, 0x00, 0x11, 0x27, 0x19, 0x01, 0x00, 0x00, 0x4e, 0x00, 0x00, 0x00,
                      0x4e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x00, 0x00, 0x00};
    for (char c : std::string("QLPCEC_TIMEOUT")) {
        expected.push_back(static_cast<uint8_t>(c));
        expected.push_back(0);
    }
    expected.insert(expected.end(), {0x0f, 0x00, 0x00, 0x00});
    ASSERT_EQ(call.size(), 42u);
    ASSERT_EQ(expected.size(), 78u);
    agent.send_raw(call, 42);
    Result r = agent.wait_result(0x119);
    EXPECT_EQ(r.package.bytes, expected);

    Bytes refused = call;
    inkagent_put_u32(refused.data() + 38, 5000);
    agent.send_raw(refused, 42);
    ASSERT_TRUE(agent.sink.wait([&] { return agent.sink.results.size() == 2; }));
    Bytes expected_refusal(expected.begin(), expected.begin() + 42);
    expected_refusal[8] = expected_refusal[12] = 0x2a;
    expected_refusal[34] = 4;
    std::lock_guard<std::mutex> g(agent.sink.m);
    EXPECT_EQ(agent.sink.results[1].bytes, expected_refusal);
}

// Every kind of broken package gets an error result with the message id the
// package carried, no outputs, and the agent stays in service.
TEST_F(NoPad, MalformedPackagesGetErrorResults) {
    struct Case {
        const char *what;
        Bytes package;
        uint32_t passed_size;
        uint32_t status;
    };
    auto pkg = [](uint32_t fn, const Payload &args) {
        return call_package(INKAGENT_MESSAGE_ID(0x123, fn), args.b);
    };
    std::vector<Case> cases;
    auto add = [&](const char *what, Bytes p, uint32_t status) {
        uint32_t n = static_cast<uint32_t>(p.size());
        cases.push_back({what, std::move(p), n, status});
    };
    {
        Bytes p = pkg(INKAGENT_FN_IS_INITIALIZED, {});
        p.resize(20);
        add("shorter than the header", p, INKAGENT_STATUS_MALFORMED);
        p.resize(6);
        add("not even a whole message id", p, INKAGENT_STATUS_MALFORMED);
    }
    {
        Bytes p = pkg(INKAGENT_FN_IS_INITIALIZED, {});
        inkagent_put_u32(p.data() + INKAGENT_OFFSET_TOTAL_SIZE, 40);
        add("size field larger than the package", p, INKAGENT_STATUS_MALFORMED);
        inkagent_put_u32(p.data() + INKAGENT_OFFSET_TOTAL_SIZE, 0);
        add("size field 0", p, INKAGENT_STATUS_MALFORMED);
    }
    add("too short for its arguments", pkg(INKAGENT_FN_GET_SERIAL_NUMBER, Payload().u32(1)),
        INKAGENT_STATUS_MALFORMED);
    add("half an argument", pkg(INKAGENT_FN_GET_VENDOR_ID, Payload{Bytes{1, 0}}),
        INKAGENT_STATUS_MALFORMED);
    add("trailing bytes", pkg(INKAGENT_FN_IS_INITIALIZED, Payload().u32(7)),
        INKAGENT_STATUS_MALFORMED);
    add("trailing bytes after a byte string",
        pkg(INKAGENT_FN_SET_FEATURE, Payload().u32(1).u32(0).bytes({1, 2}).u32(0)),
        INKAGENT_STATUS_MALFORMED);
    {
        Payload p = Payload().u32(1).u32(0).u32(1000);
        p.b.insert(p.b.end(), {1, 2, 3});
        add("byte count beyond the package", pkg(INKAGENT_FN_SET_FEATURE, p),
            INKAGENT_STATUS_MALFORMED);
    }
    {
        Payload p = Payload().u32(0x80000001u);
        p.b.insert(p.b.end(), {'a', 0});
        p.u32(10);
        add("unit count that overflows as bytes", pkg(INKAGENT_FN_SAY_HELLO, p),
            INKAGENT_STATUS_MALFORMED);
    }
    add("function id 0", pkg(0, {}), INKAGENT_STATUS_UNKNOWN);
    add("function id 0x0F", pkg(0x0F, Payload().u32(1)), INKAGENT_STATUS_UNKNOWN);
    add("function id 0xE0", pkg(INKAGENT_EV_DATA_RECEIVED, {}), INKAGENT_STATUS_UNKNOWN);
    add("function id 0xFF", pkg(0xFF, {}), INKAGENT_STATUS_UNKNOWN);
    add("text capacity too large",
        pkg(INKAGENT_FN_TRANSLATE_ERROR_CODE, Payload().u32(0).u32(INKAGENT_MAX_TEXT_CAPACITY + 1)),
        INKAGENT_STATUS_REFUSED);
    add("byte capacity too large",
        pkg(INKAGENT_FN_GET_FEATURE, Payload().u32(1).u32(0).u32(INKAGENT_MAX_BYTES_CAPACITY + 1)),
        INKAGENT_STATUS_REFUSED);
    add("capacity of 4 GiB", pkg(INKAGENT_FN_READ_FILE, Payload().u32(1).u32(0).u32(0xFFFFFFFFu)),
        INKAGENT_STATUS_REFUSED);
    add("time-out too long",
        pkg(INKAGENT_FN_RECEIVE_SSP_MESSAGE, Payload().u32(1).u32(0).u32(10).u32(3600000)),
        INKAGENT_STATUS_REFUSED);
    add("malformed before refused",
        pkg(INKAGENT_FN_TRANSLATE_ERROR_CODE, Payload().u32(0).u32(100000).u32(0)),
        INKAGENT_STATUS_MALFORMED);
    {
        Bytes big = pkg(INKAGENT_FN_SET_FEATURE, Payload().u32(1).u32(0).bytes(Bytes(3000, 7)));
        add("more than a package holds", big, INKAGENT_STATUS_MALFORMED);
    }
    {
        Bytes p = pkg(INKAGENT_FN_IS_INITIALIZED, {});
        cases.push_back(
            {"size passed smaller than the size field", p, 30, INKAGENT_STATUS_MALFORMED});
        p.resize(40);
        cases.push_back(
            {"size passed larger than the size field", p, 40, INKAGENT_STATUS_MALFORMED});
        cases.push_back({"the same bytes, size as in the field", p, 34, INKAGENT_STATUS_OK});
    }

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = [&] {
            std::lock_guard<std::mutex> g(agent.sink.m);
            return agent.sink.results.size();
        }();
        agent.send_raw(c.package, c.passed_size);
        ASSERT_TRUE(agent.sink.wait([&] { return agent.sink.results.size() == before + 1; }));
        Package p;
        {
            std::lock_guard<std::mutex> g(agent.sink.m);
            p = agent.sink.results.back();
        }
        ASSERT_EQ(p.bytes.size() >= INKAGENT_HEADER_SIZE + 8, true);
        Reader in{p.bytes};
        EXPECT_EQ(in.u32(), c.status);
        if (c.status == INKAGENT_STATUS_OK)
            continue;
        EXPECT_EQ(in.u32(), 0u) << "result 0 with an error status";
        EXPECT_TRUE(in.done()) << "no outputs with an error status";
        if (c.package.size() >= 8) {
            EXPECT_EQ(p.message_id(), inkagent_get_u32(c.package.data() + 4));
        } else {
            Bytes id(4, 0);
            std::copy(c.package.begin() + 4, c.package.end(), id.begin());
            EXPECT_EQ(p.message_id(), inkagent_get_u32(id.data())) << "what there is of the id";
        }
        EXPECT_EQ(p.total(), p.bytes.size());
    }

    // The agent still serves.
    EXPECT_EQ(agent.call(INKAGENT_FN_IS_INITIALIZED).status, INKAGENT_STATUS_OK);
    // No bytes at all: answered under message id 0.
    agent.far(nullptr, 0);
    Result r = agent.wait_result(0);
    EXPECT_EQ(r.status, INKAGENT_STATUS_MALFORMED);
}

// The largest capacities fill one package to the outbound limit at most.
TEST_F(NoPad, LargestCapacitiesFitOnePackage) {
    Result r =
        agent.call(INKAGENT_FN_SAY_HELLO,
                   Payload().text(std::u16string(300, u'x')).u32(INKAGENT_MAX_TEXT_CAPACITY));
    ASSERT_EQ(r.status, INKAGENT_STATUS_OK);
    auto t = text_out(r);
    EXPECT_EQ(t.text.substr(0, 12), "someText = \"");
    r = agent.call(INKAGENT_FN_READ_FILE, Payload().u32(1).u32(0).u32(INKAGENT_MAX_BYTES_CAPACITY));
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
}

TEST_F(NoPad, ResultsComeInArrivalOrder) {
    // Sent back to back without waiting: the bridge's thread only queues.
    std::vector<uint32_t> ids;
    for (int i = 0; i < 300; ++i) {
        uint32_t fn = i % 3 == 0   ? INKAGENT_FN_IS_INITIALIZED
                      : i % 3 == 1 ? INKAGENT_FN_TRANSLATE_ERROR_CODE
                                   : 0x7E;
        Payload args =
            fn == INKAGENT_FN_TRANSLATE_ERROR_CODE ? Payload().u32(i).u32(40) : Payload();
        uint32_t id = agent.next_id(fn);
        Bytes p = call_package(id, args.b);
        agent.send_raw(p, static_cast<uint32_t>(p.size()));
        ids.push_back(id);
    }
    ASSERT_TRUE(agent.sink.wait([&] { return agent.sink.results.size() == ids.size(); }));
    std::lock_guard<std::mutex> g(agent.sink.m);
    for (size_t i = 0; i < ids.size(); ++i)
        ASSERT_EQ(agent.sink.results[i].message_id(), ids[i]) << "result " << i;
}

// A registration of NULL has returned: the old callback is never called
// again, even with calls queued behind it.
int other_results = 0;
std::mutex other_lock;
std::condition_variable other_cv;
std::vector<uint32_t> other_ids;
int other_result(void *package, int) {
    std::lock_guard<std::mutex> g(other_lock);
    other_ids.push_back(inkagent_get_u32(static_cast<uint8_t *>(package) + 4));
    ++other_results;
    other_cv.notify_all();
    return 0;
}

TEST_F(NoPad, RemovedResultCallbackIsNeverCalledAgain) {
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 50; ++i) {
            Bytes p = call_package(agent.next_id(INKAGENT_FN_IS_INITIALIZED), {});
            agent.send_raw(p, static_cast<uint32_t>(p.size()));
        }
        agent.register_result(nullptr);
        results_removed = true;
        // Later calls go to the new callback; the old one stays silent.
        agent.register_result(other_result);
        uint32_t id = agent.next_id(INKAGENT_FN_IS_INITIALIZED);
        Bytes p = call_package(id, {});
        agent.send_raw(p, static_cast<uint32_t>(p.size()));
        std::unique_lock<std::mutex> g(other_lock);
        ASSERT_TRUE(other_cv.wait_for(
            g, 20s, [&] { return !other_ids.empty() && other_ids.back() == id; }));
        g.unlock();
        EXPECT_EQ(calls_after_removal.load(), 0);
        agent.register_result(on_result);
        results_removed = false;
    }
}

TEST_F(NoPad, UnloadWithCallsQueuedEndsTheWorker) {
    for (int i = 0; i < 500; ++i) {
        Bytes p = call_package(agent.next_id(INKAGENT_FN_TRANSLATE_ERROR_CODE),
                               Payload().u32(i).u32(100).b);
        agent.send_raw(p, static_cast<uint32_t>(p.size()));
    }
    agent.unload();
    EXPECT_EQ(calls_after_removal.load(), 0);
    // The worker has ended: no thread of the agent is left.
    EXPECT_EQ(testutil::count_threads_named("inkagent-call"), 0);
}

// The client went away: what it queued is not run, later calls are.
TEST_F(NoPad, ClientGoneDropsQueuedCalls) {
    std::mutex m;
    std::condition_variable cv;
    bool all_sent = false;
    bool reported = false;
    // The first result holds the worker until every call is queued, then
    // reports the client gone from inside the callback, as a bridge whose
    // socket closed does.
    uint32_t first = agent.next_id(INKAGENT_FN_IS_INITIALIZED);
    static std::function<void()> hook;
    static uint32_t hook_id;
    hook_id = first;
    hook = [&] {
        std::unique_lock<std::mutex> g(m);
        cv.wait_for(g, 20s, [&] { return all_sent; });
        agent.server_connection(0);
        reported = true;
        cv.notify_all();
    };
    agent.register_result([](void *package, int length) {
        if (inkagent_get_u32(static_cast<uint8_t *>(package) + 4) == hook_id)
            hook();
        return on_result(package, length);
    });
    Bytes p = call_package(first, {});
    agent.send_raw(p, static_cast<uint32_t>(p.size()));
    std::vector<uint32_t> dropped;
    for (int i = 0; i < 20; ++i) {
        dropped.push_back(agent.next_id(INKAGENT_FN_IS_INITIALIZED));
        p = call_package(dropped.back(), {});
        agent.send_raw(p, static_cast<uint32_t>(p.size()));
    }
    {
        std::lock_guard<std::mutex> g(m);
        all_sent = true;
    }
    cv.notify_all();
    {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, 20s, [&] { return reported; }));
    }
    Result r = agent.call(INKAGENT_FN_IS_INITIALIZED);  // the next client's
    EXPECT_EQ(r.status, INKAGENT_STATUS_OK);
    // Back to the plain callback before looking: a registration waits for
    // a result being delivered, which needs the sink's lock.
    agent.register_result(on_result);
    std::lock_guard<std::mutex> g(agent.sink.m);
    ASSERT_EQ(agent.sink.results.size(), 2u);
    EXPECT_EQ(agent.sink.results[0].message_id(), first);
    for (const auto &result : agent.sink.results)
        for (uint32_t id : dropped)
            EXPECT_NE(result.message_id(), id);
}

}  // namespace
