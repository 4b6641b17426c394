// Configuration variables of SSP pads: the configuration handler's state and
// the wait for it, setting and persisting a variable, and the buttons of the
// pad modes mapped to the variables that configure them.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "le_bytes.h"
#include "ssp_common.h"
#include "ssp_common_internal.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kConfWaitMs = 10000;
constexpr long kConfFirstPause = 200;
constexpr long kConfPauseCap = 500000;
constexpr int kConfGone = -4;  // the pad went away during the wait
constexpr int kButtonRotate = 205;
constexpr int kButtonRotate180 = 99;
constexpr uint32_t kPadTypeRotate180 = 17;
constexpr int kHexTextSize = 256;
constexpr const char *kNullVariable = "Wrong pointer, char *variable is NULL...";

// The checks of the calls that only pads with components take.
bool has_components(ApiSite site, const ql_device *device) {
    ArgCheck check(site);
    return check.handle(device, kNullDevice) &&
           check.require(core_pad_traits(device->pad_type).has_components, kNotSupported);
}

// The command echo and result byte that the configuration replies start with.
bool conf_reply_head_ok(ApiSite site, const uint8_t *reply_payload, uint8_t ct_cmd,
                        const char *wrong_cmd, const char *wrong_result) {
    return ArgCheck(site)
        .require(reply_payload[0] == ct_cmd, wrong_cmd)
        .require(reply_payload[1] == SSP_PROTOCOL_SUCCESS, wrong_result, long{reply_payload[1]})
        .ok();
}

// Set and persist: wait for the handler, send the record, check the answer,
// wait for the change to be carried out.
int change_variable(ApiSite site, ql_device *device, uint8_t message_id, const char *variable,
                    const char *value) {
    int k = ssp_component_id(site, device, SSP_CT_CONF_HANDLER);
    if (k < 0)
        return k;
    conf_handler_var_set record;
    conf_handler_var_set_fill(&record, variable, value);

    int state = ssp_common_check_configuration_state(device);
    TRACE_INFO("configuration handler state before the change: %d", state);

    int r = make_and_send_ssp_data_sequence(device, static_cast<uint8_t>(k), message_id, &record,
                                            sizeof record);
    if (r != 0) {
        ssp_site_error(site, "Error of make_and_send_ssp_data_sequence(), it returns %d", r);
        return r;
    }
    SspReply reply;
    if (ssp_reply_prelude(site, device, static_cast<uint8_t>(k), reply, MissingReply::error) != 0)
        return -1;
    r = cmduni_reply_check_cc(reply.payload(), message_id);
    if (r != 0) {
        ssp_site_error(site, "Error, cmduni_reply_check_cc() return %d", r);
        return -1;
    }
    state = ssp_common_check_configuration_state(device);
    if (state == CHS_FAILED) {
        ssp_site_error(site, "Error, ssp_common_get_configuration_state() return %d", state);
        return -1;
    }
    return 0;
}

}  // namespace

// Rows are searched in order; the first that matches code and mode wins.
const conf_var_code ssp_button_conf_vars[] = {
    {205, 5, "ql.pad.mode.5.button.rotate.config"},
    {200, 5, "ql.pad.mode.5.button.zoom.in.config"},
    {201, 5, "ql.pad.mode.5.button.zoom.out.config"},
    {202, 5, "ql.pad.mode.5.button.next.config"},
    {203, 5, "ql.pad.mode.5.button.prev.config"},
    {204, 5, "ql.pad.mode.5.button.ssig.config"},
    {99, 5, "ql.pad.mode.5.button.rotate.180.config"},
    {209, 5, "ql.pad.mode.5.button.rotate.90.config"},
    {205, 0, "ql.pad.mode.0.button.rotate.config"},
    {202, 0, "ql.pad.mode.0.button.next.config"},
    {203, 0, "ql.pad.mode.0.button.prev.config"},
    {206, 0, "ql.pad.mode.0.button.ok.config"},
    {207, 0, "ql.pad.mode.0.button.repeat.config"},
    {208, 0, "ql.pad.mode.0.button.cancel.config"},
    {99, 0, "ql.pad.mode.0.button.rotate.180.config"},
    {209, 0, "ql.pad.mode.0.button.rotate.90.config"},
    {205, 6, "ql.pad.mode.6.button.rotate.config"},
    {202, 6, "ql.pad.mode.6.button.next.config"},
    {203, 6, "ql.pad.mode.6.button.prev.config"},
    {206, 6, "ql.pad.mode.6.button.ok.config"},
    {207, 6, "ql.pad.mode.6.button.repeat.config"},
    {208, 6, "ql.pad.mode.6.button.cancel.config"},
    {99, 6, "ql.pad.mode.6.button.rotate.180.config"},
    {209, 6, "ql.pad.mode.6.button.rotate.90.config"},
    {0, 0, ""},
};

int ct_conf_handler_cmd_conf_state_get(const uint8_t *reply_payload, uint8_t ct_cmd) {
    static_assert(offsetof(conf_handler_state_reply, ct_cmd) == 0 &&
                  offsetof(conf_handler_state_reply, result) == 1);
    if (!conf_reply_head_ok(API_SITE, reply_payload, ct_cmd,
                            "Wrong reply message cmd with configuration state",
                            "Wrong reply message result with configuration state, result: %ld"))
        return -1;
    uint32_t state = 0;
    ByteReader(reply_payload, sizeof(conf_handler_state_reply))
        .le32_at(offsetof(conf_handler_state_reply, state), &state);
    return static_cast<int32_t>(state);
}

