// Commands of SSP pads: the component and mode tables of a record, the
// request and reply helpers, and the pad commands of the signature and
// communication components. Configuration variables live in ssp_common_conf.
#include "ssp_common.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "le_bytes.h"
#include "ssp_base_message.h"
#include "ssp_common_internal.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned int kProbeTimeoutMs = 100;
constexpr long kBiodataRetryMs = 3000;
constexpr long kBiodataFirstPause = 1000;
constexpr long kBiodataPauseCap = 500000;
constexpr long kRefreshPause = 1000;

// Builds a request in a heap block and sends it through the record.
int send_request(const char *func, ql_device *device, const uint8_t *head, size_t head_size,
                 const void *data, size_t data_size) {
    uint8_t *message = static_cast<uint8_t *>(Malloc(head_size + data_size));
    memcpy(message, head, head_size);
    if (data_size > 0)
        memcpy(message + head_size, data, data_size);
    int r = send_ssp_message(device, message, static_cast<unsigned int>(head_size + data_size));
    free(message);
    if (r != 0)
        trace_error(__FILE_NAME__, __LINE__, func, false,
                    "Error, function __send_ssp_message() return %d", r);
    return r;
}

// A component data sequence is one message id, two parameters and the data;
// the length field is the payload size minus one.
constexpr size_t kComponentSequenceHead = SSP_BASE_MESSAGE_HEADER_SIZE + 3;
constexpr size_t kDataSequenceHead = SSP_BASE_MESSAGE_HEADER_SIZE + 1;
constexpr size_t kMaxComponentSequenceData = 0xFFFF - 2;
constexpr size_t kMaxDataSequenceData = 0xFFFF;

// The mode list and the component list share their reply layout.
int list_count_from_reply(const char *func, const uint8_t *reply_payload, uint8_t message_id,
                          const char *wrong_id, const char *wrong_result, const char *wrong_count) {
    ssp_list_reply head;
    memcpy(&head, reply_payload, sizeof head);
    if (head.message_id != message_id) {
        trace_error(__FILE_NAME__, __LINE__, func, false, wrong_id, head.message_id, message_id);
        return -1;
    }
    if (head.protocol_result != SSP_PROTOCOL_SUCCESS) {
        trace_error(__FILE_NAME__, __LINE__, func, false, wrong_result, head.protocol_result,
                    SSP_PROTOCOL_SUCCESS);
        return -1;
    }
    if (head.count < 1) {
        trace_error(__FILE_NAME__, __LINE__, func, false, wrong_count, head.count);
        return -1;
    }
    return head.count;
}

// Entries the reply really carries: its count, cut to the payload it holds
// and to the table's size, so that no byte after the message becomes an
// entry.
int entries_held(int count, unsigned int payload_size, size_t entry_size, int table_size) {
    unsigned int room =
        payload_size > sizeof(ssp_list_reply)
            ? static_cast<unsigned int>((payload_size - sizeof(ssp_list_reply)) / entry_size)
            : 0;
    int n = std::min(count, table_size);
    if (static_cast<unsigned int>(n) > room) {
        TRACE_ERROR("Error, reply announces %d entries but holds %u", count, room);
        n = static_cast<int>(room);
    }
    return n;
}

// Asks component 0 for the component list, for the probe and for the table,
// which do not go through the component lookup. 0 with the reply held, or -1.
int ask_component_list(ApiSite site, ql_device *device, unsigned int time_out, SspReply &reply,
                       bool probe) {
    static const uint8_t kListRequest[] = {0x00, 0x00, 0x00, SSP_MSG_COMPONENT_LIST};
    int r = send_ssp_message(device, kListRequest, sizeof kListRequest);
    if (r != 0) {
        if (probe)
            ssp_site_error(site, "function __send_ssp_message() return %d", r);
        else
            ssp_site_error(site, "Error, function __send_ssp_message() return %d", r);
        return -1;
    }
    r = reply.receive(device, time_out);
    if (r != 0) {
        ssp_site_error(site, "Error, function __receive_ssp_message() return %d", r);
        return -1;
    }
    if (ssp_base_message_is_it_old_message(reply.message()) == 1) {
        ssp_site_error(site, "Error, current message is not a Base Message");
        return -1;
    }
    int length = static_cast<int>(ssp_base_message_get_data_length(reply.message()));
    if (length <= 0) {
        ssp_site_error(site, "Error, ssp_base_message_get_data_length() return %d", length);
        return -1;
    }
    return 0;
}

