/*
 * The reference agent's remote-call protocol, as seen by a remote client.
 *
 * Every package starts with the bridges' 34-byte package header
 * (little-endian); INKAGENT_HEADER_SIZE bytes, laid out as follows:
 *   0 u16 type      calls: 0; results: 2; events: 1
 *   2 u16 version   INKAGENT_PACKAGE_VERSION
 *   4 u32 message   (sequence << 8) | function or event id
 *   8 u32 total     whole package, header included
 *  12 u32 length    same as total
 *  16..33           0 in calls; stamped or passed through by the bridge
 *
 * Payload encoding: u32 little-endian; "bytes" = u32 count + the bytes;
 * "text" = u32 count of 16-bit units + the units, little-endian.
 * Arguments follow in the order of the C API; an output buffer is replaced
 * by its capacity (u32). A result package carries the call's message id and
 * the payload: u32 status, u32 result, then the outputs (only for status 0).
 *
 * The document docs/agent-protocol.md gives every function byte by byte.
 * This header compiles as C and as C++.
 */
#ifndef INKAGENT_PROTOCOL_H
#define INKAGENT_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Package header. */
#define INKAGENT_HEADER_SIZE 34u
#define INKAGENT_PACKAGE_VERSION 10001u
#define INKAGENT_TYPE_CALL 0u
#define INKAGENT_TYPE_EVENT 1u
#define INKAGENT_TYPE_RESULT 2u
/* From the bridge, not the agent: the one package a client gets before the
 * bridge closes a connection it does not serve (allow-list, another client
 * connected). Message id 0; the payload is the reason in ASCII, without a
 * terminating zero. A client that does not know the type skips it and sees
 * the end of the stream. */
#define INKAGENT_TYPE_REFUSAL 3u
#define INKAGENT_OFFSET_TYPE 0u
#define INKAGENT_OFFSET_VERSION 2u
#define INKAGENT_OFFSET_MESSAGE_ID 4u
#define INKAGENT_OFFSET_TOTAL_SIZE 8u
#define INKAGENT_OFFSET_LENGTH 12u

/* Size limits. An inbound package has at most INKAGENT_MAX_INBOUND bytes
 * (the bridge's receive buffer), an outbound one at most
 * INKAGENT_MAX_OUTBOUND bytes, header included. */
#define INKAGENT_MAX_INBOUND 2044u
#define INKAGENT_MAX_OUTBOUND 2009u
/* Result payload bytes in front of the outputs: status and result. */
#define INKAGENT_RESULT_PREFIX 8u
/* Largest capacity argument accepted; above it a call is refused with
 * INKAGENT_STATUS_REFUSED. Text capacities count 16-bit units. Both leave
 * room for the output count and a trailing u32 reply in one package. */
#define INKAGENT_MAX_TEXT_CAPACITY 979u
#define INKAGENT_MAX_BYTES_CAPACITY 1959u
/* Longest time_out (ms) a ReceiveSspMessage call may ask for; above it the
 * call is refused, so one call cannot hold up every call behind it, nor the
 * agent's end for longer than this. A client that waits longer calls
 * again. */
#define INKAGENT_MAX_TIME_OUT 5000u

/* Message ids: the low byte names the function (or event), the upper 24
 * bits carry a sequence number. */
#define INKAGENT_MESSAGE_ID(sequence, id) \
    ((((uint32_t)(sequence)&0xFFFFFFu) << 8) | ((uint32_t)(id)&0xFFu))
#define INKAGENT_MESSAGE_FUNCTION(message_id) ((uint32_t)(message_id)&0xFFu)
#define INKAGENT_MESSAGE_SEQUENCE(message_id) (((uint32_t)(message_id) >> 8) & 0xFFFFFFu)

/* Function ids: arguments -> outputs (after status and result). */
#define INKAGENT_FN_INITIALIZE 0x01u              /* -> */
#define INKAGENT_FN_DEINITIALIZE 0x02u            /* -> */
#define INKAGENT_FN_IS_INITIALIZED 0x03u          /* -> u32 0/1 */
#define INKAGENT_FN_GET_DEVICE_COUNT 0x04u        /* -> u32 reply (result = count) */
#define INKAGENT_FN_ENUMERATE_DEVICES_START 0x05u /* -> u32 reply */
#define INKAGENT_FN_ENUMERATE_DEVICES_NEXT 0x06u  /* -> u32 reply */
#define INKAGENT_FN_GET_SERIAL_NUMBER 0x07u       /* device, capacity -> text, u32 reply */
#define INKAGENT_FN_GET_PRODUCT_NAME 0x08u    /* device, end_point, capacity -> text, u32 reply */
#define INKAGENT_FN_GET_VENDOR_NAME 0x09u     /* device, capacity -> text, u32 reply */
#define INKAGENT_FN_GET_PRODUCT_ID 0x0Au      /* device, end_point -> u32 reply */
#define INKAGENT_FN_GET_VENDOR_ID 0x0Bu       /* device -> u32 reply */
#define INKAGENT_FN_GET_USB_VERSION 0x0Cu     /* device -> u32 reply */
#define INKAGENT_FN_GET_END_POINT_COUNT 0x0Du /* device -> u32 reply */
#define INKAGENT_FN_GET_FEATURE_REPORT_SIZE 0x0Eu /* device, end_point -> u32 reply */
#define INKAGENT_FN_SET_FEATURE 0x10u             /* device, interface, bytes -> u32 reply */
#define INKAGENT_FN_GET_FEATURE 0x11u      /* device, interface, capacity -> bytes, u32 reply */
#define INKAGENT_FN_WRITE_FILE 0x12u       /* device, interface, bytes -> u32 reply */
#define INKAGENT_FN_READ_FILE 0x13u        /* device, interface, capacity -> bytes, u32 reply */
#define INKAGENT_FN_SEND_SSP_MESSAGE 0x14u /* device, interface, bytes -> */
#define INKAGENT_FN_RECEIVE_SSP_MESSAGE \
    0x15u /* device, interface, capacity, time_out -> bytes, u32 reply */
