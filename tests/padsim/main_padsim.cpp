// padsim: runs a command with virtual signature pads plugged in.
//
//   padsim [options] --hid VID:PID[:SERIAL[:INTERFACES]] ... -- COMMAND [ARGS...]
//
// The command (and everything it starts) sees the pads through the real
// libusb and hidapi, as umockdev-run would show them: UMOCKDEV_DIR names the
// testbed and libumockdev-preload is preloaded. padsim exits with the
// command's status; SIGINT and SIGTERM are passed on to the command.
//
// A pad can arrive and leave while the command runs (--arrive-after,
// --leave-after, or at a signal to padsim: --arrive-on-signal,
// --leave-on-signal): the command's libusb hears of it as of a real plug and
// pull. padsim itself runs under libumockdev-preload for that (see padsim.h).
//
// A pad can be given pen strokes that it draws once the host reads its pen
// data (see --stroke): never earlier, because a host that is not reading yet
// drops what arrives (hidapi keeps only a few reports per open handle, and
// forgets them when the handle is closed).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "loopback_firmware.h"
#include "padsim.h"

#if __has_include("firmware_model.h")
#include "firmware_model.h"
#define PADSIM_HAVE_MODEL 1
#endif

namespace {

volatile sig_atomic_t g_child = 0;
// SIGUSR1 and SIGUSR2 plug and pull pads; the handler only passes the signal
// through this pipe to the thread that does it.
int g_plug_pipe[2] = {-1, -1};

void forward_signal(int sig) {
    const int saved = errno;  // the interrupted code may be about to read it
    if (g_child > 0) {
        kill(g_child, sig);
    }
    errno = saved;
}

void pass_plug_signal(int sig) {
    const int saved = errno;
    const char byte = static_cast<char>(sig);
    (void)!write(g_plug_pipe[1], &byte, 1);
    errno = saved;
}

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: padsim [options] -- COMMAND [ARGS...]\n"
                 "  --hid VID:PID[:SERIAL[:INTERFACES]]   a HID pad (hex ids)\n"
                 "  --vcom VID:PID[:SERIAL[:IN[:OUT]]]     a VCOM pad; IN/OUT: bulk sizes\n"
                 "  --manufacturer TEXT                    for the pads that follow\n"
                 "  --product TEXT                         for the pads that follow\n"
                 "  --arrive-after MS                      the next pad is plugged in MS after\n"
                 "                                         the command starts (default: before)\n"
                 "  --leave-after MS                       the next pad is pulled MS after the\n"
                 "                                         command starts (default: never)\n"
                 "  --arrive-on-signal                     the next pad is plugged in when\n"
                 "                                         padsim gets SIGUSR1 (one pad a\n"
                 "                                         signal, in the order declared)\n"
                 "  --leave-on-signal                      the next pad is pulled when padsim\n"
                 "                                         gets SIGUSR2 (likewise)\n"
                 "  --loopback                             loopback firmware instead of the model\n"
                 "  --log                                  print each pad's transfers at exit\n"
                 "  --stroke REPORTS[@RATE_HZ]             a pen stroke (repeatable) on the pad\n"
                 "                                         declared before it; it starts once\n"
                 "                                         the host reads the pad's pen data:\n"
                 "                                         a VCOM pad when biodata is switched\n"
                 "                                         on, a HID pad when the host has\n"
                 "                                         closed its pen read N times (see\n"
                 "                                         --stroke-reopens); RATE_HZ 0: back\n"
                 "                                         to back (default 200)\n"
                 "  --stroke-reopens N                     HID pads: strokes start after the\n"
                 "                                         host closed its N-th handle (default\n"
                 "                                         3: the pad library's Initialize\n"
                 "                                         closes a pad twice, enabling the\n"
                 "                                         receiving on it reopens it)\n"
                 "  --stroke-on-file PATH                  instead: strokes start once PATH\n"
                 "                                         exists (the test creates it)\n"
                 "  --stroke-delay MS                      wait this long after that (default 0)\n"
                 "                                         (both apply to the pads whose first\n"
                 "                                         --stroke comes after them)\n"
                 "  -h, --help\n");
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

bool parse_hex16(const std::string &s, uint16_t &out) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 16);
    if (s.empty() || *end || errno || v > 0xFFFF) {
        return false;
    }
    out = static_cast<uint16_t>(v);
    return true;
}

