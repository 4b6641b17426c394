#include "firmware_model.h"

#include <algorithm>
#include <cstring>

namespace padsim {

namespace {

constexpr size_t kLegacyFeatureRequestSize = 2;

Bytes zeros(size_t n) {
    return Bytes(n, 0);
}

std::string text_field(const char *p, size_t n) {
    size_t len = 0;
    while (len < n && p[len] != '\0') {
        ++len;
    }
    return std::string(p, len);
}

}  // namespace

FirmwareConfig FirmwareConfig::hid_pad() {
    return FirmwareConfig{};
}

FirmwareConfig FirmwareConfig::type1_pad() {
    FirmwareConfig c;
    c.described_vendor_id = 0x1690;
    c.described_product_id = 0x2000;
    c.answers_control_commands = false;
    c.speaks_ssp = false;
    c.input_report_size = wire::kType1InputReportSize;
    return c;
}

FirmwareConfig FirmwareConfig::vcom_pad() {
    FirmwareConfig c;
    c.transport = PadTransport::kVcom;
    return c;
}

PadModel::PadModel(FirmwareConfig config)
    : transport_(config.transport),
      cfg_(std::move(config)),
      mode_(cfg_.initial_mode),
      mode_timing_(cfg_.mode_change),
      connection_type_(cfg_.connection_type),
      conf_script_(cfg_.conf_handler),
      conf_idle_state_(cfg_.initial_conf_state),
      user_input_(cfg_.user_input_button),
      button_events_(cfg_.button_events) {
    for (const auto &[name, value] : cfg_.variables) {
        variables_[name] = value;
    }
    worker_thread_ = std::thread([this] { worker(); });
}

PadModel::~PadModel() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
    }
    work_cv_.notify_all();
    worker_thread_.join();
}

void PadModel::attach(FirmwareHost *host) {
    std::unique_lock<std::mutex> lk(mu_);
    // The worker may be inside a call to the old host; whoever detaches is
    // about to free it.
    idle_cv_.wait(lk, [this] { return !delivering_; });
    host_ = host;
    lk.unlock();
    work_cv_.notify_all();
}

PadModel::Channel &PadModel::channel(int interface) {
    return channels_[interface];
}

// ---- Control commands ----

bool PadModel::mode_change_due_locked() const {
    return mode_pending_ && !mode_timing_.never &&
           polls_since_mode_set_ >= mode_timing_.after_status_polls &&
           Clock::now() - mode_set_at_ >= mode_timing_.after;
}

uint8_t PadModel::visible_mode_locked() {
    if (mode_change_due_locked()) {
        mode_ = *mode_pending_;
        mode_pending_.reset();
    }
    return mode_;
}

