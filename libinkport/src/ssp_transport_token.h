// Transport-token framing of the SSP message stream on a USB link.
//
// A token is AA 55 followed by a type byte: 02 starts a message (SOF), 00 is
// an escape that stands for the data bytes AA 55. One message on the link is
// AA 55 02 followed by its bytes with every AA 55 pair written as AA 55 00.
// There is no length in the token layer: a message ends where the next SOF
// begins or where the received data ends.
//
// On HID pads the stream travels in feature reports (report id 0): host to
// pad as F8 + up to 63 token bytes; pad to host, after a 64-byte request
// F9 00..00, as F9, a status byte (0 = data ready) and up to 62 token bytes.
// On VCOM pads it is written as one bulk OUT transfer and read in bulk IN
// pieces of up to 4096 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api_common.h"
#include "uni_queue.h"

// The 16-bit header value is written high byte first.
constexpr uint16_t SSP_TRANSPORT_TOKEN_HEADER = 0xAA55;
constexpr uint8_t SSP_TRANSPORT_TOKEN_HEADER_0 = SSP_TRANSPORT_TOKEN_HEADER >> 8;
constexpr uint8_t SSP_TRANSPORT_TOKEN_HEADER_1 = SSP_TRANSPORT_TOKEN_HEADER & 0xFF;
constexpr uint8_t SSP_TRANSPORT_TOKEN_TYPE_SOF = 0x02;
constexpr uint8_t SSP_TRANSPORT_TOKEN_TYPE_ESCAPE = 0x00;
constexpr size_t SSP_TRANSPORT_TOKEN_SIZE = 3;

static_assert(SSP_TRANSPORT_TOKEN_HEADER_0 == 0xAA && SSP_TRANSPORT_TOKEN_HEADER_1 == 0x55);

// HID feature-report carriage.
constexpr uint8_t SSP_HID_COMMAND_WRITE = 0xF8;
constexpr uint8_t SSP_HID_COMMAND_READ = 0xF9;
constexpr size_t SSP_HID_REPORT_DATA_SIZE = 64;
constexpr size_t SSP_HID_WRITE_TOKEN_BYTES = SSP_HID_REPORT_DATA_SIZE - 1;  // after F8
constexpr size_t SSP_HID_READ_HEADER_SIZE = 2;  // F9, status (0 = data ready)
constexpr size_t SSP_HID_READ_TOKEN_BYTES = SSP_HID_REPORT_DATA_SIZE - SSP_HID_READ_HEADER_SIZE;

static_assert(SSP_HID_WRITE_TOKEN_BYTES == 63 && SSP_HID_READ_TOKEN_BYTES == 62);

extern "C" {

// Encodes one message (base or old) as SOF + escaped bytes into a new heap
// block stored in *tt_data, which the caller frees. Returns the block's byte
// count, or -1 (nothing allocated) on bad arguments.
EXPORT int ssp_base_message_to_transport_token_data(const void *data, unsigned int len,
                                                    void **tt_data);

// Cuts received token data into messages and appends each to queue as a heap
// block owned by the queue. Bytes before the first SOF are dropped. A frame
// is a message's bytes as sent, possibly followed by bytes that came after
// it in the same read (the start of a token split by the read boundary, or
// noise); the header's length tells where the message ends.
// Returns the queue's frame count afterwards, or -1 when no SOF was found or
// an argument is bad. tt_data is only read.
EXPORT int ssp_transport_token_to_base_message_data(void *tt_data, size_t tt_data_size,
                                                    uni_queue *queue);
}
