// Receiving input on an emulated pad: what the library's threads cost while
// the pad is quiet, how soon a report reaches the application's data handler,
// whether every report arrives, in order, and how long a stop takes. Each
// library figure stands beside the same figure of a plain reader of the same
// emulated pad, the floor that the emulation and the machine's load set:
//
//   HID pad   plain reader: one thread blocking in hidapi's hid_read_timeout
//             (hidapi's libusb back-end, as the library uses it)
//   VCOM pad  plain reader: one thread blocking in libusb_bulk_transfer on the
//             bulk IN endpoint, cutting the token stream with the bench's own
//             decoder
//   both      the library: Initialize, SetOnDataReceivedHandler and
//             SetDataReceivingEnabled(device, 0, 1) on the pad's number
//
// The plain readers wait with a time-out of one second. Every measurement
// starts from scratch and ends with its reader closed (Deinitialize for the
// library).
//
// Running it (from the build tree; the program starts itself again under
// libumockdev-preload when that is not loaded yet):
//
//   bench/async/bench_async [-s SECONDS] [-n REPORTS] [-k STOPS] [-p hid|vcom]
//
//   -s  the idle window and the 200 reports/s stream last this long (default 5)
//   -n  reports of the 1000 reports/s stream (default 10000)
//   -k  stops timed per pad (default 20)
//   -p  only this pad
//
// The defaults take about a minute and a half. The machine's load shows in
// every figure: the load average is printed with them; run it more than once.
//
// How it measures
//   Latency: every report carries a tag and its sequence number. The bench
//   stamps it (steady clock) right before it hands it to the emulated pad's
//   IN endpoint: an input report on the interrupt endpoint of the HID pad; on
//   the VCOM pad, the report as a biodata legacy message in transport tokens,
//   one bulk transfer per report, the way the pad's firmware streams pen data.
//   The reader stamps it again when it has it: in the library's data handler,
//   or when the plain reader's read returned. Latency is the difference.
//   CPU: milliseconds of CPU time per second of wall time. The bench's own
//   threads are those that exist before any reader ran (main, which feeds the
//   pad, and the emulated pads' threads); the reader's CPU is the process's
//   (CLOCK_PROCESS_CPUTIME_ID, which keeps the time of threads that ended
//   meanwhile, such as the reader thread of a hidapi handle that was closed
//   and reopened) less theirs (/proc/self/task/*/schedstat). It includes the
//   reader threads' side of every emulated USB call they make, the stand-in
//   for the kernel's time on real hardware; the pad's side is in the
//   process column.
//
// Table 1, per pad and reader (a library latency adds its ratio to the plain
// reader's):
//   idle CPU       reader CPU, receiving on and nothing sent (the idle window)
//   200/s, 1000/s  median and 99th percentile of the report-to-handler
//                  latency in milliseconds, over the stream
//   lost           reports never delivered (a second of grace after the last
//                  one), of all that both streams sent
//   out of order   reports delivered after a later one, or twice
//   stop           milliseconds that SetDataReceivingEnabled(device, 0, 0)
//                  takes to return, median and maximum over the stops; each
//                  stop follows its start after another wait between 0 and
//                  200 ms, so the stops meet the receive thread at every point
//                  of its cycle
//
// Table 2, what receiving costs besides (the idle window unless named):
//   CPU 200/s, CPU 1000/s  reader CPU while the streams run
//   process idle   every thread's CPU, the emulated pad's included
//   error records  red error records the library wrote on stderr
//   exceptions     exception records the library used up: each second a call
//                  that fails on purpose shows the newest handle
//   opens          handles opened on the pad's device node: every close and
//                  reopen of the pad shows here
//   cancelled      IN transfers that ended cancelled (-ENOENT) in the pad's
//                  transfer log: reads given up at their time-out (hidapi's
//                  back-end renews its interrupt transfer so every 5 s), and
//                  reads pending when a handle closed
//   Deinit         milliseconds that Deinitialize takes at the window's end
//   errors else    error records the library wrote outside the idle window:
//                  while it started, streamed and stopped
#include <dirent.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <hidapi/hidapi.h>
#include <inkport/inkport.h>
#include <libusb.h>