Bytes PadModel::run_control(const uint8_t *req, size_t len) {
    control_log_.emplace_back(req, req + len);
    // Bytes the host did not write read as zero.
    Bytes request = zeros(wire::kReportSize);
    std::memcpy(request.data(), req, std::min(len, request.size()));
    const uint8_t code = request[0];

    Bytes a = zeros(wire::kReportSize);
    a[offsetof(wire::AnswerHeader, echo)] = code;
    if (answer_status_n_ > 0) {
        // A refused command changes nothing on the pad.
        --answer_status_n_;
        a[offsetof(wire::AnswerHeader, status)] = answer_status_;
    } else {
        switch (code) {
            case wire::kCmdReadVersion: {
                const auto &v = cfg_.version;
                ssp::put_le32(&a[offsetof(wire::VersionAnswer, major)], v.major);
                ssp::put_le32(&a[offsetof(wire::VersionAnswer, minor)], v.minor);
                ssp::put_le32(&a[offsetof(wire::VersionAnswer, patch)], v.patch);
                ssp::put_le32(&a[offsetof(wire::VersionAnswer, revision)], v.revision);
                std::copy(v.manufacturer.begin(), v.manufacturer.end(),
                          a.begin() + offsetof(wire::VersionAnswer, manufacturer));
                break;
            }
            case wire::kCmdSetPadMode:
                mode_pending_ = request[offsetof(wire::SetPadModeRequest, mode)];
                polls_since_mode_set_ = 0;
                mode_set_at_ = Clock::now();
                visible_mode_locked();
                break;
            case wire::kCmdGetStatus: {
                auto flags = cfg_.status_flags;
                flags[wire::kStatusModeFlag] = visible_mode_locked();
                ++polls_since_mode_set_;
                std::copy(flags.begin(), flags.end(),
                          a.begin() + offsetof(wire::StatusAnswer, flags));
                break;
            }
            case wire::kCmdSignatureRectangle:
                for (size_t i = 0; i < 4; ++i) {
                    rectangle_[i] = ssp::get_le16(
                        &request[offsetof(wire::SignatureRectangleRequest, values) + 2 * i]);
                }
                rectangle_option_ =
                    ssp::get_le32(&request[offsetof(wire::SignatureRectangleRequest, option)]);
                break;
            default:
                a[offsetof(wire::AnswerHeader, status)] = wire::kStatusNotImplemented;
                break;
        }
    }
    if (answer_echo_n_ > 0) {
        --answer_echo_n_;
        a[offsetof(wire::AnswerHeader, echo)] = answer_echo_;
    }
    if (!cfg_.answers_control_commands) {
        return {};
    }
    return a;
}

// ---- Token stream in ----

void PadModel::take_stream(Channel &ch, int interface, const uint8_t *data, size_t len) {
    std::vector<ssp::TokenDecoder::Frame> frames;
    ch.decoder.feed(data, len, frames);
    for (auto &f : frames) {
        handle_message(ch, interface, std::move(f));
    }
}

void PadModel::handle_message(Channel &ch, int interface, ssp::TokenDecoder::Frame frame) {
    received_.push_back(ReceivedMessage{interface, frame.bytes, frame.complete});
    if (!frame.complete) {
        return;
    }
    if (ssp::is_old(frame.bytes[0])) {
        dispatch_legacy(ch, frame.bytes);
    } else if (cfg_.speaks_ssp) {
        dispatch_base(ch, frame.bytes);
    }
}

void PadModel::dispatch_legacy(Channel &ch, const Bytes &msg) {
    const size_t n = msg.size() - 1;
    if (ssp::is_biodata(msg[0])) {
        // C0 00 asks for the feature report: the answer to the last report
        // written, as a plain legacy message.
        if (msg.size() == kLegacyFeatureRequestSize && msg[1] == 0x00) {
            Bytes report = ch.answer.empty() ? zeros(wire::kReportSize) : ch.answer;
            send_reply(ch, *ssp::make_old(report.data(), report.size(), false));
        }
        return;
    }
    ch.answer = run_control(msg.data() + 1, n);
    ch.selected = Selected::kControl;
}

// ---- Replies out ----

void PadModel::send_reply(Channel &ch, Bytes msg) {
    if (overstate_n_ > 0) {
        --overstate_n_;
        if (ssp::is_old(msg[0])) {
            const unsigned len = (msg[0] & wire::kOldLengthMask) + overstate_;
            msg[0] = static_cast<uint8_t>((msg[0] & ~wire::kOldLengthMask) |
                                          std::min(len, unsigned{wire::kOldLengthMask}));
        } else {
            ssp::put_le16(&msg[1], static_cast<uint16_t>(ssp::get_le16(&msg[1]) + overstate_));
        }
    }
    sent_.push_back(msg);

    Bytes tokens = ssp::encode_tokens(msg);
    if (garbage_n_ > 0) {
        --garbage_n_;
        tokens.insert(tokens.begin(), garbage_.begin(), garbage_.end());
    }

    std::vector<Bytes> pieces;
    if (chunks_.empty()) {
        pieces.push_back(std::move(tokens));
    } else {
        size_t off = 0;
        for (size_t i = 0; off < tokens.size(); ++i) {
            const size_t want = std::max<size_t>(1, chunks_[std::min(i, chunks_.size() - 1)]);
            const size_t n = std::min(want, tokens.size() - off);
            pieces.emplace_back(tokens.begin() + off, tokens.begin() + off + n);
            off += n;
        }
    }

    if (transport_ == PadTransport::kVcom) {
        for (auto &p : pieces) {
            outbox_.push_back(HostCall{true, 0, std::move(p)});
        }
        work_cv_.notify_all();
    } else {
        for (auto &p : pieces) {
            ch.pending.push_back(OutPiece{std::move(p), 0, !chunks_.empty()});
        }
    }
}

