// Model of a signature pad's firmware, behind the emulated USB device.
//
// It answers the control commands (read version, set pad mode, get status,
// signature rectangle) in feature reports or, on VCOM pads, in legacy
// messages over the bulk pipe; it speaks SSP over the 0xF8/0xF9 feature
// reports or the bulk pipe; it streams scripted pen strokes; and it can be
// told to misbehave at the protocol level, one fault at a time.
//
// Threads: every public member may be called from any thread. The Firmware
// calls come from the USB side's handler thread. The model owns one worker
// thread that makes every call into FirmwareHost (input reports, bulk IN
// data, in the order the pad produced them) and times the pen strokes; the
// model never calls the host from inside a Firmware call and never holds its
// own lock while it calls the host.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "firmware.h"
#include "pad_pen.h"
#include "pad_ssp.h"
#include "pad_wire.h"

namespace padsim {

enum class PadTransport { kHid, kVcom };

struct FirmwareVersionInfo {
    uint32_t major = 3;
    uint32_t minor = 7;
    uint32_t patch = 2;
    uint32_t revision = 4711;
    std::array<uint8_t, 4> manufacturer{'Q', 'L', 'N', '1'};
};

// When a new pad mode shows in the status flags. All conditions must hold.
struct ModeChangeTiming {
    uint32_t after_status_polls = 0;  // status answers that still show the old mode
    std::chrono::milliseconds after{0};
    bool never = false;
};

// What the configuration handler reports, one state per state request,
// after it has accepted a change.
struct ConfHandlerScript {
    std::vector<int32_t> busy_states{wire::kChsRunning};
    int32_t final_state = 0;     // reported after the busy states until the next change
    bool stays_running = false;  // reports CHS_RUNNING for ever instead
};

struct FirmwareConfig {
    // The USB ids and strings belong to the USB side's PadConfig; the
    // firmware describes the pad only through the SSP pad description below.
    PadTransport transport = PadTransport::kHid;

    // The type-1 pad takes every write and answers nothing.
    bool answers_control_commands = true;
    bool speaks_ssp = true;
    size_t input_report_size = wire::kReportSize;
    int pen_interface = 0;

    FirmwareVersionInfo version;
    std::array<uint8_t, wire::kStatusFlagsSize> status_flags{};  // byte 5 is replaced by the mode
    uint8_t initial_mode = 0;
    ModeChangeTiming mode_change;

    std::string serial_number = "PS0000001";
    uint32_t described_vendor_id = 0x2689;
    uint32_t described_product_id = 0x0CE1;
    uint32_t described_manufacturer_id = 1;

    std::vector<uint8_t> components{wire::kComponentCommunication, wire::kComponentSignpad,
                                    wire::kComponentConfHandler};
    std::vector<uint32_t> signpad_modes{wire::kModeSignature, wire::kModeDocumentView,
                                        wire::kModeDocumentSign, wire::kModeUserInput};
    uint8_t connection_type = 0;
    bool reply_to_connection_set = false;

    int32_t initial_conf_state = 0;
    ConfHandlerScript conf_handler;
    std::vector<std::pair<std::string, std::string>> variables;

    int32_t user_input_button = 0;
    std::map<uint32_t, int32_t> button_events;  // by mode code

    // Status byte of an 0xF9 answer with nothing to say.
    uint8_t ssp_busy_status = wire::kStatusInProgress;

    // 2689:0CE1, an SSP pad with the full component set.
    static FirmwareConfig hid_pad();
    // 1690:2000: no answers at all, 20-byte input reports.
    static FirmwareConfig type1_pad();
    // A bulk-pipe pad that describes itself as 2689:0CE1.
    static FirmwareConfig vcom_pad();
};

struct PenStroke {
    uint32_t reports = 10;
    uint32_t rate_hz = 200;  // 0: back to back
    uint16_t x0 = 100;
    uint16_t y0 = 100;
    int16_t dx = 3;
    int16_t dy = 2;
    uint16_t pressure = 512;
};

struct ReceivedMessage {
    int interface = 0;
    Bytes bytes;
    // False when the next SOF cut the message short of its announced size.
    bool complete = false;
};

class PadModel : public Firmware {
  public:
    explicit PadModel(FirmwareConfig config);
    ~PadModel() override;
    PadModel(const PadModel &) = delete;
    PadModel &operator=(const PadModel &) = delete;

    // Firmware. attach() returns once no call into the previous host runs;
    // output produced while no host is attached waits for one.
    void attach(FirmwareHost *host) override;
    bool set_feature(int interface, const Bytes &data) override;
    std::optional<Bytes> get_feature(int interface, size_t length) override;
    bool bulk_out(const Bytes &data) override;

    PadTransport transport() const { return transport_; }

    // ---- Pen ----
    // Queues a stroke; strokes run one after another on the worker thread.
    void start_stroke(const PenStroke &stroke);
    // Waits until every queued stroke has been generated and handed to the host.
    bool wait_pen_idle(std::chrono::milliseconds timeout);
    // Waits until everything produced so far has been handed to the host.
    bool wait_output_idle(std::chrono::milliseconds timeout);
    uint64_t pen_reports_sent() const;
    uint64_t pen_reports_dropped() const;  // VCOM with biodata off

