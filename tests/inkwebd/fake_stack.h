// A pad stack for the gateway's in-process tests: one pad, answers from a
// script, events pushed by the test from its own thread, and a log of the
// calls in the order they came.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pad_stack.h"

namespace pagetest {

using inkclient::Error;
using inkclient::Event;

class FakeStack final : public inkclient::PadStack {
  public:
    // Shared with the test: the gateway owns the stack.
    struct Shared {
        std::mutex mutex;
        std::condition_variable more;
        std::deque<Event> events;
        bool woken = false;
        std::vector<std::string> log;

        void push(Event e) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                events.push_back(std::move(e));
            }
            more.notify_one();
        }
        void push_report(uint8_t marker) {
            Event e;
            e.device = 1;
            e.report.assign(64, marker);
            push(std::move(e));
        }
        std::vector<std::string> calls() {
            std::lock_guard<std::mutex> lock(mutex);
            return log;
        }
    };

    explicit FakeStack(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}

    Error initialize() override { return note("initialize"); }
    Error deinitialize() override { return note("deinitialize"); }
    Error device_count(unsigned &count) override {
        count = 1;
        return note("device_count");
    }
    Error enumerate_start(unsigned &device) override {
        device = 1;
        return note("enumerate_start");
    }
    Error enumerate_next(unsigned &device) override {
        device = 0;
        return note("enumerate_next");
    }
    Error serial_number(unsigned, std::u16string &text) override {
        text = u"AB12";
        return {};
    }
    Error product_name(unsigned, unsigned, std::u16string &text) override {
        text = u"Pad";
        return {};
    }
    Error vendor_name(unsigned, std::u16string &text) override {
        text = u"Maker";
        return {};
    }
    Error product_id(unsigned, unsigned, unsigned &id) override {
        id = 0x0901;
        return {};
    }
    Error vendor_id(unsigned, unsigned &id) override {
        id = 0x22c9;
        return {};
    }
    Error end_point_count(unsigned, unsigned &count) override {
        count = 1;
        return {};
    }
    Error feature_report_size(unsigned, unsigned, unsigned &size) override {
        size = 64;
        return {};
    }
    // Pad 1 echoes the message reversed; any other pad is not there.
    Error send_ssp(unsigned device, unsigned, const inkclient::Bytes &message) override {
        last_ = message;
        if (device != 1) {
            Error e;
            e.fault = inkclient::Fault::api;
            e.function = "SendSspMessage";
            e.handle = 3;
            e.message = "no such device";
            return e;
        }
        return note("send_ssp");
    }
    Error receive_ssp(unsigned, unsigned, unsigned, unsigned, inkclient::Bytes &reply) override {
        reply.assign(last_.rbegin(), last_.rend());
        return note("receive_ssp");
    }
    // Stopping a stream leaves one report behind that came just before it
    // stopped, as a real pad's can.
    Error set_receiving(unsigned device, unsigned end_point, bool enabled) override {
        if (!enabled)
            s_->push_report(0xEE);
        return note("set_receiving " + std::to_string(device) + " " + std::to_string(end_point) +
                    (enabled ? " on" : " off"));
    }
    Error watch_arrivals() override { return note("watch_arrivals"); }
    Error poll_events(std::chrono::milliseconds wait,
                      const inkclient::EventHandler &handler) override {
        std::deque<Event> ready;
        {
            std::unique_lock<std::mutex> lock(s_->mutex);
            s_->more.wait_for(lock, wait, [this] { return !s_->events.empty() || s_->woken; });
            s_->woken = false;
            ready.swap(s_->events);
        }
        for (const Event &e : ready)
            handler(e);
        return {};
    }
    void wake() override {
        {
            std::lock_guard<std::mutex> lock(s_->mutex);
            s_->woken = true;
        }
        s_->more.notify_one();
    }

  private:
    Error note(std::string call) {
        std::lock_guard<std::mutex> lock(s_->mutex);
        s_->log.push_back(std::move(call));
        return {};
    }

    std::shared_ptr<Shared> s_;
    inkclient::Bytes last_;
};

}  // namespace pagetest