// The mode sends of the user-input, button-event and refresh commands.
struct ModeSend {
    unsigned int mode;
    uint8_t sub_command;
    MissingReply missing;
};

// Runs a mode send up to and including the mode-send reply check. 0 with the
// reply held, or the command's negative result.
int mode_send(ApiSite site, ql_device *device, const ModeSend &send, SspReply &reply) {
    SspCommand cmd;
    cmd.component_type = SSP_CT_SIGNPAD;
    cmd.mode_command = true;
    cmd.mode = send.mode;
    cmd.message_id = CTS_MSG_MODE_SEND;
    cmd.parameter_2 = send.sub_command;
    cmd.missing = send.missing;
    uint8_t mode_id = 0;
    int r = ssp_run_command(site, device, cmd, reply, &mode_id);
    if (r != 0)
        return r;
    if (ct_signpad_mode_send_reply_check(reply.payload(), CTS_MSG_MODE_SEND, mode_id) != 0) {
        ssp_site_error(
            site,
            "Error, check data by ct_signpad_mode_send_reply_check(data: %p, ct_cmd: %d, "
            "cts_mode_id: %d)",
            static_cast<const void *>(reply.payload()), CTS_MSG_MODE_SEND, mode_id);
        return -1;
    }
    return 0;
}

// The button value of a user-input or button-event mode send.
int last_button(ApiSite site, ql_device *device, const ModeSend &send) {
    SspReply reply;
    int r = mode_send(site, device, send, reply);
    if (r != 0)
        return r;
    constexpr unsigned int need =
        sizeof(ct_signpad_mode_send_reply) + sizeof(ct_signpad_button_last_event);
    if (!reply.holds(site, need))
        return -1;
    int button = ct_signpad_mode_send_mt_uni_cmd_button_last_event_get(
        reply.payload() + sizeof(ct_signpad_mode_send_reply), send.sub_command);
    if (button < 0) {
        ssp_site_error(site, "Error, incorrect button value %d", button);
        return -1;
    }
    return button;
}

int buttons_refresh(ApiSite site, ql_device *device, unsigned int mode, MissingReply missing) {
    SspReply reply;
    int r = mode_send(site, device, {mode, MT_UNI_CMD_USER_INPUT, missing}, reply);
    if (r != 0)
        return r;
    if (!reply.holds(site, sizeof(ct_signpad_mode_send_reply) + 1))
        return -1;
    uint8_t answer = reply.payload()[sizeof(ct_signpad_mode_send_reply)];
    if (answer != MT_UNI_CMD_USER_INPUT) {
        ssp_site_error(site, "Error, wrong reply data: %d, but has to be: %d", answer,
                       MT_UNI_CMD_USER_INPUT);
        return -1;
    }
    return 0;
}

// The biodata switch of the current device.
int current_device_biodata(bool enable) {
    TRACE_SCOPE();
    if (dev_shared == nullptr || dev_shared->current_device == nullptr) {
        TRACE_INFO("no current device");
        return -1;
    }
    return pad_biodata_switch(dev_shared->current_device, enable);
}

}  // namespace

// Only VCOM pads need the switch.
int pad_biodata_switch(ql_device *device, bool enable) {
    int result = 0;
    if (device->vcom_handle != nullptr) {
        result = core_ssp_biodata_sending(device, enable);
        if (result != 0) {
            // Whatever the pad did, the next transfer starts on a fresh handle.
            DEVICE_LOCK_GUARD(guard, device);
            __core_close_dev(device);
            if (__core_open_dev(device) != 0) {
                device->removed = true;
                result = kCoreRemoved;
            } else {
                result = -1;
            }
        }
    }
    if (device->removed)
        result = kCoreRemoved;
    return result;
}

// ---- Shared shape of the commands ----

void ssp_site_error(ApiSite site, const char *fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    trace_error(site.file, site.line, site.func, false, "%s", text);
}

SspReply::~SspReply() {
    free(message_);
}

