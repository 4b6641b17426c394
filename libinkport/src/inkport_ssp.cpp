// SSP message calls of the API: one whole message out, one whole reply in.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core.h"
#include "core_ssp.h"
#include "inkport_async.h"
#include "inkport_devices.h"
#include "ssp_base_message.h"
#include "wrappers.h"
#include "wrapunix.h"

extern "C" {

EXPORT uint32_t SendSspMessage(unsigned int device, unsigned int interface_number, const void *src,
                               unsigned int src_length) {
    TRACE_SCOPE();
    if (uint32_t h = check_buffer(API_SITE, true, src, src_length, 1))
        return h;
    if (uint32_t h = switch_to_device(API_SITE, device))
        return h;
    int r = core_send_ssp_message(interface_number, src, src_length);
    if (r < 0) {
        catch_removing_device(r, device, interface_number);
        return API_FAIL(QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of send ssp message for device: ", device);
    }
    return 0;
}

EXPORT uint32_t ReceiveSspMessage(unsigned int device, unsigned int interface_number, void *dst,
                                  unsigned int dst_length, unsigned int time_out,
                                  unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = check_buffer(API_SITE, reply, false, dst, dst_length, 2))
        return h;
    if (uint32_t h = switch_to_device(API_SITE, device))
        return h;
    // The caller's buffer is written only with a whole answer, and no
    // answer is longer than the largest message.
    const unsigned int room = static_cast<unsigned int>(
        std::min<size_t>(dst_length, SSP_BASE_MESSAGE_HEADER_SIZE + SSP_BASE_MESSAGE_MAX_DATA));
    auto *buffer = static_cast<uint8_t *>(Calloc(room, 1));
    unsigned int length = room;
    int r = core_receive_ssp_message(interface_number, buffer, &length, time_out);
    if (r < 0) {
        free(buffer);
        catch_removing_device(r, device, interface_number);
        return API_FAIL(QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of receive ssp message for device: ", device);
    }
    unsigned int n = length < dst_length ? length : dst_length;
    memcpy(dst, buffer, n);
    *reply = n;
    free(buffer);
    return 0;
}

}  // extern "C"
