// SSP component and mode tables and the pad commands on an emulated pad,
// through the library's message exchange and the pad's firmware model.
#include <climits>

#include "dev_ssp_support.h"

using namespace devtest;

namespace {

// Default pad: components communication (id 0), signpad (1), configuration
// handler (2); modes 0, 5, 6, 13 with ids 0..3.
constexpr uint8_t kSignpad = 1;
constexpr uint8_t kCommunication = 0;
const Bytes kComponentList{0x00, 0x00, 0x00, 0x10};
const Bytes kModeList{kSignpad, 0x02, 0x00, 0x12, 0x00, 0x00};

class SspTables : public SspBench {};
class SspCommands : public SspBench {};

bool table_empty(const ql_device *d) {
    return std::all_of(std::begin(d->ssp_components), std::end(d->ssp_components),
                       [](uint8_t b) { return b == 0; });
}

}  // namespace

TEST_F(SspTables, ComponentIdsAreListPositions) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.components = {5, 11, 1};
    start(cfg);
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 11), 1);
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 1), 2);
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 3), -2);
    EXPECT_EQ(Bytes(dev->ssp_components, dev->ssp_components + 4), (Bytes{5, 11, 1, 0}));
    EXPECT_EQ(front->requests(), std::vector<Bytes>{kComponentList}) << "asked once, then kept";
}

TEST_F(SspTables, CountZeroLeavesTheTableEmptyAndAsksAgain) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.components = {};
    start(cfg);
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 11), -1);
    EXPECT_TRUE(table_empty(dev));
    EXPECT_EQ(ssp_common_components_id_initialize_table(dev), -1);
    EXPECT_EQ(requests_starting(kComponentList).size(), 2u);
}

TEST_F(SspTables, CountOf0x80IsNegativeAndFails) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.components.assign(128, 3);
    cfg.components[0] = 11;
    start(cfg);
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 11), -1);
    EXPECT_TRUE(table_empty(dev));
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 11), -1);
    EXPECT_EQ(requests_starting(kComponentList).size(), 2u);
}

TEST_F(SspTables, FortyModesKeepTheFirstThirtyTwo) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.signpad_modes.clear();
    for (uint32_t i = 0; i < 40; ++i)
        cfg.signpad_modes.push_back(100 + i);
    cfg.signpad_modes[31] = 5;
    cfg.signpad_modes[35] = 13;
    start(cfg);
    const auto *tail = reinterpret_cast<const uint8_t *>(std::end(dev->ct_signpad_modes));
    const Bytes after(tail, reinterpret_cast<const uint8_t *>(dev + 1));
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 5), 31);
    EXPECT_EQ(Bytes(tail, reinterpret_cast<const uint8_t *>(dev + 1)), after)
        << "nothing after the table changed";
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 13), -2) << "id 35 is beyond the table";
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 100), 0);
    EXPECT_EQ(dev->ct_signpad_modes[30], 130u);
    EXPECT_EQ(requests_starting(kModeList).size(), 1u) << "a 163-byte reply, read once";
}

TEST_F(SspTables, LookupsScanOnlyTheEntriesThePadReported) {
    // The pad lists the one mode 5; a later pad of the same kind lists mode 0 alone.
    auto only = std::make_shared<std::atomic<uint8_t>>(5);
    start(padsim::FirmwareConfig::hid_pad(), 16,
          [only](const Bytes &request) -> std::optional<Bytes> {
              if (request.size() > 3 && request[0] == kSignpad && request[3] == 0x12)
                  return padsim::ssp::make_base(kSignpad, {0x12, 0x01, 1, only->load(), 0, 0, 0});
              return std::nullopt;
          });
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 0), -2) << "no component of type 0";
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 0), -2) << "no mode 0";
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 5), 0);
    *only = 0;
    record.reset();
    record = std::make_unique<SspRecord>(kVid, kPid, 16);
    dev = &record->rec;
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 0), 0);
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 0), 0);
    EXPECT_EQ(requests_starting(kModeList).size(), 2u) << "each record asked once";
}

TEST_F(SspTables, ModeLookupsOnATypeThirteenPadSendNothing) {
    start(padsim::FirmwareConfig::hid_pad(), 13);
    pad->clear_log();
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 0), -1);
    EXPECT_EQ(ssp_common_get_user_input(dev), -1);
    EXPECT_EQ(ssp_common_get_button_event(dev, 5), -1);
    EXPECT_EQ(ssp_common_signature_buttons_refresh(dev), -1);
    EXPECT_EQ(ssp_common_doc_view_buttons_refresh(dev), -1);
    EXPECT_EQ(ssp_common_doc_sign_buttons_refresh(dev), -1);
    EXPECT_EQ(ssp_common_set_button_state(dev, 205, 1, 2, 0), -1);
    EXPECT_TRUE(pad->log().empty());
}

