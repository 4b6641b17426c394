// Configuration variables on an emulated pad: the record on the wire, the
// waits for the configuration handler, and buttons mapped to variables.
#include "dev_ssp_support.h"

using namespace devtest;

namespace {

// The configuration handler of the default pad has component id 2.
constexpr uint8_t kConf = 2;
const Bytes kComponentList{0x00, 0x00, 0x00, 0x10};
const Bytes kStateGet{kConf, 0x00, 0x00, 0x10};

class SspConf : public SspBench {
  protected:
    // The requests after the component list, which every first command asks.
    std::vector<Bytes> exchange() const {
        std::vector<Bytes> all = front->requests();
        if (!all.empty() && all.front() == kComponentList)
            all.erase(all.begin());
        return all;
    }
};

Bytes var_record(uint8_t message_id, const std::string &name, const std::string &value) {
    Bytes m{kConf, 0x3C, 0x00, message_id};
    Bytes fields(60, 0);
    std::copy(name.begin(), name.end(), fields.begin());
    std::copy(value.begin(), value.end(), fields.begin() + 40);
    m.insert(m.end(), fields.begin(), fields.end());
    return m;
}

}  // namespace

TEST_F(SspConf, LongNameAndValueAreCutOnTheWire) {
    start();
    const std::string name45 = "ql.pad.some.rather.long.variable.name.ABCDEFG";
    const std::string value = "0123456789abcdefghijKLMNO";
    ASSERT_EQ(name45.size(), 45u);
    ASSERT_EQ(value.size(), 25u);
    ASSERT_EQ(ssp_common_set_configuration_variable(dev, name45.c_str(), value.c_str()), 0);
    const std::string name40 = name45.substr(0, 40);
    const std::string value20 = value.substr(0, 20);
    // Idle before the change; after it the handler runs once, then is idle.
    std::vector<Bytes> expected{kStateGet, var_record(0x14, name40, value20), kStateGet, kStateGet};
    EXPECT_EQ(exchange(), expected);
    EXPECT_EQ(model().variable(name40), value20);
}

TEST_F(SspConf, PersistSendsTheNameAlone) {
    start();
    ASSERT_EQ(ssp_common_persist_configuration_variable(dev, "ql.pad.brightness"), 0);
    std::vector<Bytes> expected{kStateGet, var_record(0x17, "ql.pad.brightness", ""), kStateGet,
                                kStateGet};
    EXPECT_EQ(exchange(), expected);
    EXPECT_TRUE(model().persisted("ql.pad.brightness"));
}

TEST_F(SspConf, WaitsWhileTheHandlerIsBusy) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.conf_handler.busy_states = {1, 2, 2, 1, 2};
    cfg.conf_handler.final_state = 3;
    start(cfg);
    ASSERT_EQ(ssp_common_set_configuration_variable(dev, "a", "b"), 0);
    std::vector<Bytes> expected{kStateGet, var_record(0x14, "a", "b")};
    expected.insert(expected.end(), 6, kStateGet);
    EXPECT_EQ(exchange(), expected) << "five busy answers, then the final state";
    EXPECT_EQ(ssp_common_get_conf_state(dev), 3);
}

TEST_F(SspConf, APadThatVanishesEndsTheWaitAtOnce) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.initial_conf_state = padsim::wire::kChsRunning;
    start(cfg);
    std::atomic<int> state{1};
    std::thread waiter([&] { state = ssp_common_check_configuration_state(dev); });
    EXPECT_TRUE(wait_until([&] { return exchange().size() >= 3; }));
    pad->unplug();
    // Past the first failed exchange the wait ends, long before its 10 s.
    testutil::must_return_within(
        "the wait", [&] { waiter.join(); }, std::chrono::seconds(6));
    EXPECT_EQ(state.load(), -20);
    EXPECT_TRUE(dev->removed);
}

TEST_F(SspConf, FinalStateFourFailsTheChange) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.conf_handler.final_state = 4;
    start(cfg);
    EXPECT_EQ(ssp_common_set_configuration_variable(dev, "a", "b"), -1);
    EXPECT_EQ(model().variable("a"), "b") << "the pad took the record";
    EXPECT_EQ(ssp_common_persist_configuration_variable(dev, "a"), -1);
}

TEST_F(SspConf, RefusedRecordFails) {
    start(padsim::FirmwareConfig::hid_pad(), 16, [](const Bytes &request) -> std::optional<Bytes> {
        if (request.size() > 3 && request[0] == kConf && request[3] == 0x14)
            return padsim::ssp::make_base(kConf, {0x14, 0x00});
        return std::nullopt;
    });
    EXPECT_EQ(ssp_common_set_configuration_variable(dev, "a", "b"), -1);
    std::vector<Bytes> expected{kStateGet, var_record(0x14, "a", "b")};
    EXPECT_EQ(exchange(), expected) << "no wait after a refusal";
}

TEST_F(SspConf, PadWithoutConfigurationHandler) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.components = {1, 11};
    start(cfg);
    EXPECT_EQ(ssp_common_set_configuration_variable(dev, "a", "b"), -2);
    EXPECT_EQ(ssp_common_get_conf_state(dev), -2);
    EXPECT_TRUE(exchange().empty());
}

TEST_F(SspConf, ButtonStateOnTheRotatingModel) {
    start(padsim::FirmwareConfig::hid_pad(), 17);
    ASSERT_EQ(ssp_common_set_button_state(dev, 205, 1, 0x0A0B, 0), 0);
    EXPECT_EQ(model().variable("ql.pad.mode.0.button.rotate.180.config"), "010000000B0A0000");
    EXPECT_FALSE(model().variable("ql.pad.mode.0.button.rotate.config").has_value());
    ASSERT_EQ(ssp_common_set_button_state(dev, 202, 0xFFFFFFFF, 0, 6), 0);
    EXPECT_EQ(model().variable("ql.pad.mode.6.button.next.config"), "FFFFFFFF00000000");
}

TEST_F(SspConf, ButtonStateOnOtherModels) {
    start(padsim::FirmwareConfig::hid_pad(), 16);
    ASSERT_EQ(ssp_common_set_button_state(dev, 205, 1, 0x0A0B, 0), 0);
    EXPECT_EQ(model().variable("ql.pad.mode.0.button.rotate.config"), "010000000B0A0000");
    front->clear_requests();
    EXPECT_EQ(ssp_common_set_button_state(dev, 200, 1, 2, 0), -1) << "zoom in has no mode-0 row";
    EXPECT_TRUE(front->requests().empty());
}