#include "firmware_model.h"
#include "pad_ssp.h"
#include "padsim.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

constexpr uint16_t kHidVid = 0x22C9;
constexpr uint16_t kHidPid = 0x0901;
constexpr uint16_t kVcomVid = 0x0711;
constexpr uint16_t kVcomPid = 0x0230;
constexpr uint8_t kBulkIn = 0x81;
// The first bytes of every report: a tag and the sequence number.
constexpr uint8_t kTag = 0xB7;
constexpr size_t kReportSize = 64;
constexpr int kPlainTimeoutMs = 1000;
constexpr auto kGrace = std::chrono::seconds(1);
// Start-up exchanges end and the pad is quiet before an idle window opens.
constexpr auto kSettle = std::chrono::seconds(1);
constexpr auto kStopSpread = std::chrono::milliseconds(200);
constexpr int kExceptionHandles = 63;
// The call that fails on purpose to show the newest exception handle.
constexpr const char *kProbeName = "GetDataPacketsAvailable";

struct Options {
    double seconds = 5;
    uint32_t reports = 10000;
    int stops = 20;
    std::string only;
};

// ---- CPU time ----

std::vector<std::string> thread_ids() {
    std::vector<std::string> ids;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *e = readdir(dir))
            if (e->d_name[0] != '.')
                ids.emplace_back(e->d_name);
        closedir(dir);
    }
    return ids;
}

uint64_t thread_cpu_ns(const std::string &tid) {
    std::ifstream stat("/proc/self/task/" + tid + "/schedstat");
    uint64_t ns = 0;
    stat >> ns;
    return ns;
}

uint64_t process_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The threads that exist before any reader has run: main and the emulation.
std::vector<std::string> bench_threads;

uint64_t bench_cpu_ns() {
    uint64_t total = 0;
    for (const auto &tid : bench_threads)
        total += thread_cpu_ns(tid);
    return total;
}

struct CpuMeter {
    uint64_t bench = bench_cpu_ns();
    uint64_t process = process_cpu_ns();
    Clock::time_point start = Clock::now();
    // CPU milliseconds per second of wall time since construction: of the
    // reader's threads, and of every thread.
    void read(double &reader_ms, double &process_ms) const {
        double wall = std::chrono::duration<double>(Clock::now() - start).count();
        double all = static_cast<double>(process_cpu_ns() - process) / 1e6;
        double own = static_cast<double>(bench_cpu_ns() - bench) / 1e6;
        reader_ms = std::max(0.0, all - own) / wall;
        process_ms = all / wall;
    }
};

// ---- Reports ----

// Reports arrive stamped; the reader stamps them again on delivery. Only the
// reader's one delivering thread calls deliver().
struct Trace {
    explicit Trace(uint32_t n) : arrived(n), delivered(n) {}
    std::vector<Clock::time_point> arrived;
    std::vector<Clock::time_point> delivered;
    std::atomic<uint32_t> count{0};
    uint32_t disorder = 0;
    uint32_t next = 0;

    void deliver(const uint8_t *data) {
        auto now = Clock::now();
        uint32_t seq;
        memcpy(&seq, data + 1, sizeof seq);
        if (data[0] != kTag || seq >= delivered.size())
            return;
        bool repeated = delivered[seq] != Clock::time_point{};
        if (repeated || seq < next)
            ++disorder;
        if (repeated)
            return;
        next = std::max(next, seq + 1);
        delivered[seq] = now;
        ++count;
    }
    void wait_all() const {
        auto deadline = Clock::now() + kGrace;
        while (count.load() < delivered.size() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

double percentile(const std::vector<double> &sorted, double q) {
    if (sorted.empty())
        return -1;
    return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1))];
}

// One emulated pad and how a report reaches its IN endpoint.
struct BenchPad {
    const char *kind;
    padsim::Pad *pad;
    padsim::Target in;
    unsigned int device = 0;  // the library's number for it