int SspReply::receive(ql_device *device, unsigned int time_out) {
    free(message_);
    message_ = static_cast<uint8_t *>(Calloc(1, kSspReplyBufferSize));
    received_ = kSspReplyBufferSize;
    int r = receive_ssp_message(device, message_, &received_, time_out, false, kSspCommandSource);
    if (r != 0) {
        free(message_);
        message_ = nullptr;
        received_ = 0;
    }
    return r;
}

void SspReply::adopt(uint8_t *message, unsigned int received) {
    free(message_);
    message_ = message;
    received_ = message != nullptr ? received : 0;
}

unsigned int SspReply::payload_size() const {
    if (message_ == nullptr || received_ <= SSP_BASE_MESSAGE_HEADER_SIZE)
        return 0;
    unsigned int held = received_ - static_cast<unsigned int>(SSP_BASE_MESSAGE_HEADER_SIZE);
    return std::min(ssp_base_message_get_data_length(message_), held);
}

bool SspReply::holds(ApiSite site, unsigned int need) const {
    if (payload_size() >= need)
        return true;
    ssp_site_error(site, "Error, reply holds %u bytes, but needs %u", payload_size(), need);
    return false;
}

int ssp_component_id(ApiSite site, ql_device *device, unsigned int component_type) {
    signed char k = ssp_common_component_id_get_id(device, component_type);
    if (k < 0)
        ssp_site_error(
            site, "Error of getting Component ID, ssp_common_component_id_get_id() return %d", k);
    return k;
}

int ssp_reply_prelude(ApiSite site, ql_device *device, uint8_t component_id, SspReply &reply,
                      MissingReply missing) {
    reply.adopt(nullptr, 0);
    unsigned int received = 0;
    uint8_t *message = receive_ssp_message_and_get_data(device, &received);
    if (message == nullptr) {
        switch (missing) {
            case MissingReply::error:
                ssp_site_error(site, "Error, receive_ssp_message_and_get_data() return NULL");
                break;
            case MissingReply::error_function:
                ssp_site_error(site,
                               "Error, function receive_ssp_message_and_get_data() return NULL");
                break;
            case MissingReply::warning:
                if (trace_on(TraceClass::info))
                    trace_warning(site.file, site.line, site.func,
                                  "Error, receive_ssp_message_and_get_data() return NULL");
                break;
            case MissingReply::error_then_pause:
                ssp_site_error(site, "Error, receive_ssp_message_and_get_data() return NULL");
                ssp_pause_us(kRefreshPause);
                break;
        }
        return -1;
    }
    reply.adopt(message, received);
    if (ssp_base_message_is_it_old_message(message) == 1) {
        ssp_site_error(site, "Error, current message is not a Base Message");
        if (missing == MissingReply::warning)
            ssp_site_error(site, "data: %s", print_bytes(message, 20));
        return -1;
    }
    if (ssp_base_message_check_component_id(message, component_id) != 0) {
        ssp_site_error(site, "Error,  of ssp_base_message_check_component_id() for Base Message");
        return -1;
    }
    int length = static_cast<int>(ssp_base_message_get_data_length(message));
    if (length <= 0) {
        ssp_site_error(site, "Error, ssp_base_message_get_data_length() return %d", length);
        return -1;
    }
    return 0;
}

int ssp_run_command(ApiSite site, ql_device *device, const SspCommand &cmd, SspReply &reply,
                    uint8_t *mode_id) {
    if (!ArgCheck(site).handle(device, kNullDevice))
        return -1;
    if (cmd.mode_command && !core_pad_traits(device->pad_type).has_components) {
        ssp_site_error(site, "%s", kNotSupported);
        return -1;
    }
    int k = ssp_component_id(site, device, cmd.component_type);
    if (k < 0)
        return k;
    uint8_t parameter_1 = cmd.parameter_1;
    if (cmd.mode_command) {
        signed char m = ssp_common_ct_signpad_get_mode_id(device, cmd.mode);
        if (m < 0) {
            ssp_site_error(site,
                           "Error of getting ct_signpad Mode ID, "
                           "ssp_common_ct_signpad_get_mode_id() return %d",
                           m);
            return m;
        }
        parameter_1 = static_cast<uint8_t>(m);
        if (mode_id != nullptr)
            *mode_id = parameter_1;
    }
    int r = make_and_send_ssp_component_data_sequence(
        device, static_cast<uint8_t>(k), cmd.message_id, parameter_1, cmd.parameter_2, nullptr, 0);
    if (r != 0) {
        ssp_site_error(site, "Error of make_and_send_ssp_component_data_sequence(), it returns %d",
                       r);
        return r;
    }
    if (!cmd.expects_reply)
        return 0;
    return ssp_reply_prelude(site, device, static_cast<uint8_t>(k), reply, cmd.missing);
}

