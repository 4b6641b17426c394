#include "commands.h"

#include <chrono>
#include <thread>

namespace inkctl {
namespace {

using inkclient::Error;
using inkclient::Event;
using inkclient::Fault;
using inkclient::PadStack;
using Clock = std::chrono::steady_clock;

constexpr unsigned kSspCapacity = 1024;
constexpr unsigned kSspTimeoutMs = 1000;
constexpr long kHandlerWaitMs = 10000;
constexpr long kHandlerFirstPauseUs = 200;
constexpr long kHandlerPauseCapUs = 500000;

std::string pads_found(unsigned count) {
    return std::to_string(count) + (count == 1 ? " pad found" : " pads found");
}

// Status when pad `device` is missing, else -1.
int require_pad(PadStack &stack, unsigned device, Output &o) {
    unsigned count = 0;
    Error e = stack.device_count(count);
    if (!e.ok())
        return report_error(e, o);
    if (device < 1 || device > count) {
        fprintf(o.err, "inkctl: no pad %u: %s\n", device, pads_found(count).c_str());
        return kExitPad;
    }
    return -1;
}

// One SSP exchange: the request out, the pad's reply in.
Error exchange(PadStack &stack, unsigned device, const Bytes &request, Bytes &reply) {
    Error e = stack.send_ssp(device, 0, request);
    if (!e.ok())
        return e;
    return stack.receive_ssp(device, 0, kSspCapacity, kSspTimeoutMs, reply);
}

// The configuration handler's state, polled until it is not busy or the
// wait is over, pausing longer each time as the library does. The pauses
// pace the pad; they do not wait for a thread.
Error wait_for_handler(PadStack &stack, unsigned device, uint8_t component, int32_t &state) {
    const Clock::time_point start = Clock::now();
    long pause_us = kHandlerFirstPauseUs;
    state = -1;
    while (Clock::now() - start < std::chrono::milliseconds(kHandlerWaitMs)) {
        Bytes reply;
        Error e = exchange(stack, device, conf_state_request(component), reply);
        if (!e.ok())
            return e;
        std::string why;
        if (!parse_conf_state(reply, component, state, why)) {
            state = -1;
            continue;
        }
        if (state != kHandlerWaiting && state != kHandlerRunning)
            return {};
        pause_us = pause_us < kHandlerPauseCapUs ? pause_us * 3 : kHandlerPauseCapUs;
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
    }
    return {};
}

void print_text_field(Output &o, const char *label, const std::u16string &text) {
    fprintf(o.out, "  %-20s %s\n", label, inkclient::narrow(text).c_str());
}

}  // namespace

std::string hex(const Bytes &bytes, const char *separator) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            text += separator;
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool parse_hex(const std::string &text, Bytes &bytes) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-')
            continue;
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

int report_error(const Error &error, Output &o) {
    fprintf(o.err, "inkctl: %s\n", inkclient::describe(error).c_str());
    return error.fault == Fault::api ? kExitPad : kExitBridge;
}

int cmd_list(PadStack &stack, Output &o) {
    unsigned count = 0;
    Error e = stack.device_count(count);
    if (!e.ok())
        return report_error(e, o);
    fprintf(o.out, "%s\n", pads_found(count).c_str());
    unsigned device = 0;
    for (e = stack.enumerate_start(device); e.ok() && device != 0;
         e = stack.enumerate_next(device)) {
        std::u16string serial;
        std::u16string product;
        unsigned vid = 0;
        unsigned pid = 0;
        if (!(e = stack.serial_number(device, serial)).ok() ||
            !(e = stack.product_name(device, 0, product)).ok() ||
            !(e = stack.vendor_id(device, vid)).ok() ||
            !(e = stack.product_id(device, 0, pid)).ok())
            break;
        fprintf(o.out, "pad %u  %04x:%04x  serial %s  %s\n", device, vid, pid,
                inkclient::narrow(serial).c_str(), inkclient::narrow(product).c_str());
    }
    return e.ok() ? kExitOk : report_error(e, o);
}

int cmd_info(PadStack &stack, unsigned device, Output &o) {
    if (int status = require_pad(stack, device, o); status >= 0)
        return status;
    std::u16string serial, product, vendor;
    unsigned vid = 0, pid = 0, interfaces = 0, feature = 0;
    Error e;
    if (!(e = stack.serial_number(device, serial)).ok() ||
        !(e = stack.product_name(device, 0, product)).ok() ||
        !(e = stack.vendor_name(device, vendor)).ok() || !(e = stack.vendor_id(device, vid)).ok() ||
        !(e = stack.product_id(device, 0, pid)).ok() ||
        !(e = stack.end_point_count(device, interfaces)).ok() ||
        !(e = stack.feature_report_size(device, 0, feature)).ok())
        return report_error(e, o);
    fprintf(o.out, "pad %u\n", device);
    print_text_field(o, "serial number:", serial);
    print_text_field(o, "product:", product);
    print_text_field(o, "vendor:", vendor);
    fprintf(o.out, "  %-20s %04x\n", "vendor id:", vid);
    fprintf(o.out, "  %-20s %04x\n", "product id:", pid);
    fprintf(o.out, "  %-20s %u\n", "interfaces:", interfaces);
    fprintf(o.out, "  %-20s %u\n", "feature report size:", feature);
    return kExitOk;
}

int cmd_ssp(PadStack &stack, unsigned device, const Bytes &message, Output &o) {
    if (int status = require_pad(stack, device, o); status >= 0)
        return status;
    Bytes reply;
    Error e = exchange(stack, device, message, reply);
    if (!e.ok())
        return report_error(e, o);
    fprintf(o.out, "reply (%zu bytes): %s\n", reply.size(), hex(reply).c_str());
    return kExitOk;
}

int cmd_capture(PadStack &stack, unsigned device, const CaptureOptions &options, Output &o) {
    if (int status = require_pad(stack, device, o); status >= 0)
        return status;
    Error e = stack.set_receiving(device, options.end_point, true);
    if (!e.ok())
        return report_error(e, o);

    unsigned count = 0;
    bool removed = false;
    const auto handle = [&](const Event &event) {
        switch (event.kind) {
            case Event::Kind::data:
                if (removed || event.device != device || event.end_point != options.end_point)
                    return;
                if (options.max_reports != 0 && count >= options.max_reports)
                    return;
                ++count;
                fprintf(o.out, "report %u: %s\n", count, hex(event.report, "").c_str());
                break;
            case Event::Kind::removed:
                if (event.device == device)
                    removed = true;
                break;
            case Event::Kind::arrived:
                break;
            case Event::Kind::gap:
                fprintf(o.err, "inkctl: %u events lost on the way\n", event.lost);
                break;
        }
    };

    const Clock::time_point end =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(options.seconds * 1000));
    Error stream;
    while (!removed && stream.ok() && Clock::now() < end &&
           (options.max_reports == 0 || count < options.max_reports)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        stream = stack.poll_events(std::min(left, std::chrono::milliseconds(200)), handle);
        fflush(o.out);
        if (o.live_count)
            fprintf(o.err, "\r%u reports", count);
    }
    if (o.live_count)
        fprintf(o.err, "\r%*s\r", 24, "");
    if (!stream.ok()) {
        fprintf(o.out, "%u reports captured\n", count);
        return report_error(stream, o);
    }
    if (removed) {
        fprintf(o.out, "%u reports captured\n", count);
        fprintf(o.err, "inkctl: pad %u was removed after %u reports\n", device, count);
        // What the stack started for the pad is stopped; the pad itself is gone.
        stack.set_receiving(device, options.end_point, false);
        return kExitPad;
    }
    e = stack.set_receiving(device, options.end_point, false);
    // Reports that came before the stream stopped still count.
    Error tail = stack.poll_events(std::chrono::milliseconds(0), handle);
    fprintf(o.out, "%u reports captured\n", count);
    if (!e.ok())
        return report_error(e, o);
    return tail.ok() ? kExitOk : report_error(tail, o);
}