int cmduni_reply_check_cc(const uint8_t *reply_payload, uint8_t ct_cmd) {
    static_assert(offsetof(conf_handler_cc_reply, ct_cmd) == 0 &&
                  offsetof(conf_handler_cc_reply, reply) == 1);
    return conf_reply_head_ok(API_SITE, reply_payload, ct_cmd, "Wrong reply cmd message ID",
                              "Wrong reply value: %ld")
               ? 0
               : -1;
}

void conf_handler_var_set_fill(conf_handler_var_set *record, const char *variable,
                               const char *value) {
    memset(record, 0, sizeof *record);
    if (variable != nullptr)
        memcpy(record->var_name, variable, strnlen(variable, sizeof record->var_name));
    if (value != nullptr)
        memcpy(record->var_value, value, strnlen(value, sizeof record->var_value));
}

const char *get_conf_var_string_for_code(const conf_var_code *table, int button,
                                         unsigned int mode) {
    if (table == nullptr)
        return nullptr;
    for (const conf_var_code *row = table; row->code != 0; ++row)
        if (row->code == button && row->mode == mode)
            return row->name;
    return nullptr;
}

char *get_hex_string_from_data_for_conf_var_set(char *string, int string_size, const void *data,
                                                int data_size) {
    if (!ArgCheck(API_SITE)
             .handle(data, "Wrong data pointer, it is NULL...")
             .length(data_size, "Wrong data_size parameter, it is: %ld")
             .handle(string, "Wrong string pointer, it is NULL...")
             .length(string_size, "Wrong string_size parameter, it is: %ld"))
        return string;
    if (static_cast<int64_t>(string_size) < 2 * static_cast<int64_t>(data_size) + 1) {
        TRACE_ERROR("Wrong string_size parameter, it is: %d, but data_size: %d", string_size,
                    data_size);
        return string;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    memset(string, 0, static_cast<size_t>(string_size));
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    for (int i = 0; i < data_size; ++i) {
        string[2 * i] = kDigits[bytes[i] >> 4];
        string[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return string;
}

extern "C" {

EXPORT int ssp_common_get_conf_state(ql_device *device) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    int k = ssp_component_id(API_SITE, device, SSP_CT_CONF_HANDLER);
    if (k < 0)
        return k;
    int r = make_and_send_ssp_data_sequence(device, static_cast<uint8_t>(k), CTH_MSG_STATE_GET,
                                            nullptr, 0);
    if (r != 0) {
        TRACE_ERROR("Error of make_and_send_ssp_data_sequence(), it returns %d", r);
        return r;
    }
    SspReply reply;
    if (ssp_reply_prelude(API_SITE, device, static_cast<uint8_t>(k), reply, MissingReply::error) !=
        0)
        return -1;
    int state = ct_conf_handler_cmd_conf_state_get(reply.payload(), CTH_MSG_STATE_GET);
    if (state >= 0 && !reply.holds(API_SITE, sizeof(conf_handler_state_reply)))
        return -1;
    if (state < 0) {
        TRACE_ERROR("Error, ct_conf_handler_cmd_conf_state_get() return %d", state);
        return -1;
    }
    return state;
}

EXPORT int ssp_common_check_configuration_state(ql_device *device) {
    TRACE_SCOPE();
    if (!has_components(API_SITE, device))
        return 0;
    const Clock::time_point start = Clock::now();
    long pause = kConfFirstPause;
    int state = -1;
    while (elapsed_ms(start) < kConfWaitMs) {
        state = ssp_common_get_conf_state(device);
        if (state == kConfGone)
            return state;
        if (state == kCoreRemoved || device->removed) {
            TRACE_ERROR("we lost device..");
            return kCoreRemoved;
        }
        if (state == 0 || state == 3 || state == CHS_FAILED)
            return state;
        // Busy (CHS_WAITING, CHS_RUNNING) or no answer: ask again after
        // 600, 1800, ... 1312200 us, then half a second each time.
        pause = pause < kConfPauseCap ? pause * 3 : kConfPauseCap;
        ssp_pause_us(pause);
    }
    TRACE_INFO("configuration handler still busy after %ld ms, state %d", kConfWaitMs, state);
    return state;
}

EXPORT int ssp_common_set_configuration_variable(ql_device *device, const char *variable,
                                                 const char *value) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE)
             .handle(device, kNullDevice)
             .handle(variable, kNullVariable)
             .handle(value, "Wrong pointer, char *value is NULL..."))
        return -1;
    return change_variable(API_SITE, device, CTH_MSG_VAR_SET, variable, value);
}

EXPORT int ssp_common_persist_configuration_variable(ql_device *device, const char *variable) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDevice).handle(variable, kNullVariable))
        return -1;
    return change_variable(API_SITE, device, CTH_MSG_VAR_PERSIST, variable, nullptr);
}

EXPORT int ssp_common_set_button_state(ql_device *device, int button, unsigned int value_1,
                                       unsigned int value_2, unsigned int mode) {
    TRACE_SCOPE();
    if (!has_components(API_SITE, device))
        return -1;
    // This model turns by 180 degrees only.
    if (device->pad_type == kPadTypeRotate180 && button == kButtonRotate)
        button = kButtonRotate180;
    const char *name = get_conf_var_string_for_code(ssp_button_conf_vars, button, mode);
    if (name == nullptr) {
        TRACE_ERROR("Wrong string pointer, it is NULL...");
        return -1;
    }
    uint8_t data[8];
    ByteWriter(data, sizeof data).le32(value_1).le32(value_2);
    char text[kHexTextSize] = {};
    get_hex_string_from_data_for_conf_var_set(text, sizeof text, data, sizeof data);
    int r = ssp_common_set_configuration_variable(device, name, text);
    if (r != 0)
        TRACE_ERROR("Error of , ssp_common_set_configuration_variable() it returns %d", r);
    return r;
}

}  // extern "C"