    // ---- Faults (each counts down per answer it spoils) ----
    // Control answers: status byte / echo code of the next `n` answers.
    void fail_next_answers(int n, uint8_t status);
    void wrong_echo_next_answers(int n, uint8_t echo);
    // SSP requests: the next `n` that expect a reply are answered with only
    // message id and this protocol result, and change nothing.
    void fail_next_ssp_replies(int n, uint8_t protocol_result);
    // Replies (SSP and legacy) go out in pieces of these sizes, the last size
    // repeating: one 0xF9 answer or one bulk IN hand-over per piece. Empty:
    // whole replies, and 0xF9 answers filled up to 62 bytes, a token cut by
    // the end of an answer continuing in the next.
    void split_replies(std::vector<size_t> chunk_sizes);
    // These bytes precede the SOF of each of the next `n` replies.
    void garbage_before_next_replies(int n, Bytes garbage);
    // The next `n` replies announce `missing` bytes more than they carry.
    void overstate_next_replies(int n, uint16_t missing);
    // Every 0xF9 answer says "nothing ready" while set.
    void set_ssp_in_stuck(bool stuck);
    // While set, every 0xF9 answer starts a new message that announces more
    // bytes than any answer holds: no message ever ends.
    void set_endless_cut_messages(bool on);
    // Pen payloads and the pad description's manufacturer id carry AA 55.
    void set_aa55_in_payloads(bool on);

    // ---- Behaviour changes ----
    void set_mode_change(const ModeChangeTiming &timing);
    void set_conf_handler_script(const ConfHandlerScript &script);
    void set_user_input(int32_t button);
    void set_button_event(uint32_t mode_code, int32_t button);

    // ---- What the pad saw and did ----
    std::vector<ReceivedMessage> received_messages() const;
    std::vector<Bytes> sent_messages() const;     // replies, before token framing
    std::vector<Bytes> control_requests() const;  // every control report, as written
    void clear_records();

    uint8_t reported_mode() const;  // as the next status answer would show it
    uint8_t requested_mode() const;
    bool biodata_enabled() const;
    uint8_t connection_type() const;
    int32_t next_conf_state() const;
    std::optional<std::string> variable(const std::string &name) const;
    bool persisted(const std::string &name) const;
    std::array<uint16_t, 4> last_rectangle() const;
    uint32_t last_rectangle_option() const;
    uint32_t buttons_refreshed(uint32_t mode_code) const;

  private:
    struct OutPiece {
        Bytes data;
        size_t off = 0;
        bool exact = false;  // one 0xF9 answer carries this piece and nothing else
    };
    enum class Selected { kNone, kControl, kSspIn };
    struct Channel {
        ssp::TokenDecoder decoder{true};
        Selected selected = Selected::kNone;
        Bytes answer;  // last control answer; empty when the pad gave none
        std::deque<OutPiece> pending;
    };
    struct HostCall {
        bool bulk = false;
        int interface = 0;
        Bytes data;
    };
    using Clock = std::chrono::steady_clock;

    Channel &channel(int interface);
    void take_stream(Channel &ch, int interface, const uint8_t *data, size_t len);
    void handle_message(Channel &ch, int interface, ssp::TokenDecoder::Frame frame);
    Bytes run_control(const uint8_t *req, size_t len);
    bool mode_change_due_locked() const;
    uint8_t visible_mode_locked();
    Bytes ssp_in_answer(Channel &ch);
    void send_reply(Channel &ch, Bytes msg);
    void reply_base(Channel &ch, uint8_t component, Bytes payload);
    void dispatch_base(Channel &ch, const Bytes &msg);
    void dispatch_legacy(Channel &ch, const Bytes &msg);
    void signpad(Channel &ch, uint8_t comp, const Bytes &payload);
    void communication(Channel &ch, uint8_t comp, const Bytes &payload);
    void conf_handler(Channel &ch, uint8_t comp, const Bytes &payload);
    void start_conf_job_locked();
    void emit_pen_sample_locked();
    bool output_idle_locked() const;
    void worker();

    const PadTransport transport_;
    const FirmwareConfig cfg_;

    mutable std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable idle_cv_;
    bool stop_ = false;
    FirmwareHost *host_ = nullptr;
    bool delivering_ = false;
    std::deque<HostCall> outbox_;

    std::map<int, Channel> channels_;

    // Pad state.
    uint8_t mode_;
    std::optional<uint8_t> mode_pending_;
    uint32_t polls_since_mode_set_ = 0;
    Clock::time_point mode_set_at_{};
    ModeChangeTiming mode_timing_;
    std::array<uint16_t, 4> rectangle_{};
    uint32_t rectangle_option_ = 0;
    bool biodata_on_ = false;
    uint8_t connection_type_;
    std::map<std::string, std::string> variables_;
    std::set<std::string> persisted_;
    ConfHandlerScript conf_script_;
    std::deque<int32_t> conf_states_;
    int32_t conf_idle_state_;
    int32_t user_input_;
    std::map<uint32_t, int32_t> button_events_;
    std::map<uint32_t, uint32_t> refreshes_;

    // Faults.
    int answer_status_n_ = 0;
    uint8_t answer_status_ = 0;
    int answer_echo_n_ = 0;
    uint8_t answer_echo_ = 0;
    int ssp_fail_n_ = 0;
    uint8_t ssp_fail_result_ = 0;
    std::vector<size_t> chunks_;
    int garbage_n_ = 0;
    Bytes garbage_;
    int overstate_n_ = 0;
    uint16_t overstate_ = 0;
    bool ssp_in_stuck_ = false;
    bool endless_cut_ = false;
    bool aa55_ = false;

    // Pen.
    std::deque<PenStroke> strokes_;
    uint32_t stroke_index_ = 0;  // sample within the front stroke
    uint32_t stroke_number_ = 0;
    uint32_t pen_seq_ = 0;
    Clock::time_point next_pen_{};
    uint64_t pen_sent_ = 0;
    uint64_t pen_dropped_ = 0;

    // Records.
    std::vector<ReceivedMessage> received_;
    std::vector<Bytes> sent_;
    std::vector<Bytes> control_log_;

    std::thread worker_thread_;
};

}  // namespace padsim
