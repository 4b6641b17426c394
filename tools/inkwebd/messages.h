// The gateway's wire format: JSON text frames, one object each. A page sends
// requests {"id": <integer>, "call": <name>, ...}; the gateway answers each
// with {"id", "ok": true, ...} or {"id", "ok": false, "error": {...}} and
// sends events {"event": ...} on its own.
//
// Pure codecs: no I/O, no pad stack. Every frame is untrusted: whatever it
// holds, decode_request returns a request or a bad_request naming the field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pad_stack.h"

namespace inkwebd {

using inkclient::Bytes;

// Ranges of the request fields.
constexpr unsigned kMaxDevice = 15;
constexpr unsigned kMaxInterface = 15;
constexpr unsigned kMaxEndPoint = 15;
constexpr unsigned kDefaultTimeOutMs = 1000;
constexpr unsigned kMaxTimeOutMs = 5000;
constexpr size_t kMaxSspMessage = 4096;
constexpr size_t kMaxVarName = 40;  // as the pad's variable-set record holds them
constexpr size_t kMaxVarValue = 20;

enum class Call { list, ssp, set_var, receive, watch };

struct Request {
    int64_t id = 0;
    Call call = Call::list;
    unsigned dev = 0;
    unsigned interface = 0;  // ssp
    unsigned ep = 0;         // receive
    unsigned time_out_ms = kDefaultTimeOutMs;
    Bytes message;            // ssp
    std::string name, value;  // set_var
    bool on = false;          // receive
};

// A frame that is not a request: the answer carries the id when the frame
// had a usable one, and a message that names the field.
struct BadRequest {
    std::optional<int64_t> id;
    std::string message;
};

struct Decoded {
    bool ok = false;
    Request request;  // when ok
    BadRequest bad;   // otherwise
};

Decoded decode_request(std::string_view frame);

struct PadInfo {
    unsigned dev = 0;
    unsigned vendor_id = 0;
    unsigned product_id = 0;
    std::string serial, product, vendor;
    unsigned end_points = 0;
};

// Answers.
std::string encode_ok(int64_t id);
std::string encode_pads(int64_t id, const std::vector<PadInfo> &pads);
std::string encode_reply(int64_t id, const Bytes &reply);
std::string encode_bad_request(const BadRequest &bad);
// A pad stack's fault: "api" adds the library's function and exception code.
std::string encode_fault(int64_t id, const inkclient::Error &error);

// Events.
std::string encode_data(unsigned dev, unsigned ep, uint64_t seq, const Bytes &report);
std::string encode_arrived(unsigned dev, unsigned vendor_id, unsigned product_id,
                           const std::string &serial);
std::string encode_removed(unsigned dev);
std::string encode_gap(uint64_t lost);

std::string to_hex(const Bytes &bytes);
// Hex digits only (either case), an even number of them; false otherwise.
bool from_hex(std::string_view text, Bytes &bytes);

}  // namespace inkwebd
