#include "codec.h"

#include <cstring>
#include <initializer_list>

namespace inkagent {

namespace {

using enum Arg;

constexpr FunctionShape kFunctions[] = {
    {INKAGENT_FN_INITIALIZE, "Initialize", {}},
    {INKAGENT_FN_DEINITIALIZE, "Deinitialize", {}},
    {INKAGENT_FN_IS_INITIALIZED, "IsInitialized", {}},
    {INKAGENT_FN_GET_DEVICE_COUNT, "GetDeviceCount", {}},
    {INKAGENT_FN_ENUMERATE_DEVICES_START, "EnumerateDevicesStart", {}},
    {INKAGENT_FN_ENUMERATE_DEVICES_NEXT, "EnumerateDevicesNext", {}},
    {INKAGENT_FN_GET_SERIAL_NUMBER, "GetSerialNumber", {U32, TextCapacity}},
    {INKAGENT_FN_GET_PRODUCT_NAME, "GetProductName", {U32, U32, TextCapacity}},
    {INKAGENT_FN_GET_VENDOR_NAME, "GetVendorName", {U32, TextCapacity}},
    {INKAGENT_FN_GET_PRODUCT_ID, "GetProductId", {U32, U32}},
    {INKAGENT_FN_GET_VENDOR_ID, "GetVendorId", {U32}},
    {INKAGENT_FN_GET_USB_VERSION, "GetUsbVersion", {U32}},
    {INKAGENT_FN_GET_END_POINT_COUNT, "GetEndPointCount", {U32}},
    {INKAGENT_FN_GET_FEATURE_REPORT_SIZE, "GetFeatureReportSize", {U32, U32}},
    {INKAGENT_FN_SET_FEATURE, "SetFeature", {U32, U32, Bytes}},
    {INKAGENT_FN_GET_FEATURE, "GetFeature", {U32, U32, BytesCapacity}},
    {INKAGENT_FN_WRITE_FILE, "WriteFile", {U32, U32, Bytes}},
    {INKAGENT_FN_READ_FILE, "ReadFile", {U32, U32, BytesCapacity}},
    {INKAGENT_FN_SEND_SSP_MESSAGE, "SendSspMessage", {U32, U32, Bytes}},
    {INKAGENT_FN_RECEIVE_SSP_MESSAGE, "ReceiveSspMessage", {U32, U32, BytesCapacity, TimeOut}},
    {INKAGENT_FN_SET_DATA_RECEIVING_ENABLED, "SetDataReceivingEnabled", {U32, U32, U32}},
    {INKAGENT_FN_GET_DATA_PACKETS_AVAILABLE, "GetDataPacketsAvailable", {U32, U32}},
    {INKAGENT_FN_FLUSH_DATA_PACKETS, "FlushDataPackets", {U32, U32}},
    {INKAGENT_FN_TRANSLATE_ERROR_CODE, "TranslateErrorCode", {U32, TextCapacity}},
    {INKAGENT_FN_GET_EXCEPTION_TYPE, "GetExceptionType", {U32, TextCapacity}},
    {INKAGENT_FN_GET_EXCEPTION_CODE, "GetExceptionCode", {U32}},
    {INKAGENT_FN_GET_EXCEPTION_NAME, "GetExceptionName", {U32, TextCapacity}},
    {INKAGENT_FN_GET_EXCEPTION_MESSAGE, "GetExceptionMessage", {U32, TextCapacity}},
    {INKAGENT_FN_SAY_HELLO, "SayHello", {Text, TextCapacity}},
};

// Result payload in front of the outputs.
static_assert(INKAGENT_RESULT_PREFIX == 8);
// The largest capacities leave room for the output's count and a u32 reply.
static_assert(INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX + 4 + 2 * INKAGENT_MAX_TEXT_CAPACITY +
                  4 <=
              INKAGENT_MAX_OUTBOUND);
static_assert(INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX + 4 + INKAGENT_MAX_BYTES_CAPACITY + 4 <=
              INKAGENT_MAX_OUTBOUND);

// Bounds-checked reading of the arguments.
struct Reader {
    const uint8_t *at;
    size_t left;

