// The pad library behind a TCP bridge and its agent. One call at a time: the
// call package goes out, then the stream is read until the result with the
// call's message id arrives. Events read meanwhile are queued for
// poll_events; a result with another id belongs to an earlier call that
// timed out and is dropped. Every wait has a deadline.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include <inkagent/protocol.h>

#include "agent_wire.h"
#include "pad_stack.h"

namespace inkclient {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr unsigned kTextCapacity = 256;
constexpr size_t kReadChunk = 4096;

Error fault(Fault kind, std::string message) {
    Error e;
    e.fault = kind;
    e.message = std::move(message);
    return e;
}

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left > 60000 ? 60000 : left);
}

class RemoteStack final : public PadStack {
  public:
    RemoteStack(int socket, const RemoteOptions &options)
        : fd_(socket), wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), options_(options) {}
    ~RemoteStack() override {
        close(fd_);
        if (wake_fd_ >= 0)
            close(wake_fd_);
    }
    RemoteStack(const RemoteStack &) = delete;
    RemoteStack &operator=(const RemoteStack &) = delete;

    Error initialize() override {
        Result r;
        return call("Initialize", INKAGENT_FN_INITIALIZE, wire::Args(), r);
    }
    Error deinitialize() override {
        Result r;
        return call("Deinitialize", INKAGENT_FN_DEINITIALIZE, wire::Args(), r);
    }

    Error device_count(unsigned &count) override {
        Result r;
        Error e = call("GetDeviceCount", INKAGENT_FN_GET_DEVICE_COUNT, wire::Args(), r);
        if (e.ok())
            count = r.result;  // the count is the return value here
        return e;
    }
    Error enumerate_start(unsigned &device) override {
        return u32_query("EnumerateDevicesStart", INKAGENT_FN_ENUMERATE_DEVICES_START, wire::Args(),
                         device);
    }
    Error enumerate_next(unsigned &device) override {
        return u32_query("EnumerateDevicesNext", INKAGENT_FN_ENUMERATE_DEVICES_NEXT, wire::Args(),
                         device);
    }

    Error serial_number(unsigned device, std::u16string &text) override {
        return text_query("GetSerialNumber", INKAGENT_FN_GET_SERIAL_NUMBER,
                          wire::Args().u32(device).u32(kTextCapacity), text);
    }
    Error product_name(unsigned device, unsigned end_point, std::u16string &text) override {
        return text_query("GetProductName", INKAGENT_FN_GET_PRODUCT_NAME,
                          wire::Args().u32(device).u32(end_point).u32(kTextCapacity), text);
    }
    Error vendor_name(unsigned device, std::u16string &text) override {
        return text_query("GetVendorName", INKAGENT_FN_GET_VENDOR_NAME,
                          wire::Args().u32(device).u32(kTextCapacity), text);
    }
    Error product_id(unsigned device, unsigned end_point, unsigned &id) override {
        return u32_query("GetProductId", INKAGENT_FN_GET_PRODUCT_ID,
                         wire::Args().u32(device).u32(end_point), id);
    }
    Error vendor_id(unsigned device, unsigned &id) override {
        return u32_query("GetVendorId", INKAGENT_FN_GET_VENDOR_ID, wire::Args().u32(device), id);
    }
    Error end_point_count(unsigned device, unsigned &count) override {
        return u32_query("GetEndPointCount", INKAGENT_FN_GET_END_POINT_COUNT,
                         wire::Args().u32(device), count);
    }
    Error feature_report_size(unsigned device, unsigned end_point, unsigned &size) override {
        return u32_query("GetFeatureReportSize", INKAGENT_FN_GET_FEATURE_REPORT_SIZE,
                         wire::Args().u32(device).u32(end_point), size);
    }

    Error send_ssp(unsigned device, unsigned interface, const Bytes &message) override {
        Result r;
        return api_call("SendSspMessage", INKAGENT_FN_SEND_SSP_MESSAGE,
                        wire::Args().u32(device).u32(interface).bytes(message), r);
    }
    Error receive_ssp(unsigned device, unsigned interface, unsigned capacity, unsigned time_out_ms,
                      Bytes &reply) override {
        const char *function = "ReceiveSspMessage";
        Result r;
        Error e = api_call(function, INKAGENT_FN_RECEIVE_SSP_MESSAGE,
                           wire::Args().u32(device).u32(interface).u32(capacity).u32(time_out_ms),
                           r, milliseconds(time_out_ms));
        if (!e.ok())
            return e;
        wire::Reader in(r.outputs.data(), r.outputs.size());
        Bytes bytes;
        uint32_t count = 0;
        if (!in.bytes(bytes) || !in.u32(count))
            return short_result(function);
        reply.swap(bytes);
        return {};
    }

    Error set_receiving(unsigned device, unsigned end_point, bool enabled) override {
        Result r;
        return api_call("SetDataReceivingEnabled", INKAGENT_FN_SET_DATA_RECEIVING_ENABLED,
                        wire::Args().u32(device).u32(end_point).u32(enabled ? 1 : 0), r);
    }

    Error watch_arrivals() override { return {}; }

    void wake() override {
        if (wake_fd_ >= 0)
            eventfd_write(wake_fd_, 1);
    }

    Error poll_events(milliseconds wait, const EventHandler &handler) override {
        const Clock::time_point deadline = Clock::now() + wait;
        Error end;
        while (events_.empty() && deferred_.ok()) {
            Error e = drain();
            if (!e.ok()) {
                end = e;
                break;
            }
            if (!events_.empty())
                break;
            e = read_more(deadline, true);
            if (e.fault == Fault::timeout)
                break;
            if (!e.ok()) {
                end = e;
                break;
            }
        }
        // Hand out what came before the stream ended, then say why it ended.
        std::deque<Event> ready;
        ready.swap(events_);
        for (const Event &event : ready)
            handler(event);
        if (!deferred_.ok()) {
            Error e = deferred_;
            deferred_ = {};
            return e;
        }
        return end;
    }

  private:
    struct Result {
        uint32_t result = 0;
        Bytes outputs;
    };

    // Sends one call and waits for its result. A status other than 0 is a
    // protocol fault; `result` is left for the caller to interpret.
    Error call(const char *function, uint32_t function_id, const wire::Args &args, Result &out,
               milliseconds extra = milliseconds(0)) {
        Error e = call_raw(function_id, args, out, extra);
        if (!e.ok() && e.function.empty())
            e.function = function;
        return e;
    }

    Error call_raw(uint32_t function_id, const wire::Args &args, Result &out, milliseconds extra) {
        if (!broken_.ok())
            return broken_;
        sequence_ = (sequence_ + 1) & 0xFFFFFFu;
        const uint32_t id = INKAGENT_MESSAGE_ID(sequence_, function_id);
        const Clock::time_point deadline = Clock::now() + options_.call_timeout + extra;
        Error e = send_all(wire::make_call(id, args.payload()), deadline);
        if (!e.ok())
            return e;
        for (;;) {
            wire::Package package;
            switch (stream_.next(package)) {
                case wire::PackageStream::Next::broken:
                    broken_ = fault(Fault::protocol, "a package header with an impossible size");
                    return broken_;
                case wire::PackageStream::Next::package:
                    if (package.type == INKAGENT_TYPE_REFUSAL) {
                        return refused(package);
                    } else if (package.type == INKAGENT_TYPE_EVENT) {
                        queue_event(package);
                    } else if (package.type == INKAGENT_TYPE_RESULT && package.message_id == id) {
                        return take_result(package, out);
                    }
                    // Anything else is the late result of a call that timed out.
                    break;
                case wire::PackageStream::Next::none:
                    e = read_more(deadline);
                    if (!e.ok())
                        return e;
                    break;
            }
        }
    }

    static Error take_result(const wire::Package &package, Result &out) {
        wire::Reader in(package.payload.data(), package.payload.size());
        uint32_t status = 0;
        uint32_t result = 0;
        if (!in.u32(status) || !in.u32(result))
            return fault(Fault::protocol, "a result package without status and result");
        if (status != INKAGENT_STATUS_OK) {
            Error e = fault(Fault::protocol, status_name(status));
            e.status = status;
            return e;
        }
        out.result = result;
        out.outputs.assign(package.payload.begin() + INKAGENT_RESULT_PREFIX, package.payload.end());
        return {};
    }

    // Events and stale results already in the buffer.
    Error drain() {
        for (;;) {
            wire::Package package;
            switch (stream_.next(package)) {
                case wire::PackageStream::Next::broken:
                    broken_ = fault(Fault::protocol, "a package header with an impossible size");
                    return broken_;
                case wire::PackageStream::Next::none:
                    return {};
                case wire::PackageStream::Next::package:
                    if (package.type == INKAGENT_TYPE_REFUSAL)
                        return refused(package);
                    if (package.type == INKAGENT_TYPE_EVENT)
                        queue_event(package);
                    break;
            }
        }
    }

    // The bridge does not serve us; its reason is the payload.
    Error refused(const wire::Package &package) {
        std::string reason;
        for (uint8_t c : package.payload)
            reason.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
        broken_ = fault(Fault::refused, reason.empty() ? "no reason given" : reason);
        return broken_;
    }

    void queue_event(const wire::Package &package) {
        const uint32_t sequence = INKAGENT_MESSAGE_SEQUENCE(package.message_id);
        if (event_sequence_known_ && sequence != next_event_sequence_) {
            Event gap;
            gap.kind = Event::Kind::gap;
            gap.lost = (sequence - next_event_sequence_) & 0xFFFFFFu;
            events_.push_back(std::move(gap));
        }
        event_sequence_known_ = true;
        next_event_sequence_ = (sequence + 1) & 0xFFFFFFu;

        wire::Reader in(package.payload.data(), package.payload.size());
        Event event;
        switch (INKAGENT_MESSAGE_FUNCTION(package.message_id)) {
            case INKAGENT_EV_DATA_RECEIVED:
                event.kind = Event::Kind::data;
                if (!in.u32(event.device) || !in.u32(event.end_point) || !in.bytes(event.report)) {
                    deferred_ = fault(Fault::protocol, "a data-received event too short");
                    return;
                }
                break;
            case INKAGENT_EV_DEVICE_REMOVED:
                event.kind = Event::Kind::removed;
                if (!in.u32(event.device)) {
                    deferred_ = fault(Fault::protocol, "a device-removed event too short");
                    return;
                }
                break;
            case INKAGENT_EV_DEVICE_ARRIVED:
                event.kind = Event::Kind::arrived;
                if (!in.u32(event.device) || !in.u32(event.vendor_id) ||
                    !in.u32(event.product_id) || !in.text(event.serial)) {
                    deferred_ = fault(Fault::protocol, "a device-arrived event too short");
                    return;
                }
                break;
            default:
                return;  // an event this client does not know: counted, not shown
        }
        events_.push_back(std::move(event));
    }

    // A call whose non-zero result is an exception handle of the remote library.
    Error api_call(const char *function, uint32_t function_id, const wire::Args &args, Result &r,
                   milliseconds extra = milliseconds(0)) {
        Error e = call(function, function_id, args, r, extra);
        return e.ok() ? api_check(function, r.result) : e;
    }

    Error u32_query(const char *function, uint32_t function_id, const wire::Args &args,
                    unsigned &value) {
        Result r;
        Error e = api_call(function, function_id, args, r);
        if (!e.ok())
            return e;
        wire::Reader in(r.outputs.data(), r.outputs.size());
        uint32_t v = 0;
        if (!in.u32(v))
            return short_result(function);
        value = v;
        return {};
    }

    Error text_query(const char *function, uint32_t function_id, const wire::Args &args,
                     std::u16string &text) {
        Result r;
        Error e = api_call(function, function_id, args, r);
        if (!e.ok())
            return e;
        wire::Reader in(r.outputs.data(), r.outputs.size());
        std::u16string units;
        uint32_t count = 0;
        if (!in.text(units) || !in.u32(count))
            return short_result(function);
        text.swap(units);
        return {};
    }

    static Error short_result(const char *function) {
        Error e = fault(Fault::protocol, "the result carries fewer outputs than the call has");
        e.function = function;
        return e;
    }

    // A non-zero result is an exception handle of the remote library: its
    // message is fetched from there, as a local caller would.
    Error api_check(const char *function, uint32_t handle) {
        if (handle == 0)
            return {};
        Error e;
        e.fault = Fault::api;
        e.function = function;
        e.handle = handle;
        Result r;
        Error m = call("GetExceptionMessage", INKAGENT_FN_GET_EXCEPTION_MESSAGE,
                       wire::Args().u32(handle).u32(kTextCapacity), r);
        std::u16string text;
        uint32_t count = 0;
        wire::Reader in(r.outputs.data(), r.outputs.size());
        if (m.ok() && r.result == 0 && in.text(text) && in.u32(count))
            e.message = narrow(text);
        else
            e.message = "(no message for this exception)";
        return e;
    }

    Error send_all(const Bytes &package, Clock::time_point deadline) {
        size_t sent = 0;
        while (sent < package.size()) {
            ssize_t n = send(fd_, package.data() + sent, package.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                broken_ = fault(Fault::connection_lost, strerror(errno));
                return broken_;
            }
            struct pollfd p = {fd_, POLLOUT, 0};
            int r = poll(&p, 1, remaining_ms(deadline));
            if (r == 0)
                return fault(Fault::timeout, "the bridge takes no more data");
            if (r < 0 && errno != EINTR) {
                broken_ = fault(Fault::connection_lost, strerror(errno));
                return broken_;
            }
        }
        return {};
    }

    // One read into the stream, waiting until the deadline for data.
    // A wake() ends a wakeable wait as its deadline would; calls wait for
    // their results regardless.
    Error read_more(Clock::time_point deadline, bool wakeable = false) {
        for (;;) {
            struct pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            const int wait = remaining_ms(deadline);
            int r = poll(p, wakeable && wake_fd_ >= 0 ? 2 : 1, wait);
            if (r > 0 && p[0].revents == 0 && p[1].revents != 0) {
                eventfd_t count = 0;
                eventfd_read(wake_fd_, &count);
                return fault(Fault::timeout, "woken");
            }
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                broken_ = fault(Fault::connection_lost, strerror(errno));
                return broken_;
            }
            if (r == 0) {
                if (wait > 0)
                    continue;  // woken early: the deadline decides
                return fault(Fault::timeout, "no answer from the bridge in time");
            }
            uint8_t chunk[kReadChunk];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n > 0) {
                stream_.feed(chunk, static_cast<size_t>(n));
                return {};
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            broken_ = fault(Fault::connection_lost,
                            n == 0 ? "the bridge closed the connection" : strerror(errno));
            return broken_;
        }
    }

    const int fd_;
    const int wake_fd_;  // wake(): -1 when no eventfd could be made
    const RemoteOptions options_;
    uint32_t sequence_ = 0;
    wire::PackageStream stream_;
    std::deque<Event> events_;
    bool event_sequence_known_ = false;
    uint32_t next_event_sequence_ = 0;
    Error broken_;    // set once: the connection cannot be used any more
    Error deferred_;  // a malformed event, reported by the next poll_events
};

