// Feeds arbitrary bytes, as a page could send them in a text frame, to the
// gateway's request decoder. Beyond the sanitizers' checks it holds the
// decoder to what the gateway relies on: an accepted request lies inside
// the ranges the pad stack is called with, its hex message decodes back to
// the digits it came from, and a refusal always says why; the answer to a
// refusal is itself a request-shaped object the decoder can read its id from.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "messages.h"

namespace {

void check(bool ok) {
    if (!ok)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view frame(reinterpret_cast<const char *>(data), size);
    const inkwebd::Decoded d = inkwebd::decode_request(frame);
    if (!d.ok) {
        check(!d.bad.message.empty());
        const std::string answer = inkwebd::encode_bad_request(d.bad);
        // The answer is JSON whose id the decoder finds again (a refusal of
        // its own: it names no call).
        const inkwebd::Decoded again = inkwebd::decode_request(answer);
        check(!again.ok && again.bad.id == d.bad.id);
        return 0;
    }
    const inkwebd::Request &r = d.request;
    using inkwebd::Call;
    if (r.call == Call::ssp || r.call == Call::set_var || r.call == Call::receive)
        check(r.dev >= 1 && r.dev <= inkwebd::kMaxDevice);
    check(r.interface <= inkwebd::kMaxInterface && r.ep <= inkwebd::kMaxEndPoint);
    check(r.time_out_ms >= 1 && r.time_out_ms <= inkwebd::kMaxTimeOutMs);
    if (r.call == Call::ssp) {
        check(!r.message.empty() && r.message.size() <= inkwebd::kMaxSspMessage);
        inkwebd::Bytes back;
        check(inkwebd::from_hex(inkwebd::to_hex(r.message), back) && back == r.message);
    }
    if (r.call == Call::set_var)
        check(!r.name.empty() && r.name.size() <= inkwebd::kMaxVarName &&
              r.value.size() <= inkwebd::kMaxVarValue);
    return 0;
}
