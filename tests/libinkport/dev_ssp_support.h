// SSP commands on emulated HID pads: a record of our own with the library's
// message exchange, and a firmware front that answers chosen requests with
// replies the firmware model would never give (a wrong mode id, a count
// larger than the list that follows) while everything else reaches the model.
#pragma once

#include <hidapi.h>
#include <pthread.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core.h"
#include "dev_support.h"
#include "firmware_model.h"
#include "hid.h"
#include "pad_ssp.h"
#include "pad_wire.h"
#include "ssp_common.h"
#include "uni_queue.h"

namespace devtest {

using padsim::Bytes;

// Decodes the host's 0xF8 stream itself and keeps every request it saw.
// A request the rule answers stays away from the model; its reply goes out
// in the following 0xF9 answers of that interface.
class ReplyOverride final : public padsim::Firmware {
  public:
    using Rule = std::function<std::optional<Bytes>(const Bytes &request)>;

    ReplyOverride(padsim::FirmwareConfig cfg, Rule rule)
        : model_(std::move(cfg)), rule_(std::move(rule)) {}

    padsim::PadModel &model() { return model_; }

    void attach(padsim::FirmwareHost *host) override { model_.attach(host); }

    bool set_feature(int interface, const Bytes &data) override {
        std::unique_lock<std::mutex> g(mu_);
        Side &side = sides_[interface];
        side.ssp_in = !data.empty() && data[0] == padsim::wire::kCmdSspIn;
        if (data.empty() || data[0] != padsim::wire::kCmdSspOut) {
            g.unlock();
            return model_.set_feature(interface, data);
        }
        std::vector<padsim::ssp::TokenDecoder::Frame> frames;
        side.decoder.feed(data.data() + 1, data.size() - 1, frames);
        std::vector<Bytes> to_model;
        for (auto &f : frames) {
            requests_.push_back(f.bytes);
            std::optional<Bytes> reply = f.complete && rule_ ? rule_(f.bytes) : std::nullopt;
            if (reply) {
                Bytes tokens = padsim::ssp::encode_tokens(*reply);
                side.pending.insert(side.pending.end(), tokens.begin(), tokens.end());
            } else {
                to_model.push_back(padsim::ssp::encode_tokens(f.bytes));
            }
        }
        g.unlock();
        // Passed on as the library writes it: F8 and up to 63 token bytes.
        for (const Bytes &tokens : to_model) {
            for (size_t off = 0; off < tokens.size(); off += padsim::wire::kSspOutMaxData) {
                size_t n = std::min(padsim::wire::kSspOutMaxData, tokens.size() - off);
                Bytes report(1 + n);
                report[0] = padsim::wire::kCmdSspOut;
                std::copy(tokens.begin() + off, tokens.begin() + off + n, report.begin() + 1);
                if (!model_.set_feature(interface, report))
                    return false;
            }
        }
        return true;
    }

    std::optional<Bytes> get_feature(int interface, size_t length) override {
        std::unique_lock<std::mutex> g(mu_);
        Side &side = sides_[interface];
        if (!side.ssp_in || side.pending.empty()) {
            g.unlock();
            return model_.get_feature(interface, length);
        }
        Bytes answer(padsim::wire::kReportSize, 0);
        answer[0] = padsim::wire::kCmdSspIn;
        size_t n = std::min(padsim::wire::kSspInMaxData, side.pending.size());
        std::copy(side.pending.begin(), side.pending.begin() + n, answer.begin() + 2);
        side.pending.erase(side.pending.begin(), side.pending.begin() + n);
        answer.resize(std::min(length, answer.size()));
        return answer;
    }

    bool bulk_out(const Bytes &data) override { return model_.bulk_out(data); }

    // Every message the host sent, in order, as decoded from the wire.
    std::vector<Bytes> requests() const {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }
    void clear_requests() {
        std::lock_guard<std::mutex> g(mu_);
        requests_.clear();
    }

  private:
    struct Side {
        padsim::ssp::TokenDecoder decoder{true};
        bool ssp_in = false;
        Bytes pending;
    };
    padsim::PadModel model_;
    Rule rule_;
    mutable std::mutex mu_;
    std::map<int, Side> sides_;
    std::vector<Bytes> requests_;
};

// A record opened on the HID pad (vid, pid) with the library's exchange, as
// the search prepares an SSP pad.
struct SspRecord {
    ql_device rec{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

    SspRecord(uint16_t vid, uint16_t pid, uint32_t pad_type) {
        rec.vendor_id = vid;
        rec.product_id = pid;
        rec.pad_type = pad_type;
        rec.transport = &hid_transport;
        rec.device_lock = &lock;
        rec.send_ssp_message = __send_ssp_message;
        rec.receive_ssp_message = __receive_ssp_message;
        hid_device_info *list = hid_enumerate(vid, pid);
        if (list != nullptr) {
            snprintf(rec.hid_path, sizeof rec.hid_path, "%s", list->path);
            rec.hid = hid_open_dev(rec.hid_path);
        }
        hid_free_enumeration(list);
    }
    ~SspRecord() {
        __core_close_dev(&rec);
        destroy_uni_queue(rec.ssp_input_read);
        destroy_uni_queue(rec.ssp_command_messages);
    }
    SspRecord(const SspRecord &) = delete;
    SspRecord &operator=(const SspRecord &) = delete;
};

// A bench with one SSP pad 2689:0CE1 behind a ReplyOverride and a record on
// it. No Initialize: the record is ours, and hidapi is ended after it.
class SspBench : public ::testing::Test {
  protected:
    static constexpr uint16_t kVid = 0x2689;
    static constexpr uint16_t kPid = 0x0CE1;

    void SetUp() override { ASSERT_TRUE(bed.ok()); }
    void TearDown() override {
        record.reset();
        hid_exit();
    }

    void start(padsim::FirmwareConfig cfg = padsim::FirmwareConfig::hid_pad(),
               uint32_t pad_type = 16, ReplyOverride::Rule rule = nullptr) {
        auto fw = std::make_unique<ReplyOverride>(std::move(cfg), std::move(rule));
        front = fw.get();
        pad = bed.add_pad(padsim::PadConfig::hid(kVid, kPid, "SSP1"), std::move(fw));
        ASSERT_NE(pad, nullptr);
        record = std::make_unique<SspRecord>(kVid, kPid, pad_type);
        ASSERT_NE(record->rec.hid, nullptr);
        dev = &record->rec;
    }

    padsim::PadModel &model() { return front->model(); }

    // The requests whose bytes start with `prefix`.
    std::vector<Bytes> requests_starting(const Bytes &prefix) const {
        std::vector<Bytes> out;
        for (const Bytes &r : front->requests())
            if (r.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), r.begin()))
                out.push_back(r);
        return out;
    }

    padsim::Testbed bed;
    padsim::Pad *pad = nullptr;
    ReplyOverride *front = nullptr;
    std::unique_ptr<SspRecord> record;
    ql_device *dev = nullptr;
};

inline Bytes text_bytes(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace devtest