    padsim::Bytes report(uint32_t seq) const {
        padsim::Bytes r(kReportSize, 0);
        r[0] = kTag;
        memcpy(&r[1], &seq, sizeof seq);
        if (in == padsim::Target::InterruptIn)
            return r;
        return padsim::ssp::encode_tokens(*padsim::ssp::make_old(r.data(), r.size(), true));
    }
    void send(padsim::Bytes bytes) const {
        if (in == padsim::Target::InterruptIn)
            pad->host().queue_interrupt_in(0, std::move(bytes));
        else
            pad->host().queue_bulk_in(std::move(bytes));
    }
};

// Hands the trace's reports to the pad at `rate`, each stamped just before.
void feed(const BenchPad &pad, unsigned rate, Trace &trace) {
    auto start = Clock::now();
    auto period = std::chrono::nanoseconds(1000000000LL / rate);
    for (uint32_t i = 0; i < trace.arrived.size(); ++i) {
        padsim::Bytes bytes = pad.report(i);
        std::this_thread::sleep_until(start + i * period);
        trace.arrived[i] = Clock::now();
        pad.send(std::move(bytes));
    }
}

// ---- Readers ----

class Reader {
  public:
    virtual ~Reader() = default;
    virtual const char *name() const = 0;
    // The library's number of the pad; 0 for a plain reader.
    virtual unsigned int library_device() const { return 0; }
    // Delivers the pad's reports into `trace` from now on; false when the
    // pad cannot be opened.
    virtual bool start(Trace &trace) = 0;
    // Returns once nothing is delivered any more and the pad is closed.
    virtual void stop() = 0;
};

// A thread that reads until told to stop or the read fails.
class PlainReader : public Reader {
  public:
    bool start(Trace &trace) override {
        if (!open())
            return false;
        quit_ = false;
        thread_ = std::thread([this, &trace] {
            while (!quit_.load() && read_once(trace)) {
            }
        });
        return true;
    }
    void stop() override {
        quit_ = true;
        thread_.join();
        close();
    }

  protected:
    virtual bool open() = 0;
    // One blocking read; false ends the thread.
    virtual bool read_once(Trace &trace) = 0;
    virtual void close() = 0;

  private:
    std::thread thread_;
    std::atomic<bool> quit_{false};
};

class HidapiReader : public PlainReader {
  public:
    const char *name() const override { return "hidapi alone"; }

  protected:
    bool open() override {
        hid_init();
        dev_ = hid_open(kHidVid, kHidPid, nullptr);
        if (dev_ == nullptr)
            hid_exit();
        return dev_ != nullptr;
    }
    bool read_once(Trace &trace) override {
        unsigned char buf[kReportSize];
        int r = hid_read_timeout(dev_, buf, sizeof buf, kPlainTimeoutMs);
        if (r > 0)
            trace.deliver(buf);
        return r >= 0;
    }
    void close() override {
        hid_close(dev_);
        hid_exit();
    }

  private:
    hid_device *dev_ = nullptr;
};

class LibusbReader : public PlainReader {
  public:
    const char *name() const override { return "libusb alone"; }

  protected:
    bool open() override {
        if (libusb_init(&ctx_) != 0)
            return false;
        handle_ = libusb_open_device_with_vid_pid(ctx_, kVcomVid, kVcomPid);
        if (handle_ != nullptr && libusb_claim_interface(handle_, 0) == 0)
            return true;
        close();
        return false;
    }
    bool read_once(Trace &trace) override {
        uint8_t buf[4096];
        int n = 0;
        int r = libusb_bulk_transfer(handle_, kBulkIn, buf, sizeof buf, &n, kPlainTimeoutMs);
        if (r == LIBUSB_ERROR_TIMEOUT)
            return true;
        if (r != 0)
            return false;
        frames_.clear();
        decoder_.feed(buf, static_cast<size_t>(n), frames_);
        for (const auto &f : frames_)
            if (f.complete && f.bytes.size() > 5 && padsim::ssp::is_old(f.bytes[0]))
                trace.deliver(f.bytes.data() + 1);
        return true;
    }
    void close() override {
        if (handle_ != nullptr) {
            libusb_release_interface(handle_, 0);
            libusb_close(handle_);
        }
        handle_ = nullptr;
        libusb_exit(ctx_);
        ctx_ = nullptr;
    }