void ssp_pause_us(long us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// ---- Request and reply helpers ----

int send_ssp_message(ql_device *device, const void *data, unsigned int size) {
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    if (device->send_ssp_message == nullptr) {
        TRACE_ERROR("Wrong function pointer, current_device->send_ssp_message is NULL...");
        return -1;
    }
    return device->send_ssp_message(device, data, size);
}

int receive_ssp_message(ql_device *device, void *data, unsigned int *len, unsigned int time_out,
                        bool request, unsigned int source) {
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    if (device->receive_ssp_message == nullptr) {
        TRACE_ERROR("Wrong function pointer, current_device->receive_ssp_message is NULL...");
        return -1;
    }
    return device->receive_ssp_message(device, data, len, time_out, request, source);
}

int make_and_send_ssp_component_data_sequence(ql_device *device, uint8_t component_id,
                                              uint8_t message_id, uint8_t parameter_1,
                                              uint8_t parameter_2, const void *data,
                                              int data_size) {
    size_t n = data != nullptr && data_size >= 1 ? static_cast<size_t>(data_size) : 0;
    if (n > kMaxComponentSequenceData) {
        TRACE_ERROR("Error, input parameter: int data_size is %d", data_size);
        return -1;
    }
    uint8_t head[kComponentSequenceHead];
    ByteWriter(head, sizeof head)
        .u8(component_id)
        .le16(static_cast<uint16_t>(2 + n))
        .u8(message_id)
        .u8(parameter_1)
        .u8(parameter_2);
    return send_request(__func__, device, head, sizeof head, data, n);
}

int make_and_send_ssp_data_sequence(ql_device *device, uint8_t component_id, uint8_t message_id,
                                    const void *data, unsigned int data_size) {
    size_t n = data != nullptr ? data_size : 0;
    if (n > kMaxDataSequenceData) {
        TRACE_ERROR("Error, input parameter: unsigned int data_size is %u", data_size);
        return -1;
    }
    uint8_t head[kDataSequenceHead];
    ByteWriter(head, sizeof head).u8(component_id).le16(static_cast<uint16_t>(n)).u8(message_id);
    return send_request(__func__, device, head, sizeof head, data, n);
}

uint8_t *receive_ssp_message_and_get_data(ql_device *device, unsigned int *received) {
    // Zeroed, so that a reply shorter than what a check looks at reads zeros,
    // never stale heap.
    uint8_t *buffer = static_cast<uint8_t *>(Calloc(1, kSspReplyBufferSize));
    unsigned int length = kSspReplyBufferSize;
    int r =
        receive_ssp_message(device, buffer, &length, kSspReplyTimeoutMs, false, kSspCommandSource);
    if (r != 0) {
        TRACE_WARNING("Error, function __receive_ssp_message() return %d", r);
        free(buffer);
        return nullptr;
    }
    if (received != nullptr)
        *received = length;
    return buffer;
}

int get_count_of_components_from_reply_message(const uint8_t *reply_payload) {
    return list_count_from_reply(__func__, reply_payload, SSP_MSG_COMPONENT_LIST,
                                 "Wrong message ID, it is %d, but must be %d",
                                 "Wrong Component Protocol Result %d",
                                 "Incorrect Component Count %d");
}

int ct_signpad_get_count_of_modes_from_reply_message(const uint8_t *reply_payload) {
    return list_count_from_reply(
        __func__, reply_payload, CTS_MSG_MODE_LIST, "Wrong message_id, it is %d, but must be %d",
        "Wrong Protocol Result %d, must be %d", "Incorrect Count modes %d");
}

int ct_signpad_get_pad_description_reply_check(const uint8_t *reply_payload, uint8_t message_id) {
    if (reply_payload[0] != message_id || reply_payload[1] != SSP_PROTOCOL_SUCCESS) {
        TRACE_ERROR("incorrect reply for CT_SIGNPAD cmd mode_send");
        return -1;
    }
    return 0;
}

int ct_signpad_mode_ssp_biodata_sending_reply_check(const uint8_t *reply_payload,
                                                    uint8_t message_id) {
    if (reply_payload[0] != message_id || reply_payload[1] != SSP_PROTOCOL_SUCCESS) {
        TRACE_ERROR("incorrect reply for CT_SIGNPAD cmd mode_send");
        return -1;
    }
    return 0;
}

int ct_signpad_mode_send_reply_check(const uint8_t *reply_payload, uint8_t message_id,
                                     uint8_t mode_id) {
    ct_signpad_mode_send_reply head;
    memcpy(&head, reply_payload, sizeof head);
    if (head.message_id != message_id || head.protocol_result != SSP_PROTOCOL_SUCCESS ||
        head.mode != mode_id) {
        TRACE_ERROR("incorrect reply for CT_SIGNPAD cmd mode_send");
        return -1;
    }
    return 0;
}

int ct_signpad_mode_send_mt_uni_cmd_button_last_event_get(const uint8_t *event,
                                                          uint8_t message_id) {
    if (event[0] != message_id) {
        TRACE_ERROR("Wrong reply message with last event buttons state");
        return -1;
    }
    uint32_t button = 0;
    ByteReader(event, sizeof(ct_signpad_button_last_event))
        .le32_at(offsetof(ct_signpad_button_last_event, button), &button);
    return static_cast<int32_t>(button);
}

int ct_communication_get_current_connection_type_from_reply_message(const uint8_t *reply_payload) {
    ct_communication_connection_reply head;
    memcpy(&head, reply_payload, sizeof head);
    if (head.message_id != CTC_MSG_CONNECTION_GET) {
        TRACE_ERROR("Wrong message_id, it is %d, but must be %d", head.message_id,
                    CTC_MSG_CONNECTION_GET);
        return -1;
    }
    if (head.protocol_result != SSP_PROTOCOL_SUCCESS) {
        TRACE_ERROR("Wrong Protocol Result %d, must be %d", head.protocol_result,
                    SSP_PROTOCOL_SUCCESS);
        return -1;
    }
    if (head.type < 0) {
        TRACE_ERROR("Incorrect type value %d", head.type);
        return -1;
    }
    return head.type;
}

extern "C" {

// ---- Component and mode tables ----

EXPORT int ssp_common_is_ssp_supported(ql_device *device) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    SspReply reply;
    if (ask_component_list(API_SITE, device, kProbeTimeoutMs, reply, true) != 0)
        return 0;
    return 1;
}

EXPORT int ssp_common_components_id_initialize_table(ql_device *device) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    if (device->ssp_component_count > 0)
        return 0;
    SspReply reply;
    if (ask_component_list(API_SITE, device, kSspReplyTimeoutMs, reply, false) != 0)
        return -1;
    // The component id of this reply is not examined: component 0 answers.
    int count = get_count_of_components_from_reply_message(reply.payload());
    if (count < 1) {
        TRACE_ERROR("Error, incorrect count of components %d", count);
        return -1;
    }
    int n = entries_held(count, reply.payload_size(), 1, kSspComponents);
    memcpy(device->ssp_components, reply.payload() + sizeof(ssp_list_reply),
           static_cast<size_t>(n));
    device->ssp_component_count = static_cast<uint8_t>(n);
    return n > 0 ? 0 : -1;
}

