// The gateway in this process on a scripted pad stack, with WebSocket pages
// on loopback: who gets in, how calls are answered, which frames close the
// socket, who holds the pads, and what a page that misbehaves costs.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "fake_stack.h"
#include "free_port.h"
#include "gateway.h"
#include "page_client.h"
#include "wait_until.h"

namespace {

using pagetest::FakeStack;
using pagetest::Headers;
using pagetest::PageClient;
using pagetest::json::object;
using namespace std::chrono_literals;

class GatewayTest : public ::testing::Test {
  protected:
    void start(inkwebd::Limits limits = {}) {
        inkwebd::Config config;
        config.port = 0;
        config.allow_origins = {"https://forms.example"};
        config.version = "test";
        config.limits = limits;
        gateway_ = std::make_unique<inkwebd::Gateway>(config, std::make_unique<FakeStack>(pads));
        std::string why;
        ASSERT_TRUE(gateway_->listen(why)) << why;
        port = gateway_->port();
        thread_ = std::thread([this] { gateway_->run(); });
    }
    void TearDown() override {
        if (!gateway_)
            return;
        gateway_->stop();
        testutil::must_return_within("the gateway's run", [this] { thread_.join(); });
        gateway_.reset();
    }
    inkwebd::Stats stats() const { return gateway_->stats(); }

    std::shared_ptr<FakeStack::Shared> pads = std::make_shared<FakeStack::Shared>();
    unsigned port = 0;