void PadModel::reply_base(Channel &ch, uint8_t component, Bytes payload) {
    send_reply(ch, ssp::make_base(component, payload));
}

Bytes PadModel::ssp_in_answer(Channel &ch) {
    Bytes r = zeros(wire::kReportSize);
    r[offsetof(wire::SspInReport, code)] = wire::kCmdSspIn;
    if (endless_cut_) {
        const Bytes start = ssp::encode_tokens(ssp::make_base(1, Bytes(2, 0xC5)));
        std::copy(start.begin(), start.end(), r.begin() + offsetof(wire::SspInReport, data));
        // The header claims 0x7FFF data bytes; the answer carries a few.
        ssp::put_le16(&r[offsetof(wire::SspInReport, data) + ssp::kTokenSize + 1], 0x7FFF);
        return r;
    }
    if (ssp_in_stuck_ || ch.pending.empty()) {
        r[offsetof(wire::SspInReport, status)] = cfg_.ssp_busy_status;
        return r;
    }
    uint8_t *out = &r[offsetof(wire::SspInReport, data)];
    OutPiece &front = ch.pending.front();
    if (front.exact) {
        const size_t n = std::min(wire::kSspInMaxData, front.data.size() - front.off);
        std::memcpy(out, front.data.data() + front.off, n);
        front.off += n;
        if (front.off == front.data.size()) {
            ch.pending.pop_front();
        }
        return r;
    }
    // The stream goes out as it comes: every answer is filled up to its 62
    // bytes, and a token that does not fit continues in the next answer, as
    // a pad's firmware cuts its byte stream wherever a report is full.
    Bytes look;
    for (const auto &p : ch.pending) {
        if (p.exact || look.size() >= wire::kSspInMaxData) {
            break;
        }
        look.insert(look.end(), p.data.begin() + static_cast<long>(p.off), p.data.end());
    }
    const size_t cut = std::min(wire::kSspInMaxData, look.size());
    std::memcpy(out, look.data(), cut);
    for (size_t left = cut; left > 0;) {
        OutPiece &p = ch.pending.front();
        const size_t n = std::min(left, p.data.size() - p.off);
        p.off += n;
        left -= n;
        if (p.off == p.data.size()) {
            ch.pending.pop_front();
        }
    }
    return r;
}

// ---- SSP requests ----

void PadModel::dispatch_base(Channel &ch, const Bytes &msg) {
    const uint8_t comp = msg[0];
    const Bytes payload(msg.begin() + ssp::kBaseHeaderSize, msg.end());
    const uint8_t msg_id = payload[0];

    const bool list_request = comp == 0 && payload.size() == 1 && msg_id == wire::kMsgComponentList;
    const uint8_t type = comp < cfg_.components.size() ? cfg_.components[comp] : 0;
    const bool no_reply = !list_request && type == wire::kComponentCommunication &&
                          msg_id == wire::kMsgConnectionSet && !cfg_.reply_to_connection_set;
    if (!no_reply && ssp_fail_n_ > 0) {
        --ssp_fail_n_;
        reply_base(ch, comp, {msg_id, ssp_fail_result_});
        return;
    }

    if (list_request) {
        Bytes p{wire::kMsgComponentList, wire::kProtocolSuccess,
                static_cast<uint8_t>(cfg_.components.size())};
        p.insert(p.end(), cfg_.components.begin(), cfg_.components.end());
        reply_base(ch, 0, std::move(p));
        return;
    }
    switch (type) {
        case wire::kComponentSignpad:
            signpad(ch, comp, payload);
            break;
        case wire::kComponentCommunication:
            communication(ch, comp, payload);
            break;
        case wire::kComponentConfHandler:
            conf_handler(ch, comp, payload);
            break;
        default:
            reply_base(ch, comp, {msg_id, wire::kProtocolFailure});
            break;
    }
}

