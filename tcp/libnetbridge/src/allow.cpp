// Who may connect: the networks of set_allow, checked as each client is
// accepted, and whether a connected client keeps its place (set_exclusive).
#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "netbridge_internal.h"
#include "wrappers.h"

namespace {

struct Network {
    int family;  // AF_INET or AF_INET6
    uint8_t address[16];
    int prefix;  // leading bits that must match
};

// Written by the host's thread, read by the accepting thread.
std::mutex networks_lock;
std::vector<Network> networks;
std::atomic<bool> exclusive{false};

// "/n" with n from 0 to max, digits only; *prefix = max without it.
bool parse_prefix(const char *text, int max, int *prefix) {
    if (text == nullptr) {
        *prefix = max;
        return true;
    }
    if (*text == '\0' || strlen(text) > 3 || strspn(text, "0123456789") != strlen(text))
        return false;
    *prefix = atoi(text);
    return *prefix <= max;
}

// The bits of ::ffff:0:0/96 in front of a mapped IPv4 address.
constexpr int kMappedPrefix = 96;

bool parse_network(const char *text, Network *out) {
    char address[INET6_ADDRSTRLEN + 8];
    if (text == nullptr || strlen(text) >= sizeof address)
        return false;
    strcpy(address, text);
    char *slash = strchr(address, '/');
    if (slash != nullptr)
        *slash = '\0';
    const char *prefix = slash != nullptr ? slash + 1 : nullptr;
    memset(out, 0, sizeof *out);
    if (inet_pton(AF_INET, address, out->address) == 1)
        out->family = AF_INET;
    else if (inet_pton(AF_INET6, address, out->address) == 1)
        out->family = AF_INET6;
    else
        return false;
    if (!parse_prefix(prefix, out->family == AF_INET ? 32 : 128, &out->prefix))
        return false;
    // An IPv4 network written in its mapped form is that IPv4 network: the
    // peers are compared as IPv4.
    in6_addr v6;
    memcpy(&v6, out->address, sizeof v6);
    if (out->family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6) && out->prefix >= kMappedPrefix) {
        out->family = AF_INET;
        memmove(out->address, out->address + 12, 4);
        memset(out->address + 4, 0, 12);
        out->prefix -= kMappedPrefix;
    }
    return true;
}

bool prefix_matches(const uint8_t *a, const uint8_t *b, int bits) {
    const int bytes = bits / 8;
    if (memcmp(a, b, static_cast<size_t>(bytes)) != 0)
        return false;
    if (bits % 8 == 0)
        return true;
    const auto mask = static_cast<uint8_t>(0xFF << (8 - bits % 8));
    return ((a[bytes] ^ b[bytes]) & mask) == 0;
}

// The peer's family and address bytes; an IPv4 peer mapped into IPv6
// counts as IPv4.
bool peer_address(const struct sockaddr *peer, socklen_t length, int *family, uint8_t *bytes) {
    if (peer->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        *family = AF_INET;
        memcpy(bytes, reinterpret_cast<const char *>(peer) + offsetof(sockaddr_in, sin_addr), 4);
        return true;
    }
    if (peer->sa_family != AF_INET6 || length < sizeof(sockaddr_in6))
        return false;
    in6_addr v6;
    memcpy(&v6, reinterpret_cast<const char *>(peer) + offsetof(sockaddr_in6, sin6_addr),
           sizeof v6);
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        *family = AF_INET;
        memcpy(bytes, v6.s6_addr + 12, 4);
    } else {
        *family = AF_INET6;
        memcpy(bytes, v6.s6_addr, 16);
    }
    return true;
}

}  // namespace

bool peer_allowed(const struct sockaddr *peer, socklen_t length) {
    std::lock_guard<std::mutex> guard(networks_lock);
    if (networks.empty())
        return true;
    int family = 0;
    uint8_t bytes[16] = {};
    if (!peer_address(peer, length, &family, bytes))
        return false;
    // An IPv6 network wider than the mapped block (::/0, ::/8) holds the
    // IPv4 peers too, in their mapped form.
    uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    memcpy(mapped + 12, bytes, 4);
    for (const Network &n : networks) {
        if (n.family == family && prefix_matches(n.address, bytes, n.prefix))
            return true;
        if (family == AF_INET && n.family == AF_INET6 &&
            prefix_matches(n.address, mapped, n.prefix))
            return true;
    }
    return false;
}

bool exclusive_clients() {
    return exclusive.load();
}

extern "C" {

int set_allow(const char *network) {
    TRACE_SCOPE();
    std::lock_guard<std::mutex> guard(networks_lock);
    if (network == nullptr) {
        networks.clear();
        return 0;
    }
    Network parsed;
    if (!parse_network(network, &parsed)) {
        TRACE_ERROR("not a network: \"%s\"", network);
        return -1;
    }
    networks.push_back(parsed);
    return 0;
}

void set_exclusive(bool on) {
    TRACE_SCOPE();
    exclusive = on;
}

}  // extern "C"
