// The pure parts of the SSP command module: request layouts, reply checks,
// the configuration record, the button table and the hexadecimal value text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ssp_common.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A record whose send routine keeps what it is given.
struct CapturingRecord {
    static inline std::vector<Bytes> sent;
    static inline int result = 0;
    static int capture(ql_device *, const void *data, unsigned int len) {
        const auto *p = static_cast<const uint8_t *>(data);
        sent.emplace_back(p, p + len);
        return result;
    }
    ql_device rec{};
    CapturingRecord() {
        sent.clear();
        result = 0;
        rec.send_ssp_message = capture;
    }
};

std::string field(const char *p, size_t n) {
    return std::string(p, n);
}

// A pad of scripted replies. Its receive routine delivers the next reply and
// leaves junk in the caller's buffer after it, the way a buffer that was not
// cleared would hold it, so that a reader that trusts a count or a length
// field beyond the delivered bytes shows itself.
struct ScriptedRecord : CapturingRecord {
    static inline std::vector<Bytes> replies;
    static int deliver(ql_device *, void *data, unsigned int *len, unsigned int, bool,
                       unsigned int) {
        if (replies.empty())
            return -7;
        Bytes reply = replies.front();
        replies.erase(replies.begin());
        memset(data, 0xEE, *len);
        unsigned int n = std::min<unsigned int>(*len, static_cast<unsigned int>(reply.size()));
        memcpy(data, reply.data(), n);
        *len = n;
        return 0;
    }
    ScriptedRecord() {
        replies.clear();
        rec.receive_ssp_message = deliver;
        rec.pad_type = 16;
    }
    // A base message from component `component` around `payload`.
    static Bytes base(uint8_t component, const Bytes &payload) {
        Bytes m(3 + payload.size());
        m[0] = component;
        m[1] = static_cast<uint8_t>(payload.size() - 1);
        m[2] = static_cast<uint8_t>((payload.size() - 1) >> 8);
        std::copy(payload.begin(), payload.end(), m.begin() + 3);
        return m;
    }
};

}  // namespace

TEST(SspRequests, ComponentDataSequenceLayout) {
    CapturingRecord r;
    ASSERT_EQ(make_and_send_ssp_component_data_sequence(&r.rec, 2, 0x13, 1, 0x12, nullptr, 0), 0);
    const uint8_t data[] = {0xAA, 0x55, 0x07};
    ASSERT_EQ(make_and_send_ssp_component_data_sequence(&r.rec, 1, 0x11, 9, 0, data, 3), 0);
    // Data with a size below 1 is not appended.
    ASSERT_EQ(make_and_send_ssp_component_data_sequence(&r.rec, 1, 0x10, 0, 0, data, 0), 0);
    ASSERT_EQ(r.sent.size(), 3u);
    EXPECT_EQ(r.sent[0], (Bytes{0x02, 0x02, 0x00, 0x13, 0x01, 0x12}));
    EXPECT_EQ(r.sent[1], (Bytes{0x01, 0x05, 0x00, 0x11, 0x09, 0x00, 0xAA, 0x55, 0x07}));
    EXPECT_EQ(r.sent[2], (Bytes{0x01, 0x02, 0x00, 0x10, 0x00, 0x00}));
}

TEST(SspRequests, DataSequenceLayout) {
    CapturingRecord r;
    ASSERT_EQ(make_and_send_ssp_data_sequence(&r.rec, 2, 0x10, nullptr, 0), 0);
    conf_handler_var_set record;
    conf_handler_var_set_fill(&record, "a", "b");
    ASSERT_EQ(make_and_send_ssp_data_sequence(&r.rec, 2, 0x14, &record, sizeof record), 0);
    ASSERT_EQ(r.sent.size(), 2u);
    EXPECT_EQ(r.sent[0], (Bytes{0x02, 0x00, 0x00, 0x10}));
    ASSERT_EQ(r.sent[1].size(), 64u);
    EXPECT_EQ(Bytes(r.sent[1].begin(), r.sent[1].begin() + 5),
              (Bytes{0x02, 0x3C, 0x00, 0x14, 'a'}));
    EXPECT_EQ(r.sent[1][4 + 40], 'b');
}