TEST_F(SspTables, ProbeTellsSspPadsApart) {
    start();
    EXPECT_EQ(ssp_common_is_ssp_supported(dev), 1);
    EXPECT_TRUE(table_empty(dev)) << "the probe does not fill the table";
}

TEST_F(SspTables, ProbeAnsweredWithAnOldMessageSaysNo) {
    start(padsim::FirmwareConfig::hid_pad(), 16, [](const Bytes &request) -> std::optional<Bytes> {
        if (request == kComponentList)
            return *padsim::ssp::make_old(request.data(), request.size(), false);
        return std::nullopt;
    });
    EXPECT_EQ(ssp_common_is_ssp_supported(dev), 0);
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 11), -1);
}

TEST_F(SspTables, RepliesAnnouncingMoreThanTheyCarry) {
    // Five components announced, two carried; eight modes announced, two carried.
    start(padsim::FirmwareConfig::hid_pad(), 16, [](const Bytes &request) -> std::optional<Bytes> {
        if (request == kComponentList)
            return padsim::ssp::make_base(0, {0x10, 0x01, 5, 11, 1});
        if (request.size() > 3 && request[0] == 0 && request[3] == 0x12)
            return padsim::ssp::make_base(0, {0x12, 0x01, 8, 13, 0, 0, 0, 6, 0, 0, 0});
        return std::nullopt;
    });
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 11), 0);
    EXPECT_EQ(ssp_common_component_id_get_id(dev, 1), 1);
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 6), 1);
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 5), -2);
    EXPECT_EQ(Bytes(dev->ssp_components, dev->ssp_components + 3), (Bytes{11, 1, 0}));
}

TEST_F(SspCommands, PadDescriptionFillsTheRecord) {
    start();
    ASSERT_EQ(ssp_common_get_pad_description(dev), 0);
    EXPECT_EQ(dev->vendor_id, 0x2689u);
    EXPECT_EQ(dev->product_id, 0x0CE1u);
    EXPECT_STREQ(dev->serial_number, "PS0000001");
    EXPECT_EQ(requests_starting({kSignpad, 0x02}),
              (std::vector<Bytes>{{kSignpad, 0x02, 0x00, 0x10, 0x00, 0x00}}));
}

TEST_F(SspCommands, PadDescriptionWithAnEmptySerialNumber) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.serial_number = "";
    cfg.described_vendor_id = 0x12345678;
    start(cfg);
    memset(dev->serial_number, 'x', sizeof dev->serial_number);
    ASSERT_EQ(ssp_common_get_pad_description(dev), 0);
    EXPECT_STREQ(dev->serial_number, "");
    EXPECT_EQ(dev->vendor_id, 0x12345678u);
}

TEST_F(SspCommands, PadDescriptionSerialIsWhatTheReplyCarries) {
    start(padsim::FirmwareConfig::hid_pad(), 16, [](const Bytes &request) -> std::optional<Bytes> {
        if (request == Bytes{kSignpad, 0x02, 0x00, 0x10, 0x00, 0x00}) {
            Bytes p{0x10, 0x01, 0x89, 0x26, 0, 0, 0xE1, 0x0C, 0, 0};
            p.resize(30, 0);
            p.push_back(40);  // 40 announced, 4 carried
            for (char c : std::string("AB12"))
                p.push_back(static_cast<uint8_t>(c));
            return padsim::ssp::make_base(kSignpad, p);
        }
        return std::nullopt;
    });
    ASSERT_EQ(ssp_common_get_pad_description(dev), 0);
    EXPECT_STREQ(dev->serial_number, "AB12");
}

TEST_F(SspCommands, RefusedDescriptionChangesNothing) {
    start();
    ASSERT_EQ(ssp_common_component_id_get_id(dev, 11), kSignpad);
    model().fail_next_ssp_replies(1, 0);
    dev->vendor_id = 7;
    snprintf(dev->serial_number, sizeof dev->serial_number, "before");
    EXPECT_EQ(ssp_common_get_pad_description(dev), -1);
    EXPECT_EQ(dev->vendor_id, 7u);
    EXPECT_STREQ(dev->serial_number, "before");
}

