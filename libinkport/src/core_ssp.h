// The SSP message exchange with one pad interface: sending a message as
// transport-token data, and receiving by reading the token stream, cutting it
// into messages and sorting them into the record's two queues (biodata in
// ssp_input_read, everything else in ssp_command_messages).
//
// __send_ssp_message and __receive_ssp_message (declared in core.h) take no
// lock of their own: callers serialise exchanges on a record with its
// device_lock. The two queues are also touched by other threads (clearing on
// enable, flush and stop), so every take, count and clear on them happens
// under the queue's own lock.
#pragma once

#include <cstdint>

#include "core.h"

struct uni_queue;

// One read pass works in a buffer of this size; a message whose unread rest
// no longer fits behind its re-encoded start fails the receive.
constexpr unsigned int kSspReadBufferSize = 4096;

// Where a receive gets its token bytes from, and its sense of time. The
// device exchange reads a HID or VCOM pad through it; tests and the fuzz
// target feed it bytes of their own.
class SspLink {
  public:
    // One read into buffer (room for size bytes). fresh: the first read of a
    // pass, which may ask the pad for data; otherwise a continuation read of
    // a message or token that the previous read cut.
    // Returns the byte count (at least 1) or, below 1, the result a failed
    // fresh read ends the receive with (a failed continuation only ends the
    // pass). Failures are reported by the link.
    virtual int read(uint8_t *buffer, unsigned int size, bool fresh) = 0;
    // The smallest room a read may be given without losing bytes.
    virtual unsigned int read_size() const = 0;
    // Milliseconds since the receive began.
    virtual double elapsed_ms() const = 0;
    // Called after a read in which no message started.
    virtual void pause_after_noise() = 0;

  protected:
    ~SspLink() = default;
};

// The receive without its transport: queues first, read passes with
// decoding, sorting and continuation reads, then delivery of the oldest
// message of the wanted queue into data (*len: capacity in, count out).
// input_mode takes biodata from `input`, otherwise replies from `commands`;
// request empties `commands` first. Returns 0, -7 when nothing arrived
// within time_out, or another negative result. Touches no device.
int ssp_receive_messages(SspLink &link, uni_queue *input, uni_queue *commands, void *data,
                         unsigned int *len, unsigned int time_out, bool request, bool input_mode);

extern "C" {
EXPORT int lock_dev_and_send_ssp_message(ql_device *device, const void *data, unsigned int len);
EXPORT int lock_dev_and_receive_ssp_message(ql_device *device, void *data, unsigned int *len,
                                            unsigned int time_out, bool request);

// On an interface of the current device: 0 the record itself, n its n-th
// extra interface.
EXPORT int core_send_ssp_message(unsigned int interface_number, const void *data,
                                 unsigned int data_size);
EXPORT int core_receive_ssp_message(unsigned int interface_number, void *data, unsigned int *len,
                                    unsigned int time_out);
// Drops the biodata the current device has queued.
EXPORT void core_clear_ssp_input_queue(void);
}
// The same for a pad record, current or not.
void clear_ssp_input_queue(ql_device *dev);
// Sorts `count` bytes that a receive thread's wait read from a record
// into its queues, reading on (up to time_out ms) where the last message
// continues. 0, or what a failed continuation read returned.
int ssp_sort_read(ql_device *dev, const uint8_t *bytes, unsigned int count, unsigned int time_out);
// Takes the record's oldest queued pen message into data (*len: capacity
// in, count out); false when none is queued.
bool ssp_take_input(ql_device *dev, void *data, unsigned int *len);
