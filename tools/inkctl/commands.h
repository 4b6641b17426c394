// inkctl's commands on any pad stack, local or remote. Each prints to `out`
// what the user asked for and to `err` what went wrong, and returns the
// program's exit status. The same stack state gives the same output either way.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>

#include "pad_stack.h"
#include "ssp_requests.h"

namespace inkctl {

enum ExitStatus {
    kExitOk = 0,
    kExitUsage = 1,
    kExitBridge = 2,  // the bridge: unreachable, connection lost, no answer, protocol
    kExitPad = 3,     // the pad or the pad library: missing pad, exception, refusal
};

struct Output {
    FILE *out = stdout;
    FILE *err = stderr;
    bool live_count = false;  // a running count on `err` during capture
};

struct CaptureOptions {
    double seconds = 5.0;
    unsigned max_reports = 0;  // 0: no limit
    unsigned end_point = 0;
};

struct WatchOptions {
    double seconds = 0;                           // 0: until *stop is set
    const volatile sig_atomic_t *stop = nullptr;  // set by a signal handler
};

// Prints "inkctl: <what went wrong>" and returns the status for the fault.
int report_error(const inkclient::Error &error, Output &o);

int cmd_list(inkclient::PadStack &stack, Output &o);
int cmd_info(inkclient::PadStack &stack, unsigned device, Output &o);
int cmd_ssp(inkclient::PadStack &stack, unsigned device, const Bytes &message, Output &o);
int cmd_capture(inkclient::PadStack &stack, unsigned device, const CaptureOptions &options,
                Output &o);
int cmd_set_var(inkclient::PadStack &stack, unsigned device, const std::string &name,
                const std::string &value, Output &o);

// What set-var does, without the printing, for programs that report it their
// own way. `error` is set when a call failed; `refusal` when the pad answered
// but the variable was not set ("has no configuration handler", "refused
// NAME: why", ...); otherwise `state` is the handler's state afterwards.
struct SetVarOutcome {
    inkclient::Error error;
    std::string refusal;
    int32_t state = -1;
};
SetVarOutcome set_variable(inkclient::PadStack &stack, unsigned device, const std::string &name,
                           const std::string &value);
// One line per pad that comes or goes: "arrived pad N VID:PID serial S",
// "removed pad N".
int cmd_watch(inkclient::PadStack &stack, const WatchOptions &options, Output &o);

// "00 0a ff" style, lower case.
std::string hex(const Bytes &bytes, const char *separator = " ");
// Hex digits with optional blanks, ':' or '-' between bytes; false when odd or empty.
bool parse_hex(const std::string &text, Bytes &bytes);

}  // namespace inkctl
