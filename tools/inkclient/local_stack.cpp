// The pad library of this process behind the PadStack interface. Reports,
// removal and arrival notices come on the library's threads; they are queued
// here and handed out on the caller's thread by poll_events, which also
// describes an arrived pad there: a description makes the pad current, which
// is the caller's to do, between its own calls.
#include <inkport/inkport.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "pad_stack.h"

namespace inkclient {
namespace {

constexpr int kTextCapacity = QLPAD_MAX_STRING_LENGTH;

std::u16string units_before_zero(const uint16_t *buffer, int capacity) {
    std::u16string text;
    for (int i = 0; i < capacity && buffer[i] != 0; ++i)
        text.push_back(static_cast<char16_t>(buffer[i]));
    return text;
}

class LocalStack final : public PadStack {
  public:
    ~LocalStack() override {
        // Deinitialize returns once every library thread has ended, so no
        // callback can reach this object afterwards.
        if (initialized_)
            Deinitialize();
    }

    Error initialize() override {
        Initialize();
        initialized_ = true;
        // Initialize clears the handler; register it afresh each time.
        SetOnDeviceRemovedHandler(this, &LocalStack::on_removed);
        return {};
    }

    Error deinitialize() override {
        Deinitialize();
        initialized_ = false;
        return {};
    }

    Error device_count(unsigned &count) override {
        unsigned reply = 0;
        const uint32_t n = GetDeviceCount(&reply);
        count = n;
        return {};
    }

    // The text getters differ only in the call: it fills a buffer of
    // kTextCapacity units, of which the units before the first zero are kept.
    template <typename Call>
    Error text_query(const char *function, std::u16string &text, Call call) {
        uint16_t buffer[kTextCapacity] = {};
        unsigned reply = 0;
        Error e = check(function, call(buffer, &reply));
        if (e.ok())
            text = units_before_zero(buffer, kTextCapacity);
        return e;
    }

    Error enumerate_start(unsigned &device) override {
        return check("EnumerateDevicesStart", EnumerateDevicesStart(&device));
    }
    Error enumerate_next(unsigned &device) override {
        return check("EnumerateDevicesNext", EnumerateDevicesNext(&device));
    }

    Error serial_number(unsigned device, std::u16string &text) override {
        return text_query("GetSerialNumber", text, [&](uint16_t *buffer, unsigned *reply) {
            return GetSerialNumber(device, buffer, kTextCapacity, reply);
        });
    }
    Error product_name(unsigned device, unsigned end_point, std::u16string &text) override {
        return text_query("GetProductName", text, [&](uint16_t *buffer, unsigned *reply) {
            return GetProductName(device, end_point, buffer, kTextCapacity, reply);
        });
    }
    Error vendor_name(unsigned device, std::u16string &text) override {
        return text_query("GetVendorName", text, [&](uint16_t *buffer, unsigned *reply) {
            return GetVendorName(device, buffer, kTextCapacity, reply);
        });
    }
    Error product_id(unsigned device, unsigned end_point, unsigned &id) override {
        return check("GetProductId", GetProductId(device, end_point, &id));
    }
    Error vendor_id(unsigned device, unsigned &id) override {
        return check("GetVendorId", GetVendorId(device, &id));
    }
    Error end_point_count(unsigned device, unsigned &count) override {
        return check("GetEndPointCount", GetEndPointCount(device, &count));
    }
    Error feature_report_size(unsigned device, unsigned end_point, unsigned &size) override {
        return check("GetFeatureReportSize", GetFeatureReportSize(device, end_point, &size));
    }

    Error send_ssp(unsigned device, unsigned interface, const Bytes &message) override {
        return check("SendSspMessage", SendSspMessage(device, interface, message.data(),
                                                      static_cast<unsigned>(message.size())));
    }
    Error receive_ssp(unsigned device, unsigned interface, unsigned capacity, unsigned time_out_ms,
                      Bytes &reply) override {
        Bytes buffer(capacity);
        unsigned count = 0;
        Error e = check("ReceiveSspMessage", ReceiveSspMessage(device, interface, buffer.data(),
                                                               capacity, time_out_ms, &count));
        if (e.ok()) {
            buffer.resize(count < capacity ? count : capacity);
            reply.swap(buffer);
        }
        return e;
    }

