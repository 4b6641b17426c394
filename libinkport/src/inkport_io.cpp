// Report and feature calls of the API, and the device-removed notification.
#include <cstdlib>
#include <cstring>

#include "core.h"
#include "device_handlers.h"
#include "inkport_async.h"
#include "inkport_devices.h"
#include "wrappers.h"
#include "wrapunix.h"

namespace {

enum class ReportCall { set_feature, get_feature, write_file, read_file };

// A feature report travels in one control transfer, whose length field
// has 16 bits: anything longer is refused before a buffer is made for it.
constexpr unsigned int kMaxFeatureLength = 65536;

struct ReportCallInfo {
    bool writes;
    unsigned int min_length;  // lengths below it are refused
    unsigned int max_length;  // and above it, before anything else; 0: none
    bool upper_limit;
    bool input_size;  // limited by the input report size, not the out endpoint
    const char *failure_text;
};

const ReportCallInfo &info_of(ReportCall call) {
    static const ReportCallInfo kInfo[] = {
        {true, 1, kMaxFeatureLength, false, false, "Error of write HID feature for device: "},
        {false, 2, kMaxFeatureLength, false, false, "Error of read HID feature for device: "},
        {true, 1, 0, true, false, "Error of set HID output report for device: "},
        {false, 1, 0, true, true, "Error of read HID input report for device: "},
    };
    return kInfo[static_cast<int>(call)];
}

int transfer(ReportCall call, unsigned int interface_number, void *payload, unsigned int size) {
    switch (call) {
        case ReportCall::set_feature:
            return core_set_hid_feature_report(interface_number, payload, static_cast<int>(size));
        case ReportCall::get_feature:
            return core_get_hid_feature_report(interface_number, payload, static_cast<int>(size));
        case ReportCall::write_file:
            return core_set_unsync_hid_output_report(interface_number, payload,
                                                     static_cast<int>(size));
        case ReportCall::read_file:
            return core_get_hid_input_report(interface_number, payload, static_cast<int>(size));
    }
    return -1;
}

// The sequence all four report calls share: checks, switch, size limit,
// transfer of the payload behind the report-id slot, *reply.
uint32_t report_call(ApiSite site, ReportCall call, unsigned int device,
                     unsigned int interface_number, void *buffer, unsigned int length,
                     unsigned int *reply) {
    // The entry and exit records of the exported function that called.
    TraceScope trace_scope(site.file, site.line, site.func);
    const ReportCallInfo &info = info_of(call);
    if (uint32_t h = check_buffer(site, reply, info.writes, buffer, length, info.min_length))
        return h;
    if (info.max_length != 0 && length > info.max_length)
        return api_fail(site, QLPCEC_INVALID_PARAMETER,
                        "Error of input parameters, const unsigned int %s_length > %u",
                        info.writes ? "src" : "dst", info.max_length);
    if (uint32_t h = switch_to_device(site, device))
        return h;
    int size = info.input_size ? core_get_max_packet_size_of_input_report()
                               : core_get_max_packet_size_of_out_endpoint();
    if (size < 0) {
        catch_removing_device(size, device, interface_number);
        return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of getting max packet size of hid interfaces for device: ", device);
    }
    if (info.upper_limit && length > static_cast<unsigned int>(size) + 1)
        return api_fail(
            site, QLPCEC_INVALID_PARAMETER, "%s",
            info.writes
                ? "Error of input parameters, const unsigned int src_length > max packet size + 1"
                : "Error of input parameters, const unsigned int dst_length > max packet size + 1");

    unsigned int payload_size = length - 1;
    if (info.writes) {
        int r = transfer(call, interface_number, static_cast<uint8_t *>(buffer) + 1, payload_size);
        if (r < 0) {
            catch_removing_device(r, device, interface_number);
            return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d", info.failure_text, device);
        }
        *reply = length;
        return 0;
    }
    auto *scratch = static_cast<uint8_t *>(Calloc(length, 1));
    int r = transfer(call, interface_number, scratch + 1, payload_size);
    bool ok =
        call == ReportCall::get_feature ? r >= 0 : (r == static_cast<int>(payload_size) || r == 0);
    if (!ok) {
        free(scratch);
        catch_removing_device(r, device, interface_number);
        return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d", info.failure_text, device);
    }
    if (call == ReportCall::read_file && r == 0) {
        free(scratch);  // nothing was waiting: the caller's buffer and *reply stay as they were
        return 0;
    }
    scratch[0] = 0;
    memcpy(buffer, scratch, length);
    free(scratch);
    *reply = length;
    return 0;
}

}  // namespace

extern "C" {

// The sending calls, then the receiving ones.
EXPORT uint32_t SetFeature(unsigned int device, unsigned int interface_number, const void *src,
                           unsigned int src_length, unsigned int *reply) {
    return report_call(API_SITE, ReportCall::set_feature, device, interface_number,
                       const_cast<void *>(src), src_length, reply);
}

EXPORT uint32_t WriteFile(unsigned int device, unsigned int interface_number, const void *src,
                          unsigned int src_length, unsigned int *reply) {
    return report_call(API_SITE, ReportCall::write_file, device, interface_number,
                       const_cast<void *>(src), src_length, reply);
}

EXPORT uint32_t GetFeature(unsigned int device, unsigned int interface_number, void *dst,
                           unsigned int dst_length, unsigned int *reply) {
    return report_call(API_SITE, ReportCall::get_feature, device, interface_number, dst, dst_length,
                       reply);
}

EXPORT uint32_t ReadFile(unsigned int device, unsigned int interface_number, void *dst,
                         unsigned int dst_length, unsigned int *reply) {
    return report_call(API_SITE, ReportCall::read_file, device, interface_number, dst, dst_length,
                       reply);
}

EXPORT uint32_t SetOnDeviceRemovedHandler(void *user_specific,
                                          InkportDeviceRemovedCallback handler) {
    TRACE_SCOPE();
    return store_device_handler(DeviceEvent::removed, handler, user_specific);
}

}  // extern "C"
