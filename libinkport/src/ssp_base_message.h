// The two kinds of SSP message, as they travel between host and pad.
//
// Base message:  [type_and_component_id][length lo][length hi][payload...]
//   byte 0 bit 7 clear; byte 0 is the component id (0-127); length is the
//   payload byte count minus 1 (little-endian), so a payload is 1..65536
//   bytes. Request payloads start with a message id; replies with the
//   message id and a protocol result (1 = success).
// Old message:   [1 | biodata | payload bytes - 1 (6 bits)][payload...]
//   byte 0 bit 7 set, bit 6 the biodata flag, bits 5-0 the payload byte
//   count minus 1, so a payload is 1..64 bytes. Only old messages can be
//   biodata (the pad's unrequested input such as pen data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api_common.h"

#pragma pack(push, 1)
struct ssp_base_message_header {
    uint8_t type_and_component_id;
    uint16_t length;  // little-endian on the wire; read it with a ByteReader
};
#pragma pack(pop)

static_assert(sizeof(ssp_base_message_header) == 3);
static_assert(offsetof(ssp_base_message_header, type_and_component_id) == 0);
static_assert(offsetof(ssp_base_message_header, length) == 1);

constexpr uint8_t SSP_OLD_MESSAGE_FLAG = 0x80;
constexpr uint8_t SSP_BIODATA_FLAG = 0x40;
constexpr uint8_t SSP_OLD_MESSAGE_LENGTH_MASK = 0x3F;

constexpr size_t SSP_BASE_MESSAGE_HEADER_SIZE = sizeof(ssp_base_message_header);
constexpr size_t SSP_OLD_MESSAGE_HEADER_SIZE = 1;
constexpr size_t SSP_BASE_MESSAGE_MAX_DATA = 0x10000;
constexpr size_t SSP_OLD_MESSAGE_MAX_DATA = SSP_OLD_MESSAGE_LENGTH_MASK + 1;

static_assert(SSP_OLD_MESSAGE_MAX_DATA == 64);

// Sizes of the message that starts a received frame, from its header.
struct ssp_message_sizes {
    size_t header;  // 1 (old) or 3 (base)
    size_t data;    // payload bytes the header announces
    size_t full;    // header + data
};

// False when frame_size is too small to hold the header; the payload itself
// may still be incomplete (compare full with frame_size).
bool ssp_message_sizes_of(const void *frame, size_t frame_size, ssp_message_sizes *sizes);

// Writes a base message header for data_length payload bytes (1..65536).
void ssp_base_message_set_header(void *message, uint8_t component_id, size_t data_length);

extern "C" {

// 0 when byte 0 equals component_id; -1 when it does not or message is null.
EXPORT int ssp_base_message_check_component_id(const void *message, uint8_t component_id);
// 1 for an old message, 0 for a base message, -1 for a null message.
EXPORT int ssp_base_message_is_it_old_message(const void *message);
// 1 for biodata (an old message with the biodata flag), 0 otherwise, -1 for null.
EXPORT int ssp_base_message_is_it_biodata(const void *message);
// Payload byte count of a base message (length + 1); 0 for a null message.
EXPORT unsigned int ssp_base_message_get_data_length(const void *message);
// Payload byte count of an old message ((byte 0 AND 0x3F) + 1); 0 for null.
EXPORT unsigned int ssp_base_message_old_message_get_data_length(const void *message);
// Builds an old message around 1..64 data bytes in a new heap block that the
// caller frees. Returns its size (data_size + 1), or -1 on bad arguments.
EXPORT int ssp_base_message_old_message_create(const void *data, unsigned int data_size,
                                               void **message);
}