EXPORT signed char ssp_common_component_id_get_id(ql_device *device, unsigned int component_type) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    int r = ssp_common_components_id_initialize_table(device);
    if (r != 0) {
        TRACE_ERROR(
            "Can not initialize Components ID table, ssp_common_components_id_initialize_table() "
            "return: %d",
            r);
        return -1;
    }
    const uint8_t type = static_cast<uint8_t>(component_type);
    for (int i = 0; i < device->ssp_component_count && i < kSspComponents; ++i)
        if (device->ssp_components[i] == type)
            return static_cast<signed char>(i);
    return kSspNotInTable;
}

EXPORT int ssp_common_ct_signpad_initialize_modes_id_table(ql_device *device) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    if (device->ct_signpad_mode_count > 0)
        return 0;
    SspCommand cmd;
    cmd.component_type = SSP_CT_SIGNPAD;
    cmd.message_id = CTS_MSG_MODE_LIST;
    SspReply reply;
    int r = ssp_run_command(API_SITE, device, cmd, reply);
    if (r != 0)
        return r;
    int count = ct_signpad_get_count_of_modes_from_reply_message(reply.payload());
    if (count < 1) {
        TRACE_ERROR("Error, incorrect count of modes in component ct_signpad %d", count);
        return -1;
    }
    int n = entries_held(count, reply.payload_size(), sizeof(uint32_t), kSspModes);
    ByteReader codes(reply.payload() + sizeof(ssp_list_reply),
                     static_cast<size_t>(n) * sizeof(uint32_t));
    for (int i = 0; i < n; ++i)
        codes.le32(&device->ct_signpad_modes[i]);
    device->ct_signpad_mode_count = static_cast<uint8_t>(n);
    return n > 0 ? 0 : -1;
}

