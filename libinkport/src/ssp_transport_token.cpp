#include "ssp_transport_token.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wrappers.h"
#include "wrapunix.h"

// The decoder works on read-only indices into the received bytes: nothing is
// rewritten, so no step can reach past the end of what arrived.
//
// Every occurrence of AA 55 02 in the received data is a SOF. A scan that
// steps over escapes (AA 55 00) one token at a time could only miss a SOF
// that began inside an escape, and none can: its second and third bytes are
// 55 and 00, never AA. So the data splits at the SOFs first, and each span
// between them is unescaped on its own; an escape cannot straddle a span's
// end either, because the next byte there is the SOF's AA.

namespace {

constexpr uint8_t kAA = SSP_TRANSPORT_TOKEN_HEADER_0;
constexpr uint8_t k55 = SSP_TRANSPORT_TOKEN_HEADER_1;

bool is_token(const uint8_t *data, size_t pos, size_t end, uint8_t type) {
    return end - pos >= SSP_TRANSPORT_TOKEN_SIZE && data[pos] == kAA && data[pos + 1] == k55 &&
           data[pos + 2] == type;
}

// Position of the first SOF at or after from, or end when there is none.
size_t find_sof(const uint8_t *data, size_t from, size_t end) {
    while (end - from >= SSP_TRANSPORT_TOKEN_SIZE) {
        const void *hit = memchr(data + from, kAA, end - from - (SSP_TRANSPORT_TOKEN_SIZE - 1));
        if (hit == nullptr)
            return end;
        size_t pos = static_cast<size_t>(static_cast<const uint8_t *>(hit) - data);
        if (is_token(data, pos, end, SSP_TRANSPORT_TOKEN_TYPE_SOF))
            return pos;
        from = pos + 1;
    }
    return end;
}

// Unescapes data[from, end) into out (room for end - from bytes); returns the
// byte count. A trailing AA or AA 55 too short to be a token stays data, and
// AA 55 followed by an unknown type yields AA with decoding going on at 55.
size_t unescape(const uint8_t *data, size_t from, size_t end, uint8_t *out) {
    size_t n = 0;
    while (from < end) {
        const void *hit = memchr(data + from, kAA, end - from);
        size_t pos = hit ? static_cast<size_t>(static_cast<const uint8_t *>(hit) - data) : end;
        memcpy(out + n, data + from, pos - from);
        n += pos - from;
        from = pos;
        if (from == end)
            break;
        if (is_token(data, from, end, SSP_TRANSPORT_TOKEN_TYPE_ESCAPE)) {
            out[n++] = kAA;
            out[n++] = k55;
            from += SSP_TRANSPORT_TOKEN_SIZE;
        } else {
            out[n++] = kAA;
            from += 1;
        }
    }
    return n;
}

// Each AA 55 pair (2 bytes) grows by one, so the output is at most this big.
size_t encoded_size_bound(size_t len) {
    return SSP_TRANSPORT_TOKEN_SIZE + len + len / 2;
}

int queue_size(uni_queue *queue) {
    quiet_lock_queue(queue);
    int64_t n = get_uni_queue_size(queue);
    quiet_unlock_queue(queue);
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

}  // namespace

extern "C" {

EXPORT int ssp_base_message_to_transport_token_data(const void *data, unsigned int len,
                                                    void **tt_data) {
    TRACE_SCOPE();
    // The result is a length in an int, so larger inputs are refused before
    // anything is allocated for them.
    if (!ArgCheck(API_SITE)
             .data(data)
             .require(len != 0 && encoded_size_bound(len) <= INT_MAX, kArgLen, long{len})
             .require(tt_data != nullptr, "Error, input parameter: void **tt_data is %p", tt_data))
        return -1;
    const auto *in = static_cast<const uint8_t *>(data);
    auto *out = static_cast<uint8_t *>(Malloc(encoded_size_bound(len)));
    const uint8_t sof[] = {kAA, k55, SSP_TRANSPORT_TOKEN_TYPE_SOF};
    memcpy(out, sof, sizeof sof);
    size_t n = sizeof sof;
    size_t p = 0;
    while (p < len) {
        const void *hit = memchr(in + p, kAA, len - p);
        size_t pos = hit ? static_cast<size_t>(static_cast<const uint8_t *>(hit) - in) : len;
        memcpy(out + n, in + p, pos - p);
        n += pos - p;
        p = pos;
        if (p == len)
            break;
        // The last byte is copied as it is, even an AA: only a pair is escaped.
        if (p + 1 < len && in[p + 1] == k55) {
            out[n++] = kAA;
            out[n++] = k55;
            out[n++] = SSP_TRANSPORT_TOKEN_TYPE_ESCAPE;
            p += 2;
        } else {
            out[n++] = kAA;
            p += 1;
        }
    }
    *tt_data = out;
    return static_cast<int>(n);
}

EXPORT int ssp_transport_token_to_base_message_data(void *tt_data, size_t tt_data_size,
                                                    uni_queue *queue) {
    TRACE_SCOPE();
    // Frames record their length in 32 bits.
    if (!ArgCheck(API_SITE)
             .require(tt_data_size != 0 && tt_data_size <= UINT32_MAX,
                      "Error, input parameter: size_t tt_data_size is incorrect")
             .require(tt_data != nullptr, "Error, input parameter: void *tt_data is %p", tt_data)
             .require(queue != nullptr, "Error, input parameter: uni_queue *queue is %p", queue))
        return -1;
    const auto *data = static_cast<const uint8_t *>(tt_data);
    const size_t end = tt_data_size;

    // Whatever precedes the first SOF is the tail of a message whose start
    // was lost; it is dropped.
    size_t sof = find_sof(data, 0, end);
    if (sof == end) {
        TRACE_INFO("no SOF token in %zu bytes", end);
        return -1;
    }
    while (sof < end) {
        size_t from = sof + SSP_TRANSPORT_TOKEN_SIZE;
        sof = find_sof(data, from, end);
        if (sof == from)
            continue;  // an empty message: SOF right after SOF, or at the end
        auto *frame = static_cast<uint8_t *>(Malloc(sof - from));
        size_t length = unescape(data, from, sof, frame);
        if (add_uni_frame(queue, frame, static_cast<uint32_t>(length)) != 1) {
            TRACE_ERROR("Error, add_uni_frame() could not queue a message of %zu bytes", length);
            free(frame);
        }
    }
    return queue_size(queue);
}

}  // extern "C"
