// Byte layouts a pad speaks: the 64-byte control reports, the 0xF8/0xF9
// feature reports that carry the SSP token stream on HID pads, and the SSP
// request and reply payloads the emulated firmware understands. Everything
// here is written from the pad's side: "request" is what the host sends,
// "answer"/"reply" is what the pad gives back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace padsim::wire {

// ---- Control commands (feature reports, or legacy messages on VCOM) ----

inline constexpr size_t kReportSize = 64;
// The type-1 pad sends shorter input reports and its mode request is 40 bytes.
inline constexpr size_t kType1InputReportSize = 20;

inline constexpr uint8_t kCmdSetPadMode = 0x01;
inline constexpr uint8_t kCmdReadVersion = 0x11;
inline constexpr uint8_t kCmdGetStatus = 0x27;
inline constexpr uint8_t kCmdSignatureRectangle = 0x65;

// Status byte of an answer; 0 is success, any other value an error code.
inline constexpr uint8_t kStatusSuccess = 0;
inline constexpr uint8_t kStatusInProgress = 7;
inline constexpr uint8_t kStatusNotImplemented = 5;

// Request 0x01: mode, option.
struct __attribute__((packed)) SetPadModeRequest {
    uint8_t code;
    uint8_t mode;
    uint8_t option;
};
static_assert(offsetof(SetPadModeRequest, mode) == 1);
static_assert(offsetof(SetPadModeRequest, option) == 2);

// Request 0x65: four 16-bit rectangle values and an option word.
struct __attribute__((packed)) SignatureRectangleRequest {
    uint8_t code;
    uint8_t values[4][2];
    uint8_t option[4];
};
static_assert(offsetof(SignatureRectangleRequest, values) == 1);
static_assert(offsetof(SignatureRectangleRequest, option) == 9);
static_assert(sizeof(SignatureRectangleRequest) == 13);

// Every answer starts with the echoed command code and the status byte.
struct __attribute__((packed)) AnswerHeader {
    uint8_t echo;
    uint8_t status;
};
static_assert(sizeof(AnswerHeader) == 2);

// Answer 0x11: four little-endian 32-bit numbers and 4 manufacturer bytes.
struct __attribute__((packed)) VersionAnswer {
    AnswerHeader header;
    uint8_t unused[2];
    uint8_t major[4];
    uint8_t minor[4];
    uint8_t patch[4];
    uint8_t revision[4];
    uint8_t manufacturer[4];
};
static_assert(offsetof(VersionAnswer, major) == 4);
static_assert(offsetof(VersionAnswer, minor) == 8);
static_assert(offsetof(VersionAnswer, patch) == 12);
static_assert(offsetof(VersionAnswer, revision) == 16);
static_assert(offsetof(VersionAnswer, manufacturer) == 20);
static_assert(sizeof(VersionAnswer) == 24);

// Answer 0x27: 14 flag bytes; flag byte 5 is the current pad mode.
inline constexpr size_t kStatusFlagsSize = 14;
inline constexpr size_t kStatusModeFlag = 5;
struct __attribute__((packed)) StatusAnswer {
    AnswerHeader header;
    uint8_t unused[4];
    uint8_t flags[kStatusFlagsSize];
};
static_assert(offsetof(StatusAnswer, flags) == 6);
static_assert(offsetof(StatusAnswer, flags) + kStatusModeFlag == 11);
static_assert(sizeof(StatusAnswer) == 20);

// ---- SSP carriage in feature reports (HID pads) ----

inline constexpr uint8_t kCmdSspOut = 0xF8;  // host -> pad: token bytes follow
inline constexpr uint8_t kCmdSspIn = 0xF9;   // host asks, then reads the reply
inline constexpr size_t kSspOutMaxData = 63;

struct __attribute__((packed)) SspInReport {
    uint8_t code;    // 0xF9
    uint8_t status;  // non-zero: nothing ready, ask again
    uint8_t data[62];
};
static_assert(offsetof(SspInReport, data) == 2);
static_assert(sizeof(SspInReport) == kReportSize);
inline constexpr size_t kSspInMaxData = sizeof(SspInReport::data);

// ---- Legacy messages (one header byte) ----

inline constexpr uint8_t kOldFlag = 0x80;
inline constexpr uint8_t kBiodataFlag = 0x40;
inline constexpr uint8_t kOldLengthMask = 0x3F;
inline constexpr size_t kOldMaxData = 64;

// ---- SSP components, message ids, replies ----

inline constexpr uint8_t kComponentCommunication = 1;
inline constexpr uint8_t kComponentConfHandler = 3;
inline constexpr uint8_t kComponentSignpad = 11;

inline constexpr uint8_t kProtocolSuccess = 1;
inline constexpr uint8_t kProtocolFailure = 0;

// Component 0, message 0x10 with no parameters: the component list.
inline constexpr uint8_t kMsgComponentList = 0x10;

// ct_signpad (component data sequences: message id, parameter 1, parameter 2).
inline constexpr uint8_t kMsgPadDescription = 0x10;
inline constexpr uint8_t kMsgBiodataSending = 0x11;
inline constexpr uint8_t kMsgModeList = 0x12;
inline constexpr uint8_t kMsgModeSend = 0x13;
inline constexpr uint8_t kModeSubUserInput = 0x10;  // also the buttons refresh
inline constexpr uint8_t kModeSubButtonEvent = 0x12;

// ct_signpad mode codes with their own mode-send answers.
inline constexpr uint32_t kModeSignature = 0;
inline constexpr uint32_t kModeDocumentView = 5;
inline constexpr uint32_t kModeDocumentSign = 6;
inline constexpr uint32_t kModeUserInput = 13;

// ct_communication.
inline constexpr uint8_t kMsgConnectionGet = 0x10;
inline constexpr uint8_t kMsgConnectionSet = 0x11;

// ct_conf_handler (data sequences: message id, then data).
inline constexpr uint8_t kMsgConfStateGet = 0x10;
inline constexpr uint8_t kMsgConfVarSet = 0x14;
inline constexpr uint8_t kMsgConfVarPersist = 0x17;

inline constexpr int32_t kChsWaiting = 1;
inline constexpr int32_t kChsRunning = 2;

struct __attribute__((packed)) ConfVarSet {
    char name[40];
    char value[20];
};
static_assert(offsetof(ConfVarSet, value) == 40);
static_assert(sizeof(ConfVarSet) == 60);

// Reply payload of the pad description, serial number bytes follow.
struct __attribute__((packed)) PadDescriptionReply {
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
};
static_assert(offsetof(PadDescriptionReply, vendor_id) == 2);
static_assert(offsetof(PadDescriptionReply, product_id) == 6);
static_assert(offsetof(PadDescriptionReply, version_major) == 10);
static_assert(offsetof(PadDescriptionReply, version_minor) == 14);
static_assert(offsetof(PadDescriptionReply, version_patch) == 18);
static_assert(offsetof(PadDescriptionReply, version_revision) == 22);
static_assert(offsetof(PadDescriptionReply, version_manufacturer_id) == 26);
static_assert(offsetof(PadDescriptionReply, serial_length) == 30);
static_assert(sizeof(PadDescriptionReply) == 31);

}  // namespace padsim::wire
