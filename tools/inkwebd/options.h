// inkwebd's command line: what to serve, where, and to whom.
#pragma once

#include <string>
#include <vector>

namespace inkwebd {

struct Options {
    std::string hostname = "127.0.0.1";
    unsigned port = 38100;                   // 0: any free port (the line on stdout names it)
    std::vector<std::string> allow_origins;  // exact scheme://host[:port]
    std::string connect;                     // HOST:PORT of a bridge; empty: the local pads
    bool help = false;
    bool version = false;
};

// Parses argv; false with a one-line reason in `why` for anything the user
// must correct (unknown option, missing value, an address off loopback).
bool parse_options(int argc, const char *const *argv, Options &options, std::string &why);

// True for 127.0.0.0/8, ::1 and "localhost": the only places a gateway that
// drives the user's pads may listen.
bool is_loopback_name(const std::string &hostname);

// "scheme://host[:port]" with scheme http or https, lower case, no path.
bool is_origin(const std::string &text);

// HOST:PORT, with [v6-address]:PORT accepted too.
bool split_host_port(const std::string &address, std::string &host, std::string &port);

extern const char kUsage[];

}  // namespace inkwebd
