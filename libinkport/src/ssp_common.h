// Commands of SSP pads.
//
// A pad is made of components (signature pad, communication unit,
// configuration handler); a base message addresses one by its component id,
// the component's position in the list the pad reports. The signature
// component knows a list of pad modes, addressed by mode id in the same way.
// Each record learns both lists once (ssp_components, ct_signpad_modes) and
// every command translates a component type or a mode code through them.
//
// The ssp_ functions take a record and do not lock it: they reach the pad
// through the record's send_ssp_message / receive_ssp_message routines and
// rely on their caller for serialisation. The core_ functions of the biodata
// switch lock the record themselves.
//
// Results: 0 (or a value >= 0) on success; -1 failure; -2 the component or
// mode is not in the pad's table; -20 the current pad was lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core.h"

// ---- Component types and ct_signpad mode codes ----

constexpr unsigned int SSP_CT_COMMUNICATION = 1;
constexpr unsigned int SSP_CT_CONF_HANDLER = 3;
constexpr unsigned int SSP_CT_SIGNPAD = 11;

constexpr unsigned int CTS_MODE_SIGNATURE = 0;
constexpr unsigned int CTS_MODE_DOC_VIEW = 5;
constexpr unsigned int CTS_MODE_DOC_SIGN = 6;
constexpr unsigned int CTS_MODE_USER_INPUT = 13;

constexpr int kSspNotInTable = -2;

// ---- Message ids ----

// To component 0: the component list.
constexpr uint8_t SSP_MSG_COMPONENT_LIST = 0x10;
// ct_signpad.
constexpr uint8_t CTS_MSG_PAD_DESCRIPTION = 0x10;
constexpr uint8_t CTS_MSG_BIODATA_SENDING = 0x11;
constexpr uint8_t CTS_MSG_MODE_LIST = 0x12;
constexpr uint8_t CTS_MSG_MODE_SEND = 0x13;
// Sub-commands of a mode send.
constexpr uint8_t MT_UNI_CMD_USER_INPUT = 0x10;  // also the buttons refresh
constexpr uint8_t MT_UNI_CMD_BUTTON_LAST_EVENT_GET = 0x12;
// ct_communication.
constexpr uint8_t CTC_MSG_CONNECTION_GET = 0x10;
constexpr uint8_t CTC_MSG_CONNECTION_SET = 0x11;
// ct_conf_handler.
constexpr uint8_t CTH_MSG_STATE_GET = 0x10;
constexpr uint8_t CTH_MSG_VAR_SET = 0x14;
constexpr uint8_t CTH_MSG_VAR_PERSIST = 0x17;

constexpr uint8_t SSP_PROTOCOL_SUCCESS = 1;

// ---- Configuration handler states ----

constexpr int32_t CHS_WAITING = 1;
constexpr int32_t CHS_RUNNING = 2;  // busy
constexpr int32_t CHS_FAILED = 4;   // the last change failed; 0 and 3 are idle

// ---- Wire layouts (reply payloads start after the 3-byte base header) ----
//
// Multi-byte fields are little-endian and unaligned: they are byte arrays
// here and read with a ByteReader.

#pragma pack(push, 1)

// Reply to the component list and to the mode list: count entries follow
// (one type byte each, or one little-endian uint32 mode code each).
struct ssp_list_reply {
    uint8_t message_id;
    uint8_t protocol_result;
    int8_t count;
};

struct ct_signpad_get_pad_description_reply {
    uint8_t message_id;
    uint8_t protocol_result;
    uint8_t vendor_id[4];
    uint8_t product_id[4];
    uint8_t version_major[4];
    uint8_t version_minor[4];
    uint8_t version_patch[4];
    uint8_t version_revision[4];
    uint8_t version_manufacturer_id[4];
    uint8_t serial_length;
    // serial_length bytes of serial number follow, without a terminator.
};

struct ct_signpad_mode_send_reply {
    uint8_t message_id;
    uint8_t protocol_result;
    uint8_t mode;
    // The mode's answer follows.
};

// The answer of a user-input or button-event mode send.
struct ct_signpad_button_last_event {
    uint8_t message_id;
    uint8_t button[4];  // int32
};

