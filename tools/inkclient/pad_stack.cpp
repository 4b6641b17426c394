#include "pad_stack.h"

#include <inkagent/protocol.h>

namespace inkclient {

std::string status_name(uint32_t status) {
    switch (status) {
        case INKAGENT_STATUS_MALFORMED:
            return "malformed call";
        case INKAGENT_STATUS_UNKNOWN:
            return "unknown function";
        case INKAGENT_STATUS_TOO_LARGE:
            return "output too large";
        case INKAGENT_STATUS_REFUSED:
            return "refused";
        default:
            return "status " + std::to_string(status);
    }
}

std::string describe(const Error &error) {
    std::string head = error.function.empty() ? std::string() : error.function + ": ";
    switch (error.fault) {
        case Fault::none:
            return head + "ok";
        case Fault::unreachable:
            return head + "bridge unreachable: " + error.message;
        case Fault::connection_lost:
            return head + "connection to the bridge lost: " + error.message;
        case Fault::refused:
            return head + "the bridge refused the connection: " + error.message;
        case Fault::timeout:
            return head + "timed out: " + error.message;
        case Fault::protocol:
            if (error.status != 0)
                return head + "the agent refused the call: " + status_name(error.status) +
                       " (status " + std::to_string(error.status) + ")";
            return head + "protocol error: " + error.message;
        case Fault::api:
            return head + "the pad library raised exception " + std::to_string(error.handle) +
                   ": " + error.message;
    }
    return head + error.message;
}

std::string narrow(const std::u16string &text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t unit : text)
        out.push_back(unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?');
    return out;
}

}  // namespace inkclient
