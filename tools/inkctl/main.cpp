// inkctl: drives signature pads through the pad library of this machine, or
// through a bridge (--connect HOST:PORT) and the agent behind it.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"

namespace {

const char kUsage[] =
    "Usage: inkctl [--connect HOST:PORT] COMMAND [ARGS...]\n"
    "\n"
    "Drives signature pads with the pad library of this machine or, with\n"
    "--connect, through a bridge (netbridged) and its agent.\n"
    "\n"
    "Commands:\n"
    "  list                          the pads found, one line each\n"
    "  info N                        what the library knows of pad N\n"
    "  ssp N HEXBYTES                send one SSP message to pad N, print its reply in hex\n"
    "  capture N [--seconds S] [--count C]\n"
    "                                print pad N's pen reports as they arrive, for S seconds\n"
    "                                (default 5) or until C reports; then the count\n"
    "  set-var N NAME VALUE          set a configuration variable of pad N\n"
    "  watch [--seconds S]           print a line for each pad that arrives or leaves,\n"
    "                                for S seconds or until interrupted\n"
    "\n"
    "Options:\n"
    "  -c, --connect HOST:PORT       use the pads behind the bridge at HOST:PORT\n"
    "  -v, --version                 the version of inkctl and of this tree\n"
    "  -h, --help                    this text\n"
    "\n"
    "Exit status: 0 ok, 1 usage, 2 bridge or connection problem, 3 pad or library error.\n"
    "\n"
    "Examples:\n"
    "  inkctl list\n"
    "  inkctl --connect 127.0.0.1:8888 capture 1 --seconds 3\n"
    "  inkctl ssp 1 00000010\n"
    "  inkctl watch --seconds 30\n";

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

int usage_error(const char *what) {
    fprintf(stderr, "inkctl: %s\n\n%s", what, kUsage);
    return inkctl::kExitUsage;
}

bool parse_number(const char *text, unsigned long max, unsigned &out) {
    char *end = nullptr;
    errno = 0;
    const unsigned long v = strtoul(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || v > max || text[0] == '-')
        return false;
    out = static_cast<unsigned>(v);
    return true;
}

bool parse_seconds(const char *text, double &out) {
    char *end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (*text == '\0' || *end != '\0' || errno != 0 || !(v > 0) || v > 86400)
        return false;
    out = v;
    return true;
}

// HOST:PORT, with [v6-address]:PORT accepted too.
bool split_host_port(const std::string &address, std::string &host, std::string &port) {
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size())
        return false;
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    // Options.
    std::string connect;
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; ++at) {
        const std::string arg = argv[at];
        if (arg == "-h" || arg == "--help") {
            fputs(kUsage, stdout);
            return inkctl::kExitOk;
        }
        if (arg == "-v" || arg == "--version") {
            printf("inkctl %s\n", INKPORT_VERSION_STRING);
            return inkctl::kExitOk;
        }
        if ((arg == "-c" || arg == "--connect") && at + 1 < argc) {
            connect = argv[++at];
        } else if (arg.rfind("--connect=", 0) == 0) {
            connect = arg.substr(strlen("--connect="));
        } else {
            return usage_error(("unknown option " + arg).c_str());
        }
    }
    if (at >= argc)
        return usage_error("no command");
    const std::string command = argv[at++];
    const int left = argc - at;
    char **args = argv + at;

    unsigned device = 0;
    inkctl::Bytes message;
    inkctl::CaptureOptions capture;
    inkctl::WatchOptions watch;
    if (command == "list") {
        if (left != 0)
            return usage_error("list takes no arguments");
    } else if (command == "watch") {
        if (left != 0 && !(left == 2 && strcmp(args[0], "--seconds") == 0 &&
                           parse_seconds(args[1], watch.seconds)))
            return usage_error("watch takes only --seconds S (a positive number)");
        watch.stop = &g_stop;
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    } else if (command == "info" || command == "ssp" || command == "capture" ||
               command == "set-var") {
        if (left < 1 || !parse_number(args[0], 15, device))
            return usage_error((command + " needs a pad number (1..15)").c_str());
        if (command == "info" && left != 1)
            return usage_error("info takes one pad number");
        if (command == "ssp" && (left != 2 || !inkctl::parse_hex(args[1], message)))
            return usage_error("ssp needs a pad number and the message as hex bytes");
        if (command == "set-var" && left != 3)
            return usage_error("set-var needs a pad number, a name and a value");
        if (command == "capture") {
            for (int i = 1; i < left; ++i) {
                const std::string option = args[i];
                if (option == "--seconds" && i + 1 < left) {
                    if (!parse_seconds(args[++i], capture.seconds))
                        return usage_error("--seconds needs a positive number");
                } else if (option == "--count" && i + 1 < left) {
                    if (!parse_number(args[++i], 1000000000, capture.max_reports))
                        return usage_error("--count needs a number");
                } else {
                    return usage_error(("capture: unknown argument " + option).c_str());
                }
            }
        }
    } else {
        return usage_error(("unknown command " + command).c_str());
    }

    // Set-up.
    inkctl::Output out;
    out.live_count = isatty(STDERR_FILENO) == 1;
    std::unique_ptr<inkclient::PadStack> stack;
    if (connect.empty()) {
        stack = inkclient::make_local_stack();
    } else {
        std::string host, port;
        if (!split_host_port(connect, host, port))
            return usage_error("--connect needs HOST:PORT");
        inkclient::Error e = inkclient::connect_remote(host, port, {}, stack);
        if (!e.ok()) {
            fprintf(stderr, "inkctl: cannot reach the bridge at %s: %s\n", connect.c_str(),
                    e.message.c_str());
            return inkctl::kExitBridge;
        }
    }
    if (inkclient::Error e = stack->initialize(); !e.ok())
        return inkctl::report_error(e, out);

    // Run.
    int status = inkctl::kExitOk;
    if (command == "list")
        status = inkctl::cmd_list(*stack, out);
    else if (command == "info")
        status = inkctl::cmd_info(*stack, device, out);
    else if (command == "ssp")
        status = inkctl::cmd_ssp(*stack, device, message, out);
    else if (command == "capture")
        status = inkctl::cmd_capture(*stack, device, capture, out);
    else if (command == "watch")
        status = inkctl::cmd_watch(*stack, watch, out);
    else
        status = inkctl::cmd_set_var(*stack, device, args[1], args[2], out);

    // Shut down: a lost connection has nothing left to close.
    if (status != inkctl::kExitBridge)
        stack->deinitialize();
    stack.reset();
    return status;
}
