// A HID pad for tests of the SSP exchange. The firmware model answers the
// control commands the library sends on its own (version, mode, status,
// signature rectangle); the SSP side is in the test's hands: what the host
// writes with 0xF8 is decoded and recorded, replies come from a reply rule
// and from scripted byte streams, and each 0xF9 answer hands out the next
// 62 bytes of that stream as a pad does, cutting tokens wherever the
// boundary falls.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "firmware_model.h"
#include "pad_ssp.h"
#include "pad_wire.h"

namespace ssptest {

using padsim::Bytes;

inline Bytes base_message(uint8_t component, const Bytes &payload) {
    return padsim::ssp::make_base(component, payload);
}

inline Bytes old_message(const Bytes &payload, bool biodata) {
    return *padsim::ssp::make_old(payload.data(), payload.size(), biodata);
}

class ScriptedSspPad final : public padsim::Firmware {
  public:
    using Rule = std::function<std::vector<Bytes>(const Bytes &request)>;

    explicit ScriptedSspPad(padsim::FirmwareConfig cfg = padsim::FirmwareConfig::hid_pad())
        : model_(std::move(cfg)) {}

    void attach(padsim::FirmwareHost *host) override { model_.attach(host); }

    bool set_feature(int interface, const Bytes &data) override {
        if (data.empty())
            return false;
        std::lock_guard<std::mutex> g(mu_);
        Side &side = sides_[interface];
        if (data[0] == padsim::wire::kCmdSspOut) {
            side.ssp_selected = false;
            std::vector<padsim::ssp::TokenDecoder::Frame> frames;
            side.decoder.feed(data.data() + 1, data.size() - 1, frames);
            for (auto &f : frames) {
                received_.push_back(f);
                if (f.complete && rule_)
                    for (const Bytes &reply : rule_(f.bytes))
                        append_locked(side, padsim::ssp::encode_tokens(reply));
            }
            return true;
        }
        if (data[0] == padsim::wire::kCmdSspIn) {
            side.ssp_selected = true;
            return true;
        }
        side.ssp_selected = false;
        return model_.set_feature(interface, data);
    }

    std::optional<Bytes> get_feature(int interface, size_t length) override {
        std::unique_lock<std::mutex> g(mu_);
        Side &side = sides_[interface];
        if (!side.ssp_selected) {
            g.unlock();
            return model_.get_feature(interface, length);
        }
        Bytes answer(padsim::wire::kReportSize, 0);
        answer[0] = padsim::wire::kCmdSspIn;
        if (stuck_ || (side.answers.empty() && side.stream.empty())) {
            answer[1] = padsim::wire::kStatusInProgress;
        } else if (!side.answers.empty()) {
            std::copy(side.answers.front().begin(), side.answers.front().end(), answer.begin() + 2);
            side.answers.pop_front();
        } else {
            size_t n = std::min(padsim::wire::kSspInMaxData, side.stream.size());
            std::copy(side.stream.begin(), side.stream.begin() + static_cast<long>(n),
                      answer.begin() + 2);
            side.stream.erase(side.stream.begin(), side.stream.begin() + static_cast<long>(n));
        }
        answer.resize(std::min(length, answer.size()));
        return answer;
    }

    bool bulk_out(const Bytes &) override { return false; }

    // Replies to every complete message the host sends.
    void set_rule(Rule rule) {
        std::lock_guard<std::mutex> g(mu_);
        rule_ = std::move(rule);
    }
    // Appends raw token bytes to what the 0xF9 answers of `interface` hand out.
    void append_stream(const Bytes &tokens, int interface = 0) {
        std::lock_guard<std::mutex> g(mu_);
        append_locked(sides_[interface], tokens);
    }
    void send(const Bytes &message, int interface = 0) {
        append_stream(padsim::ssp::encode_tokens(message), interface);
    }
    // One 0xF9 answer carrying exactly these token bytes (zero-filled), ahead of the stream.
    void queue_answer(const Bytes &tokens, int interface = 0) {
        std::lock_guard<std::mutex> g(mu_);
        sides_[interface].answers.push_back(tokens);
    }
    // Every 0xF9 answer says "nothing ready" while set.
    void set_stuck(bool stuck) {
        std::lock_guard<std::mutex> g(mu_);
        stuck_ = stuck;
    }

    std::vector<padsim::ssp::TokenDecoder::Frame> received() const {
        std::lock_guard<std::mutex> g(mu_);
        return received_;
    }
    void clear_received() {
        std::lock_guard<std::mutex> g(mu_);
        received_.clear();
    }
    size_t pending(int interface = 0) const {
        std::lock_guard<std::mutex> g(mu_);
        auto it = sides_.find(interface);
        return it == sides_.end() ? 0 : it->second.stream.size() + it->second.answers.size();
    }

    padsim::PadModel &model() { return model_; }

  private:
    struct Side {
        padsim::ssp::TokenDecoder decoder{true};
        bool ssp_selected = false;
        std::deque<Bytes> answers;
        Bytes stream;
    };

    void append_locked(Side &side, const Bytes &tokens) {
        side.stream.insert(side.stream.end(), tokens.begin(), tokens.end());
    }

    padsim::PadModel model_;
    mutable std::mutex mu_;
    std::map<int, Side> sides_;
    Rule rule_;
    bool stuck_ = false;
    std::vector<padsim::ssp::TokenDecoder::Frame> received_;
};

}  // namespace ssptest
