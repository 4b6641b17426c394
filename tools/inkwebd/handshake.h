// Who may open the socket. A service on loopback is reachable from every web
// page the user opens, so the browser's own headers decide: Host must name
// this gateway (a page whose name was rebound to 127.0.0.1 sends its own
// name), Origin must be the gateway's own page or exactly an allowed one,
// and the page must speak our subprotocol. Pure checks on header values.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace inkwebd {

constexpr const char *kSubprotocol = "inkport.v1";

struct Listener {
    std::string hostname;  // as given with --hostname
    unsigned port = 0;     // the port that accepts
    std::vector<std::string> allow_origins;
};

struct Verdict {
    int status = 0;      // 0: accepted; else the HTTP status of the refusal
    std::string reason;  // for the refusal's body and the log
};

// Host for every request on the port.
bool host_allowed(const Listener &l, const std::string &host);

// The upgrade request to /pads: Host (403), Origin (403, also when missing
// or "null"), the offered subprotocols, one or more comma-separated header
// values (400 without inkport.v1).
Verdict check_upgrade(const Listener &l, const std::string &host,
                      const std::optional<std::string> &origin, const std::string &protocols);

}  // namespace inkwebd