// Non-blocking connect with a deadline, to each address the name gives.
Error connect_socket(const std::string &host, const std::string &port, milliseconds timeout,
                     int &socket_out) {
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (r != 0)
        return fault(Fault::unreachable, r == EAI_SYSTEM ? strerror(errno) : gai_strerror(r));
    std::string reason = "no address";
    const Clock::time_point deadline = Clock::now() + timeout;
    for (struct addrinfo *a = list; a != nullptr; a = a->ai_next) {
        int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            reason = strerror(errno);
            continue;
        }
        int error = 0;
        if (connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                struct pollfd p = {s, POLLOUT, 0};
                int ready;
                do {
                    ready = poll(&p, 1, remaining_ms(deadline));
                } while (ready < 0 && errno == EINTR);
                socklen_t length = sizeof error;
                if (ready == 0)
                    error = ETIMEDOUT;
                else if (ready < 0)
                    error = errno;
                else if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
        }
        if (error != 0) {
            reason = strerror(error);
            close(s);
            continue;
        }
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        freeaddrinfo(list);
        socket_out = s;
        return {};
    }
    freeaddrinfo(list);
    return fault(Fault::unreachable, reason);
}

}  // namespace

Error connect_remote(const std::string &host, const std::string &port, const RemoteOptions &options,
                     std::unique_ptr<PadStack> &stack) {
    int s = -1;
    Error e = connect_socket(host, port, options.connect_timeout, s);
    if (!e.ok())
        return e;
    stack = std::make_unique<RemoteStack>(s, options);
    return {};
}

}  // namespace inkclient