  private:
    libusb_context *ctx_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
    padsim::ssp::TokenDecoder decoder_{true};
    std::vector<padsim::ssp::TokenDecoder::Frame> frames_;
};

void on_data(void *user, uint32_t, uint32_t, const uint8_t *data, uint32_t) {
    static_cast<Trace *>(user)->deliver(data);
}

class LibraryReader : public Reader {
  public:
    explicit LibraryReader(unsigned int device) : device_(device) {}
    const char *name() const override { return "libinkport"; }
    unsigned int library_device() const override { return device_; }
    bool start(Trace &trace) override {
        if (Initialize() == 0 && SetOnDataReceivedHandler(device_, 0, &trace, on_data) == 0 &&
            SetDataReceivingEnabled(device_, 0, 1) == 0)
            return true;
        Deinitialize();
        return false;
    }
    void stop() override { Deinitialize(); }

  private:
    unsigned int device_;
};

// ---- Side effects ----

// Counts the error records written on stderr meanwhile instead of showing
// them.
class StderrCount {
  public:
    StderrCount() {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(STDERR_FILENO);
        if (file_ != nullptr && saved_ >= 0)
            dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCount() { finish(); }
    StderrCount(const StderrCount &) = delete;
    StderrCount &operator=(const StderrCount &) = delete;

    // Puts stderr back; the error records since construction, except those
    // of the function named `except`.
    int finish(const char *except = nullptr) {
        if (file_ == nullptr)
            return records_;
        fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
        rewind(file_);
        char line[4096];
        while (fgets(line, sizeof line, file_) != nullptr)
            if (strstr(line, ": error: ") != nullptr &&
                (except == nullptr || strstr(line, except) == nullptr))
                ++records_;
        fclose(file_);
        file_ = nullptr;
        return records_;
    }

  private:
    FILE *file_ = nullptr;
    int saved_ = -1;
    int records_ = 0;
};

// Exception records that the library used up: handles run from 1 to 63 and
// round again, so the probe is asked often enough not to miss a round.
struct ExceptionCount {
    explicit ExceptionCount(unsigned int device) : device(device), last(probe()) {}
    unsigned int device;
    uint32_t last;
    int used = 0;