void PadModel::signpad(Channel &ch, uint8_t comp, const Bytes &payload) {
    const uint8_t msg_id = payload[0];
    const uint8_t p1 = payload.size() > 1 ? payload[1] : 0;
    const uint8_t p2 = payload.size() > 2 ? payload[2] : 0;
    Bytes r{msg_id, wire::kProtocolSuccess};

    switch (msg_id) {
        case wire::kMsgPadDescription: {
            ssp::append_le32(r, cfg_.described_vendor_id);
            ssp::append_le32(r, cfg_.described_product_id);
            ssp::append_le32(r, cfg_.version.major);
            ssp::append_le32(r, cfg_.version.minor);
            ssp::append_le32(r, cfg_.version.patch);
            ssp::append_le32(r, cfg_.version.revision);
            ssp::append_le32(r, aa55_ ? 0x55AA55AAu : cfg_.described_manufacturer_id);
            const size_t n = std::min<size_t>(cfg_.serial_number.size(), 255);
            r.push_back(static_cast<uint8_t>(n));
            r.insert(r.end(), cfg_.serial_number.begin(), cfg_.serial_number.begin() + n);
            break;
        }
        case wire::kMsgBiodataSending:
            biodata_on_ = p1 != 0;
            break;
        case wire::kMsgModeList:
            r.push_back(static_cast<uint8_t>(cfg_.signpad_modes.size()));
            for (uint32_t m : cfg_.signpad_modes) {
                ssp::append_le32(r, m);
            }
            break;
        case wire::kMsgModeSend: {
            r.push_back(p1);
            if (p1 >= cfg_.signpad_modes.size()) {
                r[1] = wire::kProtocolFailure;
                break;
            }
            const uint32_t code = cfg_.signpad_modes[p1];
            if (p2 == wire::kModeSubUserInput && code == wire::kModeUserInput) {
                r.push_back(wire::kModeSubUserInput);
                ssp::append_le32(r, static_cast<uint32_t>(user_input_));
            } else if (p2 == wire::kModeSubUserInput) {
                ++refreshes_[code];
                r.push_back(wire::kModeSubUserInput);
            } else if (p2 == wire::kModeSubButtonEvent) {
                auto it = button_events_.find(code);
                r.push_back(wire::kModeSubButtonEvent);
                ssp::append_le32(
                    r, static_cast<uint32_t>(it == button_events_.end() ? 0 : it->second));
            } else {
                r[1] = wire::kProtocolFailure;
            }
            break;
        }
        default:
            r[1] = wire::kProtocolFailure;
            break;
    }
    reply_base(ch, comp, std::move(r));
}

void PadModel::communication(Channel &ch, uint8_t comp, const Bytes &payload) {
    const uint8_t msg_id = payload[0];
    const uint8_t p1 = payload.size() > 1 ? payload[1] : 0;
    switch (msg_id) {
        case wire::kMsgConnectionGet:
            reply_base(ch, comp, {msg_id, wire::kProtocolSuccess, connection_type_});
            break;
        case wire::kMsgConnectionSet:
            connection_type_ = p1;
            if (cfg_.reply_to_connection_set) {
                reply_base(ch, comp, {msg_id, wire::kProtocolSuccess});
            }
            break;
        default:
            reply_base(ch, comp, {msg_id, wire::kProtocolFailure});
            break;
    }
}