TEST_F(SspCommands, UserInputAndItsWire) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.user_input_button = 42;
    start(cfg);
    EXPECT_EQ(ssp_common_get_user_input(dev), 42);
    // Mode 13 has id 3; the user-input sub-command is 0x10.
    EXPECT_EQ(requests_starting({kSignpad, 0x02, 0x00, 0x13}),
              (std::vector<Bytes>{{kSignpad, 0x02, 0x00, 0x13, 0x03, 0x10}}));
    model().set_user_input(INT32_MIN);
    EXPECT_EQ(ssp_common_get_user_input(dev), -1) << "0x80000000 is negative as int32";
}

TEST_F(SspCommands, ButtonEventsPerMode) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.button_events = {{0, 206}, {5, 200}, {6, 0x7FFFFFFF}};
    start(cfg);
    EXPECT_EQ(ssp_common_get_button_event(dev, 0), 206);
    EXPECT_EQ(ssp_common_get_button_event(dev, 5), 200);
    EXPECT_EQ(ssp_common_get_button_event(dev, 6), 0x7FFFFFFF);
    EXPECT_EQ(requests_starting({kSignpad, 0x02, 0x00, 0x13}),
              (std::vector<Bytes>{{kSignpad, 0x02, 0x00, 0x13, 0x00, 0x12},
                                  {kSignpad, 0x02, 0x00, 0x13, 0x01, 0x12},
                                  {kSignpad, 0x02, 0x00, 0x13, 0x02, 0x12}}));
    model().set_button_event(0, static_cast<int32_t>(0x80000000u));
    EXPECT_EQ(ssp_common_get_button_event(dev, 0), -1);

    front->clear_requests();
    EXPECT_EQ(ssp_common_get_button_event(dev, 13), -1) << "mode 13 has no button events";
    EXPECT_EQ(ssp_common_get_button_event(dev, 1), -1);
    EXPECT_TRUE(front->requests().empty());
}

TEST_F(SspCommands, ButtonEventOfAModeThePadLacks) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.signpad_modes = {0, 6, 13};
    start(cfg);
    EXPECT_EQ(ssp_common_get_button_event(dev, 5), -2);
    EXPECT_TRUE(requests_starting({kSignpad, 0x02, 0x00, 0x13}).empty()) << "no mode send";
    EXPECT_EQ(requests_starting(kModeList).size(), 1u);
    EXPECT_EQ(ssp_common_doc_view_buttons_refresh(dev), -2);
}

TEST_F(SspCommands, ModeSendReplyForAnotherModeFails) {
    start(padsim::FirmwareConfig::hid_pad(), 16, [](const Bytes &request) -> std::optional<Bytes> {
        if (request.size() == 6 && request[3] == 0x13)
            return padsim::ssp::make_base(
                request[0],
                {0x13, 0x01, static_cast<uint8_t>(request[4] + 1), request[5], 1, 0, 0, 0});
        return std::nullopt;
    });
    EXPECT_EQ(ssp_common_get_user_input(dev), -1);
    EXPECT_EQ(ssp_common_get_button_event(dev, 0), -1);
    EXPECT_EQ(ssp_common_signature_buttons_refresh(dev), -1);
    EXPECT_EQ(requests_starting({kSignpad, 0x02, 0x00, 0x13}).size(), 3u);
}

TEST_F(SspCommands, ReplyFromAnotherComponentFails) {
    start(padsim::FirmwareConfig::hid_pad(), 16, [](const Bytes &request) -> std::optional<Bytes> {
        if (request.size() == 6 && request[3] == 0x13)
            return padsim::ssp::make_base(2, {0x13, 0x01, request[4], 0x10});
        return std::nullopt;
    });
    EXPECT_EQ(ssp_common_doc_sign_buttons_refresh(dev), -1);
}

TEST_F(SspCommands, ButtonRefreshes) {
    start();
    EXPECT_EQ(ssp_common_signature_buttons_refresh(dev), 0);
    EXPECT_EQ(ssp_common_doc_view_buttons_refresh(dev), 0);
    EXPECT_EQ(ssp_common_doc_view_buttons_refresh(dev), 0);
    EXPECT_EQ(ssp_common_doc_sign_buttons_refresh(dev), 0);
    EXPECT_EQ(model().buttons_refreshed(0), 1u);
    EXPECT_EQ(model().buttons_refreshed(5), 2u);
    EXPECT_EQ(model().buttons_refreshed(6), 1u);
    EXPECT_EQ(requests_starting({kSignpad, 0x02, 0x00, 0x13, 0x02}),
              (std::vector<Bytes>{{kSignpad, 0x02, 0x00, 0x13, 0x02, 0x10}}));
    model().fail_next_ssp_replies(1, 0);
    EXPECT_EQ(ssp_common_doc_sign_buttons_refresh(dev), -1);
}

