#include "ssp_base_message.h"

#include <cstdlib>

#include "wrappers.h"
#include "wrapunix.h"

bool ssp_message_sizes_of(const void *frame, size_t frame_size, ssp_message_sizes *sizes) {
    if (frame == nullptr || frame_size < 1 || sizes == nullptr)
        return false;
    const auto *bytes = static_cast<const uint8_t *>(frame);
    if (bytes[0] & SSP_OLD_MESSAGE_FLAG) {
        sizes->header = SSP_OLD_MESSAGE_HEADER_SIZE;
        sizes->data = (bytes[0] & SSP_OLD_MESSAGE_LENGTH_MASK) + 1u;
    } else {
        if (frame_size < SSP_BASE_MESSAGE_HEADER_SIZE)
            return false;
        sizes->header = SSP_BASE_MESSAGE_HEADER_SIZE;
        sizes->data = load_le16(bytes + offsetof(ssp_base_message_header, length)) + size_t{1};
    }
    sizes->full = sizes->header + sizes->data;
    return true;
}

void ssp_base_message_set_header(void *message, uint8_t component_id, size_t data_length) {
    auto *bytes = static_cast<uint8_t *>(message);
    bytes[offsetof(ssp_base_message_header, type_and_component_id)] =
        component_id & static_cast<uint8_t>(~SSP_OLD_MESSAGE_FLAG);
    store_le16(bytes + offsetof(ssp_base_message_header, length),
               static_cast<uint16_t>(data_length - 1));
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
    if (message == nullptr)
        return 0;
    const auto *bytes = static_cast<const uint8_t *>(message);
    return load_le16(bytes + offsetof(ssp_base_message_header, length)) + 1u;
}

EXPORT unsigned int ssp_base_message_old_message_get_data_length(const void *message) {
    if (message == nullptr)
        return 0;
    return (*static_cast<const uint8_t *>(message) & SSP_OLD_MESSAGE_LENGTH_MASK) + 1u;
}

EXPORT int ssp_base_message_old_message_create(const void *data, unsigned int data_size,
                                               void **message) {
    TRACE_SCOPE();
    if (data_size == 0 || data_size > SSP_OLD_MESSAGE_MAX_DATA) {
        TRACE_ERROR("Error, input parameter: unsigned int data_size is %u", data_size);
        return -1;
    }
    if (data == nullptr) {
        TRACE_ERROR("Error, input parameter: void *data is %p", data);
        return -1;
    }
    if (message == nullptr) {
        TRACE_ERROR("Error, input parameter: void **message is %p", static_cast<void *>(message));
        return -1;
    }
    auto *out = static_cast<uint8_t *>(Malloc(data_size + SSP_OLD_MESSAGE_HEADER_SIZE));
    out[0] = static_cast<uint8_t>(SSP_OLD_MESSAGE_FLAG | (data_size - 1));
    memcpy(out + SSP_OLD_MESSAGE_HEADER_SIZE, data, data_size);
    *message = out;
    return static_cast<int>(data_size + SSP_OLD_MESSAGE_HEADER_SIZE);
}

}  // extern "C"
