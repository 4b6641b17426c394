// The driver under an agent that reports from threads of its own (the probe
// agent): results and events reach the driver off the engine's thread while
// the engine polls and closes.
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "driver_fixture.h"

namespace vlink_test {
namespace {

class VlinkThreads : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_TRUE(agent.load()) << dlerror();
    }
    void TearDown() override { agent.get<void (*)(bool)>("probe_answer_from_thread")(false); }
    int emit_event(const std::vector<uint8_t> &p) {
        return agent.get<int (*)(const char *, int)>("probe_emit_event")(
            reinterpret_cast<const char *>(p.data()), static_cast<int>(p.size()));
    }
    int emit_result(const std::vector<uint8_t> &p) {
        return agent.get<int (*)(const char *, int)>("probe_emit_result")(
            reinterpret_cast<const char *>(p.data()), static_cast<int>(p.size()));
    }

    AgentControls agent;
};

TEST_F(VlinkThreads, CloseWaitsForAResultCallbackStillRunning) {
    open_and_poll_once();
    engine.hold_next_write();
    std::atomic<int> callback_rc{-1};
    // An agent thread whose result write is stuck inside the engine.
    std::thread reporter([&] { callback_rc = emit_result(make_package(0x8801, 40)); });
    ASSERT_TRUE(engine.wait_for_held_write(kDeadline));

    OneShotFlag closed;
    std::atomic<int> close_rc{-1};
    std::thread closer([&] {
        close_rc = engine.close();
        closed.raise();
    });
    ASSERT_TRUE(agent.get<bool (*)(int)>("probe_wait_removed")(10000));
    // The callbacks are removed, but one is still inside: close must not
    // release the queue under it. A close that does not wait would end at
    // once, so a short look is enough.
    EXPECT_FALSE(closed.wait_for(200ms));

    // The write is refused, so the callback pushes onto the queue, which
    // must still be there (the sanitizer run sees a use after free if not).
    engine.release_write(1016);
    reporter.join();
    closer.join();
    EXPECT_EQ(callback_rc, 1016);
    EXPECT_EQ(close_rc, 0);
}

TEST_F(VlinkThreads, AgentThreadsReportWhileTheEnginePolls) {
    open_and_poll_once();
    // The agent answers calls from its own thread, two more of its threads
    // report events, and the engine refuses every third write.
    agent.get<void (*)(bool)>("probe_answer_from_thread")(true);
    engine.refuse_every(3, 1016);
    // Together fewer than the driver queues before events give way.
    constexpr uint32_t kCalls = 150;
    constexpr uint32_t kEventsPerThread = 50;
    constexpr uint32_t kCallSource = 3;
    std::vector<std::thread> reporters;
    for (uint32_t t = 1; t <= 2; t++)
        reporters.emplace_back([&, t] {
            for (uint32_t i = 0; i < kEventsPerThread; i++)
                EXPECT_EQ(emit_event(make_package(t << 16 | i, 40 + i % 50)), 0);
        });

    // The engine's thread: inbound calls in small pieces, and polls.
    const size_t expected = kCalls + 2 * kEventsPerThread;
    uint32_t delivered = 0;
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (engine.write_count() < expected && std::chrono::steady_clock::now() < deadline) {
        if (delivered < kCalls) {
            std::vector<uint8_t> call =
                make_package(kCallSource << 16 | delivered, 34 + delivered % 90);
            ASSERT_EQ(deliver(call, 17), 0);
            delivered++;
        }
        engine.poll();
        std::this_thread::yield();
    }
    for (auto &reporter : reporters)
        reporter.join();
    ASSERT_EQ(engine.write_count(), expected);

    std::set<uint32_t> seen;
    std::map<uint32_t, uint32_t> next_event;
    for (const auto &w : engine.writes()) {
        uint32_t id = message_id_of(w.bytes);
        EXPECT_TRUE(seen.insert(id).second) << "written twice: " << std::hex << id;
        uint32_t source = id >> 16;
        EXPECT_EQ(type_of(w.bytes), source == kCallSource ? kResult : kEvent);
        EXPECT_EQ(total_size_of(w.bytes), w.bytes.size());
        if (source != kCallSource) {
            // Events leave through the queue: in each reporting thread's order.
            EXPECT_EQ(id & 0xFFFF, next_event[source]);
            next_event[source] = (id & 0xFFFF) + 1;
        }
    }
    EXPECT_EQ(seen.size(), expected);
    engine.refuse_every(0, 0);
    EXPECT_EQ(engine.poll(), 21);
}

}  // namespace
}  // namespace vlink_test
