#include "options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace inkwebd {

const char kUsage[] =
    "Usage: inkwebd [OPTIONS]\n"
    "\n"
    "Lets signing pages in a browser on this machine reach the signature pads:\n"
    "serves a WebSocket at ws://HOST:PORT/pads (subprotocol inkport.v1) and a\n"
    "built-in page at http://HOST:PORT/.\n"
    "\n"
    "Options:\n"
    "  -n, --hostname HOST        address to listen on (default 127.0.0.1); loopback\n"
    "                             only: 127.0.0.0/8, ::1 or localhost\n"
    "  -p, --port PORT            port to listen on (default 38100)\n"
    "      --allow-origin ORIGIN  also accept pages from ORIGIN, exactly\n"
    "                             scheme://host[:port]; may be repeated\n"
    "      --connect HOST:PORT    use the pads behind the bridge (netbridged) at\n"
    "                             HOST:PORT instead of opening them here\n"
    "  -v, --version              print the version and exit\n"
    "  -h, --help                 this text\n"
    "\n"
    "Exit status: 0 ok (also after SIGINT or SIGTERM), 1 usage or start-up problem.\n";

bool is_loopback_name(const std::string &hostname) {
    if (hostname == "localhost")
        return true;
    in_addr v4{};
    if (inet_pton(AF_INET, hostname.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, hostname.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

bool is_origin(const std::string &text) {
    size_t host_at = 0;
    if (text.rfind("http://", 0) == 0)
        host_at = 7;
    else if (text.rfind("https://", 0) == 0)
        host_at = 8;
    else
        return false;
    const std::string rest = text.substr(host_at);
    if (rest.empty() || rest.find_first_of("/?#@ ") != std::string::npos)
        return false;
    for (char c : rest)
        if (c >= 'A' && c <= 'Z')
            return false;  // browsers send origins in lower case
    return true;
}

bool split_host_port(const std::string &address, std::string &host, std::string &port) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size())
        return false;
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return true;
}

bool parse_options(int argc, const char *const *argv, Options &options, std::string &why) {
    for (int at = 1; at < argc; ++at) {
        std::string arg = argv[at];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            has_value = true;
        }
        const auto take_value = [&]() {
            if (has_value)
                return true;
            if (at + 1 >= argc) {
                why = arg + " needs a value";
                return false;
            }
            value = argv[++at];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "-v" || arg == "--version") {
            options.version = true;
        } else if (arg == "-n" || arg == "--hostname") {
            if (!take_value())
                return false;
            if (!is_loopback_name(value)) {
                why = "refusing to listen on " + value +
                      ": the gateway listens on loopback only (127.0.0.0/8, ::1, localhost)";
                return false;
            }
            options.hostname = value;
        } else if (arg == "-p" || arg == "--port") {
            if (!take_value())
                return false;
            char *end = nullptr;
            errno = 0;
            const unsigned long port = strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || port > 65535 || value[0] == '-') {
                why = "--port needs a number from 0 to 65535";
                return false;
            }
            options.port = static_cast<unsigned>(port);
        } else if (arg == "--allow-origin") {
            if (!take_value())
                return false;
            if (!is_origin(value)) {
                why =
                    "--allow-origin needs scheme://host[:port] (http or https, lower case), not " +
                    value;
                return false;
            }
            options.allow_origins.push_back(value);
        } else if (arg == "--connect" || arg == "-c") {
            if (!take_value())
                return false;
            std::string host, port;
            if (!split_host_port(value, host, port)) {
                why = "--connect needs HOST:PORT";
                return false;
            }
            options.connect = value;
        } else {
            why = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

}  // namespace inkwebd