TEST(SspRequests, SendFailuresAreReturned) {
    CapturingRecord r;
    r.result = -4;
    EXPECT_EQ(make_and_send_ssp_data_sequence(&r.rec, 0, 0x10, nullptr, 0), -4);
    EXPECT_EQ(make_and_send_ssp_component_data_sequence(&r.rec, 0, 0x10, 0, 0, nullptr, 0), -4);
    r.rec.send_ssp_message = nullptr;
    EXPECT_EQ(send_ssp_message(&r.rec, "x", 1), -1);
    EXPECT_EQ(send_ssp_message(nullptr, "x", 1), -1);
    unsigned int len = 4;
    uint8_t buf[4];
    EXPECT_EQ(receive_ssp_message(&r.rec, buf, &len, 10, false, 0), -1) << "no receive routine";
    EXPECT_EQ(receive_ssp_message_and_get_data(&r.rec), nullptr);
    // A sequence whose length field cannot hold the data is refused unsent.
    Bytes big(0x10000);
    r.rec.send_ssp_message = CapturingRecord::capture;
    r.result = 0;
    r.sent.clear();
    EXPECT_EQ(make_and_send_ssp_data_sequence(&r.rec, 0, 0x10, big.data(), 0x10000), -1);
    EXPECT_EQ(make_and_send_ssp_component_data_sequence(&r.rec, 0, 0x10, 0, 0, big.data(), 0xFFFE),
              -1);
    EXPECT_TRUE(CapturingRecord::sent.empty());
}

TEST(SspReplyChecks, ListCounts) {
    const uint8_t components[] = {0x10, 0x01, 0x03, 1, 11, 3};
    EXPECT_EQ(get_count_of_components_from_reply_message(components), 3);
    const uint8_t zero[] = {0x10, 0x01, 0x00};
    EXPECT_EQ(get_count_of_components_from_reply_message(zero), -1);
    const uint8_t negative[] = {0x10, 0x01, 0x80};
    EXPECT_EQ(get_count_of_components_from_reply_message(negative), -1);
    const uint8_t failed[] = {0x10, 0x00, 0x03};
    EXPECT_EQ(get_count_of_components_from_reply_message(failed), -1);
    const uint8_t modes[] = {0x12, 0x01, 0x7F};
    EXPECT_EQ(ct_signpad_get_count_of_modes_from_reply_message(modes), 127);
    EXPECT_EQ(ct_signpad_get_count_of_modes_from_reply_message(components), -1) << "wrong id";
}

TEST(SspReplyChecks, ModeSendAndLastEvent) {
    const uint8_t ok[] = {0x13, 0x01, 0x02, 0x12, 0x0B, 0x0A, 0x00, 0x00};
    EXPECT_EQ(ct_signpad_mode_send_reply_check(ok, 0x13, 2), 0);
    EXPECT_EQ(ct_signpad_mode_send_reply_check(ok, 0x13, 3), -1) << "another mode id";
    const uint8_t failed[] = {0x13, 0x00, 0x02};
    EXPECT_EQ(ct_signpad_mode_send_reply_check(failed, 0x13, 2), -1);
    EXPECT_EQ(ct_signpad_mode_send_mt_uni_cmd_button_last_event_get(ok + 3, 0x12), 0x0A0B);
    EXPECT_EQ(ct_signpad_mode_send_mt_uni_cmd_button_last_event_get(ok + 3, 0x10), -1);
    const uint8_t negative[] = {0x10, 0x00, 0x00, 0x00, 0x80};
    EXPECT_LT(ct_signpad_mode_send_mt_uni_cmd_button_last_event_get(negative, 0x10), 0);
}

TEST(SspReplyChecks, DescriptionBiodataConnection) {
    const uint8_t description[] = {0x10, 0x01};
    EXPECT_EQ(ct_signpad_get_pad_description_reply_check(description, 0x10), 0);
    EXPECT_EQ(ct_signpad_mode_ssp_biodata_sending_reply_check(description, 0x11), -1);
    const uint8_t biodata_refused[] = {0x11, 0x00};
    EXPECT_EQ(ct_signpad_mode_ssp_biodata_sending_reply_check(biodata_refused, 0x11), -1);
    const uint8_t usb[] = {0x10, 0x01, 0x05};
    EXPECT_EQ(ct_communication_get_current_connection_type_from_reply_message(usb), 5);
    const uint8_t negative[] = {0x10, 0x01, 0xF0};
    EXPECT_EQ(ct_communication_get_current_connection_type_from_reply_message(negative), -1);
    const uint8_t refused[] = {0x10, 0x02, 0x05};
    EXPECT_EQ(ct_communication_get_current_connection_type_from_reply_message(refused), -1);
}

