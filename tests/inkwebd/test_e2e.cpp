// inkwebd as a user runs it: the program under the bench's runner with a
// virtual pad that draws a stroke, a page on loopback, and the signals that
// end it. Every wait has a deadline.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "child_process.h"
#include "page_client.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace {

using pagetest::PageClient;
using pagetest::json::object;
using testutil::ChildProcess;
using namespace std::chrono_literals;

// The sample number of a pen report of the bench (tag a0, then the number
// little-endian), or -1 for anything else.
long sample_of(const std::string &hex) {
    if (hex.size() != 128 || hex.compare(0, 2, "a0") != 0)
        return -1;
    long n = 0;
    for (int i = 4; i >= 1; --i)
        n = n * 256 + std::stol(hex.substr(static_cast<size_t>(i) * 2, 2), nullptr, 16);
    return n;
}

TEST(InkwebdE2E, APageListsThePadReceivesAStrokeInOrderAndIsClosedWith1001OnSigterm) {
    testutil::TempDir dir("inkwebd-e2e");
    ChildProcess p({PADSIM_PROGRAM, "--hid", "22c9:0901:AB12", "--stroke", "200@1000", "--",
                    INKWEBD_PROGRAM, "--port", "0"},
                   {{"TMPDIR", dir.path()}});
    const std::string serving = "inkwebd: serving http://127.0.0.1:";
    unsigned port = 0;
    // The port is known once its whole line is out.
    auto served = [&] {
        const std::string out = p.out();
        const size_t at = out.find(serving);
        if (at == std::string::npos || out.find("/\n", at) == std::string::npos)
            return false;
        port = static_cast<unsigned>(std::strtoul(out.c_str() + at + serving.size(), nullptr, 10));
        return true;
    };
    ASSERT_TRUE(testutil::wait_until([&] { return served() || !p.running() || p.reap(); }, 30s))
        << p.err();
    ASSERT_NE(port, 0u) << p.err();

    PageClient page(port);
    ASSERT_TRUE(page.open());
    std::optional<object> list = page.call({{"id", 1}, {"call", "list"}});
    ASSERT_TRUE(list && list->contains("pads")) << p.err();
    const object &pad = list->at("pads").at(0).get_object();
    EXPECT_EQ(pad.at("serial"), "AB12");
    EXPECT_EQ(pad.at("vendor_id"), 0x22c9);

    std::optional<object> on =
        page.call({{"id", 2}, {"call", "receive"}, {"dev", 1}, {"on", true}});
    ASSERT_TRUE(on && on->at("ok") == true) << pagetest::json::serialize(*on);
    for (long i = 0; i < 200; ++i) {
        std::optional<object> e = page.next();
        ASSERT_TRUE(e) << "report " << i;
        ASSERT_EQ(e->at("event"), "data");
        ASSERT_EQ(e->at("seq"), i);
        ASSERT_EQ(sample_of(std::string(e->at("report").get_string())), i);
    }

    // Refusals are logged with the origin, and not one line per refusal.
    pagetest::Headers evil;
    evil.origin = "https://evil.example";
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(PageClient(port, evil).status(), 403);
    size_t logged = 0;
    const std::string err = p.err();
    for (size_t at = err.find("from origin https://evil.example"); at != std::string::npos;
         at = err.find("from origin https://evil.example", at + 1))
        ++logged;
    EXPECT_GE(logged, 1u);
    EXPECT_LT(logged, 12u) << err;

    p.signal(SIGTERM);  // the runner passes it on
    EXPECT_EQ(page.until_closed(), 1001);
    EXPECT_EQ(p.wait(20s), 0) << p.err();
}

}  // namespace