bool parse_count(const std::string &s, long lo, long hi, long &out) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end || errno || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

// VID:PID[:SERIAL[:N[:M]]]
bool parse_pad(const std::string &arg, bool hid, padsim::PadConfig &config) {
    auto parts = split(arg, ':');
    uint16_t vid = 0;
    uint16_t pid = 0;
    if (parts.size() < 2 || parts.size() > (hid ? 4u : 5u) || !parse_hex16(parts[0], vid) ||
        !parse_hex16(parts[1], pid)) {
        return false;
    }
    std::string serial = parts.size() > 2 ? parts[2] : "";
    if (hid) {
        long interfaces = 1;
        if (parts.size() > 3 && !parse_count(parts[3], 1, 8, interfaces)) {
            return false;
        }
        config = padsim::PadConfig::hid(vid, pid, serial, static_cast<int>(interfaces));
        return true;
    }
    long in = 64;
    long out = 64;
    if ((parts.size() > 3 && !parse_count(parts[3], 8, 1024, in)) ||
        (parts.size() > 4 && !parse_count(parts[4], 8, 1024, out))) {
        return false;
    }
    config = padsim::PadConfig::vcom(vid, pid, serial, static_cast<uint16_t>(in),
                                     static_cast<uint16_t>(out));
    return true;
}

std::unique_ptr<padsim::Firmware> make_firmware(const padsim::PadConfig &config, bool loopback) {
#ifdef PADSIM_HAVE_MODEL
    if (!loopback) {
        padsim::FirmwareConfig fc;
        if (!config.is_hid()) {
            fc = padsim::FirmwareConfig::vcom_pad();
        } else if (config.vendor_id == 0x1690 && config.product_id == 0x2000) {
            fc = padsim::FirmwareConfig::type1_pad();
        } else {
            fc = padsim::FirmwareConfig::hid_pad();
            fc.described_vendor_id = config.vendor_id;
            fc.described_product_id = config.product_id;
        }
        if (!config.serial.empty()) {
            fc.serial_number = config.serial;
        }
        return std::make_unique<padsim::PadModel>(fc);
    }
#endif
    (void)config;
    (void)loopback;
    return std::make_unique<padsim::LoopbackFirmware>();
}

// The strokes one pad draws, and when.
struct StrokePlan {
    size_t pad = 0;  // index into the declared pads
    std::vector<padsim::PenStroke> strokes;
    long reopens = 3;        // as set before the pad's first stroke
    std::string start_file;  // if set, the trigger instead of the closings
    long delay_ms = 0;
};

// REPORTS[@RATE_HZ]
bool parse_stroke(const std::string &arg, padsim::PenStroke &stroke) {
    auto parts = split(arg, '@');
    long reports = 0;
    long rate = 200;
    if (parts.size() > 2 || !parse_count(parts[0], 0, 10000000, reports) ||
        (parts.size() > 1 && !parse_count(parts[1], 0, 100000, rate))) {
        return false;
    }
    stroke.reports = static_cast<uint32_t>(reports);
    stroke.rate_hz = static_cast<uint32_t>(rate);
    return true;
}

#ifdef PADSIM_HAVE_MODEL
// Draws a pad's strokes once its host reads pen data. Both triggers are
// things the pad itself sees, so they hold however slowly the command runs:
// a VCOM pad drops pen data until it is told to send biodata; on a HID pad,
// the host that will read is the one that opens the pad after it closed its
// interrupt IN read `reopens` times. What the pad produces after that
// closing waits in the pad until that next handle reads it.
class StrokePlayer {
  public:
    StrokePlayer(padsim::Pad *pad, padsim::PadModel *model, std::vector<padsim::PenStroke> strokes,
                 int reopens, std::string start_file, std::chrono::milliseconds delay)
        : pad_(pad),
          model_(model),
          strokes_(std::move(strokes)),
          reopens_(reopens),
          start_file_(std::move(start_file)),
          delay_(delay),
          thread_([this] { play(); }) {}
    ~StrokePlayer() {
        quit_ = true;
        thread_.join();
    }
    StrokePlayer(const StrokePlayer &) = delete;
    StrokePlayer &operator=(const StrokePlayer &) = delete;

