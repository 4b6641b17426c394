// The virtual driver as the engine drives it: the stand-in engine loads
// libvlink.so, opens the channel, feeds inbound data to the hook and polls.
// Behind the driver runs the echo agent (libinkagent.so from
// LD_LIBRARY_PATH), which answers each call with a result from within the
// call and emits events from a thread of its own; the VlinkWithoutAgent
// cases run with an agent that lacks its far function, so binding fails.
#include <algorithm>

#include "driver_fixture.h"
#include "echo_agent.h"

namespace vlink_test {
namespace {

class Vlink : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_TRUE(agent.load()) << dlerror();
    }

    EchoAgentCounters counters() {
        EchoAgentCounters c{};
        agent.get<echo_agent_counters_t>("echo_agent_counters")(&c);
        return c;
    }
    std::vector<uint8_t> last_call() {
        std::vector<uint8_t> out(65536);
        uint32_t size = 0;
        const void *address = nullptr;
        int n = agent.get<echo_agent_last_call_t>("echo_agent_last_call")(
            reinterpret_cast<char *>(out.data()), static_cast<int>(out.size()), &size, &address);
        out.resize(n);
        EXPECT_EQ(size, out.size());
        return out;
    }
    // Has the agent emit events from its thread and waits for the end:
    // the number the driver took, and the driver's last answer.
    std::pair<int, int> emit_events(int count, int size, uint32_t message_id) {
        EXPECT_EQ(
            agent.get<echo_agent_emit_events_t>("echo_agent_emit_events")(count, size, message_id),
            0);
        int written = -1, last = -1;
        EXPECT_EQ(
            agent.get<echo_agent_wait_events_t>("echo_agent_wait_events")(10000, &written, &last),
            0);
        return {written, last};
    }

    AgentControls agent;
};

TEST_F(Vlink, LoadHandsTheEngineTheProcedureTableAndDataArea) {
    EXPECT_EQ(engine.load_procedure_count(), 8);
    EXPECT_EQ(engine.load_procedure_table(), symbol<void *>("VdProcedures"));
    EXPECT_EQ(engine.load_data_area(), symbol<void>("VdData"));
    EXPECT_EQ(engine.load_procedure_table()[0], symbol<void>("Load"));
    EXPECT_EQ(*symbol<void *>("libvlink_WrapLoad"), symbol<void>("Load"));
    // Outside the engine, the driver's own stand-in holds the engine's table.
    EXPECT_EQ(*symbol<void *>("g_pLibMgrCallTable"), engine.library_manager_table());
    EXPECT_EQ(symbol<void *()>("VdLibMgr")(), engine.library_manager_table());

    EXPECT_EQ(engine.unload(), 0);
    EXPECT_EQ(engine.load_procedure_count(), 0);
    EXPECT_EQ(engine.load_procedure_table(), nullptr);
    EXPECT_EQ(engine.load_data_area(), nullptr);
}

TEST_F(Vlink, OpenOpensTheChannelRegistersTheHookAndBindsTheAgent) {
    EchoAgentCounters before = counters();
    engine.channel = 9;
    ASSERT_EQ(engine.open(), 0);
    EXPECT_EQ(engine.open_size(), 48);
    EXPECT_EQ(engine.requested_channel_name(), "vlink");
    EXPECT_EQ(engine.open_parameters_channel_mask(), 1u << 9);
    EXPECT_EQ(engine.instance_channel_mask(), 1u << 9);
    EXPECT_EQ(engine.instance_link(), engine.engine_link());
    ASSERT_TRUE(engine.hook_registered());
    EXPECT_EQ(engine.hook_channel(), 9);
    EXPECT_EQ(engine.hook_context(), engine.instance());
    EXPECT_NE(*symbol<void *>("GlobalReadDataTmpPtr"), nullptr);
    EXPECT_NE(*symbol<void *>("hClientMediatorHandle"), nullptr);
    EXPECT_EQ(counters().registrations, before.registrations + 2);

    EXPECT_EQ(engine.close(), 0);
    EchoAgentCounters after = counters();
    EXPECT_EQ(after.no_connection_reports, before.no_connection_reports + 1);
    EXPECT_EQ(after.removals, before.removals + 2);
    EXPECT_EQ(*symbol<void *>("hClientMediatorHandle"), nullptr);
    EXPECT_EQ(*symbol<void *>("pfClientRegisterFarFunction"), nullptr);
    EXPECT_EQ(*symbol<void *>("GlobalReadDataTmpPtr"), nullptr);
}

