// Feeds arbitrary bytes, as a pad could send them, to the transport-token
// decoder. Beyond the sanitizers' bounds checks it holds the decoder to what
// the exchange relies on: frames are non-empty, never longer than the input,
// and each one survives an encode/decode round trip unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ssp_transport_token.h"
#include "uni_queue.h"

namespace {

void check(bool ok) {
    if (!ok)
        abort();
}

void round_trip(const uint8_t *frame, uint32_t length) {
    void *tokens = nullptr;
    int n = ssp_base_message_to_transport_token_data(frame, length, &tokens);
    check(n > 0);
    uni_queue *again = init_uni_queue();
    check(ssp_transport_token_to_base_message_data(tokens, static_cast<size_t>(n), again) == 1);
    uint32_t back_length = 0;
    void *back = get_uni_frame(again, &back_length);
    check(back != nullptr && back_length == length && memcmp(back, frame, length) == 0);
    free(back);
    free(tokens);
    destroy_uni_queue(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    // An exact-size heap copy: a read one byte too far is a finding.
    auto *input = static_cast<uint8_t *>(malloc(size));
    memcpy(input, data, size);
    uni_queue *queue = init_uni_queue();
    int result = ssp_transport_token_to_base_message_data(input, size, queue);
    check(result == -1 || result == get_uni_queue_size(queue));
    check(memcmp(input, data, size) == 0);
    free(input);

    size_t total = 0;
    uint32_t length = 0;
    while (void *frame = get_uni_frame(queue, &length)) {
        check(length >= 1 && length <= size);
        total += length;
        round_trip(static_cast<const uint8_t *>(frame), length);
        free(frame);
    }
    // Each decoded byte comes from at least one input byte.
    check(total <= size);
    destroy_uni_queue(queue);
    return 0;
}
