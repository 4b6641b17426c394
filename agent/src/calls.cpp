// Remote calls on the pad library: one function id, one API call. Every
// output buffer is the agent's own, zero-filled, of the capacity the client
// asked for, so the call behaves as the local one with that buffer size.
#include <inkport/inkport.h>

#include <vector>

#include "agent_internal.h"

namespace inkagent {

namespace {

Stream streams[kMaxDevice + 1][kEndPoints];
// Whether the library state is the agent's to end (it ran Initialize).
bool agent_initialized = false;

bool has_slot(uint32_t device, uint32_t end_point) {
    return device >= 1 && device <= kMaxDevice && end_point < kEndPoints;
}

void on_data(void *user, uint32_t device, uint32_t end_point, const uint8_t *data,
             uint32_t length) {
    auto *stream = static_cast<Stream *>(user);
    // Reports still in flight for a client that has gone are not the next
    // client's: emit_event checks the owner under its lock.
    const uint64_t owner = stream != nullptr ? stream->owner.load() : 0;
    if (owner == 0)
        return;
    uint8_t package[INKAGENT_DATA_EVENT_SIZE];
    size_t size = encode_data_event(package, device, end_point, data, length);
    emit_event(package, size, owner);
}

void on_removed(void *, uint32_t device) {
    uint8_t package[INKAGENT_HEADER_SIZE + 4];
    size_t size = encode_removed_event(package, device);
    emit_event(package, size, 0);
}

// On the library's monitor thread: no library call here (see note_arrival).
void on_arrived(void *, uint32_t device) {
    note_arrival(device);
}

void announce_arrival(uint32_t device) {
    unsigned vendor_id = 0;
    unsigned product_id = 0;
    uint16_t serial[QLPAD_MAX_STRING_LENGTH + 1] = {};
    unsigned reply = 0;
    if (GetVendorId(device, &vendor_id) != 0 || GetProductId(device, 0, &product_id) != 0 ||
        GetSerialNumber(device, serial, QLPAD_MAX_STRING_LENGTH, &reply) != 0)
        return;
    uint32_t units = 0;
    while (units < QLPAD_MAX_STRING_LENGTH && serial[units] != 0)
        ++units;
    uint8_t package[INKAGENT_ARRIVED_EVENT_MAX_SIZE];
    emit_event(package,
               encode_arrived_event(package, device, vendor_id, product_id, serial, units), 0);
}

uint32_t switch_off(uint32_t device, uint32_t end_point) {
    uint32_t result = SetDataReceivingEnabled(device, end_point, 0);
    SetOnDataReceivedHandler(device, end_point, nullptr, nullptr);
    if (has_slot(device, end_point))
        streams[device][end_point].owner = 0;
    return result;
}

uint32_t set_receiving(uint32_t device, uint32_t end_point, uint32_t enabled, uint64_t owner) {
    if (enabled == 0)
        return switch_off(device, end_point);
    // The library refuses a device or end point out of range before touching
    // anything; such a call needs no record.
    Stream *stream = has_slot(device, end_point) ? &streams[device][end_point] : nullptr;
    if (stream != nullptr)
        stream->owner = owner;
    if (uint32_t h = SetOnDataReceivedHandler(device, end_point, stream, on_data)) {
        if (stream != nullptr)
            stream->owner = 0;
        return h;
    }
    uint32_t h = SetDataReceivingEnabled(device, end_point, 1);
    if (h != 0)
        switch_off(device, end_point);
    return h;
}

// Library state was torn down by Initialize or Deinitialize: so were its
// handlers and receiving threads.
void forget_streams() {
    for (auto &device : streams)
        for (auto &stream : device)
            stream.owner = 0;
}

// The text outputs: the units before the first 0, or all of them.
void put_text(ResultWriter &out, const std::vector<uint16_t> &buffer, uint32_t capacity) {
    uint32_t n = 0;
    while (n < capacity && buffer[n] != 0)
        ++n;
    out.text(buffer.data(), n);
}

using TextCall = uint32_t (*)(unsigned int, uint16_t *, int, unsigned int *);

uint32_t text_call(ResultWriter &out, TextCall call, uint32_t first, uint32_t capacity) {
    std::vector<uint16_t> buffer(capacity + 1, 0);
    unsigned int reply = 0;
    uint32_t result = call(first, buffer.data(), static_cast<int>(capacity), &reply);
    put_text(out, buffer, capacity);
    out.u32(reply);
    return result;
}

// A byte output: *reply bytes of it (no more than the capacity).
void put_bytes(ResultWriter &out, const std::vector<uint8_t> &buffer, uint32_t capacity,
               unsigned int reply) {
    out.bytes(buffer.data(), reply < capacity ? reply : capacity);
    out.u32(reply);
}

}  // namespace

size_t run_call(const DecodedCall &call, uint64_t owner, ResultWriter &out) {
    const uint32_t *v = call.values;
    unsigned int reply = 0;
    uint32_t result = 0;
    switch (call.shape->id) {
        case INKAGENT_FN_INITIALIZE:
            result = Initialize();
            forget_streams();
            agent_initialized = true;
            SetOnDeviceRemovedHandler(nullptr, on_removed);
            SetOnDeviceArrivedHandler(nullptr, on_arrived);
            break;
        case INKAGENT_FN_DEINITIALIZE:
            result = Deinitialize();
            forget_streams();
            agent_initialized = false;
            break;
        case INKAGENT_FN_IS_INITIALIZED:
            out.u32(IsInitialized() ? 1 : 0);
            break;
        case INKAGENT_FN_GET_DEVICE_COUNT:
            result = GetDeviceCount(&reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_ENUMERATE_DEVICES_START:
            result = EnumerateDevicesStart(&reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_ENUMERATE_DEVICES_NEXT:
            result = EnumerateDevicesNext(&reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_GET_SERIAL_NUMBER:
            result = text_call(out, GetSerialNumber, v[0], v[1]);
            break;
        case INKAGENT_FN_GET_PRODUCT_NAME: {
            std::vector<uint16_t> buffer(v[2] + 1, 0);
            result = GetProductName(v[0], v[1], buffer.data(), static_cast<int>(v[2]), &reply);
            put_text(out, buffer, v[2]);
            out.u32(reply);
            break;
        }
        case INKAGENT_FN_GET_VENDOR_NAME:
            result = text_call(out, GetVendorName, v[0], v[1]);
            break;
        case INKAGENT_FN_GET_PRODUCT_ID:
            result = GetProductId(v[0], v[1], &reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_GET_VENDOR_ID:
            result = GetVendorId(v[0], &reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_GET_USB_VERSION:
            result = GetUsbVersion(v[0], &reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_GET_END_POINT_COUNT:
            result = GetEndPointCount(v[0], &reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_GET_FEATURE_REPORT_SIZE:
            result = GetFeatureReportSize(v[0], v[1], &reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_SET_FEATURE:
        case INKAGENT_FN_WRITE_FILE: {
            // The library takes no null buffer, even for no bytes.
            std::vector<uint8_t> src(call.data, call.data + call.data_count);
            src.push_back(0);
            auto write = call.shape->id == INKAGENT_FN_SET_FEATURE ? SetFeature : WriteFile;
            result = write(v[0], v[1], src.data(), call.data_count, &reply);
            out.u32(reply);
            break;
        }
        case INKAGENT_FN_GET_FEATURE:
        case INKAGENT_FN_READ_FILE: {
            std::vector<uint8_t> dst(v[2] + 1, 0);
            auto read = call.shape->id == INKAGENT_FN_GET_FEATURE ? GetFeature : ReadFile;
            result = read(v[0], v[1], dst.data(), v[2], &reply);
            put_bytes(out, dst, v[2], reply);
            break;
        }
        case INKAGENT_FN_SEND_SSP_MESSAGE: {
            std::vector<uint8_t> src(call.data, call.data + call.data_count);
            src.push_back(0);
            result = SendSspMessage(v[0], v[1], src.data(), call.data_count);
            break;
        }
        case INKAGENT_FN_RECEIVE_SSP_MESSAGE: {
            std::vector<uint8_t> dst(v[2] + 1, 0);
            result = ReceiveSspMessage(v[0], v[1], dst.data(), v[2], v[3], &reply);
            put_bytes(out, dst, v[2], reply);
            break;
        }
        case INKAGENT_FN_SET_DATA_RECEIVING_ENABLED:
            result = set_receiving(v[0], v[1], v[2], owner);
            break;
        case INKAGENT_FN_GET_DATA_PACKETS_AVAILABLE:
            result = GetDataPacketsAvailable(v[0], v[1], &reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_FLUSH_DATA_PACKETS:
            result = FlushDataPackets(v[0], v[1]);
            break;
        case INKAGENT_FN_TRANSLATE_ERROR_CODE:
            result = text_call(out, TranslateErrorCode, v[0], v[1]);
            break;
        case INKAGENT_FN_GET_EXCEPTION_TYPE:
            result = text_call(out, GetExceptionType, v[0], v[1]);
            break;
        case INKAGENT_FN_GET_EXCEPTION_CODE:
            result = GetExceptionCode(v[0], &reply);
            out.u32(reply);
            break;
        case INKAGENT_FN_GET_EXCEPTION_NAME:
            result = text_call(out, GetExceptionName, v[0], v[1]);
            break;
        case INKAGENT_FN_GET_EXCEPTION_MESSAGE:
            result = text_call(out, GetExceptionMessage, v[0], v[1]);
            break;
        case INKAGENT_FN_SAY_HELLO: {
            std::vector<uint16_t> text(call.data_count + 1, 0);
            for (uint32_t i = 0; i < call.data_count; ++i)
                text[i] = inkagent_get_u16(call.data + 2 * i);
            std::vector<uint16_t> buffer(v[0] + 1, 0);
            result = SayHello(text.data(), buffer.data(), static_cast<int>(v[0]), &reply);
            put_text(out, buffer, v[0]);
            out.u32(reply);
            break;
        }
        default:
            break;
    }
    return out.finish(result);
}

void announce_arrivals(uint32_t devices) {
    for (uint32_t device = 1; device <= kMaxDevice; ++device)
        if (devices & (1u << device))
            announce_arrival(device);
}

void stop_streams() {
    for (uint32_t device = 1; device <= kMaxDevice; ++device)
        for (uint32_t end_point = 0; end_point < kEndPoints; ++end_point)
            if (streams[device][end_point].owner.load() != 0)
                switch_off(device, end_point);
}

void release_pad_library() {
    stop_streams();
    if (agent_initialized) {
        Deinitialize();
        agent_initialized = false;
    }
}

}  // namespace inkagent