SetVarOutcome set_variable(PadStack &stack, unsigned device, const std::string &name,
                           const std::string &value) {
    SetVarOutcome r;
    Bytes reply;
    if (!(r.error = exchange(stack, device, component_list_request(), reply)).ok())
        return r;
    std::vector<uint8_t> types;
    std::string why;
    if (!parse_component_list(reply, types, why)) {
        r.refusal = "gave no component list: " + why;
        return r;
    }
    uint8_t component = 0;
    while (component < types.size() && types[component] != kComponentConfHandler)
        ++component;
    if (component == types.size()) {
        r.refusal = "has no configuration handler";
        return r;
    }

    if (!(r.error = wait_for_handler(stack, device, component, r.state)).ok())
        return r;
    if (!(r.error = exchange(stack, device, variable_set_request(component, name, value), reply))
             .ok())
        return r;
    uint8_t result = 0;
    if (!parse_variable_set(reply, component, result, why)) {
        r.refusal = "refused " + name + ": " + why;
        return r;
    }
    if (!(r.error = wait_for_handler(stack, device, component, r.state)).ok())
        return r;
    if (r.state == kHandlerFailed)
        r.refusal =
            "could not apply " + name + ": configuration handler state " + std::to_string(r.state);
    return r;
}

int cmd_set_var(PadStack &stack, unsigned device, const std::string &name, const std::string &value,
                Output &o) {
    if (int status = require_pad(stack, device, o); status >= 0)
        return status;
    const SetVarOutcome r = set_variable(stack, device, name, value);
    if (!r.error.ok())
        return report_error(r.error, o);
    if (!r.refusal.empty()) {
        fprintf(o.err, "inkctl: pad %u %s\n", device, r.refusal.c_str());
        return kExitPad;
    }
    fprintf(o.out, "pad %u: %s set to \"%s\" (configuration handler state %d)\n", device,
            name.c_str(), value.c_str(), r.state);
    return kExitOk;
}

int cmd_watch(PadStack &stack, const WatchOptions &options, Output &o) {
    if (Error e = stack.watch_arrivals(); !e.ok())
        return report_error(e, o);
    const auto handle = [&](const Event &event) {
        switch (event.kind) {
            case Event::Kind::arrived:
                fprintf(o.out, "arrived pad %u %04x:%04x serial %s\n", event.device,
                        event.vendor_id, event.product_id, inkclient::narrow(event.serial).c_str());
                break;
            case Event::Kind::removed:
                fprintf(o.out, "removed pad %u\n", event.device);
                break;
            case Event::Kind::gap:
                fprintf(o.err, "inkctl: %u events lost on the way\n", event.lost);
                break;
            case Event::Kind::data:
                break;
        }
    };
    const bool timed = options.seconds > 0;
    const Clock::time_point end =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(options.seconds * 1000));
    Error stream;
    while (stream.ok() && !(options.stop && *options.stop) && (!timed || Clock::now() < end)) {
        auto wait = std::chrono::milliseconds(200);
        if (timed)
            wait = std::min(
                wait, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        stream = stack.poll_events(wait, handle);
        fflush(o.out);
    }
    return stream.ok() ? kExitOk : report_error(stream, o);
}

}  // namespace inkctl