TEST_F(Vlink, EngineMustTakeWritesOfAWholePackageBuffer) {
    engine.max_write_size = 2047;
    EXPECT_EQ(engine.open(), 1000);
    engine.close();

    engine.max_write_size = 2048;
    ASSERT_EQ(engine.open(), 0);
    std::vector<uint8_t> buffer(50);
    uint16_t count = 50, size = 0;
    ASSERT_EQ(engine.info(buffer, count, size), 0);
    EXPECT_EQ(field<uint16_t>(buffer.data(), 48), 2044);
}

TEST_F(Vlink, EngineFailuresAtOpenArePassedThrough) {
    engine.open_channel_result = 77;
    EXPECT_EQ(engine.open(), 77);
    EXPECT_FALSE(engine.hook_registered());

    engine.open_channel_result = 0;
    engine.set_hook_result = 88;
    EXPECT_EQ(engine.open(), 88);
    EXPECT_FALSE(engine.hook_registered());

    engine.set_hook_result = 0;
    engine.link_without_procedures = true;
    EXPECT_EQ(engine.open(), 1011);
}

TEST_F(Vlink, InfoNeedsFiftyBytesAndDescribesTheDriver) {
    engine.channel = 3;
    ASSERT_EQ(engine.open(), 0);

    std::vector<uint8_t> small(49, 0xEE);
    uint16_t count = 49, size = 0;
    EXPECT_EQ(engine.info(small, count, size), 1004);
    EXPECT_EQ(count, 50);
    EXPECT_EQ(size, 16);
    EXPECT_EQ(small, std::vector<uint8_t>(49, 0xEE));

    std::vector<uint8_t> buffer(50, 0xEE);
    count = 50;
    ASSERT_EQ(engine.info(buffer, count, size), 0);
    EXPECT_EQ(count, 50);
    EXPECT_EQ(size, 16);
    // Only the driver's fields change; the rest is as the engine left it.
    std::vector<uint8_t> expected(50, 0xEE);
    auto put = [&](size_t offset, auto value) {
        memcpy(expected.data() + offset, &value, sizeof value);
    };
    put(0, uint16_t{50});
    expected[3] = 3;
    expected[4] = 1;
    expected[5] = 1;
    memcpy(expected.data() + 19, "ICA", 4);
    put(36, uint32_t{1u << 3});
    expected[40] = 0;
    expected[41] = 0;
    put(48, uint16_t{2044});
    EXPECT_EQ(buffer, expected);
}

TEST_F(Vlink, QuerySetAndLastErrorEntries) {
    ASSERT_EQ(engine.open(), 0);
    uint16_t size = 0;
    EXPECT_EQ(engine.query_information(size), 0);
    EXPECT_EQ(size, 24);
    EXPECT_EQ(engine.set_information(size), 0);

    engine.set_instance_last_error(1234);
    alignas(8) uint8_t record[16];
    memset(record, 'x', sizeof record);
    EXPECT_EQ(symbol<int(void *, void *)>("DriverGetLastError")(engine.instance(), record), 0);
    EXPECT_EQ(field<uint32_t>(record, 0), 1234u);
    EXPECT_EQ(record[4], 0);
}

TEST_F(Vlink, SendDataWritesOnePackageAndRefusesWhatDoesNotFit) {
    std::vector<uint8_t> bytes = make_package(0x10, 2010);
    // Before open there is nothing to write through.
    EXPECT_EQ(send_data(bytes, 100), 1000);
    ASSERT_EQ(engine.open(), 0);

    EXPECT_EQ(send_data(bytes, 2010), 1000);
    EXPECT_EQ(send_data(bytes, 0), 0);
    EXPECT_EQ(engine.write_attempts(), 0u);

    EXPECT_EQ(send_data(bytes, 2009), 0);
    auto writes = engine.writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].channel, engine.channel);
    EXPECT_EQ(writes[0].flags, 1);
    EXPECT_EQ(writes[0].sections, 1);
    EXPECT_EQ(writes[0].bytes, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2009));

    engine.refuse_writes(1016, 1);
    EXPECT_EQ(send_data(bytes, 100), 1016);
}