  private:
    bool triggered(const std::vector<padsim::Transfer> &log) const {
        // A program whose closings of the pen read vary with time (a pad
        // library that reopens an idle pad) has the test say when instead.
        if (!start_file_.empty()) {
            return access(start_file_.c_str(), F_OK) == 0;
        }
        if (model_->transport() == padsim::PadTransport::kVcom) {
            return model_->biodata_enabled();
        }
        const auto pen_in = static_cast<uint8_t>(0x81 + kPenInterface);
        int closed = 0;
        for (const auto &t : log) {
            if (t.type == padsim::TransferType::Interrupt && t.endpoint == pen_in &&
                t.status == -ENOENT) {
                ++closed;
            }
        }
        return closed >= reopens_;
    }

    void play() {
        // The log wakes this thread on every transfer; the time-out only
        // lets it see that the command has ended.
        while (!quit_) {
            if (pad_->wait_log([this](const auto &log) { return quit_ || triggered(log); },
                               std::chrono::milliseconds(100))) {
                break;
            }
        }
        if (quit_) {
            return;
        }
        if (delay_.count() > 0) {
            std::this_thread::sleep_for(delay_);
        }
        for (const auto &stroke : strokes_) {
            model_->start_stroke(stroke);
        }
    }

    padsim::Pad *pad_;
    padsim::PadModel *model_;
    const std::vector<padsim::PenStroke> strokes_;
    const int reopens_;
    const std::string start_file_;
    static constexpr int kPenInterface = 0;  // the runner's pads draw on their first interface
    const std::chrono::milliseconds delay_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};
#endif

// A declared pad and when it comes and goes, in milliseconds after the
// command starts; -1: plugged in before it starts, or never pulled;
// kOnSignal: at the signal (SIGUSR1 plugs in, SIGUSR2 pulls).
constexpr long kOnSignal = -2;
struct PadPlan {
    padsim::PadConfig config;
    long arrive_ms = -1;
    long leave_ms = -1;
};

// Plugs pads in and pulls them at their times, or at the signals padsim
// gets, while the command runs. Waits on the signal pipe, whose read end
// also hears the destructor's request to stop.
class PlugTimeline {
  public:
    struct Step {
        long at_ms;  // or kOnSignal
        padsim::Pad *pad;
        bool arrive;
    };
    explicit PlugTimeline(std::vector<Step> steps) {
        for (Step &step : steps) {
            (step.at_ms == kOnSignal ? (step.arrive ? on_usr1_ : on_usr2_) : timed_)
                .push_back(step);
        }
        std::stable_sort(timed_.begin(), timed_.end(),
                         [](const Step &a, const Step &b) { return a.at_ms < b.at_ms; });
        if (!steps.empty()) {
            thread_ = std::thread([this] { play(); });
        }
    }
    ~PlugTimeline() {
        if (thread_.joinable()) {
            const char quit = 0;
            (void)!write(g_plug_pipe[1], &quit, 1);
            thread_.join();
        }
    }
    PlugTimeline(const PlugTimeline &) = delete;
    PlugTimeline &operator=(const PlugTimeline &) = delete;

  private:
    static void take(const Step &step) {
        if (!step.arrive) {
            step.pad->unplug();
        } else if (!step.pad->replug()) {
            std::fprintf(stderr, "padsim: cannot plug in pad %04x:%04x\n",
                         step.pad->config().vendor_id, step.pad->config().product_id);
        }
    }

    void play() {
        const auto start = std::chrono::steady_clock::now();
        size_t next = 0, next_usr1 = 0, next_usr2 = 0;
        for (;;) {
            int wait_ms = -1;
            if (next < timed_.size()) {
                const auto due = start + std::chrono::milliseconds(timed_[next].at_ms);
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    due - std::chrono::steady_clock::now());
                wait_ms = static_cast<int>(std::max<long>(0, left.count()));
            }
            pollfd pfd{g_plug_pipe[0], POLLIN, 0};
            const int n = poll(&pfd, 1, wait_ms);
            if (n < 0 && errno != EINTR) {
                std::perror("padsim: poll");
                return;
            }
            if (n == 0) {
                take(timed_[next++]);
                continue;
            }
            char sig = 0;
            if (n < 0 || read(g_plug_pipe[0], &sig, 1) != 1) {
                continue;
            }
            if (sig == 0) {
                return;
            }
            auto &queue = sig == SIGUSR1 ? on_usr1_ : on_usr2_;
            size_t &at = sig == SIGUSR1 ? next_usr1 : next_usr2;
            if (at < queue.size()) {
                take(queue[at++]);
            } else {
                std::fprintf(stderr, "padsim: no pad left to %s at that signal\n",
                             sig == SIGUSR1 ? "plug in" : "pull");
            }
        }
    }

    std::vector<Step> timed_, on_usr1_, on_usr2_;
    std::thread thread_;
};

