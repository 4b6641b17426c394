// The agent's package codec: the shape of every remote call, the decoder of
// inbound call packages and the writers of result and event packages. No
// I/O and no pad library here, so it can be unit-tested and fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include <inkagent/protocol.h>

namespace inkagent {

enum class Arg : uint8_t {
    None,
    U32,            // a plain 32-bit argument
    Bytes,          // u32 count + bytes (one per call at most)
    Text,           // u32 unit count + 16-bit units (one per call at most)
    TextCapacity,   // capacity of a text output, in units
    BytesCapacity,  // capacity of a byte output
    TimeOut,        // milliseconds
};

constexpr int kMaxArgs = 4;

struct FunctionShape {
    uint8_t id;
    const char *name;
    Arg args[kMaxArgs];
};

// The shape of a function id, or null for an unknown or reserved one.
const FunctionShape *find_function(uint32_t id);

constexpr uint32_t kMaxTimeOut = INKAGENT_MAX_TIME_OUT;

struct DecodedCall {
    uint32_t message_id = 0;
    const FunctionShape *shape = nullptr;
    // U32, capacity and time-out arguments in the order they came.
    uint32_t values[kMaxArgs] = {};
    int value_count = 0;
    // The Bytes argument, or the Text argument's units (little-endian pairs).
    const uint8_t *data = nullptr;
    uint32_t data_count = 0;  // bytes, or units for text
};

// Decodes a whole call package of `size` bytes. Returns INKAGENT_STATUS_OK
// with *call filled, or the status of the error result to send. The message
// id is filled whenever the package is long enough to hold it (bytes that
// are missing count as 0).
uint32_t decode_call(const uint8_t *package, size_t size, DecodedCall *call);

// Builds one result package in a fixed buffer of the outbound limit. Outputs
// that would overrun it mark the writer overflowed; the package then becomes
// a "too large" error result.
class ResultWriter {
  public:
    explicit ResultWriter(uint32_t message_id);

    void u32(uint32_t value);
    void bytes(const uint8_t *data, uint32_t count);
    // count 16-bit units of text.
    void text(const uint16_t *units, uint32_t count);

    // Completes the package as status OK with result and the outputs, or as
    // status "too large" if an output did not fit. Returns its size.
    size_t finish(uint32_t result);
    // Completes the package as an error result (no outputs).
    size_t fail(uint32_t status);

    bool overflowed() const { return overflow_; }
    const uint8_t *data() const { return buffer_; }

  private:
    bool room(size_t n);
    size_t seal(uint32_t status, uint32_t result, size_t end);

    uint8_t buffer_[INKAGENT_MAX_OUTBOUND];
    uint32_t message_id_;
    size_t end_;
    bool overflow_ = false;
};

// Event packages, written into out (at least INKAGENT_DATA_EVENT_SIZE bytes
// for data, INKAGENT_HEADER_SIZE + 4 for removal,
// INKAGENT_ARRIVED_EVENT_MAX_SIZE for arrival) with sequence 0; the sender
// fills in the message id. Return the package size; a report longer than
// INKAGENT_REPORT_SIZE, a serial number longer than INKAGENT_SERIAL_UNITS
// is cut to it.
size_t encode_data_event(uint8_t *out, uint32_t device, uint32_t end_point, const uint8_t *report,
                         uint32_t length);
size_t encode_removed_event(uint8_t *out, uint32_t device);
size_t encode_arrived_event(uint8_t *out, uint32_t device, uint32_t vendor_id, uint32_t product_id,
                            const uint16_t *serial, uint32_t units);

}  // namespace inkagent
