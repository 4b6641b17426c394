// A FirmwareHost that records what the firmware pushes, and the few steps
// of the host's side of the protocol that the unit tests repeat.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "firmware_model.h"

namespace padsim::testing {

class FakeHost : public FirmwareHost {
  public:
    void queue_interrupt_in(int interface, Bytes report) override {
        std::lock_guard<std::mutex> lk(mu_);
        interrupt_.emplace_back(interface, std::move(report));
        cv_.notify_all();
    }
    void queue_bulk_in(Bytes data) override {
        std::lock_guard<std::mutex> lk(mu_);
        bulk_.push_back(std::move(data));
        cv_.notify_all();
    }

    std::vector<std::pair<int, Bytes>> interrupt_reports() {
        std::lock_guard<std::mutex> lk(mu_);
        return interrupt_;
    }
    std::vector<Bytes> bulk_chunks() {
        std::lock_guard<std::mutex> lk(mu_);
        return bulk_;
    }
    // Everything handed over on the bulk pipe so far, in one piece; takes it.
    Bytes take_bulk() {
        std::lock_guard<std::mutex> lk(mu_);
        Bytes all;
        for (const auto &c : bulk_) {
            all.insert(all.end(), c.begin(), c.end());
        }
        bulk_.clear();
        return all;
    }
    bool wait_interrupt_reports(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, timeout, [&] { return interrupt_.size() >= n; });
    }
    bool wait_bulk_chunks(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, timeout, [&] { return bulk_.size() >= n; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::pair<int, Bytes>> interrupt_;
    std::vector<Bytes> bulk_;
};

inline constexpr std::chrono::milliseconds kGenerous{10000};

inline Bytes bytes(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v) {
        b.push_back(static_cast<uint8_t>(x));
    }
    return b;
}

// The host's way of sending one message to a HID pad: its token data in
// 0xF8 reports of at most 63 data bytes.
inline void hid_send(Firmware &fw, const Bytes &msg, int interface = 0) {
    Bytes tokens = ssp::encode_tokens(msg);
    for (size_t off = 0; off < tokens.size(); off += wire::kSspOutMaxData) {
        size_t n = std::min(wire::kSspOutMaxData, tokens.size() - off);
        Bytes report(1 + n);
        report[0] = wire::kCmdSspOut;
        std::copy(tokens.begin() + off, tokens.begin() + off + n, report.begin() + 1);
        fw.set_feature(interface, report);
    }
}

// One 0xF9 exchange: the 64-byte request, then the 64-byte answer.
inline Bytes hid_poll(Firmware &fw, int interface = 0) {
    Bytes req(wire::kReportSize, 0);
    req[0] = wire::kCmdSspIn;
    fw.set_feature(interface, req);
    return fw.get_feature(interface, wire::kReportSize).value_or(Bytes{});
}

// Token bytes of every 0xF9 answer until the pad says it has nothing more,
// each answer's 62 data bytes with their zero fill.
inline std::vector<Bytes> hid_drain(Firmware &fw, int max_polls = 64) {
    std::vector<Bytes> out;
    for (int i = 0; i < max_polls; ++i) {
        Bytes a = hid_poll(fw);
        if (a.size() != wire::kReportSize || a[0] != wire::kCmdSspIn || a[1] != 0) {
            break;
        }
        out.emplace_back(a.begin() + 2, a.end());
    }
    return out;
}

// Decodes a whole token stream into its messages, each cut to the size its
// header announces (the rest of a 0xF9 answer is zero fill).
inline std::vector<Bytes> messages_of(const Bytes &stream) {
    ssp::TokenDecoder dec(true);
    std::vector<ssp::TokenDecoder::Frame> frames;
    dec.feed(stream, frames);
    std::vector<Bytes> out;
    for (auto &f : frames) {
        out.push_back(std::move(f.bytes));
    }
    return out;
}

inline Bytes concat(const std::vector<Bytes> &parts) {
    Bytes all;
    for (const auto &p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

}  // namespace padsim::testing