EXPORT signed char ssp_common_ct_signpad_get_mode_id(ql_device *device, unsigned int mode) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    if (!core_pad_traits(device->pad_type).has_components) {
        TRACE_ERROR("Getting SSP ct_signpad Mode ID is not supported for current Device");
        return -1;
    }
    int r = ssp_common_ct_signpad_initialize_modes_id_table(device);
    if (r != 0) {
        TRACE_ERROR(
            "Can not initialize ct_signpad Mode ID table, "
            "ssp_initialize_ct_signpad_modes_id_table() return: %d",
            r);
        return -1;
    }
    for (int i = 0; i < device->ct_signpad_mode_count && i < kSspModes; ++i)
        if (device->ct_signpad_modes[i] == mode)
            return static_cast<signed char>(i);
    return kSspNotInTable;
}

// ---- Pad commands ----

EXPORT int ssp_common_get_pad_description(ql_device *device) {
    TRACE_SCOPE();
    SspCommand cmd;
    cmd.component_type = SSP_CT_SIGNPAD;
    cmd.message_id = CTS_MSG_PAD_DESCRIPTION;
    SspReply reply;
    int r = ssp_run_command(API_SITE, device, cmd, reply);
    if (r != 0)
        return r;
    const uint8_t *payload = reply.payload();
    if (ct_signpad_get_pad_description_reply_check(payload, CTS_MSG_PAD_DESCRIPTION) != 0) {
        TRACE_ERROR(
            "Error, check data by ct_signpad_get_pad_description_reply_check(data: %p, ct_cmd: "
            "%d)",
            static_cast<const void *>(payload), CTS_MSG_PAD_DESCRIPTION);
        return -1;
    }
    constexpr unsigned int fixed = sizeof(ct_signpad_get_pad_description_reply);
    if (!reply.holds(API_SITE, fixed))
        return -1;
    ct_signpad_get_pad_description_reply head;
    memcpy(&head, payload, sizeof head);
    // The serial number is what the reply holds of it, whatever its length
    // byte announces.
    size_t serial = std::min<size_t>(
        {head.serial_length, reply.payload_size() - fixed, sizeof device->serial_number - 1});
    if (serial < head.serial_length)
        TRACE_ERROR("Error, serial number of %d bytes announced, %zu received", head.serial_length,
                    serial);
    ByteReader ids(payload, fixed);
    ids.le32_at(offsetof(ct_signpad_get_pad_description_reply, vendor_id), &device->vendor_id);
    ids.le32_at(offsetof(ct_signpad_get_pad_description_reply, product_id), &device->product_id);
    memset(device->serial_number, 0, sizeof device->serial_number);
    memcpy(device->serial_number, payload + fixed, serial);
    TRACE_INFO("pad description: %04x:%04x serial \"%s\"", device->vendor_id, device->product_id,
               device->serial_number);
    return 0;
}

EXPORT int ssp_biodata_sending(ql_device *device, int enable) {
    TRACE_SCOPE();
    SspCommand cmd;
    cmd.component_type = SSP_CT_SIGNPAD;
    cmd.message_id = CTS_MSG_BIODATA_SENDING;
    cmd.parameter_1 = static_cast<uint8_t>(enable);
    SspReply reply;
    int r = ssp_run_command(API_SITE, device, cmd, reply);
    if (r != 0)
        return r;
    if (ct_signpad_mode_ssp_biodata_sending_reply_check(reply.payload(), CTS_MSG_BIODATA_SENDING) !=
        0) {
        TRACE_ERROR(
            "Error, check data by ct_signpad_mode_send_reply_check(data: %p, ct_cmd: %d, "
            "cts_mode_id: %d)",
            static_cast<const void *>(reply.payload()), CTS_MSG_BIODATA_SENDING, 0);
        return -1;
    }
    return 0;
}