TEST_F(SspCommands, BiodataSwitchOfOneRecord) {
    start();
    ASSERT_EQ(ssp_biodata_sending(dev, 1), 0);
    EXPECT_TRUE(model().biodata_enabled());
    ASSERT_EQ(core_ssp_biodata_sending(dev, false), 0);
    EXPECT_FALSE(model().biodata_enabled());
    EXPECT_EQ(requests_starting({kSignpad, 0x02, 0x00, 0x11}),
              (std::vector<Bytes>{{kSignpad, 0x02, 0x00, 0x11, 0x01, 0x00},
                                  {kSignpad, 0x02, 0x00, 0x11, 0x00, 0x00}}));
    // Only the low byte of the switch goes out.
    ASSERT_EQ(ssp_biodata_sending(dev, 0x101), 0);
    EXPECT_TRUE(model().biodata_enabled());
}

TEST_F(SspCommands, ConnectionType) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.connection_type = 2;
    start(cfg);
    EXPECT_EQ(ssp_common_ct_communication_get_current_connection(dev), 2);
    // The pad does not answer a set; the call returns once it is sent.
    EXPECT_EQ(ssp_common_ct_communication_set_current_connection(dev, 0x105), 0);
    EXPECT_EQ(model().connection_type(), 5) << "the write completed when the call returned";
    EXPECT_EQ(ssp_common_ct_communication_get_current_connection(dev), 5);
    EXPECT_EQ(requests_starting({kCommunication, 0x02}),
              (std::vector<Bytes>{{kCommunication, 0x02, 0x00, 0x10, 0x00, 0x00},
                                  {kCommunication, 0x02, 0x00, 0x11, 0x05, 0x00},
                                  {kCommunication, 0x02, 0x00, 0x10, 0x00, 0x00}}));
}

TEST_F(SspCommands, NegativeConnectionTypeFails) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.connection_type = 0x80;
    start(cfg);
    EXPECT_EQ(ssp_common_ct_communication_get_current_connection(dev), -1);
}

TEST_F(SspCommands, PadWithoutCommunicationComponent) {
    auto cfg = padsim::FirmwareConfig::hid_pad();
    cfg.components = {11, 3};
    start(cfg);
    EXPECT_EQ(ssp_common_ct_communication_get_current_connection(dev), -2);
    EXPECT_EQ(ssp_common_ct_communication_set_current_connection(dev, 1), -2);
    EXPECT_EQ(front->requests(), std::vector<Bytes>{kComponentList});
}

TEST_F(SspCommands, ButtonEventAnsweredWithAnOldMessage) {
    start(padsim::FirmwareConfig::hid_pad(), 16, [](const Bytes &request) -> std::optional<Bytes> {
        if (request.size() == 6 && request[3] == 0x13)
            return *padsim::ssp::make_old(request.data(), request.size(), false);
        return std::nullopt;
    });
    EXPECT_EQ(ssp_common_get_button_event(dev, 6), -1);
}

TEST_F(SspCommands, RefreshWithoutAReplyFailsAndTheRecordStaysUsable) {
    start();
    ASSERT_EQ(ssp_common_ct_signpad_get_mode_id(dev, 0), 0);
    model().set_ssp_in_stuck(true);
    EXPECT_EQ(ssp_common_signature_buttons_refresh(dev), -1);
    EXPECT_FALSE(dev->removed);
    ASSERT_NE(dev->hid, nullptr) << "reopened by the exchange";
    model().set_ssp_in_stuck(false);
    model().clear_records();
    EXPECT_EQ(ssp_common_signature_buttons_refresh(dev), 0);
}

TEST_F(SspCommands, EndlessCutMessagesEndTheReceiveAtItsTimeOut) {
    start();
    model().set_endless_cut_messages(true);
    uint8_t reply[1024];
    unsigned int length = sizeof reply;
    int r = 0;
    testutil::must_return_within(
        "the receive", [&] { r = __receive_ssp_message(dev, reply, &length, 20, false, 2); },
        std::chrono::seconds(10));
    EXPECT_NE(r, 0);
}

TEST_F(SspCommands, BiodataSwitchOnALostPadEndsWithTheLoss) {
    start();
    ASSERT_EQ(ssp_common_component_id_get_id(dev, 11), kSignpad);
    pad->unplug();
    EXPECT_EQ(core_ssp_biodata_sending(dev, true), -20);
    EXPECT_TRUE(dev->removed);
}