    uint32_t probe() const { return GetDataPacketsAvailable(device, 0, nullptr); }
    void tick() {
        uint32_t h = probe();
        if (h == 0 || last == 0)
            return;
        used += static_cast<int>((h + kExceptionHandles - last - 1) % kExceptionHandles);
        last = h;
    }
};

// ---- Measurements ----

struct StreamFigures {
    double median = -1, p99 = -1;
    uint32_t sent = 0, lost = 0, disorder = 0;
    double cpu = -1;
};

struct IdleFigures {
    double cpu = -1, process = -1;
    int errors = -1, exceptions = -1;
    int opens = 0, cancelled = 0;
    double deinit_ms = -1;
};

struct StopFigures {
    double median = -1, max = -1;
    int failed = 0;
};

struct Result {
    std::string pad, reader;
    bool library = false;
    IdleFigures idle;
    StreamFigures at200, at1000;
    StopFigures stop;
    int other_errors = -1;
};

StreamFigures stream(const BenchPad &pad, Reader &reader, unsigned rate, uint32_t reports) {
    StreamFigures out;
    Trace trace(reports);
    out.sent = reports;
    out.lost = reports;
    if (!reader.start(trace))
        return out;
    // The first report should not wait for the reader's first read.
    pad.pad->wait_in_flight(pad.in, 1, std::chrono::seconds(1));
    CpuMeter meter;
    feed(pad, rate, trace);
    trace.wait_all();
    double process;
    meter.read(out.cpu, process);
    reader.stop();

    std::vector<double> latency;
    for (size_t i = 0; i < trace.arrived.size(); ++i)
        if (trace.delivered[i] != Clock::time_point{})
            latency.push_back(Millis(trace.delivered[i] - trace.arrived[i]).count());
    std::sort(latency.begin(), latency.end());
    out.median = percentile(latency, 0.5);
    out.p99 = percentile(latency, 0.99);
    out.lost = reports - static_cast<uint32_t>(latency.size());
    out.disorder = trace.disorder;
    return out;
}

IdleFigures idle(const BenchPad &pad, Reader &reader, double seconds) {
    IdleFigures out;
    Trace trace(0);
    if (!reader.start(trace))
        return out;
    std::this_thread::sleep_for(kSettle);

    pad.pad->clear_log();
    int opens = pad.pad->opens();
    const unsigned int device = reader.library_device();
    StderrCount errors;
    std::optional<ExceptionCount> exceptions;
    if (device != 0)
        exceptions.emplace(device);
    CpuMeter meter;
    const auto end = meter.start + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::seconds(1), end - now));
        if (exceptions)
            exceptions->tick();
    }
    meter.read(out.cpu, out.process);
    int records = errors.finish(kProbeName);
    out.opens = pad.pad->opens() - opens;
    for (const auto &t : pad.pad->log())
        if (t.is_in() && t.type != padsim::TransferType::Control && t.status == -ENOENT)
            ++out.cancelled;

    auto stop_start = Clock::now();
    reader.stop();
    if (device != 0) {
        out.deinit_ms = Millis(Clock::now() - stop_start).count();
        out.errors = records;
        out.exceptions = exceptions->used;
    }
    return out;
}

StopFigures stops(const BenchPad &pad, int count) {
    StopFigures out;
    Trace trace(0);
    if (Initialize() != 0 || SetOnDataReceivedHandler(pad.device, 0, &trace, on_data) != 0) {
        out.failed = count;
        Deinitialize();
        return out;
    }
    std::vector<double> took;
    for (int k = 0; k < count; ++k) {
        if (SetDataReceivingEnabled(pad.device, 0, 1) != 0) {
            ++out.failed;
            continue;
        }
        std::this_thread::sleep_for(kStopSpread * k / count);
        auto start = Clock::now();
        if (SetDataReceivingEnabled(pad.device, 0, 0) != 0)
            ++out.failed;
        took.push_back(Millis(Clock::now() - start).count());
    }
    Deinitialize();
    std::sort(took.begin(), took.end());
    out.median = percentile(took, 0.5);
    out.max = took.empty() ? -1 : took.back();
    return out;
}

Result measure(const BenchPad &pad, Reader &reader, const Options &opt) {
    Result r;
    r.pad = pad.kind;
    r.reader = reader.name();
    r.library = reader.library_device() != 0;
    // The library's error records outside the idle window, which counts its own.
    std::optional<StderrCount> errors;
    if (r.library)
        errors.emplace();
    r.idle = idle(pad, reader, opt.seconds);
    r.at200 = stream(pad, reader, 200, static_cast<uint32_t>(200 * opt.seconds));
    r.at1000 = stream(pad, reader, 1000, opt.reports);
    if (r.library) {
        r.stop = stops(pad, opt.stops);
        r.other_errors = errors->finish();
    }
    return r;
}

// ---- Set-up and output ----

std::string ascii(const uint16_t *units, unsigned int n) {
    std::string s;
    for (unsigned int i = 0; i < n && units[i] != 0; ++i)
        s.push_back(static_cast<char>(units[i]));
    return s;
}

// Finds the library's number of each pad by the serial number it was given.
bool number_pads(std::vector<BenchPad> &pads) {
    if (Initialize() != 0)
        return false;
    // The count is the result; *reply is not written.
    unsigned int unused = 0;
    const unsigned int count = std::min(GetDeviceCount(&unused), 15u);
    for (unsigned int device = 1; device <= count; ++device) {
        uint16_t serial[64] = {};
        unsigned int reply = 0;
        if (GetSerialNumber(device, serial, 64, &reply) != 0)
            continue;
        for (auto &p : pads)
            if (ascii(serial, reply) == p.pad->config().serial)
                p.device = device;
    }
    Deinitialize();
    return std::all_of(pads.begin(), pads.end(), [](const BenchPad &p) { return p.device != 0; });
}

