// The SSP message exchange of a device record: sending, the receive with its
// read passes and sorting, the locked entry points and the core entry points
// on an interface of the current device.
#include "core_ssp.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "ssp_base_message.h"
#include "ssp_transport_token.h"
#include "transport.h"
#include "uni_queue.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kAA = SSP_TRANSPORT_TOKEN_HEADER_0;
constexpr uint8_t k55 = SSP_TRANSPORT_TOKEN_HEADER_1;
constexpr uint8_t kSof[SSP_TRANSPORT_TOKEN_SIZE] = {kAA, k55, SSP_TRANSPORT_TOKEN_TYPE_SOF};
constexpr useconds_t kNoisePauseUs = 500;

// ---- The record's queues ----
//
// The pointers are created by whichever receive comes first and read by
// threads that clear the queues, so they are published atomically.

uni_queue *queue_of(uni_queue *const *slot) {
    return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}

uni_queue *ensure_queue(uni_queue **slot) {
    uni_queue *queue = queue_of(slot);
    if (queue != nullptr)
        return queue;
    uni_queue *fresh = init_uni_queue();
    if (fresh == nullptr)
        return nullptr;
    if (__atomic_compare_exchange_n(slot, &queue, fresh, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return fresh;
    destroy_uni_queue(fresh);
    return queue;
}

void clear_locked(uni_queue *queue) {
    if (queue == nullptr || quiet_lock_queue(queue) != 0)
        return;
    clear_uni_queue(queue);
    quiet_unlock_queue(queue);
}

// The oldest frame, or null; count and take are one step under the lock, so
// a queue that reports a frame always yields it.
void *take_locked(uni_queue *queue, uint32_t *length) {
    if (queue == nullptr || quiet_lock_queue(queue) != 0)
        return nullptr;
    void *frame = get_uni_queue_size(queue) > 0 ? get_uni_frame(queue, length) : nullptr;
    quiet_unlock_queue(queue);
    return frame;
}

// Biodata to the input queue, everything else to the replies. The queue keeps
// the message's own size: decoded bytes after it belong to nothing.
void queue_message(uint8_t *frame, size_t full_size, uni_queue *input, uni_queue *commands) {
    uni_queue *target = ssp_base_message_is_it_biodata(frame) == 1 ? input : commands;
    if (add_uni_frame(target, frame, static_cast<uint32_t>(full_size)) != 1) {
        TRACE_ERROR("Error, add_uni_frame() could not queue a message of %zu bytes", full_size);
        free(frame);
    }
}

// ---- One read pass ----

// What the last bytes of a read say about the stream beyond it: the read
// ended with a whole SOF (its message starts in the next read), or with the
// first one or two bytes of a token (AA, AA 55) that the boundary cut. The
// decoder has taken such a cut token as data of the last frame.
struct ReadEnd {
    bool sof = false;
    size_t cut = 0;
};

ReadEnd read_end(const uint8_t *buffer, size_t n) {
    if (n >= SSP_TRANSPORT_TOKEN_SIZE &&
        memcmp(buffer + n - SSP_TRANSPORT_TOKEN_SIZE, kSof, sizeof kSof) == 0)
        return {true, 0};
    if (n >= 2 && buffer[n - 2] == kAA && buffer[n - 1] == k55)
        return {false, 2};
    if (n >= 1 && buffer[n - 1] == kAA)
        return {false, 1};
    return {};
}

enum class Sorted {
    done,    // every frame sorted; nothing continues into a next read
    carry,   // bytes wait at the buffer's start for a continuation read
    noise,   // no message started in the bytes read
    failed,  // a frame could not be handled; the pass ends
    buffer_too_small,
};

// Bytes that the next read continues: the re-encoded start of an incomplete
// message and the raw bytes of a token the boundary cut.
struct Carry {
    uint8_t *encoded = nullptr;  // heap, SOF first; null when nothing is re-encoded
    size_t encoded_size = 0;
    uint8_t raw[SSP_TRANSPORT_TOKEN_SIZE] = {};
    size_t raw_size = 0;

    ~Carry() { free(encoded); }
    size_t size() const { return encoded_size + raw_size; }
};

// The incomplete last message goes back into token form so that decoding
// the buffer with the next read appended rebuilds it whole. A token cut by
// the boundary is kept out of the re-encoding: the decoder took its bytes as
// data, and encoding them would turn AA 55 into a whole escape.
bool carry_incomplete(const uint8_t *frame, size_t length, size_t cut, Carry *carry) {
    size_t keep = length - std::min(cut, length);
    if (keep == 0) {
        carry->encoded = static_cast<uint8_t *>(Malloc(sizeof kSof));
        memcpy(carry->encoded, kSof, sizeof kSof);
        carry->encoded_size = sizeof kSof;
        return true;
    }
    void *tokens = nullptr;
    int n =
        ssp_base_message_to_transport_token_data(frame, static_cast<unsigned int>(keep), &tokens);
    if (n < 1) {
        TRACE_ERROR("Error, ssp_base_message_to_transport_token_data() return: %d", n);
        free(tokens);
        return false;
    }
    carry->encoded = static_cast<uint8_t *>(tokens);
    carry->encoded_size = static_cast<size_t>(n);
    return true;
}

// Decodes the total bytes at the buffer's start and sorts the messages into
// the queues, oldest first. A message in the middle of the read that is not
// whole is lost; the last one, and a token cut at the end, continue into the
// next read. For Sorted::carry the buffer then holds only the carried bytes,
// *prefix of them, with zeros behind.
Sorted decode_and_sort(uint8_t *buffer, size_t total, unsigned int read_size, uni_queue *input,
                       uni_queue *commands, size_t *prefix, bool *rebuilding) {
    const ReadEnd end = read_end(buffer, total);
    Carry carry;
    Sorted outcome = Sorted::done;

    uni_queue *frames = init_uni_queue();
    if (frames == nullptr)
        return Sorted::failed;
    int r = ssp_transport_token_to_base_message_data(buffer, total, frames);
    if (end.sof) {
        // The message of a SOF that ends the read lies wholly in the next
        // one; without its SOF it would be dropped there as noise.
        memcpy(carry.raw, kSof, sizeof kSof);
        carry.raw_size = sizeof kSof;
        outcome = Sorted::carry;
    } else if (r < 1) {
        destroy_uni_queue(frames);
        if (end.cut == 0)
            return Sorted::noise;
        // No message yet, but the read ends with what may be the start of
        // its SOF.
        memcpy(carry.raw, buffer + total - end.cut, end.cut);
        carry.raw_size = end.cut;
        frames = nullptr;
        outcome = Sorted::carry;
    }

    // The temporary queue is this function's own; no other thread sees it.
    for (int64_t left = frames != nullptr ? get_uni_queue_size(frames) : 0; left > 0; --left) {
        uint32_t length = 0;
        auto *frame = static_cast<uint8_t *>(get_uni_frame(frames, &length));
        if (frame == nullptr || length == 0) {
            TRACE_ERROR("Error, function get_uni_frame() return pointer: %p and data size: %d",
                        static_cast<void *>(frame), length);
            free(frame);
            outcome = Sorted::failed;
            break;
        }
        // A frame shorter than its header is never sized from bytes beyond it.
        ssp_message_sizes sizes{};
        bool whole = ssp_message_sizes_of(frame, length, &sizes) && sizes.full <= length;
        bool last = left == 1 && !end.sof;
        if (!last) {
            if (whole) {
                queue_message(frame, sizes.full, input, commands);
            } else {
                TRACE_INFO("dropped an incomplete message of %u bytes inside a read", length);
                free(frame);
            }
            continue;
        }
        if (whole) {
            size_t after = length - sizes.full;
            queue_message(frame, sizes.full, input, commands);
            if (after > 0 && end.cut > 0 && end.cut <= after) {
                memcpy(carry.raw, buffer + total - end.cut, end.cut);
                carry.raw_size = end.cut;
                TRACE_INFO("Going to read new data, detected [%02X %02X] after SSP message",
                           carry.raw[0], end.cut > 1 ? carry.raw[1] : 0);
                outcome = Sorted::carry;
            }
            continue;
        }
        bool encoded = carry_incomplete(frame, length, end.cut, &carry);
        free(frame);
        if (!encoded) {
            outcome = Sorted::failed;
            break;
        }
        memcpy(carry.raw, buffer + total - end.cut, end.cut);
        carry.raw_size = end.cut;
        outcome = Sorted::carry;
    }
    if (frames != nullptr)
        destroy_uni_queue(frames);
    if (outcome != Sorted::carry)
        return outcome;

    // The continuation read needs room for a whole read behind the carried
    // bytes; a message that outgrows the buffer cannot be rebuilt.
    if (carry.size() + read_size > kSspReadBufferSize) {
        TRACE_ERROR(
            "Error, a message of more than %zu token bytes does not fit the read buffer of %u "
            "bytes",
            carry.size(), kSspReadBufferSize);
        return Sorted::buffer_too_small;
    }
    memset(buffer, 0, kSspReadBufferSize);
    if (carry.encoded_size > 0)
        memcpy(buffer, carry.encoded, carry.encoded_size);
    memcpy(buffer + carry.encoded_size, carry.raw, carry.raw_size);
    *prefix = carry.size();
    *rebuilding = carry.encoded_size > 0;
    return Sorted::carry;
}

struct PassResult {
    bool ends_call;  // a fresh read failed: the receive ends with result
    int result;
};

// One fresh read and as many continuation reads as the last message needs;
// whole messages land in the queues.
PassResult read_pass(SspLink &link, uni_queue *input, uni_queue *commands, unsigned int time_out) {
    auto *buffer = static_cast<uint8_t *>(Calloc(kSspReadBufferSize, 1));
    int n = link.read(buffer, kSspReadBufferSize, true);
    if (n < 1) {
        free(buffer);
        return {true, n};
    }
    size_t total = std::min(static_cast<size_t>(n), size_t{kSspReadBufferSize});
    PassResult pass{false, -1};
    for (;;) {
        size_t prefix = 0;
        bool rebuilding = false;
        Sorted sorted =
            decode_and_sort(buffer, total, link.read_size(), input, commands, &prefix, &rebuilding);
        if (sorted == Sorted::noise) {
            link.pause_after_noise();
            break;
        }
        if (sorted == Sorted::buffer_too_small) {
            pass = {true, -1};
            break;
        }
        if (sorted != Sorted::carry) {
            pass.result = sorted == Sorted::done ? 0 : -1;
            break;
        }
        // A pad whose every read starts a new message, or ends with the
        // start of a token, would keep a pass going for ever: it ends with
        // the time-out, a message being rebuilt or not.
        if (link.elapsed_ms() >= time_out) {
            if (rebuilding)
                TRACE_ERROR("Error, a message cut by the reads was not complete within %u ms",
                            time_out);
            pass.result = 0;
            break;
        }
        unsigned int room = kSspReadBufferSize - static_cast<unsigned int>(prefix);
        int got = link.read(buffer + prefix, room, false);
        if (got < 1) {
            pass.result = got;
            break;
        }
        total = prefix + std::min(static_cast<size_t>(got), size_t{room});
    }
    free(buffer);
    return pass;
}

// ---- The link of a record's transport ----

class TimedLink : public SspLink {
  public:
    double elapsed_ms() const override { return static_cast<double>(::elapsed_ms(start_)); }
    void pause_after_noise() override { usleep(kNoisePauseUs); }

  protected:
    ~TimedLink() = default;

  private:
    Clock::time_point start_ = Clock::now();
};

class DeviceLink final : public TimedLink {
  public:
    DeviceLink(ql_device *device, unsigned int time_out, bool request)
        : device_(device), time_out_(time_out), request_(request) {}
    // The first fresh read is `bytes`, already read by a receive thread's wait.
    DeviceLink(ql_device *device, unsigned int time_out, const uint8_t *bytes, unsigned int count)
        : device_(device), time_out_(time_out), request_(false), read_(bytes), read_count_(count) {}

    int read(uint8_t *buffer, unsigned int size, bool fresh) override {
        if (fresh && read_ != nullptr) {
            unsigned int n = std::min(size, read_count_);
            memcpy(buffer, read_, n);
            read_ = nullptr;
            return static_cast<int>(n);
        }
        return device_->transport->ssp_read(device_, buffer, size, time_out_, fresh, request_);
    }
    unsigned int read_size() const override { return device_->transport->ssp_read_size(device_); }

  private:
    ql_device *device_;
    unsigned int time_out_;
    bool request_;
    const uint8_t *read_ = nullptr;
    unsigned int read_count_ = 0;
};

// ---- Argument checks and the lost pad ----

void report_lost(const char *func, const ql_device *device) {
    if (device != nullptr && device->removed)
        trace_error(__FILE_NAME__, __LINE__, func, false, "we lost device..");
}

int check_receive_args(const ql_device *device, const void *data, const unsigned int *len) {
    ArgCheck check(API_SITE);
    if (!check.require(len != nullptr, "Error, input parameter: unsigned int *len is %p", len) ||
        !check.length(*len, "Error, input parameter: *(unsigned int *len) is %ld")
             .data(data)
             .handle(device, kArgCurrentDevice))
        return -1;
    return 0;
}

// ---- Interfaces of the current device ----

constexpr InterfaceTexts kSendTexts = {
    "send_ssp_message_to_interface->data of QLPAD_ql_ioctl() is NULL",
    "send_ssp_message_to_interface->data_size of QLPAD_ql_ioctl() <= 0",
    "send_ssp_message_to_interface->interface_number > count of interfaces"};
constexpr InterfaceTexts kReceiveTexts = {
    "receive_ssp_message_from_interface->data of QLPAD_ql_ioctl() is NULL",
    "receive_ssp_message_from_interface->data_size of QLPAD_ql_ioctl() <= 0",
    "receive_ssp_message_from_interface->interface_number > count of interfaces"};

// The record for interface `number` of the current device, opened; null
// (traced) when the arguments or the interface do not allow an exchange.
ql_device *ssp_interface(const InterfaceTexts &texts, unsigned int number, const void *data,
                         bool size_ok) {
    ql_device *current = dev_shared->current_device;
    if (data == nullptr) {
        TRACE_ERROR("%s", texts.null_data);
        return nullptr;
    }
    if (!size_ok) {
        TRACE_ERROR("%s", texts.bad_size);
        return nullptr;
    }
    if (!core_interface_exists(current, number)) {
        TRACE_ERROR("%s", texts.bad_interface);
        return nullptr;
    }
    ql_device *rec = core_interface_record(current, number, false);
    if (rec == nullptr || number == 0)
        return rec;
    if (core_open_dev(rec) != 0) {
        TRACE_ERROR("Error of open interface with number: %d", number - 1);
        return nullptr;
    }
    return rec;
}

}  // namespace

void clear_ssp_input_queue(ql_device *dev) {
    clear_locked(queue_of(&dev->ssp_input_read));
}

int ssp_sort_read(ql_device *dev, const uint8_t *bytes, unsigned int count, unsigned int time_out) {
    uni_queue *input = ensure_queue(&dev->ssp_input_read);
    uni_queue *commands = ensure_queue(&dev->ssp_command_messages);
    if (input == nullptr || commands == nullptr)
        return -1;
    DeviceLink link(dev, time_out, bytes, count);
    return read_pass(link, input, commands, time_out).result;
}

bool ssp_take_input(ql_device *dev, void *data, unsigned int *len) {
    uint32_t size = 0;
    void *frame = take_locked(queue_of(&dev->ssp_input_read), &size);
    if (frame == nullptr)
        return false;
    unsigned int n = std::min(*len, size);
    memcpy(data, frame, n);
    *len = n;
    free(frame);
    return true;
}

int ssp_receive_messages(SspLink &link, uni_queue *input, uni_queue *commands, void *data,
                         unsigned int *len, unsigned int time_out, bool request, bool input_mode) {
    uni_queue *wanted = input_mode ? input : commands;
    uint32_t size = 0;
    void *frame = nullptr;
    if (request)
        clear_locked(commands);  // a reply queued earlier cannot answer this request
    else
        frame = take_locked(wanted, &size);

    while (frame == nullptr) {
        PassResult pass = read_pass(link, input, commands, time_out);
        if (pass.ends_call)
            return pass.result;
        frame = take_locked(wanted, &size);
        if (frame != nullptr)
            break;
        if (link.elapsed_ms() >= time_out) {
            // A quiet pad has nothing to send: that is no failure.
            if (input_mode)
                TRACE_INFO("no ready ssp input read messages...");
            else
                TRACE_ERROR("Error, no ready ssp command messages...");
            return LIBUSB_ERROR_TIMEOUT;
        }
    }

    if (*len < size) {
        TRACE_ERROR("Error, *len[%d] < data_size[%d]", *len, size);
        TRACE_ERROR(
            "Error, parameter unsigned int *len should contain bigger value for receive this SSP "
            "message");
    }
    unsigned int n = std::min(*len, size);
    memcpy(data, frame, n);
    *len = n;
    free(frame);
    return 0;
}

extern "C" {

EXPORT int __send_ssp_message(ql_device *device, const void *data, unsigned int len) {
    TRACE_SCOPE();
    if (device != nullptr)
        clear_locked(queue_of(&device->ssp_command_messages));
    ArgCheck check(API_SITE);
    if (!check.length(len, kArgLen).data(data).handle(device, kArgCurrentDevice) ||
        !check.require(core_record_open(device), "Error, *hid && *vcom_handle is NULL"))
        return -1;
    void *tokens = nullptr;
    int size = ssp_base_message_to_transport_token_data(data, len, &tokens);
    if (size < 1 || tokens == nullptr) {
        TRACE_ERROR(
            "Error, ssp_base_message_to_transport_token_data() return: ssp_transport_data_size: "
            "%d, "
            "ssp_transport_data: %p",
            size, tokens);
        free(tokens);
        return -1;
    }

    int result = device->transport->ssp_send(device, static_cast<const uint8_t *>(tokens),
                                             static_cast<unsigned int>(size));
    free(tokens);
    report_lost(__func__, device);
    return result;
}

EXPORT int __receive_ssp_message(ql_device *device, void *data, unsigned int *len,
                                 unsigned int time_out, bool request, unsigned int source) {
    TRACE_SCOPE();
    int result = check_receive_args(device, data, len);
    if (result == 0 && !core_record_open(device)) {
        TRACE_ERROR("Error, *hid && *vcom_handle is %p", static_cast<void *>(device->hid));
        result = -1;
    }
    const bool input_mode = source == 1 && !request;
    if (result == 0) {
        uni_queue *input = ensure_queue(&device->ssp_input_read);
        uni_queue *commands = ensure_queue(&device->ssp_command_messages);
        // The pipe is this exchange's alone: a receive thread's wait on it
        // would take the answer.
        if (device->transport->ssp_shares_input_pipe)
            core_quiesce_reader(device);
        if (input == nullptr || commands == nullptr) {
            result = -1;
        } else {
            DeviceLink link(device, time_out, request);
            result = ssp_receive_messages(link, input, commands, data, len, time_out, request,
                                          input_mode);
        }
    }
    // Input that has not come yet is no failed exchange.
    bool quiet = input_mode && result == LIBUSB_ERROR_TIMEOUT;
    if (result != 0 && !quiet && device != nullptr && !core_reopen_record(device))
        result = kCoreRemoved;
    report_lost(__func__, device);
    return result;
}

EXPORT int lock_dev_and_send_ssp_message(ql_device *device, const void *data, unsigned int len) {
    TRACE_SCOPE();
    if (!ArgCheck(API_SITE).length(len, kArgLen).data(data).handle(device, kArgCurrentDevice))
        return -1;
    DEVICE_LOCK_GUARD(guard, device);
    int r = __send_ssp_message(device, data, len);
    return r == 0 ? 0 : (core_reopen_record(device) ? -1 : kCoreRemoved);
}

EXPORT int lock_dev_and_receive_ssp_message(ql_device *device, void *data, unsigned int *len,
                                            unsigned int time_out, bool request) {
    TRACE_SCOPE();
    if (check_receive_args(device, data, len) != 0)
        return -1;
    constexpr unsigned int kCommandSource = 2;
    DEVICE_LOCK_GUARD(guard, device);
    int r = __receive_ssp_message(device, data, len, time_out, request, kCommandSource);
    return r == 0 ? 0 : (core_reopen_record(device) ? -1 : kCoreRemoved);
}

EXPORT int core_send_ssp_message(unsigned int interface_number, const void *data,
                                 unsigned int data_size) {
    TRACE_SCOPE();
    if (core_current_device(false) == nullptr)
        return -1;
    int result = -1;
    if (ql_device *rec = ssp_interface(kSendTexts, interface_number, data, data_size > 0))
        result = lock_dev_and_send_ssp_message(rec, data, data_size);
    core_catch_is_dev_was_removed(&result);
    return result;
}

EXPORT int core_receive_ssp_message(unsigned int interface_number, void *data, unsigned int *len,
                                    unsigned int time_out) {
    TRACE_SCOPE();
    if (core_current_device(false) == nullptr)
        return -1;
    int result = -1;
    if (ql_device *rec = ssp_interface(kReceiveTexts, interface_number, data, len != nullptr))
        result = lock_dev_and_receive_ssp_message(rec, data, len, time_out, false);
    core_catch_is_dev_was_removed(&result);
    return result;
}

EXPORT void core_clear_ssp_input_queue(void) {
    TRACE_SCOPE();
    if (dev_shared == nullptr || dev_shared->current_device == nullptr)
        return;
    clear_ssp_input_queue(dev_shared->current_device);
}

}  // extern "C"