TEST_F(Vlink, FirstPollOnlyClearsItsFlagAndTheNextSendsQueuedEvents) {
    ASSERT_EQ(engine.open(), 0);
    EXPECT_EQ(emit_events(1, 60, 0x2201), std::make_pair(1, 0));
    EXPECT_EQ(engine.write_count(), 0u);

    EXPECT_EQ(engine.poll(), 21);
    EXPECT_EQ(engine.write_count(), 0u);

    EXPECT_EQ(engine.poll(), 0);
    auto writes = engine.writes();
    ASSERT_EQ(writes.size(), 1u);
    const auto &written = writes[0].bytes;
    ASSERT_EQ(written.size(), 60u);
    EXPECT_EQ(type_of(written), kEvent);
    EXPECT_EQ(version_of(written), kVersion);
    EXPECT_EQ(message_id_of(written), 0x2201u);
    EXPECT_EQ(total_size_of(written), 60u);
    EXPECT_EQ(length_of(written), 60u);
    EXPECT_EQ(package_id_of(written), 0);
    for (size_t i = kHeader; i < written.size(); i++)
        EXPECT_EQ(written[i], static_cast<uint8_t>(i)) << "data byte " << i;

    // Written once: no longer queued.
    EXPECT_EQ(engine.poll(), 21);
    EXPECT_EQ(engine.write_count(), 1u);
}

TEST_F(Vlink, RefusedWriteStaysAtTheFrontAndIsSentFirst) {
    open_and_poll_once();
    engine.refuse_writes(1016);
    ASSERT_EQ(deliver(make_package(0x3301, 80), 80), 0);
    // The result was refused at once: queued, and the agent got the code.
    EXPECT_EQ(counters().results_refused, 1);
    EXPECT_EQ(emit_events(1, 40, 0x3302), std::make_pair(1, 0));

    size_t attempts = engine.write_attempts();
    EXPECT_EQ(engine.poll(), 30);
    EXPECT_EQ(engine.write_attempts(), attempts + 1);  // the event waits behind it
    EXPECT_EQ(engine.write_count(), 0u);

    engine.refuse_writes(0);
    EXPECT_EQ(engine.poll(), 0);
    auto writes = engine.writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(message_id_of(writes[0].bytes), 0x3301u);
    EXPECT_EQ(type_of(writes[0].bytes), kResult);
    EXPECT_EQ(message_id_of(writes[1].bytes), 0x3302u);
    EXPECT_EQ(type_of(writes[1].bytes), kEvent);
    EXPECT_EQ(engine.poll(), 21);

    // Any other refusal is retried the same way.
    engine.refuse_writes(5, 1);
    EXPECT_EQ(emit_events(1, 40, 0x3303), std::make_pair(1, 0));
    EXPECT_EQ(engine.poll(), 30);
    EXPECT_EQ(engine.poll(), 0);
    EXPECT_EQ(message_id_of(engine.writes().back().bytes), 0x3303u);
}

TEST_F(Vlink, CallSplitInThreePiecesReachesTheAgentOnceAndTheResultIsFramed) {
    open_and_poll_once();
    std::vector<uint8_t> call = make_package(0x00ABCD01, 100);
    ASSERT_EQ(deliver(call, 34), 0);

    EXPECT_EQ(counters().far_calls, 1);
    EXPECT_EQ(last_call(), call);
    auto writes = engine.writes();
    ASSERT_EQ(writes.size(), 1u);
    const auto &result = writes[0].bytes;
    ASSERT_EQ(result.size(), 100u);
    EXPECT_EQ(type_of(result), kResult);
    EXPECT_EQ(version_of(result), kVersion);
    EXPECT_EQ(message_id_of(result), 0x00ABCD01u);
    EXPECT_EQ(total_size_of(result), 100u);
    EXPECT_EQ(length_of(result), 100u);
    EXPECT_EQ(package_id_of(result), 0);
    // The reserved bytes and both times pass through: this bridge stamps none.
    EXPECT_TRUE(std::equal(result.begin() + 18, result.end(), call.begin() + 18));
}