    bool u32(uint32_t *value) {
        if (left < 4)
            return false;
        *value = inkagent_get_u32(at);
        at += 4;
        left -= 4;
        return true;
    }
    bool span(uint64_t size, const uint8_t **start) {
        if (size > left)
            return false;
        *start = at;
        at += size;
        left -= static_cast<size_t>(size);
        return true;
    }
};

}  // namespace

const FunctionShape *find_function(uint32_t id) {
    for (const auto &f : kFunctions)
        if (f.id == id)
            return &f;
    return nullptr;
}

uint32_t decode_call(const uint8_t *package, size_t size, DecodedCall *call) {
    *call = DecodedCall{};
    if (package == nullptr)
        size = 0;
    uint8_t id_bytes[4] = {};
    for (size_t i = 0; i < 4 && INKAGENT_OFFSET_MESSAGE_ID + i < size; ++i)
        id_bytes[i] = package[INKAGENT_OFFSET_MESSAGE_ID + i];
    call->message_id = inkagent_get_u32(id_bytes);

    if (size < INKAGENT_HEADER_SIZE || size > INKAGENT_MAX_INBOUND)
        return INKAGENT_STATUS_MALFORMED;
    if (inkagent_get_u32(package + INKAGENT_OFFSET_TOTAL_SIZE) != size)
        return INKAGENT_STATUS_MALFORMED;
    const FunctionShape *shape = find_function(INKAGENT_MESSAGE_FUNCTION(call->message_id));
    if (shape == nullptr)
        return INKAGENT_STATUS_UNKNOWN;

    Reader in{package + INKAGENT_HEADER_SIZE, size - INKAGENT_HEADER_SIZE};
    bool refused = false;
    for (Arg arg : shape->args) {
        if (arg == None)
            break;
        uint32_t value = 0;
        if (!in.u32(&value))
            return INKAGENT_STATUS_MALFORMED;
        switch (arg) {
            case Bytes:
            case Text:
                if (!in.span(arg == Text ? uint64_t{value} * 2 : value, &call->data))
                    return INKAGENT_STATUS_MALFORMED;
                call->data_count = value;
                continue;
            case TextCapacity:
                refused |= value > INKAGENT_MAX_TEXT_CAPACITY;
                break;
            case BytesCapacity:
                refused |= value > INKAGENT_MAX_BYTES_CAPACITY;
                break;
            case TimeOut:
                refused |= value > kMaxTimeOut;
                break;
            default:
                break;
        }
        call->values[call->value_count++] = value;
    }
    if (in.left != 0)
        return INKAGENT_STATUS_MALFORMED;
    // Only a well-formed call is refused: a client learns first that its
    // encoding is wrong, then that its values are.
    if (refused)
        return INKAGENT_STATUS_REFUSED;
    call->shape = shape;
    return INKAGENT_STATUS_OK;
}

ResultWriter::ResultWriter(uint32_t message_id)
    : message_id_(message_id), end_(INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX) {}

bool ResultWriter::room(size_t n) {
    if (overflow_ || n > sizeof buffer_ - end_) {
        overflow_ = true;
        return false;
    }
    return true;
}

void ResultWriter::u32(uint32_t value) {
    if (!room(4))
        return;
    inkagent_put_u32(buffer_ + end_, value);
    end_ += 4;
}

void ResultWriter::bytes(const uint8_t *data, uint32_t count) {
    if (!room(4 + size_t{count}))
        return;
    inkagent_put_u32(buffer_ + end_, count);
    if (count != 0)
        memcpy(buffer_ + end_ + 4, data, count);
    end_ += 4 + size_t{count};
}

void ResultWriter::text(const uint16_t *units, uint32_t count) {
    if (!room(4 + 2 * size_t{count}))
        return;
    inkagent_put_u32(buffer_ + end_, count);
    for (uint32_t i = 0; i < count; ++i)
        inkagent_put_u16(buffer_ + end_ + 4 + 2 * i, units[i]);
    end_ += 4 + 2 * size_t{count};
}

size_t ResultWriter::seal(uint32_t status, uint32_t result, size_t end) {
    inkagent_put_header(buffer_, INKAGENT_TYPE_RESULT, message_id_, static_cast<uint32_t>(end));
    inkagent_put_u32(buffer_ + INKAGENT_HEADER_SIZE, status);
    inkagent_put_u32(buffer_ + INKAGENT_HEADER_SIZE + 4, result);
    return end;
}

size_t ResultWriter::finish(uint32_t result) {
    if (overflow_)
        return fail(INKAGENT_STATUS_TOO_LARGE);
    return seal(INKAGENT_STATUS_OK, result, end_);
}

size_t ResultWriter::fail(uint32_t status) {
    return seal(status, 0, INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX);
}

size_t encode_data_event(uint8_t *out, uint32_t device, uint32_t end_point, const uint8_t *report,
                         uint32_t length) {
    if (report == nullptr || length > INKAGENT_REPORT_SIZE)
        length = report == nullptr ? 0 : INKAGENT_REPORT_SIZE;
    const size_t size = INKAGENT_HEADER_SIZE + 12 + length;
    inkagent_put_header(out, INKAGENT_TYPE_EVENT, INKAGENT_EV_DATA_RECEIVED,
                        static_cast<uint32_t>(size));
    inkagent_put_u32(out + INKAGENT_HEADER_SIZE, device);
    inkagent_put_u32(out + INKAGENT_HEADER_SIZE + 4, end_point);
    inkagent_put_u32(out + INKAGENT_HEADER_SIZE + 8, length);
    if (length != 0)
        memcpy(out + INKAGENT_HEADER_SIZE + 12, report, length);
    return size;
}

size_t encode_removed_event(uint8_t *out, uint32_t device) {
    const size_t size = INKAGENT_HEADER_SIZE + 4;
    inkagent_put_header(out, INKAGENT_TYPE_EVENT, INKAGENT_EV_DEVICE_REMOVED,
                        static_cast<uint32_t>(size));
    inkagent_put_u32(out + INKAGENT_HEADER_SIZE, device);
    return size;
}

size_t encode_arrived_event(uint8_t *out, uint32_t device, uint32_t vendor_id, uint32_t product_id,
                            const uint16_t *serial, uint32_t units) {
    if (serial == nullptr)
        units = 0;
    if (units > INKAGENT_SERIAL_UNITS)
        units = INKAGENT_SERIAL_UNITS;
    const size_t size = INKAGENT_HEADER_SIZE + 16 + 2 * size_t{units};
    inkagent_put_header(out, INKAGENT_TYPE_EVENT, INKAGENT_EV_DEVICE_ARRIVED,
                        static_cast<uint32_t>(size));
    uint8_t *at = out + INKAGENT_HEADER_SIZE;
    for (uint32_t value : {device, vendor_id, product_id, units}) {
        inkagent_put_u32(at, value);
        at += 4;
    }
    for (uint32_t i = 0; i < units; ++i)
        inkagent_put_u16(at + 2 * i, serial[i]);
    return size;
}

}  // namespace inkagent