void PadModel::start_conf_job_locked() {
    conf_states_.assign(conf_script_.busy_states.begin(), conf_script_.busy_states.end());
    conf_idle_state_ = conf_script_.stays_running ? wire::kChsRunning : conf_script_.final_state;
}

void PadModel::conf_handler(Channel &ch, uint8_t comp, const Bytes &payload) {
    const uint8_t msg_id = payload[0];
    switch (msg_id) {
        case wire::kMsgConfStateGet: {
            int32_t state = conf_idle_state_;
            if (!conf_states_.empty()) {
                state = conf_states_.front();
                conf_states_.pop_front();
            }
            Bytes r{msg_id, wire::kProtocolSuccess};
            ssp::append_le32(r, static_cast<uint32_t>(state));
            reply_base(ch, comp, std::move(r));
            break;
        }
        case wire::kMsgConfVarSet:
        case wire::kMsgConfVarPersist: {
            if (payload.size() < 1 + sizeof(wire::ConfVarSet)) {
                reply_base(ch, comp, {msg_id, wire::kProtocolFailure});
                break;
            }
            wire::ConfVarSet rec;
            std::memcpy(&rec, payload.data() + 1, sizeof rec);
            const std::string name = text_field(rec.name, sizeof rec.name);
            if (msg_id == wire::kMsgConfVarSet) {
                variables_[name] = text_field(rec.value, sizeof rec.value);
            } else {
                persisted_.insert(name);
            }
            start_conf_job_locked();
            reply_base(ch, comp, {msg_id, wire::kProtocolSuccess});
            break;
        }
        default:
            reply_base(ch, comp, {msg_id, wire::kProtocolFailure});
            break;
    }
}

// ---- Firmware ----

bool PadModel::set_feature(int interface, const Bytes &data) {
    std::lock_guard<std::mutex> lk(mu_);
    if (transport_ != PadTransport::kHid || data.empty()) {
        return false;
    }
    Channel &ch = channel(interface);
    switch (data[0]) {
        case wire::kCmdSspOut:
            take_stream(ch, interface, data.data() + 1, data.size() - 1);
            break;
        case wire::kCmdSspIn:
            ch.selected = Selected::kSspIn;
            break;
        default:
            ch.answer = run_control(data.data(), data.size());
            ch.selected = Selected::kControl;
            break;
    }
    return true;
}

std::optional<Bytes> PadModel::get_feature(int interface, size_t length) {
    std::lock_guard<std::mutex> lk(mu_);
    if (transport_ != PadTransport::kHid) {
        return std::nullopt;
    }
    Channel &ch = channel(interface);
    Bytes r;
    if (ch.selected == Selected::kSspIn && cfg_.speaks_ssp) {
        r = ssp_in_answer(ch);
    } else if (ch.selected == Selected::kControl && !ch.answer.empty()) {
        r = ch.answer;
    } else {
        r = zeros(wire::kReportSize);
    }
    r.resize(std::min(length, r.size()));
    return r;
}

bool PadModel::bulk_out(const Bytes &data) {
    std::lock_guard<std::mutex> lk(mu_);
    if (transport_ != PadTransport::kVcom) {
        return false;
    }
    take_stream(channel(0), 0, data.data(), data.size());
    return true;
}

// ---- Pen and the worker ----

void PadModel::start_stroke(const PenStroke &stroke) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (strokes_.empty()) {
            next_pen_ = Clock::now();
        }
        strokes_.push_back(stroke);
    }
    work_cv_.notify_all();
}