pid_t start(char **command) {
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("padsim: fork");
        return -1;
    }
    if (pid == 0) {
        padsim::preload_child();
#if defined(__SANITIZE_ADDRESS__)
        // A sanitized build runs sanitized programs; their runtime would
        // refuse to start behind the preloaded library.
        std::string asan = "verify_asan_link_order=0";
        if (const char *old = std::getenv("ASAN_OPTIONS"); old && *old) {
            asan = std::string(old) + ":" + asan;
        }
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
#endif
        execvp(command[0], command);
        std::fprintf(stderr, "padsim: %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

int wait_for(pid_t pid) {
    g_child = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("padsim: waitpid");
            return 127;
        }
    }
    g_child = 0;
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 127;
}

}  // namespace

int main(int argc, char **argv) {
    padsim::restart_under_preload(argv);
    enum {
        kHid = 256,
        kVcom,
        kManufacturer,
        kProduct,
        kLoopback,
        kLog,
        kStroke,
        kStrokeReopens,
        kStrokeDelay,
        kStrokeOnFile,
        kArriveAfter,
        kLeaveAfter,
        kArriveOnSignal,
        kLeaveOnSignal
    };
    static const struct option options[] = {
        {"hid", required_argument, nullptr, kHid},
        {"vcom", required_argument, nullptr, kVcom},
        {"manufacturer", required_argument, nullptr, kManufacturer},
        {"product", required_argument, nullptr, kProduct},
        {"loopback", no_argument, nullptr, kLoopback},
        {"log", no_argument, nullptr, kLog},
        {"stroke", required_argument, nullptr, kStroke},
        {"stroke-reopens", required_argument, nullptr, kStrokeReopens},
        {"stroke-delay", required_argument, nullptr, kStrokeDelay},
        {"stroke-on-file", required_argument, nullptr, kStrokeOnFile},
        {"arrive-after", required_argument, nullptr, kArriveAfter},
        {"leave-after", required_argument, nullptr, kLeaveAfter},
        {"arrive-on-signal", no_argument, nullptr, kArriveOnSignal},
        {"leave-on-signal", no_argument, nullptr, kLeaveOnSignal},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };

    // Options.
    std::vector<PadPlan> pads;
    long arrive_ms = -1;
    long leave_ms = -1;
    std::string manufacturer;
    std::string product;
    bool loopback = false;
    bool print_log = false;
    std::vector<StrokePlan> plans;
    long stroke_reopens = 3;
    std::string stroke_file;
    long stroke_delay_ms = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "+h", options, nullptr)) != -1) {
        padsim::PadConfig config;
        switch (opt) {
            case kHid:
            case kVcom:
                if (!parse_pad(optarg, opt == kHid, config)) {
                    std::fprintf(stderr, "padsim: bad pad '%s'\n", optarg);
                    usage(stderr);
                    return 2;
                }
                if (!manufacturer.empty()) {
                    config.manufacturer = manufacturer;
                }
                if (!product.empty()) {
                    config.product = product;
                }
                if (leave_ms >= 0 && arrive_ms >= 0 && leave_ms <= arrive_ms) {
                    std::fprintf(stderr,
                                 "padsim: --leave-after must be later than --arrive-after\n");
                    return 2;
                }
                pads.push_back(PadPlan{std::move(config), arrive_ms, leave_ms});
                arrive_ms = leave_ms = -1;
                break;
            case kArriveAfter:
            case kLeaveAfter:
                if (!parse_count(optarg, 0, 3600000, opt == kArriveAfter ? arrive_ms : leave_ms)) {
                    std::fprintf(stderr, "padsim: bad time '%s'\n", optarg);
                    usage(stderr);
                    return 2;
                }
                break;
            case kArriveOnSignal:
                arrive_ms = kOnSignal;
                break;
            case kLeaveOnSignal:
                leave_ms = kOnSignal;
                break;
            case kManufacturer:
                manufacturer = optarg;
                break;
            case kProduct:
                product = optarg;
                break;
            case kLoopback:
                loopback = true;
                break;
            case kLog:
                print_log = true;
                break;
            case kStroke: {
                padsim::PenStroke stroke;
                if (pads.empty() || !parse_stroke(optarg, stroke)) {
                    std::fprintf(stderr,
                                 "padsim: bad stroke '%s' (after a pad: REPORTS[@RATE_HZ])\n",
                                 optarg);
                    usage(stderr);
                    return 2;
                }
                if (plans.empty() || plans.back().pad != pads.size() - 1) {
                    plans.push_back(StrokePlan{
                        pads.size() - 1, {}, stroke_reopens, stroke_file, stroke_delay_ms});
                }
                // Each stroke of a pad starts a little further on, so that a
                // capture shows which stroke a report belongs to.
                stroke.x0 = static_cast<uint16_t>(100 + 400 * plans.back().strokes.size());
                plans.back().strokes.push_back(stroke);
                break;
            }
            case kStrokeOnFile:
                stroke_file = optarg;
                break;
            case kStrokeReopens:
            case kStrokeDelay:
                if (!parse_count(optarg, 0, opt == kStrokeReopens ? 1000 : 3600000,
                                 opt == kStrokeReopens ? stroke_reopens : stroke_delay_ms)) {
                    std::fprintf(stderr, "padsim: bad count '%s'\n", optarg);
                    usage(stderr);
                    return 2;
                }
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind >= argc) {
        usage(stderr);
        return 2;
    }

    // Set-up.
    padsim::Testbed bed;
    if (!bed.ok()) {
        std::fprintf(stderr, "padsim: cannot create the umockdev testbed\n");
        return 1;
    }
    std::vector<PlugTimeline::Step> steps;
    for (const auto &plan : pads) {
        const padsim::PadConfig &config = plan.config;
        padsim::Pad *pad =
            bed.add_pad(config, make_firmware(config, loopback),
                        plan.arrive_ms == -1 ? padsim::Plug::Now : padsim::Plug::Later);
        if (!pad) {
            std::fprintf(stderr, "padsim: cannot add pad %04x:%04x\n", config.vendor_id,
                         config.product_id);
            return 1;
        }
        if (plan.arrive_ms != -1) {
            steps.push_back({plan.arrive_ms, pad, true});
        }
        if (plan.leave_ms != -1) {
            steps.push_back({plan.leave_ms, pad, false});
        }
    }
#ifdef PADSIM_HAVE_MODEL
    std::vector<std::unique_ptr<StrokePlayer>> players;
    for (auto &plan : plans) {
        padsim::Pad *pad = bed.pads()[plan.pad].get();
        auto *model = dynamic_cast<padsim::PadModel *>(pad->firmware());
        if (model == nullptr) {
            std::fprintf(stderr, "padsim: strokes need the pad model, not --loopback\n");
            return 2;
        }
        players.push_back(std::make_unique<StrokePlayer>(
            pad, model, std::move(plan.strokes), static_cast<int>(plan.reopens), plan.start_file,
            std::chrono::milliseconds(plan.delay_ms)));
    }
#else
    if (!plans.empty()) {
        std::fprintf(stderr, "padsim: built without the pad model: no strokes\n");
        return 2;
    }
#endif
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (pipe2(g_plug_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("padsim: pipe");
        return 1;
    }
    sa.sa_handler = pass_plug_signal;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGUSR2, &sa, nullptr);

    // Run.
    const pid_t child = start(argv + optind);
    if (child < 0) {
        return 127;
    }
    int status;
    {
        PlugTimeline timeline(std::move(steps));
        status = wait_for(child);
    }
#ifdef PADSIM_HAVE_MODEL
    players.clear();
#endif

    // Shut down.
    if (print_log) {
        for (const auto &pad : bed.pads()) {
            std::fprintf(stderr, "padsim: pad %04x:%04x\n", pad->config().vendor_id,
                         pad->config().product_id);
            for (const auto &t : pad->log()) {
                std::fprintf(stderr, "  %s\n", padsim::to_string(t).c_str());
            }
        }
    }
    return status;
}