TEST_F(Vlink, EveryCompletePackageOfAPieceIsHandedOn) {
    open_and_poll_once();
    std::vector<uint8_t> first = make_package(0x4401, 50);
    std::vector<uint8_t> second = make_package(0x4402, 70);
    std::vector<uint8_t> third = make_package(0x4403, 40);
    // Two whole packages and the start of a third in one piece.
    std::vector<uint8_t> stream = concat(concat(first, second), third);
    ASSERT_EQ(engine.deliver(stream.data(), 130, 130), 0);
    EXPECT_EQ(counters().far_calls, 2);
    EXPECT_EQ(last_call(), second);

    ASSERT_EQ(engine.deliver(stream.data() + 130, 30, 30), 0);
    EXPECT_EQ(counters().far_calls, 3);
    EXPECT_EQ(last_call(), third);
    auto writes = engine.writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(message_id_of(writes[0].bytes), 0x4401u);
    EXPECT_EQ(message_id_of(writes[1].bytes), 0x4402u);
    EXPECT_EQ(message_id_of(writes[2].bytes), 0x4403u);
}

TEST_F(Vlink, TestModePackageComesBackWithoutTheAgent) {
    open_and_poll_once();
    std::vector<uint8_t> test = make_package(0x12345600, 64);
    ASSERT_EQ(deliver(test, 20), 0);
    EXPECT_EQ(counters().far_calls, 0);
    auto writes = engine.writes();
    ASSERT_EQ(writes.size(), 1u);
    std::vector<uint8_t> expected = test;
    memcpy(expected.data(), &kResult, 2);
    memcpy(expected.data() + 2, &kVersion, 2);
    EXPECT_EQ(writes[0].bytes, expected);

    // A call behind it still reaches the agent.
    ASSERT_EQ(deliver(make_package(0x12345601, 64), 64), 0);
    EXPECT_EQ(counters().far_calls, 1);
    EXPECT_EQ(engine.write_count(), 2u);
}

TEST_F(Vlink, ResultsAndEventsThatCannotBeWrittenAreDropped) {
    open_and_poll_once();
    // The agent answers a 2010-byte call with a 2010-byte result: too long to
    // ever be written, so neither written nor queued.
    ASSERT_EQ(deliver(make_package(0x5501, 2010), 1000), 0);
    EXPECT_EQ(counters().far_calls, 1);
    EXPECT_EQ(counters().results_refused, 1);
    EXPECT_EQ(emit_events(1, 2010, 0x5502), std::make_pair(0, 1000));
    EXPECT_EQ(emit_events(1, 33, 0x5503), std::make_pair(0, 1000));
    EXPECT_EQ(report_result(make_package(0x5504, 20)), 1000);
    EXPECT_EQ(engine.poll(), 21);
    EXPECT_EQ(engine.write_attempts(), 0u);

    // The largest that fits goes through.
    ASSERT_EQ(deliver(make_package(0x5505, 2009), 2009), 0);
    ASSERT_EQ(engine.write_count(), 1u);
    EXPECT_EQ(engine.writes()[0].bytes.size(), 2009u);
}