void PadModel::emit_pen_sample_locked() {
    const PenStroke &s = strokes_.front();
    PenSample sample;
    sample.seq = pen_seq_++;
    sample.x = static_cast<uint16_t>(s.x0 + s.dx * static_cast<int32_t>(stroke_index_));
    sample.y = static_cast<uint16_t>(s.y0 + s.dy * static_cast<int32_t>(stroke_index_));
    sample.pressure = s.pressure;
    sample.stroke = static_cast<uint8_t>(stroke_number_);

    if (transport_ == PadTransport::kHid) {
        outbox_.push_back(HostCall{false, cfg_.pen_interface,
                                   make_pen_report(sample, cfg_.input_report_size, aa55_)});
        ++pen_sent_;
    } else if (biodata_on_) {
        const size_t n = std::min(cfg_.input_report_size, wire::kOldMaxData);
        Bytes payload = make_pen_report(sample, n, aa55_);
        Bytes msg = *ssp::make_old(payload.data(), payload.size(), true);
        outbox_.push_back(HostCall{true, 0, ssp::encode_tokens(msg)});
        ++pen_sent_;
    } else {
        ++pen_dropped_;
    }

    ++stroke_index_;
    if (s.rate_hz != 0) {
        next_pen_ +=
            std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / s.rate_hz;
    }
    if (stroke_index_ >= s.reports) {
        strokes_.pop_front();
        stroke_index_ = 0;
        ++stroke_number_;
    }
}

bool PadModel::output_idle_locked() const {
    return outbox_.empty() && !delivering_;
}

void PadModel::worker() {
    std::unique_lock<std::mutex> lk(mu_);
    while (!stop_) {
        if (host_ != nullptr && !outbox_.empty()) {
            HostCall call = std::move(outbox_.front());
            outbox_.pop_front();
            FirmwareHost *host = host_;
            delivering_ = true;
            lk.unlock();
            if (call.bulk) {
                host->queue_bulk_in(std::move(call.data));
            } else {
                host->queue_interrupt_in(call.interface, std::move(call.data));
            }
            lk.lock();
            delivering_ = false;
            idle_cv_.notify_all();
            continue;
        }
        if (!strokes_.empty()) {
            // An empty stroke ends at once.
            if (strokes_.front().reports == 0) {
                strokes_.pop_front();
                ++stroke_number_;
                continue;
            }
            if (Clock::now() >= next_pen_) {
                emit_pen_sample_locked();
                continue;
            }
            work_cv_.wait_until(lk, next_pen_);
            continue;
        }
        idle_cv_.notify_all();
        work_cv_.wait(lk);
    }
    delivering_ = false;
    idle_cv_.notify_all();
}

bool PadModel::wait_pen_idle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mu_);
    return idle_cv_.wait_for(lk, timeout,
                             [this] { return strokes_.empty() && output_idle_locked(); });
}

bool PadModel::wait_output_idle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mu_);
    return idle_cv_.wait_for(lk, timeout, [this] { return output_idle_locked(); });
}

uint64_t PadModel::pen_reports_sent() const {
    std::lock_guard<std::mutex> lk(mu_);
    return pen_sent_;
}

uint64_t PadModel::pen_reports_dropped() const {
    std::lock_guard<std::mutex> lk(mu_);
    return pen_dropped_;
}

// ---- Faults and behaviour ----

void PadModel::fail_next_answers(int n, uint8_t status) {
    std::lock_guard<std::mutex> lk(mu_);
    answer_status_n_ = n;
    answer_status_ = status;
}

void PadModel::wrong_echo_next_answers(int n, uint8_t echo) {
    std::lock_guard<std::mutex> lk(mu_);
    answer_echo_n_ = n;
    answer_echo_ = echo;
}

void PadModel::fail_next_ssp_replies(int n, uint8_t protocol_result) {
    std::lock_guard<std::mutex> lk(mu_);
    ssp_fail_n_ = n;
    ssp_fail_result_ = protocol_result;
}

