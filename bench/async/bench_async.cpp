// Input delivery on an emulated HID pad: the time from a report's arrival at
// the pad's interrupt endpoint to the application's data handler, at 200 and
// 1000 reports per second, and the CPU time the library's threads take while
// reports stream and while receiving is enabled with nothing to receive.
//
// Beside each library row, the same reports read by a thread blocking in
// hidapi without the library: the floor that the emulated pad and the
// machine's load set.
//
// The pad is a virtual one of the emulated-pad bench; the program starts
// itself again under libumockdev-preload when that is not loaded yet.
//
//   bench_async [seconds per measurement]   (default 5)
#include <dirent.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <hidapi/hidapi.h>
#include <inkport/inkport.h>

#include "firmware_model.h"
#include "padsim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kPreload = "libumockdev-preload.so.0";
constexpr uint16_t kVid = 0x22C9;
constexpr uint16_t kPid = 0x0901;
// The first bytes of every report: a tag and the sequence number.
constexpr uint8_t kTag = 0xB7;

int find_preload(struct dl_phdr_info *info, size_t, void *data) {
    const char *name = info->dlpi_name;
    if (name != nullptr && strstr(name, "libumockdev-preload") != nullptr)
        *static_cast<bool *>(data) = true;
    return 0;
}

void restart_with_preload(char **argv) {
    bool loaded = false;
    dl_iterate_phdr(find_preload, &loaded);
    if (loaded || getenv("BENCH_ASYNC_PRELOADED") != nullptr)
        return;
    std::string preload = kPreload;
    if (const char *old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("BENCH_ASYNC_PRELOADED", "1", 1);
    execv("/proc/self/exe", argv);
    perror("bench_async: re-exec under libumockdev-preload");
}

// CPU time in nanoseconds of the threads whose name starts with `prefix`
// (every thread for an empty prefix), from /proc/self/task/*/schedstat.
uint64_t cpu_ns(const std::string &prefix) {
    uint64_t total = 0;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(base + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::ifstream stat(base + "/schedstat");
        uint64_t ns = 0;
        if (stat >> ns)
            total += ns;
    }
    closedir(dir);
    return total;
}

struct CpuMeter {
    uint64_t workers = cpu_ns("inkport-");
    uint64_t process = cpu_ns("");
    Clock::time_point start = Clock::now();
    // CPU milliseconds per second of wall time since construction.
    void read(double &workers_ms, double &process_ms) const {
        double wall = std::chrono::duration<double>(Clock::now() - start).count();
        workers_ms = static_cast<double>(cpu_ns("inkport-") - workers) / 1e6 / wall;
        process_ms = static_cast<double>(cpu_ns("") - process) / 1e6 / wall;
    }
};

struct Row {
    std::string what;
    unsigned rate = 0;
    uint32_t sent = 0;
    uint32_t delivered = 0;
    bool in_order = true;
    double median_ms = 0, p99_ms = 0, max_ms = 0;
    double workers_ms = -1, process_ms = -1;  // per second; -1: not measured
};

// Reports arrive stamped; the reader stamps them again on delivery.
struct Trace {
    explicit Trace(uint32_t n) : arrived(n), delivered(n) {}
    std::vector<Clock::time_point> arrived;
    std::vector<Clock::time_point> delivered;
    std::atomic<uint32_t> count{0};
    bool in_order = true;
    uint32_t next = 0;

    void deliver(const uint8_t *data) {
        auto now = Clock::now();
        uint32_t seq;
        memcpy(&seq, data + 1, sizeof seq);
        if (data[0] != kTag || seq >= delivered.size())
            return;
        if (seq != next)
            in_order = false;
        next = seq + 1;
        delivered[seq] = now;
        ++count;
    }
    bool wait_all(std::chrono::seconds limit) const {
        auto deadline = Clock::now() + limit;
        while (count.load() < delivered.size() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return count.load() == delivered.size();
    }
    void summarize(Row &row) const {
        std::vector<double> latency;
        for (size_t i = 0; i < arrived.size(); ++i)
            if (delivered[i] != Clock::time_point{})
                latency.push_back(
                    std::chrono::duration<double, std::milli>(delivered[i] - arrived[i]).count());
        std::sort(latency.begin(), latency.end());
        row.sent = static_cast<uint32_t>(arrived.size());
        row.delivered = static_cast<uint32_t>(latency.size());
        row.in_order = in_order;
        if (latency.empty())
            return;
        row.median_ms = latency[(latency.size() - 1) / 2];
        row.p99_ms = latency[static_cast<size_t>(0.99 * static_cast<double>(latency.size() - 1))];
        row.max_ms = latency.back();
    }
};

// Queues the trace's reports at `rate`, stamping each just before it reaches
// the endpoint.
void feed(padsim::Pad &pad, unsigned rate, Trace &trace) {
    auto start = Clock::now();
    auto period = std::chrono::nanoseconds(1000000000LL / rate);
    for (uint32_t i = 0; i < trace.arrived.size(); ++i) {
        std::this_thread::sleep_until(start + i * period);
        padsim::Bytes report(64, 0);
        report[0] = kTag;
        memcpy(&report[1], &i, sizeof i);
        trace.arrived[i] = Clock::now();
        pad.host().queue_interrupt_in(0, std::move(report));
    }
}

void on_data(void *user, uint32_t, uint32_t, const uint8_t *data, uint32_t) {
    static_cast<Trace *>(user)->deliver(data);
}

Row through_library(padsim::Pad &pad, unsigned rate, double seconds) {
    Row row;
    row.what = "libinkport";
    row.rate = rate;
    Trace trace(static_cast<uint32_t>(rate * seconds));
    Initialize();
    SetOnDataReceivedHandler(1, 0, &trace, on_data);
    SetDataReceivingEnabled(1, 0, 1);
    CpuMeter meter;
    feed(pad, rate, trace);
    trace.wait_all(std::chrono::seconds(1));  // later than that counts as lost
    meter.read(row.workers_ms, row.process_ms);
    Deinitialize();  // returns once no handler runs any more
    trace.summarize(row);
    return row;
}

Row through_hidapi(padsim::Pad &pad, unsigned rate, double seconds) {
    Row row;
    row.what = "hidapi alone";
    row.rate = rate;
    Trace trace(static_cast<uint32_t>(rate * seconds));
    hid_init();
    hid_device *dev = hid_open(kVid, kPid, nullptr);
    if (dev == nullptr) {
        hid_exit();
        return row;
    }
    std::thread reader([&] {
        unsigned char buf[64];
        while (trace.count.load() < trace.delivered.size()) {
            if (hid_read_timeout(dev, buf, sizeof buf, 1000) <= 0)
                break;
            trace.deliver(buf);
        }
    });
    CpuMeter meter;
    feed(pad, rate, trace);
    reader.join();
    double workers;
    meter.read(workers, row.process_ms);
    hid_close(dev);
    hid_exit();
    trace.summarize(row);
    return row;
}

// Receiving enabled and a handler set, but nothing arrives.
Row idle(double seconds) {
    Row row;
    row.what = "libinkport idle";
    Trace trace(0);
    Initialize();
    SetOnDataReceivedHandler(1, 0, &trace, on_data);
    SetDataReceivingEnabled(1, 0, 1);
    // Let the callback thread's back-off reach its longest pause first.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    CpuMeter meter;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    meter.read(row.workers_ms, row.process_ms);
    Deinitialize();
    return row;
}

void print(const std::vector<Row> &rows, double seconds) {
    double load[3] = {};
    if (FILE *f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3)
            load[0] = -1;
        fclose(f);
    }
    printf("Report queued at the emulated interrupt endpoint -> handed to the reader\n");
    printf("%.1f s per measurement, %ld CPUs, load average %.2f while measuring.\n", seconds,
           sysconf(_SC_NPROCESSORS_ONLN), load[0]);
    printf(
        "CPU: milliseconds of CPU time per second of wall time; workers = the library's receive\n");
    printf("and callback threads, process = every thread, the emulated pad's included.\n\n");
    printf("| %-15s | %6s | %7s | %9s | %8s | %9s | %9s | %9s | %11s | %11s |\n", "reader", "rate",
           "reports", "delivered", "in order", "median ms", "p99 ms", "max ms", "workers CPU",
           "process CPU");
    printf(
        "|-----------------|--------|---------|-----------|----------|-----------|-----------|-----"
        "------|"
        "-------------|-------------|\n");
    for (const auto &r : rows) {
        char rate[16] = "-", sent[16] = "-", got[16] = "-", order[8] = "-";
        char median[16] = "-", p99[16] = "-", max[16] = "-", workers[16] = "-", process[16] = "-";
        if (r.rate != 0) {
            snprintf(rate, sizeof rate, "%u/s", r.rate);
            snprintf(sent, sizeof sent, "%u", r.sent);
            snprintf(got, sizeof got, "%u", r.delivered);
            snprintf(order, sizeof order, "%s", r.in_order ? "yes" : "no");
            snprintf(median, sizeof median, "%.3f", r.median_ms);
            snprintf(p99, sizeof p99, "%.3f", r.p99_ms);
            snprintf(max, sizeof max, "%.3f", r.max_ms);
        }
        if (r.workers_ms >= 0)
            snprintf(workers, sizeof workers, "%.1f ms", r.workers_ms);
        if (r.process_ms >= 0)
            snprintf(process, sizeof process, "%.1f ms", r.process_ms);
        printf("| %-15s | %6s | %7s | %9s | %8s | %9s | %9s | %9s | %11s | %11s |\n",
               r.what.c_str(), rate, sent, got, order, median, p99, max, workers, process);
    }
}

}  // namespace