double load_average() {
    double load = -1;
    if (FILE *f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf", &load) != 1)
            load = -1;
        fclose(f);
    }
    return load;
}

std::string fixed(double v, int decimals) {
    if (v < 0)
        return "-";
    char s[32];
    snprintf(s, sizeof s, "%.*f", decimals, v);
    return s;
}

// A library figure with its ratio to the plain reader's.
std::string beside(double v, double plain, int decimals) {
    std::string s = fixed(v, decimals);
    if (v >= 0 && plain > 0) {
        char ratio[32];
        snprintf(ratio, sizeof ratio, " (%.2fx)", v / plain);
        s += ratio;
    }
    return s;
}

std::string count(int v) {
    return v < 0 ? "-" : std::to_string(v);
}

void print(const std::vector<Result> &rows, const Options &opt, double load_before) {
    printf("Receiving on one emulated pad, the library beside a plain reader.\n");
    printf("%ld CPUs; load average %.2f before the run, %.2f after it.\n",
           sysconf(_SC_NPROCESSORS_ONLN), load_before, load_average());
    printf(
        "Idle window %.1f s; 200 reports/s for %u reports; 1000 reports/s for %u reports; "
        "%d stops.\n",
        opt.seconds, static_cast<unsigned>(200 * opt.seconds), opt.reports, opt.stops);
    printf("CPU in ms per s of wall time; latency and stops in ms.\n\n");

    printf(
        "| %-4s | %-12s | %-13s | %-14s | %-14s | %-14s | %-14s | %-9s | %-12s | %-14s | %-14s "
        "|\n",
        "pad", "reader", "idle CPU", "200/s median", "200/s p99", "1000/s median", "1000/s p99",
        "lost", "out of order", "stop median", "stop max");
    printf(
        "|------|--------------|---------------|----------------|----------------|-----------"
        "-----|----------------|-----------|--------------|----------------|----------------|"
        "\n");
    const Result *plain = nullptr;
    for (const auto &r : rows) {
        if (!r.library)
            plain = &r;
        const Result &p = r.library && plain != nullptr ? *plain : r;
        auto cell = [&](double v, double ref, int decimals) {
            return r.library ? beside(v, ref, decimals) : fixed(v, decimals);
        };
        std::string lost = std::to_string(r.at200.lost + r.at1000.lost) + "/" +
                           std::to_string(r.at200.sent + r.at1000.sent);
        printf(
            "| %-4s | %-12s | %-13s | %-14s | %-14s | %-14s | %-14s | %-9s | %-12u | %-14s | "
            "%-14s |\n",
            r.pad.c_str(), r.reader.c_str(), fixed(r.idle.cpu, 2).c_str(),
            cell(r.at200.median, p.at200.median, 3).c_str(),
            cell(r.at200.p99, p.at200.p99, 3).c_str(),
            cell(r.at1000.median, p.at1000.median, 3).c_str(),
            cell(r.at1000.p99, p.at1000.p99, 3).c_str(), lost.c_str(),
            r.at200.disorder + r.at1000.disorder, fixed(r.stop.median, 1).c_str(),
            fixed(r.stop.max, 1).c_str());
    }

    printf("\nIdle window of %.1f s, and CPU while streaming:\n\n", opt.seconds);
    printf("| %-4s | %-12s | %-9s | %-10s | %-12s | %-13s | %-10s | %-5s | %-9s | %-6s | %-11s |\n",
           "pad", "reader", "CPU 200/s", "CPU 1000/s", "process idle", "error records",
           "exceptions", "opens", "cancelled", "Deinit", "errors else");
    printf(
        "|------|--------------|-----------|------------|--------------|---------------|-------"
        "-----|-------|-----------|--------|-------------|\n");
    for (const auto &r : rows)
        printf(
            "| %-4s | %-12s | %-9s | %-10s | %-12s | %-13s | %-10s | %-5d | %-9d | %-6s | %-11s "
            "|\n",
            r.pad.c_str(), r.reader.c_str(), fixed(r.at200.cpu, 2).c_str(),
            fixed(r.at1000.cpu, 2).c_str(), fixed(r.idle.process, 2).c_str(),
            count(r.idle.errors).c_str(), count(r.idle.exceptions).c_str(), r.idle.opens,
            r.idle.cancelled, fixed(r.idle.deinit_ms, 1).c_str(), count(r.other_errors).c_str());
    for (const auto &r : rows)
        if (r.stop.failed != 0)
            printf("%s: %d starts or stops of the receiving failed.\n", r.pad.c_str(),
                   r.stop.failed);
}