void PadModel::split_replies(std::vector<size_t> chunk_sizes) {
    std::lock_guard<std::mutex> lk(mu_);
    chunks_ = std::move(chunk_sizes);
}

void PadModel::garbage_before_next_replies(int n, Bytes garbage) {
    std::lock_guard<std::mutex> lk(mu_);
    garbage_n_ = n;
    garbage_ = std::move(garbage);
}

void PadModel::overstate_next_replies(int n, uint16_t missing) {
    std::lock_guard<std::mutex> lk(mu_);
    overstate_n_ = n;
    overstate_ = missing;
}

void PadModel::set_ssp_in_stuck(bool stuck) {
    std::lock_guard<std::mutex> lk(mu_);
    ssp_in_stuck_ = stuck;
}

void PadModel::set_endless_cut_messages(bool on) {
    std::lock_guard<std::mutex> lk(mu_);
    endless_cut_ = on;
}

void PadModel::set_aa55_in_payloads(bool on) {
    std::lock_guard<std::mutex> lk(mu_);
    aa55_ = on;
}

void PadModel::set_mode_change(const ModeChangeTiming &timing) {
    std::lock_guard<std::mutex> lk(mu_);
    mode_timing_ = timing;
}

void PadModel::set_conf_handler_script(const ConfHandlerScript &script) {
    std::lock_guard<std::mutex> lk(mu_);
    conf_script_ = script;
}

void PadModel::set_user_input(int32_t button) {
    std::lock_guard<std::mutex> lk(mu_);
    user_input_ = button;
}

void PadModel::set_button_event(uint32_t mode_code, int32_t button) {
    std::lock_guard<std::mutex> lk(mu_);
    button_events_[mode_code] = button;
}

// ---- Records and state ----

std::vector<ReceivedMessage> PadModel::received_messages() const {
    std::lock_guard<std::mutex> lk(mu_);
    return received_;
}

std::vector<Bytes> PadModel::sent_messages() const {
    std::lock_guard<std::mutex> lk(mu_);
    return sent_;
}

std::vector<Bytes> PadModel::control_requests() const {
    std::lock_guard<std::mutex> lk(mu_);
    return control_log_;
}

void PadModel::clear_records() {
    std::lock_guard<std::mutex> lk(mu_);
    received_.clear();
    sent_.clear();
    control_log_.clear();
}

uint8_t PadModel::reported_mode() const {
    std::lock_guard<std::mutex> lk(mu_);
    return mode_change_due_locked() ? *mode_pending_ : mode_;
}

uint8_t PadModel::requested_mode() const {
    std::lock_guard<std::mutex> lk(mu_);
    return mode_pending_ ? *mode_pending_ : mode_;
}

bool PadModel::biodata_enabled() const {
    std::lock_guard<std::mutex> lk(mu_);
    return biodata_on_;
}

uint8_t PadModel::connection_type() const {
    std::lock_guard<std::mutex> lk(mu_);
    return connection_type_;
}

int32_t PadModel::next_conf_state() const {
    std::lock_guard<std::mutex> lk(mu_);
    return conf_states_.empty() ? conf_idle_state_ : conf_states_.front();
}

std::optional<std::string> PadModel::variable(const std::string &name) const {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = variables_.find(name);
    if (it == variables_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool PadModel::persisted(const std::string &name) const {
    std::lock_guard<std::mutex> lk(mu_);
    return persisted_.count(name) != 0;
}

std::array<uint16_t, 4> PadModel::last_rectangle() const {
    std::lock_guard<std::mutex> lk(mu_);
    return rectangle_;
}

uint32_t PadModel::last_rectangle_option() const {
    std::lock_guard<std::mutex> lk(mu_);
    return rectangle_option_;
}

uint32_t PadModel::buttons_refreshed(uint32_t mode_code) const {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = refreshes_.find(mode_code);
    return it == refreshes_.end() ? 0 : it->second;
}

}  // namespace padsim