struct ct_communication_connection_reply {
    uint8_t message_id;
    uint8_t protocol_result;
    int8_t type;
};

struct conf_handler_state_reply {
    uint8_t ct_cmd;
    uint8_t result;
    uint8_t state[4];  // int32
};

struct conf_handler_cc_reply {
    uint8_t ct_cmd;
    uint8_t reply;
};

constexpr size_t kConfVarNameSize = 40;
constexpr size_t kConfVarValueSize = 20;

// The record of a variable set or persist. Neither field is terminated when
// it is full.
struct conf_handler_var_set {
    char var_name[kConfVarNameSize];
    char var_value[kConfVarValueSize];
};

#pragma pack(pop)

static_assert(sizeof(ssp_list_reply) == 3);
static_assert(offsetof(ct_signpad_get_pad_description_reply, vendor_id) == 2);
static_assert(offsetof(ct_signpad_get_pad_description_reply, product_id) == 6);
static_assert(offsetof(ct_signpad_get_pad_description_reply, version_major) == 10);
static_assert(offsetof(ct_signpad_get_pad_description_reply, version_manufacturer_id) == 26);
static_assert(offsetof(ct_signpad_get_pad_description_reply, serial_length) == 30);
static_assert(sizeof(ct_signpad_get_pad_description_reply) == 31);
static_assert(sizeof(ct_signpad_mode_send_reply) == 3);
static_assert(offsetof(ct_signpad_button_last_event, button) == 1);
static_assert(sizeof(ct_signpad_button_last_event) == 5);
static_assert(sizeof(ct_communication_connection_reply) == 3);
static_assert(offsetof(conf_handler_state_reply, state) == 2);
static_assert(sizeof(conf_handler_state_reply) == 6);
static_assert(sizeof(conf_handler_cc_reply) == 2);
static_assert(offsetof(conf_handler_var_set, var_value) == 40);
static_assert(sizeof(conf_handler_var_set) == 60);

// A row of the table that maps a button of a pad mode to the configuration
// variable that configures it. The table ends with a row whose code is 0.
struct conf_var_code {
    int32_t code;
    uint32_t mode;
    char name[256];
};

// ---- Request and reply helpers (not exported) ----

// The record's routines, checked.
int send_ssp_message(ql_device *device, const void *data, unsigned int size);
int receive_ssp_message(ql_device *device, void *data, unsigned int *len, unsigned int time_out,
                        bool request, unsigned int source);
// component id; length 2 + n; message id; parameter 1; parameter 2; n data bytes.
int make_and_send_ssp_component_data_sequence(ql_device *device, uint8_t component_id,
                                              uint8_t message_id, uint8_t parameter_1,
                                              uint8_t parameter_2, const void *data, int data_size);
// component id; length n; message id; n data bytes.
int make_and_send_ssp_data_sequence(ql_device *device, uint8_t component_id, uint8_t message_id,
                                    const void *data, unsigned int data_size);
// Receives one reply (command mode, 1000 ms) into a zeroed 1024-byte buffer
// that the caller frees; null on failure. *received, when given, is the
// number of bytes delivered.
uint8_t *receive_ssp_message_and_get_data(ql_device *device, unsigned int *received = nullptr);

// Reply checks: the value read, or -1.
int get_count_of_components_from_reply_message(const uint8_t *reply_payload);
int ct_signpad_get_count_of_modes_from_reply_message(const uint8_t *reply_payload);
int ct_signpad_get_pad_description_reply_check(const uint8_t *reply_payload, uint8_t message_id);
int ct_signpad_mode_ssp_biodata_sending_reply_check(const uint8_t *reply_payload,
                                                    uint8_t message_id);
int ct_signpad_mode_send_reply_check(const uint8_t *reply_payload, uint8_t message_id,
                                     uint8_t mode_id);
int ct_signpad_mode_send_mt_uni_cmd_button_last_event_get(const uint8_t *event, uint8_t message_id);
int ct_communication_get_current_connection_type_from_reply_message(const uint8_t *reply_payload);
int ct_conf_handler_cmd_conf_state_get(const uint8_t *reply_payload, uint8_t ct_cmd);
int cmduni_reply_check_cc(const uint8_t *reply_payload, uint8_t ct_cmd);