  private:
    std::unique_ptr<inkwebd::Gateway> gateway_;
    std::thread thread_;
};

Headers with_origin(const std::string &origin) {
    Headers h;
    h.origin = origin;
    return h;
}
Headers with_host(const std::string &host, const std::string &origin) {
    Headers h = with_origin(origin);
    h.host = host;
    return h;
}
Headers without_origin() {
    Headers h;
    h.origin_default = false;
    return h;
}
Headers with_protocol(const std::string &protocol) {
    Headers h;
    h.protocol = protocol;
    return h;
}

std::string repeated(const std::string &piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

std::string text(const object &o, const char *key) {
    return o.contains(key) && o.at(key).is_string() ? std::string(o.at(key).get_string()) : "";
}

TEST_F(GatewayTest, RefusalsAreAnsweredBeforeTheUpgrade) {
    start();
    const std::string self = "127.0.0.1:" + std::to_string(port);
    const std::string local = "localhost:" + std::to_string(port);
    struct Row {
        const char *what;
        Headers headers;
        int status;
    } rows[] = {
        {"its own page", {}, 101},
        {"its own page by name", with_host(local, "http://" + local), 101},
        {"an allowed origin", with_origin("https://forms.example"), 101},
        {"another site", with_origin("https://evil.example"), 403},
        {"an allowed origin's neighbour", with_origin("https://forms.example:8443"), 403},
        {"another port of loopback", with_origin("http://127.0.0.1:1"), 403},
        {"a null origin", with_origin("null"), 403},
        {"no origin", without_origin(), 403},
        {"a rebound name", with_host("evil.example:" + std::to_string(port), "http://" + self),
         403},
        {"no subprotocol", with_protocol(""), 400},
        {"another subprotocol", with_protocol("inkport.v2"), 400},
        {"ours among others", with_protocol("chat, inkport.v1"), 101},
    };
    for (const Row &row : rows) {
        PageClient page(port, row.headers);
        EXPECT_EQ(page.status(), row.status) << row.what << ": " << page.refusal();
    }
    EXPECT_EQ(stats().pages, 4u);  // only the accepted ones were upgraded
}

TEST_F(GatewayTest, BadRequestsAreAnsweredAndTheSocketStaysOpen) {
    start();
    PageClient page(port);
    ASSERT_TRUE(page.open());
    struct Row {
        const char *frame;
        int64_t id;  // -1: the answer's id is null
        const char *message;
    } rows[] = {
        {"not json", -1, "not valid JSON"},
        {"[1]", -1, "a request must be a JSON object"},
        {R"({"call":"list"})", -1, "\"id\" is missing"},
        {R"({"id":1.5,"call":"list"})", -1, "\"id\" must be an integer"},
        {R"({"id":2})", 2, "\"call\" is missing"},
        {R"({"id":3,"call":"dance"})", 3, "\"call\" names no call"},
        {R"({"id":4,"call":"ssp","message":"00"})", 4, "\"dev\" is missing"},
        {R"({"id":5,"call":"ssp","dev":"1","message":"00"})", 5, "\"dev\" must be an integer"},
        {R"({"id":6,"call":"ssp","dev":16,"message":"00"})", 6, "\"dev\" must be from 1 to 15"},
        {R"({"id":7,"call":"ssp","dev":1,"message":"0g"})", 7, "\"message\" must be hex"},
        {R"({"id":8,"call":"ssp","dev":1,"message":"00","time_out":5001})", 8, "\"time_out\""},
        {R"({"id":9,"call":"receive","dev":1})", 9, "\"on\" is missing"},
        {R"({"id":10,"call":"set_var","dev":1,"name":"","value":"1"})", 10, "\"name\" must have"},
    };
    for (const Row &row : rows) {
        ASSERT_TRUE(page.send(row.frame));
        std::optional<object> a = page.next();
        ASSERT_TRUE(a) << row.frame;
        EXPECT_EQ(a->at("id"),
                  row.id < 0 ? pagetest::json::value(nullptr) : pagetest::json::value(row.id))
            << row.frame;
        EXPECT_EQ(a->at("ok"), false) << row.frame;
        const object &error = a->at("error").get_object();
        EXPECT_EQ(text(error, "fault"), "bad_request") << row.frame;
        EXPECT_NE(text(error, "message").find(row.message), std::string::npos) << row.frame;
    }

    // Still open: calls work, and a pad stack's fault has its own shape.
    std::optional<object> list = page.call({{"id", 11}, {"call", "list"}});
    ASSERT_TRUE(list);
    EXPECT_EQ(pagetest::json::serialize(list->at("pads")),
              R"([{"dev":1,"vendor_id":8905,"product_id":2305,"serial":"AB12",)"
              R"("product":"Pad","vendor":"Maker","end_points":1}])");
    std::optional<object> ssp =
        page.call({{"id", 12}, {"call", "ssp"}, {"dev", 1}, {"message", "0102ff"}});
    ASSERT_TRUE(ssp);
    EXPECT_EQ(text(*ssp, "reply"), "ff0201");
    std::optional<object> gone =
        page.call({{"id", 13}, {"call", "ssp"}, {"dev", 2}, {"message", "00"}});
    ASSERT_TRUE(gone);
    const object &error = gone->at("error").get_object();
    EXPECT_EQ(text(error, "fault"), "api");
    EXPECT_EQ(text(error, "function"), "SendSspMessage");
    EXPECT_EQ(error.at("code"), 3);
}

TEST_F(GatewayTest, BinaryAndOversizedFramesCloseTheSocket) {
    start();
    struct Row {
        const char *what;
        std::string frame;
        bool binary;
        int code;
    } rows[] = {
        {"binary", "{}", true, 1003},
        {"over 64 KiB", std::string(64 * 1024 + 1, ' '), false, 1009},
    };
    for (const Row &row : rows) {
        PageClient page(port);
        ASSERT_TRUE(page.open());
        ASSERT_TRUE(page.send(row.frame, row.binary));
        EXPECT_EQ(page.until_closed(), row.code) << row.what;
    }
}

TEST_F(GatewayTest, TheNewestPageWinsAndTheOldOnesStreamsStopFirst) {
    start();
    PageClient first(port);
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(first.call({{"id", 1}, {"call", "receive"}, {"dev", 1}, {"on", true}}));
    pads->push_report(0x01);
    std::optional<object> report = first.next();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->at("seq"), 0);

    PageClient second(port);
    ASSERT_TRUE(second.open());
    EXPECT_EQ(first.until_closed(), 4409);
    ASSERT_TRUE(second.call({{"id", 1}, {"call", "receive"}, {"dev", 1}, {"on", true}}));
    pads->push_report(0x02);
    report = second.next();
    ASSERT_TRUE(report);
    // The report the first page's stream left behind did not come here, and
    // this page counts its own reports.
    EXPECT_EQ(text(*report, "report"), repeated("02", 64));
    EXPECT_EQ(report->at("seq"), 0);

    // In the pad stack: the first page's stream stopped before the second's started.
    const std::vector<std::string> calls = pads->calls();
    const auto first_on = std::find(calls.begin(), calls.end(), "set_receiving 1 0 on");
    ASSERT_NE(first_on, calls.end());
    const auto off = std::find(first_on, calls.end(), "set_receiving 1 0 off");
    const auto second_on = std::find(first_on + 1, calls.end(), "set_receiving 1 0 on");
    EXPECT_LT(off, second_on);
}

TEST_F(GatewayTest, APageThatDoesNotReadIsBoundedThenClosedWith1008) {
    inkwebd::Limits limits;
    limits.stall = 5s;
    limits.close_wait = 20s;
    start(limits);
    PageClient page(port, {}, 4096);
    ASSERT_TRUE(page.open());
    ASSERT_TRUE(page.call({{"id", 1}, {"call", "receive"}, {"dev", 1}, {"on", true}}));

    // The page reads nothing: the reports fill the socket, then the queue.
    ASSERT_TRUE(testutil::wait_until([&] {
        for (int i = 0; i < 100; ++i)
            pads->push_report(0x5A);
        return stats().dropped > 0;
    }));
    EXPECT_LE(stats().queued, limits.max_queued);

    // Reading again, the page gets what was queued and, before the next
    // report after each run of lost ones, a gap with their count; the
    // reports' numbers count the lost ones too.
    int64_t last = -1;
    uint64_t pending = 0, lost = 0;
    bool gap_seen = false;
    for (int frames = 0; !(gap_seen && pending == 0 && lost == stats().dropped); ++frames) {
        if (frames % 100 == 0)
            pads->push_report(0x5A);
        std::optional<object> e = page.next();
        ASSERT_TRUE(e);
        if (text(*e, "event") == "gap") {
            pending += static_cast<uint64_t>(e->at("lost").as_int64());
            lost += static_cast<uint64_t>(e->at("lost").as_int64());
            gap_seen = true;
            continue;
        }
        ASSERT_EQ(e->at("seq").as_int64(), last + 1 + static_cast<int64_t>(pending));
        last = e->at("seq").as_int64();
        pending = 0;
    }

    // Taking nothing for the stall time ends the page with 1008.
    ASSERT_TRUE(testutil::wait_until(
        [&] {
            for (int i = 0; i < 100; ++i)
                pads->push_report(0x5A);
            return stats().stalled == 1;
        },
        60s));
    EXPECT_EQ(page.until_closed(60s), 1008);
}

TEST_F(GatewayTest, APageThatAnswersNoPingIsClosed) {
    inkwebd::Limits limits;
    limits.ping = 50ms;
    limits.silence = 300ms;
    start(limits);
    PageClient page(port);
    ASSERT_TRUE(page.open());
    // Not reading, the page answers none of the pings: its socket goes.
    EXPECT_TRUE(testutil::wait_until([&] { return stats().connections == 0; }));
}

TEST_F(GatewayTest, TwoHundredSocketsDroppedAbruptlyThenAPageIsServed) {
    start();
    const std::string half = "GET /pads HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nUpgrade: websocket\r\n";
    std::vector<std::unique_ptr<PageClient>> pages;
    std::vector<int> sockets;
    for (int i = 0; i < 200; ++i) {
        if (i % 4 == 0) {
            pages.push_back(std::make_unique<PageClient>(port));  // upgraded
            continue;
        }
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        if (i % 2 == 1) {
            ASSERT_EQ(send(s, half.data(), half.size(), 0), static_cast<ssize_t>(half.size()));
        }
        sockets.push_back(s);
    }
    // Reset, not closed: no FIN, no close frame.
    const linger abrupt = {1, 0};
    for (int s : sockets) {
        setsockopt(s, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        close(s);
    }
    for (auto &p : pages)
        p->drop();
    EXPECT_TRUE(testutil::wait_until([&] { return stats().connections == 0; }));

    PageClient page(port);
    ASSERT_TRUE(page.open());
    EXPECT_TRUE(page.call({{"id", 1}, {"call", "list"}}));
}

}  // namespace