TEST_F(Vlink, AnEngineThatTakesNothingCostsABoundedQueueOfTheNewestEvents) {
    open_and_poll_once();
    engine.refuse_writes(1016);
    testing::internal::CaptureStderr();
    ASSERT_EQ(deliver(make_package(0x7701, 40), 40), 0);  // its result is queued
    for (uint32_t i = 0; i < 600; i++)
        ASSERT_EQ(report_event(make_package(0x780000 + i, 40)), 0);
    ASSERT_EQ(deliver(make_package(0x7702, 40), 40), 0);  // kept, though the queue is full
    const std::string err = testing::internal::GetCapturedStderr();
    size_t reports = 0;
    for (size_t at = err.find("dropping the oldest events"); at != std::string::npos;
         at = err.find("dropping the oldest events", at + 1))
        ++reports;
    EXPECT_EQ(reports, 1u) << err;

    // 256 packages: both results, and the newest events behind the first.
    engine.refuse_writes(0);
    EXPECT_EQ(engine.poll(), 0);
    auto writes = engine.writes();
    ASSERT_EQ(writes.size(), 256u);
    EXPECT_EQ(message_id_of(writes.front().bytes), 0x7701u);
    EXPECT_EQ(message_id_of(writes.back().bytes), 0x7702u);
    for (size_t i = 1; i + 1 < writes.size(); i++)
        ASSERT_EQ(message_id_of(writes[i].bytes), 0x780000u + 600 - 254 + (i - 1)) << i;
}

TEST_F(Vlink, ResultsThatTheEngineNeverTakesEndTheConnection) {
    open_and_poll_once();
    engine.refuse_writes(1016);
    const int told_before = counters().no_connection_reports;
    testing::internal::CaptureStderr();
    // 2000-byte results: the byte bound (256 kB) is reached after 131.
    for (uint32_t i = 0; i < 200; i++)
        ASSERT_EQ(deliver(make_package(0x79000001 + (i << 8), 2000), 2000), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("the engine takes no results: queue dropped"), std::string::npos) << err;
    EXPECT_EQ(counters().no_connection_reports, told_before + 1);
    // Left: the front (the poll may be writing it) and what came after the drop.
    engine.refuse_writes(0);
    EXPECT_EQ(engine.poll(), 0);
    auto writes = engine.writes();
    ASSERT_EQ(writes.size(), 1u + 200 - 132);
    EXPECT_EQ(message_id_of(writes.front().bytes), 0x79000001u);
    EXPECT_EQ(message_id_of(writes[1].bytes), 0x79000001u + (132 << 8));
}

TEST_F(Vlink, CloseDestroysWhatIsStillQueued) {
    open_and_poll_once();
    EXPECT_EQ(emit_events(3, 40, 0x6600), std::make_pair(3, 0));
    engine.refuse_writes(1016);
    ASSERT_EQ(deliver(make_package(0x6610, 40), 40), 0);
    EXPECT_EQ(counters().results_refused, 1);
    // The sanitizer run reports the four packages if close leaks them.
    EXPECT_EQ(engine.close(), 0);

    engine.refuse_writes(0);
    ASSERT_EQ(engine.open(), 0);
    EXPECT_EQ(engine.poll(), 21);
    EXPECT_EQ(engine.write_count(), 0u);
}

TEST_F(Vlink, CallbacksAfterCloseTouchNothing) {
    open_and_poll_once();
    ASSERT_EQ(engine.close(), 0);
    // An agent thread that took the callback before close and calls it late.
    EXPECT_EQ(report_result(make_package(0x7701, 40)), 1000);
    EXPECT_EQ(report_event(make_package(0x7702, 40)), 1000);
    // Nor is anything written through the closed channel.
    EXPECT_EQ(send_data(make_package(0x7703, 40), 40), 1000);
    EXPECT_EQ(engine.write_attempts(), 0u);
}

class VlinkWithoutAgent : public DriverTest {};

TEST_F(VlinkWithoutAgent, OpenFailsButTheChannelAnswersTestPackages) {
    EXPECT_EQ(engine.open(), 1000);
    // The hook comes before the agent, so inbound data still arrives.
    ASSERT_TRUE(engine.hook_registered());
    EXPECT_EQ(*symbol<void *>("pfClientRegisterFarFunction"), nullptr);

    ASSERT_EQ(deliver(make_package(0x9901, 50), 50), 0);
    EXPECT_EQ(engine.write_attempts(), 0u);
    ASSERT_EQ(deliver(make_package(0x9900, 50), 25), 0);
    ASSERT_EQ(engine.write_count(), 1u);
    EXPECT_EQ(type_of(engine.writes()[0].bytes), kResult);
    EXPECT_EQ(engine.close(), 0);
}

}  // namespace
}  // namespace vlink_test