    Error set_receiving(unsigned device, unsigned end_point, bool enabled) override {
        if (enabled) {
            Error e = check("SetOnDataReceivedHandler",
                            SetOnDataReceivedHandler(device, end_point, this, &on_data));
            if (!e.ok())
                return e;
            return check("SetDataReceivingEnabled", SetDataReceivingEnabled(device, end_point, 1));
        }
        Error e = check("SetDataReceivingEnabled", SetDataReceivingEnabled(device, end_point, 0));
        Error h = check("SetOnDataReceivedHandler",
                        SetOnDataReceivedHandler(device, end_point, nullptr, nullptr));
        return e.ok() ? h : e;
    }

    Error watch_arrivals() override {
        return check("SetOnDeviceArrivedHandler",
                     SetOnDeviceArrivedHandler(this, &LocalStack::on_arrived));
    }

    Error poll_events(std::chrono::milliseconds wait, const EventHandler &handler) override {
        std::deque<Event> ready;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            more_.wait_for(lock, wait, [this] { return !queue_.empty() || woken_; });
            woken_ = false;
            ready.swap(queue_);
        }
        for (Event &event : ready) {
            // A pad that left again before it could be described is not
            // announced; its removal is.
            if (event.kind == Event::Kind::arrived && !describe(event))
                continue;
            handler(event);
        }
        return {};
    }

    void wake() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
        }
        more_.notify_one();
    }

  private:
    bool describe(Event &event) {
        unsigned vendor = 0;
        unsigned product = 0;
        if (!vendor_id(event.device, vendor).ok() || !product_id(event.device, 0, product).ok() ||
            !serial_number(event.device, event.serial).ok())
            return false;
        event.vendor_id = vendor;
        event.product_id = product;
        return true;
    }

    // Library threads: queue and wake the caller, nothing else.
    static void on_data(void *user, uint32_t device, uint32_t end_point, const uint8_t *data,
                        uint32_t length) {
        Event event;
        event.kind = Event::Kind::data;
        event.device = device;
        event.end_point = end_point;
        event.report.assign(data, data + length);
        static_cast<LocalStack *>(user)->push(std::move(event));
    }
    static void on_removed(void *user, uint32_t device) {
        notice(user, Event::Kind::removed, device);
    }
    static void on_arrived(void *user, uint32_t device) {
        notice(user, Event::Kind::arrived, device);
    }
    static void notice(void *user, Event::Kind kind, uint32_t device) {
        Event event;
        event.kind = kind;
        event.device = device;
        static_cast<LocalStack *>(user)->push(std::move(event));
    }
    void push(Event event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(event));
        }
        more_.notify_one();
    }

    // A non-zero result is an exception handle: fetch its message as a
    // remote client would.
    static Error check(const char *function, uint32_t handle) {
        if (handle == 0)
            return {};
        Error e;
        e.fault = Fault::api;
        e.function = function;
        e.handle = handle;
        uint16_t buffer[kTextCapacity] = {};
        unsigned reply = 0;
        if (GetExceptionMessage(handle, buffer, kTextCapacity, &reply) == 0)
            e.message = narrow(units_before_zero(buffer, kTextCapacity));
        else
            e.message = "(no message for this exception)";
        return e;
    }

    bool initialized_ = false;
    std::mutex mutex_;
    std::condition_variable more_;
    std::deque<Event> queue_;
    bool woken_ = false;  // under mutex_
};

}  // namespace

std::unique_ptr<PadStack> make_local_stack() {
    return std::make_unique<LocalStack>();
}

}  // namespace inkclient
