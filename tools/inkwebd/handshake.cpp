#include "handshake.h"

#include <algorithm>
#include <cctype>

namespace inkwebd {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The names a browser uses for this gateway, as "host:port".
std::vector<std::string> own_hosts(const Listener &l) {
    const std::string p = ":" + std::to_string(l.port);
    std::vector<std::string> hosts = {"127.0.0.1" + p, "localhost" + p, "[::1]" + p};
    // A gateway told to listen on another loopback address is reached by it.
    const std::string given = lower(l.hostname);
    hosts.push_back((given.find(':') != std::string::npos ? "[" + given + "]" : given) + p);
    return hosts;
}

std::string trim(const std::string &text) {
    const size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return text.substr(b, text.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool host_allowed(const Listener &l, const std::string &host) {
    const std::vector<std::string> hosts = own_hosts(l);
    return std::find(hosts.begin(), hosts.end(), lower(host)) != hosts.end();
}

Verdict check_upgrade(const Listener &l, const std::string &host,
                      const std::optional<std::string> &origin, const std::string &protocols) {
    if (!host_allowed(l, host))
        return {403, "Host \"" + host + "\" is not this gateway"};
    if (!origin || *origin == "null")
        return {403, "a page without an origin may not use the pads"};
    bool allowed =
        std::find(l.allow_origins.begin(), l.allow_origins.end(), *origin) != l.allow_origins.end();
    for (const std::string &h : own_hosts(l))
        allowed = allowed || *origin == "http://" + h;
    if (!allowed)
        return {403, "origin " + *origin + " is not allowed"};
    size_t at = 0;
    for (;;) {
        const size_t comma = protocols.find(',', at);
        if (trim(protocols.substr(at, comma - at)) == kSubprotocol)
            return {};
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return {400, std::string("the subprotocol ") + kSubprotocol + " was not offered"};
}

}  // namespace inkwebd
