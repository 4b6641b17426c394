#include "pad_worker.h"

#include <cstdio>

#include "commands.h"

namespace inkwebd {
namespace {

using inkclient::Error;
using inkclient::Event;

// A quiet pad costs one wake-up per this long; work and events end the wait.
constexpr std::chrono::milliseconds kIdleWait{10000};

inkclient::Error protocol_fault(const char *function, std::string message) {
    Error e;
    e.fault = inkclient::Fault::protocol;
    e.function = function;
    e.message = std::move(message);
    return e;
}

Error list_pads(inkclient::PadStack &stack, std::vector<PadInfo> &pads) {
    // The library refuses to enumerate no pads.
    unsigned count = 0;
    Error e = stack.device_count(count);
    if (!e.ok() || count == 0)
        return e;
    unsigned device = 0;
    for (e = stack.enumerate_start(device); e.ok() && device != 0;
         e = stack.enumerate_next(device)) {
        PadInfo p;
        std::u16string serial, product, vendor;
        p.dev = device;
        if (!(e = stack.vendor_id(device, p.vendor_id)).ok() ||
            !(e = stack.product_id(device, 0, p.product_id)).ok() ||
            !(e = stack.serial_number(device, serial)).ok() ||
            !(e = stack.product_name(device, 0, product)).ok() ||
            !(e = stack.vendor_name(device, vendor)).ok() ||
            !(e = stack.end_point_count(device, p.end_points)).ok())
            break;
        p.serial = inkclient::narrow(serial);
        p.product = inkclient::narrow(product);
        p.vendor = inkclient::narrow(vendor);
        pads.push_back(std::move(p));
    }
    return e;
}

}  // namespace

PadWorker::PadWorker(std::unique_ptr<inkclient::PadStack> stack, Deliver deliver)
    : stack_(std::move(stack)), deliver_(std::move(deliver)) {
    thread_ = std::thread([this] { run(); });
}

PadWorker::~PadWorker() {
    stop();
}

void PadWorker::post(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        jobs_.push_back(std::move(job));
    }
    more_.notify_one();
    stack_->wake();
}

void PadWorker::adopt(uint64_t page) {
    owner_.store(page);
    post([this, page] {
        release_streams();
        holder_ = page;
        seq_ = 0;
        // Reports of the old holder's streams that were queued before they
        // stopped: none of them is for the new holder (it has no streams yet).
        if (!events_broken_)
            stack_->poll_events(std::chrono::milliseconds(0),
                                [this](const Event &event) { on_event(event); });
    });
}

void PadWorker::submit(uint64_t page, Request request) {
    post([this, page, request = std::move(request)] {
        if (page == owner_.load() && page == holder_)
            run_call(page, request);
    });
}

void PadWorker::count_pads(std::function<void(unsigned)> done) {
    post([this, done = std::move(done)] {
        unsigned count = 0;
        if (!stack_->device_count(count).ok())
            count = 0;
        done(count);
    });
}

void PadWorker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ && !thread_.joinable())
            return;
        stopping_ = true;
    }
    more_.notify_one();
    stack_->wake();
    if (thread_.joinable())
        thread_.join();
}

void PadWorker::run() {
    for (;;) {
        std::deque<Job> jobs;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // With the event stream gone only jobs can wake this thread.
            if (events_broken_)
                more_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                break;
            jobs.swap(jobs_);
        }
        for (Job &job : jobs)
            job();
        if (events_broken_)
            continue;
        const Error e = stack_->poll_events(jobs.empty() ? kIdleWait : std::chrono::milliseconds(0),
                                            [this](const Event &event) { on_event(event); });
        if (!e.ok()) {
            fprintf(stderr, "inkwebd: the pads' event stream ended: %s\n",
                    inkclient::describe(e).c_str());
            events_broken_ = true;
        }
    }
    release_streams();
    stack_->deinitialize();
}

void PadWorker::release_streams() {
    for (const auto &[dev, ep] : streams_)
        stack_->set_receiving(dev, ep, false);
    streams_.clear();
    watching_ = false;
}

void PadWorker::run_call(uint64_t page, const Request &r) {
    const auto answer = [&](std::string text) { deliver_(page, Kind::answer, std::move(text)); };
    const auto fault_or = [&](const Error &e, std::string ok) {
        answer(e.ok() ? std::move(ok) : encode_fault(r.id, e));
    };
    switch (r.call) {
        case Call::list: {
            std::vector<PadInfo> pads;
            const Error e = list_pads(*stack_, pads);
            fault_or(e, e.ok() ? encode_pads(r.id, pads) : std::string());
            break;
        }
        case Call::ssp: {
            Bytes reply;
            Error e = stack_->send_ssp(r.dev, r.interface, r.message);
            if (e.ok())
                e = stack_->receive_ssp(r.dev, r.interface, kMaxSspMessage, r.time_out_ms, reply);
            fault_or(e, e.ok() ? encode_reply(r.id, reply) : std::string());
            break;
        }
        case Call::set_var: {
            const inkctl::SetVarOutcome o = inkctl::set_variable(*stack_, r.dev, r.name, r.value);
            if (!o.error.ok())
                answer(encode_fault(r.id, o.error));
            else if (!o.refusal.empty())
                answer(encode_fault(r.id, protocol_fault("set_var", "pad " + std::to_string(r.dev) +
                                                                        " " + o.refusal)));
            else
                answer(encode_ok(r.id));
            break;
        }
        case Call::receive: {
            const Error e = stack_->set_receiving(r.dev, r.ep, r.on);
            if (r.on && e.ok())
                streams_.insert({r.dev, r.ep});
            if (!r.on)
                streams_.erase({r.dev, r.ep});
            fault_or(e, encode_ok(r.id));
            break;
        }
        case Call::watch: {
            Error e;
            if (!stack_watching_ && (e = stack_->watch_arrivals()).ok())
                stack_watching_ = true;
            if (e.ok())
                watching_ = true;
            fault_or(e, encode_ok(r.id));
            break;
        }
    }
}

void PadWorker::on_event(const Event &event) {
    switch (event.kind) {
        case Event::Kind::data:
            if (holder_ == 0 || streams_.count({event.device, event.end_point}) == 0)
                return;
            deliver_(holder_, Kind::event,
                     encode_data(event.device, event.end_point, seq_++, event.report));
            break;
        case Event::Kind::removed:
            // The pad's number may come back with another pad: its streams end here.
            for (auto it = streams_.begin(); it != streams_.end();) {
                if (it->first == event.device) {
                    stack_->set_receiving(it->first, it->second, false);
                    it = streams_.erase(it);
                } else {
                    ++it;
                }
            }
            if (holder_ != 0)
                deliver_(holder_, Kind::event, encode_removed(event.device));
            break;
        case Event::Kind::arrived:
            if (holder_ != 0 && watching_)
                deliver_(holder_, Kind::event,
                         encode_arrived(event.device, event.vendor_id, event.product_id,
                                        inkclient::narrow(event.serial)));
            break;
        case Event::Kind::gap:
            if (holder_ != 0)
                deliver_(holder_, Kind::event, encode_gap(event.lost));
            break;
    }
}

}  // namespace inkwebd
