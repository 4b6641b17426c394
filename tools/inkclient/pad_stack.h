// One interface for "a pad stack": the pad library in this process, or the
// same library behind a TCP bridge and its agent. inkctl and its tests talk
// only to this interface, so a command behaves the same either way.
//
// Threads: a PadStack is used from one thread; only wake() may be called
// from another. Events (pen reports, a pad coming or going away) are queued
// as they arrive and handed out only by poll_events(), on the caller's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace inkclient {

using Bytes = std::vector<uint8_t>;

// What went wrong, in the order a user would look for the cause.
enum class Fault {
    none,
    unreachable,      // the bridge could not be reached: refused, unknown host
    connection_lost,  // the bridge closed the connection or a read/write failed
    refused,          // the bridge said it does not serve this client, and closed
    timeout,          // no answer within the deadline
    protocol,         // the agent refused the call (status != 0) or sent bytes that make no sense
    api,              // the pad library raised an exception
};

struct Error {
    Fault fault = Fault::none;
    std::string function;  // the API function of the call, when there was one
    uint32_t status = 0;   // protocol: the agent's status code (0 for a malformed answer)
    uint32_t handle = 0;   // api: the exception handle
    std::string message;   // api: the exception's message; otherwise the detail

    bool ok() const { return fault == Fault::none; }
};

// One line for a user: "GetSerialNumber: the pad library raised exception 3:
// <message>", "GetSerialNumber: the agent refused the call: unknown function
// (status 2)", ...
std::string describe(const Error &error);
// "malformed", "unknown function", "output too large", "refused"; "status N" otherwise.
std::string status_name(uint32_t status);

struct Event {
    enum class Kind {
        data,     // one input report
        removed,  // the pad library found the pad gone
        arrived,  // a pad was plugged in and numbered
        gap,      // events were lost between the previous one and the next
    };
    Kind kind = Kind::data;
    uint32_t device = 0;
    uint32_t end_point = 0;
    Bytes report;       // data: the 64 bytes the library delivered
    uint32_t lost = 0;  // gap: how many events are missing
    // arrived: the pad's ids (product id of end point 0) and serial number
    uint32_t vendor_id = 0;
    uint32_t product_id = 0;
    std::u16string serial;
};

using EventHandler = std::function<void(const Event &)>;

class PadStack {
  public:
    virtual ~PadStack() = default;

    virtual Error initialize() = 0;
    virtual Error deinitialize() = 0;

    virtual Error device_count(unsigned &count) = 0;
    virtual Error enumerate_start(unsigned &device) = 0;
    virtual Error enumerate_next(unsigned &device) = 0;

    // Texts hold the units before the terminator, at most 256.
    virtual Error serial_number(unsigned device, std::u16string &text) = 0;
    virtual Error product_name(unsigned device, unsigned end_point, std::u16string &text) = 0;
    virtual Error vendor_name(unsigned device, std::u16string &text) = 0;
    virtual Error product_id(unsigned device, unsigned end_point, unsigned &id) = 0;
    virtual Error vendor_id(unsigned device, unsigned &id) = 0;
    virtual Error end_point_count(unsigned device, unsigned &count) = 0;
    virtual Error feature_report_size(unsigned device, unsigned end_point, unsigned &size) = 0;

    // One whole SSP message out; the pad's next reply in (at most capacity
    // bytes, waiting up to time_out_ms per read).
    virtual Error send_ssp(unsigned device, unsigned interface, const Bytes &message) = 0;
    virtual Error receive_ssp(unsigned device, unsigned interface, unsigned capacity,
                              unsigned time_out_ms, Bytes &reply) = 0;

    // Starts or stops the input reports of an end point; they arrive as events.
    virtual Error set_receiving(unsigned device, unsigned end_point, bool enabled) = 0;

    // Asks for an event for every pad that arrives from now on (removals
    // come anyway). The agent behind a bridge announces arrivals always.
    virtual Error watch_arrivals() = 0;

    // Waits up to `wait` for an event and hands every event queued by then to
    // `handler`, in order of arrival. Returns the fault that ends the stream
    // (a lost connection), or ok, also when nothing arrived.
    virtual Error poll_events(std::chrono::milliseconds wait, const EventHandler &handler) = 0;

    // Ends the wait of the poll_events running now, or of the next one, as
    // an event would: a program that waits for events and for work of its
    // own can wait long and still start that work at once. Any thread.
    virtual void wake() = 0;
};

// The pad library linked into this process.
std::unique_ptr<PadStack> make_local_stack();

struct RemoteOptions {
    std::chrono::milliseconds connect_timeout{5000};
    // Every call waits this long for its result (ReceiveSspMessage adds its own time-out).
    std::chrono::milliseconds call_timeout{10000};
};

// Connects to a bridge. On failure `stack` stays empty and the error says why
// (Fault::unreachable, with the system's reason).
Error connect_remote(const std::string &host, const std::string &port, const RemoteOptions &options,
                     std::unique_ptr<PadStack> &stack);

// 16-bit text to 8-bit for printing: units above 0x7E or below 0x20 become '?'.
std::string narrow(const std::u16string &text);

}  // namespace inkclient