EXPORT int core_ssp_biodata_sending(ql_device *device, bool enable) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDeviceParameter))
        return -1;
    DEVICE_LOCK_GUARD(guard, device);
    const Clock::time_point start = Clock::now();
    long pause = kBiodataFirstPause;
    int result;
    for (;;) {
        result = ssp_biodata_sending(device, enable ? 1 : 0);
        if (result >= 0)
            break;
        if (result == LIBUSB_ERROR_NO_DEVICE)
            device->removed = true;
        if (result == kCoreRemoved || device->removed) {
            TRACE_ERROR("we lost device..");
            break;
        }
        pause = std::min(pause, kBiodataPauseCap);
        long elapsed = elapsed_ms(start);
        TRACE_INFO("failed with %d, going to try again after %ld us", result, pause);
        ssp_pause_us(pause);
        pause = pause * 2 + 1000;
        if (elapsed >= kBiodataRetryMs)
            break;
    }
    return result;
}

EXPORT int core_enable_ssp_biodata_sending(void) {
    return current_device_biodata(true);
}

EXPORT int core_disable_ssp_biodata_sending(void) {
    return current_device_biodata(false);
}

EXPORT int ssp_common_get_user_input(ql_device *device) {
    TRACE_SCOPE();
    return last_button(API_SITE, device,
                       {CTS_MODE_USER_INPUT, MT_UNI_CMD_USER_INPUT, MissingReply::error});
}

EXPORT int ssp_common_get_button_event(ql_device *device, unsigned int mode) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).handle(device, kNullDevice))
        return -1;
    if (mode != CTS_MODE_SIGNATURE && mode != CTS_MODE_DOC_VIEW && mode != CTS_MODE_DOC_SIGN) {
        TRACE_ERROR("Error, pad mode %u has no button events", mode);
        return -1;
    }
    return last_button(API_SITE, device,
                       {mode, MT_UNI_CMD_BUTTON_LAST_EVENT_GET, MissingReply::warning});
}

EXPORT int ssp_common_signature_buttons_refresh(ql_device *device) {
    TRACE_SCOPE();
    return buttons_refresh(API_SITE, device, CTS_MODE_SIGNATURE, MissingReply::error_then_pause);
}

EXPORT int ssp_common_doc_view_buttons_refresh(ql_device *device) {
    TRACE_SCOPE();
    return buttons_refresh(API_SITE, device, CTS_MODE_DOC_VIEW, MissingReply::error);
}

EXPORT int ssp_common_doc_sign_buttons_refresh(ql_device *device) {
    TRACE_SCOPE();
    return buttons_refresh(API_SITE, device, CTS_MODE_DOC_SIGN, MissingReply::error);
}

EXPORT int ssp_common_ct_communication_get_current_connection(ql_device *device) {
    TRACE_SCOPE();
    SspCommand cmd;
    cmd.component_type = SSP_CT_COMMUNICATION;
    cmd.message_id = CTC_MSG_CONNECTION_GET;
    cmd.missing = MissingReply::error_function;
    SspReply reply;
    int r = ssp_run_command(API_SITE, device, cmd, reply);
    if (r != 0)
        return r;
    int type = ct_communication_get_current_connection_type_from_reply_message(reply.payload());
    if (type >= 0 && !reply.holds(API_SITE, sizeof(ct_communication_connection_reply)))
        type = -1;
    if (type < 0) {
        TRACE_ERROR(
            "Error, incorrect type: %d from "
            "ct_communication_get_current_connection_type_from_reply_message()",
            type);
        return -1;
    }
    return type;
}

EXPORT int ssp_common_ct_communication_set_current_connection(ql_device *device, int type) {
    TRACE_SCOPE();
    SspCommand cmd;
    cmd.component_type = SSP_CT_COMMUNICATION;
    cmd.message_id = CTC_MSG_CONNECTION_SET;
    cmd.parameter_1 = static_cast<uint8_t>(type);
    cmd.expects_reply = false;
    SspReply reply;
    return ssp_run_command(API_SITE, device, cmd, reply);
}

}  // extern "C"