// Fills a zeroed record with the first 40 characters of the name and the
// first 20 of the value (a null value leaves it empty).
void conf_handler_var_set_fill(conf_handler_var_set *record, const char *variable,
                               const char *value);
// The name of the first row matching both code and mode, or null.
const char *get_conf_var_string_for_code(const conf_var_code *table, int button, unsigned int mode);
extern const conf_var_code ssp_button_conf_vars[];
// Two upper-case hexadecimal digits per byte, in memory order, terminated.
// Bad arguments leave string as it was. Returns string.
char *get_hex_string_from_data_for_conf_var_set(char *string, int string_size, const void *data,
                                                int data_size);

extern "C" {

// ---- Component and mode tables ----

// 1 when the pad answers SSP, 0 when it does not, -1 for a null device.
EXPORT int ssp_common_is_ssp_supported(ql_device *device);
// Fetch the table from the pad unless it is already filled: 0 or -1.
EXPORT int ssp_common_components_id_initialize_table(ql_device *device);
// 0, -1, or the negative result of the ct_signpad lookup.
EXPORT int ssp_common_ct_signpad_initialize_modes_id_table(ql_device *device);
// The component id of a type: >= 0, -1 (no device, table not fetched) or -2.
EXPORT signed char ssp_common_component_id_get_id(ql_device *device, unsigned int component_type);
// The mode id of a ct_signpad mode code on pads of type 15, 16, 17: >= 0,
// -1, or -2.
EXPORT signed char ssp_common_ct_signpad_get_mode_id(ql_device *device, unsigned int mode);

// ---- Pad commands ----

// Fills vendor_id, product_id and serial_number of the record: 0 or negative.
EXPORT int ssp_common_get_pad_description(ql_device *device);
// One biodata switch request; enable is sent as its low byte.
EXPORT int ssp_biodata_sending(ql_device *device, int enable);
// The switch with retries for about 3 s, holding the record's device_lock.
EXPORT int core_ssp_biodata_sending(ql_device *device, bool enable);
// The switch for the current device: VCOM pads only, HID pads need none (0).
// A failure closes and reopens the device: -1, or -20 when it is lost.
EXPORT int core_enable_ssp_biodata_sending(void);
EXPORT int core_disable_ssp_biodata_sending(void);
}
// The same on a pad record, current or not.
int pad_biodata_switch(ql_device *device, bool enable);
extern "C" {
// The button value (>= 0) of the user-input mode, or negative.
EXPORT int ssp_common_get_user_input(ql_device *device);
// The button value (>= 0) of the last event in mode 0, 5 or 6, or negative;
// any other mode gives -1 without an exchange.
EXPORT int ssp_common_get_button_event(ql_device *device, unsigned int mode);
// Buttons refresh of the signature (0), document view (5) and document sign
// (6) modes: 0 or negative.
EXPORT int ssp_common_signature_buttons_refresh(ql_device *device);
EXPORT int ssp_common_doc_view_buttons_refresh(ql_device *device);
EXPORT int ssp_common_doc_sign_buttons_refresh(ql_device *device);
// The connection type (0..127) or negative.
EXPORT int ssp_common_ct_communication_get_current_connection(ql_device *device);
// The result of sending the request; the pad does not answer it.
EXPORT int ssp_common_ct_communication_set_current_connection(ql_device *device, int type);

// ---- Configuration variables ----

// The configuration handler's state (>= 0) or negative.
EXPORT int ssp_common_get_conf_state(ql_device *device);
// Waits up to 10 s while the handler is busy; the last state read.
EXPORT int ssp_common_check_configuration_state(ql_device *device);
// 0 on success (also when the handler is still busy after its wait), -1 when
// the change failed, else negative.
EXPORT int ssp_common_set_configuration_variable(ql_device *device, const char *variable,
                                                 const char *value);
EXPORT int ssp_common_persist_configuration_variable(ql_device *device, const char *variable);
// Sets the variable of a button of a pad mode to value_1, value_2 as 16
// hexadecimal digits.
EXPORT int ssp_common_set_button_state(ql_device *device, int button, unsigned int value_1,
                                       unsigned int value_2, unsigned int mode);
}