#define INKAGENT_FN_SET_DATA_RECEIVING_ENABLED 0x16u /* device, end_point, enabled -> */
#define INKAGENT_FN_GET_DATA_PACKETS_AVAILABLE 0x17u /* device, end_point -> u32 reply */
#define INKAGENT_FN_FLUSH_DATA_PACKETS 0x18u         /* device, end_point -> */
#define INKAGENT_FN_TRANSLATE_ERROR_CODE 0x19u       /* code, capacity -> text, u32 reply */
#define INKAGENT_FN_GET_EXCEPTION_TYPE 0x1Au         /* handle, capacity -> text, u32 reply */
#define INKAGENT_FN_GET_EXCEPTION_CODE 0x1Bu         /* handle -> u32 reply */
#define INKAGENT_FN_GET_EXCEPTION_NAME 0x1Cu         /* handle, capacity -> text, u32 reply */
#define INKAGENT_FN_GET_EXCEPTION_MESSAGE 0x1Du      /* handle, capacity -> text, u32 reply */
#define INKAGENT_FN_SAY_HELLO 0x1Eu                  /* text, capacity -> text, u32 reply */

/* Event ids, with a per-agent event sequence (from 0, mod 2^24) above. */
#define INKAGENT_EV_DATA_RECEIVED 0xE0u  /* u32 device, u32 end_point, bytes report (64) */
#define INKAGENT_EV_DEVICE_REMOVED 0xE1u /* u32 device */
#define INKAGENT_EV_DEVICE_ARRIVED \
    0xE2u /* u32 device, u32 vendor id, u32 product id, text serial number */
/* Size of a data-received event package: header, two u32, count, report. */
#define INKAGENT_REPORT_SIZE 64u
#define INKAGENT_DATA_EVENT_SIZE (INKAGENT_HEADER_SIZE + 12u + INKAGENT_REPORT_SIZE)
/* Longest serial number of an arrival event, in units, and the largest
 * arrival event package: header, three u32, count, units. */
#define INKAGENT_SERIAL_UNITS 255u
#define INKAGENT_ARRIVED_EVENT_MAX_SIZE (INKAGENT_HEADER_SIZE + 16u + 2u * INKAGENT_SERIAL_UNITS)

/* Result status. For any status but OK, result is 0 and no outputs follow. */
#define INKAGENT_STATUS_OK 0u        /* the call ran; result is its return value */
#define INKAGENT_STATUS_MALFORMED 1u /* header or arguments do not fit the package */
#define INKAGENT_STATUS_UNKNOWN 2u   /* unknown function id */
#define INKAGENT_STATUS_TOO_LARGE 3u /* outputs would not fit in one package */
#define INKAGENT_STATUS_REFUSED 4u   /* an argument beyond the agent's limits */

/* Little-endian helpers for unaligned bytes. */
static inline void inkagent_put_u16(uint8_t *at, uint16_t value) {
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
}

static inline uint16_t inkagent_get_u16(const uint8_t *at) {
    return (uint16_t)(at[0] | (at[1] << 8));
}

static inline void inkagent_put_u32(uint8_t *at, uint32_t value) {
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
    at[2] = (uint8_t)(value >> 16);
    at[3] = (uint8_t)(value >> 24);
}

static inline uint32_t inkagent_get_u32(const uint8_t *at) {
    return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) |
           ((uint32_t)at[3] << 24);
}

/* Writes a package header of the given type, message id and total size
 * (header included) to the first INKAGENT_HEADER_SIZE bytes of package; all
 * other header fields become 0. */
static inline void inkagent_put_header(uint8_t *package, uint16_t type, uint32_t message_id,
                                       uint32_t total_size) {
    size_t i;
    for (i = 0; i < INKAGENT_HEADER_SIZE; ++i)
        package[i] = 0;
    inkagent_put_u16(package + INKAGENT_OFFSET_TYPE, type);
    inkagent_put_u16(package + INKAGENT_OFFSET_VERSION, (uint16_t)INKAGENT_PACKAGE_VERSION);
    inkagent_put_u32(package + INKAGENT_OFFSET_MESSAGE_ID, message_id);
    inkagent_put_u32(package + INKAGENT_OFFSET_TOTAL_SIZE, total_size);
    inkagent_put_u32(package + INKAGENT_OFFSET_LENGTH, total_size);
}

#ifdef __cplusplus
}
#endif

#endif /* INKAGENT_PROTOCOL_H */
