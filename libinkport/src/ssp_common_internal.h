// The shape every SSP command shares, for the units of the command module:
// look up the component (and the mode), send the request, receive the reply
// and check its header. Failures are reported under the command's own name.
#pragma once

#include <cstdint>

#include "ssp_common.h"

constexpr unsigned int kSspReplyBufferSize = 1024;
constexpr unsigned int kSspReplyTimeoutMs = 1000;
// Any source but 1 reads the command queue.
constexpr unsigned int kSspCommandSource = 0;

constexpr const char *kNullDevice = "Wrong device pointers, current_device is NULL...";
constexpr const char *kNotSupported =
    "Getting SSP Component ID is not supported for current Device";

// An error record under the caller's file, line and function.
void ssp_site_error(ApiSite site, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// How a command reports a reply that did not come.
enum class MissingReply {
    error,             // "Error, receive_ssp_message_and_get_data() return NULL"
    error_function,    // "Error, function receive_ssp_message_and_get_data() return NULL"
    warning,           // a warning trace; an old message also shows its first bytes
    error_then_pause,  // the error, then a pause of 1 ms
};

// One received reply, freed with the object.
class SspReply {
  public:
    SspReply() = default;
    ~SspReply();
    SspReply(const SspReply &) = delete;
    SspReply &operator=(const SspReply &) = delete;

    // Receives in command mode into a zeroed buffer: the exchange's result.
    int receive(ql_device *device, unsigned int time_out);
    // Takes over a buffer from receive_ssp_message_and_get_data.
    void adopt(uint8_t *message, unsigned int received);

    const uint8_t *message() const { return message_; }
    const uint8_t *payload() const { return message_ + SSP_REPLY_HEADER_SIZE; }
    // Payload bytes the reply holds: its data length, cut to what arrived.
    unsigned int payload_size() const;
    // True when the payload holds `need` bytes; otherwise reports the short
    // reply under the caller's name.
    bool holds(ApiSite site, unsigned int need) const;

  private:
    static constexpr unsigned int SSP_REPLY_HEADER_SIZE = 3;
    uint8_t *message_ = nullptr;
    unsigned int received_ = 0;
};

// A request to a component: a component data sequence without data.
struct SspCommand {
    unsigned int component_type = SSP_CT_SIGNPAD;
    // Mode commands run on pads of type 15, 16, 17 only, and carry the mode
    // id of `mode` as their first parameter.
    bool mode_command = false;
    unsigned int mode = 0;
    uint8_t message_id = 0;
    uint8_t parameter_1 = 0;
    uint8_t parameter_2 = 0;
    bool expects_reply = true;
    MissingReply missing = MissingReply::error;
};

// Sleeps at least `us` microseconds; a signal does not cut the pause short.
void ssp_pause_us(long us);

// The component id of a type, or its negative result, reported.
int ssp_component_id(ApiSite site, ql_device *device, unsigned int component_type);

// Receives the reply of component `component_id` and checks its header: a
// base message from that component with a positive data length. 0, or -1.
int ssp_reply_prelude(ApiSite site, ql_device *device, uint8_t component_id, SspReply &reply,
                      MissingReply missing);

// Null-device and pad-type checks, component and mode lookup, request, and
// reply prelude. 0 with the reply held (and the mode id used, for mode
// commands), or the command's negative result.
int ssp_run_command(ApiSite site, ql_device *device, const SspCommand &cmd, SspReply &reply,
                    uint8_t *mode_id = nullptr);