int main(int argc, char **argv) {
    // Options.
    restart_with_preload(argv);
    double seconds = argc > 1 ? atof(argv[1]) : 5.0;
    if (seconds <= 0)
        seconds = 5.0;

    // Set-up: one HID pad with the firmware model.
    padsim::Testbed bed;
    if (!bed.ok()) {
        fprintf(stderr, "bench_async: cannot create the umockdev testbed\n");
        return 1;
    }
    padsim::Pad *pad =
        bed.add_pad(padsim::PadConfig::hid(kVid, kPid, "BENCH1"),
                    std::make_unique<padsim::PadModel>(padsim::FirmwareConfig::hid_pad()));
    if (pad == nullptr) {
        fprintf(stderr, "bench_async: cannot add the pad\n");
        return 1;
    }
    Initialize();
    unsigned int reply = 0;
    unsigned int pads = GetDeviceCount(&reply);
    Deinitialize();
    if (pads != 1) {
        fprintf(stderr, "bench_async: the library does not see the pad\n");
        return 1;
    }

    // Run: every measurement starts from scratch and ends with its reader closed.
    std::vector<Row> rows;
    for (unsigned rate : {200u, 1000u}) {
        rows.push_back(through_hidapi(*pad, rate, seconds));
        rows.push_back(through_library(*pad, rate, seconds));
    }
    rows.push_back(idle(seconds));

    // Shut down.
    print(rows, seconds);
    return 0;
}