bool parse(int argc, char **argv, Options &opt) {
    int c;
    while ((c = getopt(argc, argv, "s:n:k:p:")) != -1) {
        switch (c) {
            case 's':
                opt.seconds = atof(optarg);
                break;
            case 'n':
                opt.reports = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
                break;
            case 'k':
                opt.stops = atoi(optarg);
                break;
            case 'p':
                opt.only = optarg;
                break;
            default:
                return false;
        }
    }
    return optind == argc && opt.seconds > 0 && opt.reports > 0 && opt.stops > 0 &&
           (opt.only.empty() || opt.only == "hid" || opt.only == "vcom");
}

padsim::Pad *add_pad(padsim::Testbed &bed, padsim::PadConfig usb, padsim::FirmwareConfig fw) {
    fw.serial_number = usb.serial;
    return bed.add_pad(std::move(usb), std::make_unique<padsim::PadModel>(std::move(fw)));
}

}  // namespace

int main(int argc, char **argv) {
    // Options.
    padsim::restart_under_preload(argv);
    Options opt;
    if (!parse(argc, argv, opt)) {
        fprintf(stderr, "usage: bench_async [-s SECONDS] [-n REPORTS] [-k STOPS] [-p hid|vcom]\n");
        return 2;
    }
    double load_before = load_average();

    // Set-up: one pad of each kind; the threads that exist now are the bench's.
    padsim::Testbed bed;
    if (!bed.ok()) {
        fprintf(stderr, "bench_async: cannot create the umockdev testbed\n");
        return 1;
    }
    padsim::Pad *hid = add_pad(bed, padsim::PadConfig::hid(kHidVid, kHidPid, "BENCHH"),
                               padsim::FirmwareConfig::hid_pad());
    padsim::Pad *vcom = add_pad(bed, padsim::PadConfig::vcom(kVcomVid, kVcomPid, "BENCHV"),
                                padsim::FirmwareConfig::vcom_pad());
    if (hid == nullptr || vcom == nullptr) {
        fprintf(stderr, "bench_async: cannot add the pads\n");
        return 1;
    }
    bench_threads = thread_ids();
    std::vector<BenchPad> pads = {{"HID", hid, padsim::Target::InterruptIn},
                                  {"VCOM", vcom, padsim::Target::BulkIn}};
    if (!number_pads(pads)) {
        fprintf(stderr, "bench_async: the library does not see both pads\n");
        return 1;
    }

    // Run: a plain reader, then the library, on each pad.
    std::vector<Result> rows;
    for (const auto &pad : pads) {
        if (!opt.only.empty() &&
            opt.only != (pad.in == padsim::Target::InterruptIn ? "hid" : "vcom"))
            continue;
        std::unique_ptr<Reader> plain;
        if (pad.in == padsim::Target::InterruptIn)
            plain = std::make_unique<HidapiReader>();
        else
            plain = std::make_unique<LibusbReader>();
        LibraryReader library(pad.device);
        rows.push_back(measure(pad, *plain, opt));
        rows.push_back(measure(pad, library, opt));
    }

    // Shut down.
    print(rows, opt, load_before);
    return 0;
}
