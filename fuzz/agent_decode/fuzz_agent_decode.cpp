// Feeds arbitrary bytes, as a remote client could send them, to the agent's
// call decoder. Beyond the sanitizers' bounds checks it holds the decoder to
// what the agent relies on: an accepted call has exactly the arguments of
// its function, its byte or text argument lies inside the package, its
// capacities are within the limits, and encoding the arguments again gives
// the package's payload byte for byte. The result writer, given outputs as
// large as the decoded capacities allow, never produces more than one
// package.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec.h"

namespace {

using inkagent::Arg;

void check(bool ok) {
    if (!ok)
        abort();
}

void put(std::vector<uint8_t> &out, uint32_t v) {
    out.resize(out.size() + 4);
    inkagent_put_u32(out.data() + out.size() - 4, v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    inkagent::DecodedCall call;
    uint32_t status = inkagent::decode_call(data, size, &call);
    check(status <= INKAGENT_STATUS_REFUSED && status != INKAGENT_STATUS_TOO_LARGE);
    if (size >= 8)
        check(call.message_id == inkagent_get_u32(data + 4));

    inkagent::ResultWriter out(call.message_id);
    if (status != INKAGENT_STATUS_OK) {
        size_t n = out.fail(status);
        check(n == INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX);
        check(inkagent_get_u32(out.data() + INKAGENT_HEADER_SIZE) == status);
        return 0;
    }
    check(call.shape != nullptr && size >= INKAGENT_HEADER_SIZE && size <= INKAGENT_MAX_INBOUND);

    // Encode again from the shape: the same payload.
    std::vector<uint8_t> again;
    int value = 0;
    uint32_t largest_output = 0;
    bool text_output = false;
    for (Arg arg : call.shape->args) {
        if (arg == Arg::None)
            break;
        if (arg == Arg::Bytes || arg == Arg::Text) {
            const size_t n = arg == Arg::Text ? 2 * size_t{call.data_count} : call.data_count;
            check(call.data >= data + INKAGENT_HEADER_SIZE && call.data + n <= data + size);
            put(again, call.data_count);
            again.insert(again.end(), call.data, call.data + n);
            continue;
        }
        check(value < call.value_count);
        const uint32_t v = call.values[value++];
        if (arg == Arg::TextCapacity) {
            check(v <= INKAGENT_MAX_TEXT_CAPACITY);
            largest_output = v;
            text_output = true;
        } else if (arg == Arg::BytesCapacity) {
            check(v <= INKAGENT_MAX_BYTES_CAPACITY);
            largest_output = v;
        } else if (arg == Arg::TimeOut) {
            check(v <= inkagent::kMaxTimeOut);
        }
        put(again, v);
    }
    check(value == call.value_count);
    check(again.size() == size - INKAGENT_HEADER_SIZE);
    check(again.empty() || memcmp(again.data(), data + INKAGENT_HEADER_SIZE, again.size()) == 0);

    // The fullest result of this call still fits one package.
    if (text_output) {
        std::vector<uint16_t> units(largest_output, 'x');
        out.text(units.data(), largest_output);
    } else if (largest_output != 0) {
        std::vector<uint8_t> bytes(largest_output, 0x5A);
        out.bytes(bytes.data(), largest_output);
    }
    out.u32(1);
    check(!out.overflowed());
    size_t n = out.finish(0);
    check(n <= INKAGENT_MAX_OUTBOUND && inkagent_get_u32(out.data() + 8) == n);
    return 0;
}
