#include "ssp_base_message.h"

#include <cstdlib>

#include "le_bytes.h"
#include "wrappers.h"
#include "wrapunix.h"

bool ssp_message_sizes_of(const void *frame, size_t frame_size, ssp_message_sizes *sizes) {
    if (frame == nullptr || sizes == nullptr)
        return false;
    ByteReader reader(frame, frame_size);
    uint8_t first = 0;
    if (!reader.u8(&first))
        return false;
    if (first & SSP_OLD_MESSAGE_FLAG) {
        sizes->header = SSP_OLD_MESSAGE_HEADER_SIZE;
        sizes->data = (first & SSP_OLD_MESSAGE_LENGTH_MASK) + 1u;
    } else {
        uint16_t length = 0;
        if (!reader.le16_at(offsetof(ssp_base_message_header, length), &length))
            return false;
        sizes->header = SSP_BASE_MESSAGE_HEADER_SIZE;
        sizes->data = length + size_t{1};
    }
    sizes->full = sizes->header + sizes->data;
    return true;
}

void ssp_base_message_set_header(void *message, uint8_t component_id, size_t data_length) {
    ByteWriter(message, SSP_BASE_MESSAGE_HEADER_SIZE)
        .u8(component_id & static_cast<uint8_t>(~SSP_OLD_MESSAGE_FLAG))
        .le16(static_cast<uint16_t>(data_length - 1));
}

extern "C" {

EXPORT int ssp_base_message_check_component_id(const void *message, uint8_t component_id) {
    if (message == nullptr)
        return -1;
    return *static_cast<const uint8_t *>(message) == component_id ? 0 : -1;
}

EXPORT int ssp_base_message_is_it_old_message(const void *message) {
    if (message == nullptr)
        return -1;
    return (*static_cast<const uint8_t *>(message) & SSP_OLD_MESSAGE_FLAG) ? 1 : 0;
}

EXPORT int ssp_base_message_is_it_biodata(const void *message) {
    if (message == nullptr)
        return -1;
    constexpr uint8_t kBoth = SSP_OLD_MESSAGE_FLAG | SSP_BIODATA_FLAG;
    return (*static_cast<const uint8_t *>(message) & kBoth) == kBoth ? 1 : 0;
}

EXPORT unsigned int ssp_base_message_get_data_length(const void *message) {
    uint16_t length = 0;
    if (message == nullptr || !ByteReader(message, SSP_BASE_MESSAGE_HEADER_SIZE)
                                   .le16_at(offsetof(ssp_base_message_header, length), &length))
        return 0;
    return length + 1u;
}

EXPORT unsigned int ssp_base_message_old_message_get_data_length(const void *message) {
    if (message == nullptr)
        return 0;
    return (*static_cast<const uint8_t *>(message) & SSP_OLD_MESSAGE_LENGTH_MASK) + 1u;
}

EXPORT int ssp_base_message_old_message_create(const void *data, unsigned int data_size,
                                               void **message) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE)
             .require(data_size != 0 && data_size <= SSP_OLD_MESSAGE_MAX_DATA, kArgDataSize,
                      long{data_size})
             .data(data)
             .require(message != nullptr, "Error, input parameter: void **message is %p", message))
        return -1;
    auto *out = static_cast<uint8_t *>(Malloc(data_size + SSP_OLD_MESSAGE_HEADER_SIZE));
    out[0] = static_cast<uint8_t>(SSP_OLD_MESSAGE_FLAG | (data_size - 1));
    memcpy(out + SSP_OLD_MESSAGE_HEADER_SIZE, data, data_size);
    *message = out;
    return static_cast<int>(data_size + SSP_OLD_MESSAGE_HEADER_SIZE);
}

}  // extern "C"