TEST(SspReplyChecks, ConfigurationHandler) {
    // The state sits at an odd address inside the reply.
    const uint8_t state[] = {0x00, 0x10, 0x01, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(ct_conf_handler_cmd_conf_state_get(state + 1, 0x10), 0x01020304);
    EXPECT_EQ(ct_conf_handler_cmd_conf_state_get(state + 1, 0x14), -1);
    const uint8_t refused[] = {0x10, 0x00, 0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(ct_conf_handler_cmd_conf_state_get(refused, 0x10), -1);
    const uint8_t set_ok[] = {0x14, 0x01};
    EXPECT_EQ(cmduni_reply_check_cc(set_ok, 0x14), 0);
    EXPECT_EQ(cmduni_reply_check_cc(set_ok, 0x17), -1);
    const uint8_t set_refused[] = {0x14, 0x00};
    EXPECT_EQ(cmduni_reply_check_cc(set_refused, 0x14), -1);
}

TEST(ConfVarSet, NameAndValueAreCutWithoutTerminator) {
    const std::string name45 = "ql.pad.mode.0.button.rotate.config.abcdefghij";
    const std::string value25 = "0123456789ABCDEFGHIJKLMNO";
    ASSERT_EQ(name45.size(), 45u);
    ASSERT_EQ(value25.size(), 25u);
    conf_handler_var_set record;
    memset(&record, 0x5A, sizeof record);
    conf_handler_var_set_fill(&record, name45.c_str(), value25.c_str());
    EXPECT_EQ(field(record.var_name, 40), name45.substr(0, 40));
    EXPECT_EQ(field(record.var_value, 20), value25.substr(0, 20));

    conf_handler_var_set_fill(&record, "short", nullptr);
    EXPECT_EQ(field(record.var_name, 6), std::string("short\0", 6));
    const conf_handler_var_set zero{};
    EXPECT_EQ(memcmp(record.var_name + 5, zero.var_name, 35), 0) << "zero-filled after the name";
    EXPECT_EQ(memcmp(record.var_value, zero.var_value, 20), 0) << "persist sends no value";
}

TEST(ConfVarTable, ButtonsMapToTheirVariables) {
    const conf_var_code *t = ssp_button_conf_vars;
    EXPECT_STREQ(get_conf_var_string_for_code(t, 205, 0), "ql.pad.mode.0.button.rotate.config");
    EXPECT_STREQ(get_conf_var_string_for_code(t, 99, 0), "ql.pad.mode.0.button.rotate.180.config");
    EXPECT_STREQ(get_conf_var_string_for_code(t, 204, 5), "ql.pad.mode.5.button.ssig.config");
    EXPECT_STREQ(get_conf_var_string_for_code(t, 209, 6), "ql.pad.mode.6.button.rotate.90.config");
    EXPECT_STREQ(get_conf_var_string_for_code(t, 208, 6), "ql.pad.mode.6.button.cancel.config");
    EXPECT_EQ(get_conf_var_string_for_code(t, 200, 0), nullptr) << "zoom exists in mode 5 only";
    EXPECT_EQ(get_conf_var_string_for_code(t, 205, 13), nullptr);
    EXPECT_EQ(get_conf_var_string_for_code(t, 0, 0), nullptr) << "the end row matches nothing";
    EXPECT_EQ(get_conf_var_string_for_code(nullptr, 205, 0), nullptr);

    // The first matching row wins.
    const conf_var_code twice[] = {{7, 1, "first"}, {7, 1, "second"}, {0, 0, ""}};
    EXPECT_STREQ(get_conf_var_string_for_code(twice, 7, 1), "first");
}

TEST(HexText, ValuesInMemoryOrder) {
    const uint8_t data[8] = {0x01, 0x00, 0x00, 0x00, 0x0B, 0x0A, 0x00, 0x00};
    char text[256];
    EXPECT_EQ(get_hex_string_from_data_for_conf_var_set(text, sizeof text, data, 8), text);
    EXPECT_STREQ(text, "010000000B0A0000");

    const uint8_t all[] = {0x00, 0x7F, 0x80, 0xAB, 0xFF};
    char exact[11];  // two digits per byte and the terminator, nothing more
    get_hex_string_from_data_for_conf_var_set(exact, sizeof exact, all, sizeof all);
    EXPECT_STREQ(exact, "007F80ABFF");
}

TEST(HexText, BadArgumentsLeaveTheTextAlone) {
    const uint8_t data[4] = {1, 2, 3, 4};
    char text[16];
    auto unchanged = [&](int string_size, const void *d, int data_size, char *s) {
        memset(text, 'x', sizeof text);
        get_hex_string_from_data_for_conf_var_set(s, string_size, d, data_size);
        return std::string(text, sizeof text) == std::string(sizeof text, 'x');
    };
    EXPECT_TRUE(unchanged(16, nullptr, 4, text));
    EXPECT_TRUE(unchanged(16, data, 0, text));
    EXPECT_TRUE(unchanged(0, data, 4, text));
    EXPECT_TRUE(unchanged(8, data, 4, text)) << "no room for the terminator";
    EXPECT_TRUE(unchanged(-1, data, 4, text));
    EXPECT_EQ(get_hex_string_from_data_for_conf_var_set(nullptr, 16, data, 4), nullptr);
    EXPECT_FALSE(unchanged(9, data, 4, text));
    EXPECT_STREQ(text, "01020304");
}

TEST(SspCommandArguments, NullRecordsAreRefused) {
    EXPECT_EQ(ssp_common_is_ssp_supported(nullptr), -1);
    EXPECT_EQ(ssp_common_components_id_initialize_table(nullptr), -1);
    EXPECT_EQ(ssp_common_component_id_get_id(nullptr, 11), -1);
    EXPECT_EQ(ssp_common_ct_signpad_initialize_modes_id_table(nullptr), -1);
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(nullptr, 0), -1);
    EXPECT_EQ(ssp_common_get_pad_description(nullptr), -1);
    EXPECT_EQ(ssp_biodata_sending(nullptr, 1), -1);
    EXPECT_EQ(core_ssp_biodata_sending(nullptr, true), -1);
    EXPECT_EQ(ssp_common_get_user_input(nullptr), -1);
    EXPECT_EQ(ssp_common_get_button_event(nullptr, 0), -1);
    EXPECT_EQ(ssp_common_signature_buttons_refresh(nullptr), -1);
    EXPECT_EQ(ssp_common_ct_communication_get_current_connection(nullptr), -1);
    EXPECT_EQ(ssp_common_ct_communication_set_current_connection(nullptr, 1), -1);
    EXPECT_EQ(ssp_common_get_conf_state(nullptr), -1);
    EXPECT_EQ(ssp_common_check_configuration_state(nullptr), 0);
    EXPECT_EQ(ssp_common_set_configuration_variable(nullptr, "a", "b"), -1);
    EXPECT_EQ(ssp_common_persist_configuration_variable(nullptr, "a"), -1);
    EXPECT_EQ(ssp_common_set_button_state(nullptr, 205, 0, 0, 0), -1);

    CapturingRecord r;
    r.rec.pad_type = 16;
    EXPECT_EQ(ssp_common_set_configuration_variable(&r.rec, nullptr, "b"), -1);
    EXPECT_EQ(ssp_common_set_configuration_variable(&r.rec, "a", nullptr), -1);
    EXPECT_EQ(ssp_common_persist_configuration_variable(&r.rec, nullptr), -1);
    // Refused before any exchange: a mode without button events, a button
    // without a variable, a pad without components.
    EXPECT_EQ(ssp_common_get_button_event(&r.rec, 13), -1);
    EXPECT_EQ(ssp_common_set_button_state(&r.rec, 200, 1, 2, 0), -1);
    r.rec.pad_type = 13;
    EXPECT_EQ(ssp_common_set_button_state(&r.rec, 205, 1, 2, 0), -1);
    EXPECT_EQ(ssp_common_ct_signpad_get_mode_id(&r.rec, 0), -1);
    EXPECT_EQ(ssp_common_get_user_input(&r.rec), -1);
    EXPECT_EQ(ssp_common_check_configuration_state(&r.rec), 0);
    EXPECT_TRUE(CapturingRecord::sent.empty());
}

TEST(SspCurrentDevice, BiodataSwitchNeedsACurrentVcomPad) {
    ql_device_list *saved = dev_shared;
    dev_shared = nullptr;
    EXPECT_EQ(core_enable_ssp_biodata_sending(), -1);
    EXPECT_EQ(core_disable_ssp_biodata_sending(), -1);

    static ql_device_list table;
    memset(static_cast<void *>(&table), 0, sizeof table);
    dev_shared = &table;
    EXPECT_EQ(core_enable_ssp_biodata_sending(), -1) << "no current device";

    // A HID pad sends its biodata unasked: nothing to switch, nothing sent.
    CapturingRecord r;
    table.current_device = &r.rec;
    EXPECT_EQ(core_enable_ssp_biodata_sending(), 0);
    EXPECT_EQ(core_disable_ssp_biodata_sending(), 0);
    EXPECT_TRUE(CapturingRecord::sent.empty());
    r.rec.removed = true;
    EXPECT_EQ(core_enable_ssp_biodata_sending(), -20) << "a lost pad is reported";
    dev_shared = saved;
}

// Replies that announce more entries or serial bytes than they carry give
// what they carry; the bytes after them never become table entries or text.
TEST(SspShortReplies, CountsAndLengthsAreCutToTheReply) {
    ScriptedRecord r;
    // Ten components announced, three carried.
    r.replies.push_back(ScriptedRecord::base(0, {0x10, 0x01, 10, 1, 11, 3}));
    ASSERT_EQ(ssp_common_components_id_initialize_table(&r.rec), 0);
    EXPECT_EQ(Bytes(r.rec.ssp_components, r.rec.ssp_components + 4), (Bytes{1, 11, 3, 0}));
    EXPECT_EQ(ssp_common_component_id_get_id(&r.rec, 0xEE), -2);

    // Six modes announced, two and a half carried.
    r.replies.push_back(ScriptedRecord::base(1, {0x12, 0x01, 6, 5, 0, 0, 0, 13, 0, 0, 0, 6, 0}));
    ASSERT_EQ(ssp_common_ct_signpad_initialize_modes_id_table(&r.rec), 0);
    EXPECT_EQ(r.rec.ct_signpad_modes[0], 5u);
    EXPECT_EQ(r.rec.ct_signpad_modes[1], 13u);
    EXPECT_EQ(r.rec.ct_signpad_modes[2], 0u) << "a partial entry is not taken";
    EXPECT_EQ(r.rec.ct_signpad_modes[3], 0u);

    // A serial number of 20 bytes announced, 5 carried.
    Bytes description{0x10, 0x01, 0x89, 0x26, 0, 0, 0xE1, 0x0C, 0, 0};
    description.resize(30, 0);
    description.push_back(20);
    for (char c : std::string("ABCDE"))
        description.push_back(static_cast<uint8_t>(c));
    r.replies.push_back(ScriptedRecord::base(1, description));
    memset(r.rec.serial_number, 'Z', sizeof r.rec.serial_number);
    ASSERT_EQ(ssp_common_get_pad_description(&r.rec), 0);
    EXPECT_STREQ(r.rec.serial_number, "ABCDE");
    EXPECT_EQ(r.rec.vendor_id, 0x2689u);
    EXPECT_EQ(r.rec.product_id, 0x0CE1u);
}

TEST(SspShortReplies, RepliesWithoutTheirFieldsFail) {
    ScriptedRecord r;
    r.rec.ssp_components[0] = 11;  // ct_signpad has id 0, the mode list is known
    r.rec.ssp_component_count = 1;
    r.rec.ct_signpad_modes[0] = 13;
    r.rec.ct_signpad_modes[1] = 5;
    r.rec.ct_signpad_mode_count = 2;
    // A description reply that ends inside its fixed fields changes nothing.
    r.replies.push_back(ScriptedRecord::base(0, {0x10, 0x01, 0x89, 0x26}));
    r.rec.vendor_id = 7;
    EXPECT_EQ(ssp_common_get_pad_description(&r.rec), -1);
    EXPECT_EQ(r.rec.vendor_id, 7u);
    // A user-input reply without its button.
    r.replies.push_back(ScriptedRecord::base(0, {0x13, 0x01, 0x00, 0x10}));
    EXPECT_EQ(ssp_common_get_user_input(&r.rec), -1);
    // A refresh reply without its answer byte.
    r.replies.push_back(ScriptedRecord::base(0, {0x13, 0x01, 0x01}));
    EXPECT_EQ(ssp_common_doc_view_buttons_refresh(&r.rec), -1);
    // The same replies, complete, pass.
    r.replies.push_back(ScriptedRecord::base(0, {0x13, 0x01, 0x00, 0x10, 0x2A, 0, 0, 0}));
    EXPECT_EQ(ssp_common_get_user_input(&r.rec), 42);
    r.replies.push_back(ScriptedRecord::base(0, {0x13, 0x01, 0x01, 0x10}));
    EXPECT_EQ(ssp_common_doc_view_buttons_refresh(&r.rec), 0);
    EXPECT_TRUE(r.replies.empty());
}
