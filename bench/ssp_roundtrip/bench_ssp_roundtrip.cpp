// USB transfers and time per SendSspMessage + ReceiveSspMessage round trip
// on a virtual HID pad that echoes each message, beside the fewest
// transfers the 0xF8/0xF9 carriage allows: ceil(T / 63) writes out, and one
// 0xF9 request and one read per 62 bytes in (T = token bytes of a message).
//
//   bench_ssp_roundtrip [ROUNDS]
//
// The program starts itself again under libumockdev-preload when it is not
// loaded, as the device tests do.
#include <inkport/inkport.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "padsim.h"
#include "ssp_test_pad.h"

namespace {

constexpr const char *kPreload = "libumockdev-preload.so.0";
constexpr const char *kAgainVar = "PADSIM_PRELOAD_RETRY";

int find_preload(struct dl_phdr_info *info, size_t, void *found) {
    const char *name = info->dlpi_name;
    if (name != nullptr && strstr(name, "libumockdev-preload") != nullptr)
        *static_cast<bool *>(found) = true;
    return 0;
}

void restart_with_preload(char **argv) {
    bool loaded = false;
    dl_iterate_phdr(find_preload, &loaded);
    if (loaded || getenv(kAgainVar) != nullptr)
        return;
    std::string preload = kPreload;
    if (const char *old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kAgainVar, "1", 1);
    execv("/proc/self/exe", argv);
    perror("bench_ssp_roundtrip: re-exec under libumockdev-preload");
}

struct Row {
    const char *label;
    size_t payload;
    bool aa55;
};

struct Count {
    size_t f8 = 0, f9 = 0, reads = 0, other = 0;
    size_t total() const { return f8 + f9 + reads + other; }
};

Count count(const std::vector<padsim::Transfer> &log) {
    Count c;
    for (const auto &t : log) {
        if (t.type != padsim::TransferType::Control) {
            ++c.other;
        } else if (t.request_type() == 0x21 && t.request() == 0x09 && !t.data.empty() &&
                   t.data[0] == 0xF8) {
            ++c.f8;
        } else if (t.request_type() == 0x21 && t.request() == 0x09 && !t.data.empty() &&
                   t.data[0] == 0xF9) {
            ++c.f9;
        } else if (t.request_type() == 0xA1 && t.request() == 0x01) {
            ++c.reads;
        } else {
            ++c.other;
        }
    }
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    restart_with_preload(argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 50;

    int status = 0;
    {
        padsim::Testbed bed;
        if (!bed.ok() || !padsim::Testbed::in_mock_environment()) {
            fprintf(stderr,
                    "bench_ssp_roundtrip: no emulated-pad testbed (is umockdev installed?)\n");
            return 1;
        }
        auto fw = std::make_unique<ssptest::ScriptedSspPad>();
        fw->set_rule([](const padsim::Bytes &m) { return std::vector<padsim::Bytes>{m}; });
        padsim::Pad *pad =
            bed.add_pad(padsim::PadConfig::hid(0x2689, 0x0CE1, "BENCH"), std::move(fw));
        unsigned int devices = 0;
        Initialize();
        if (pad == nullptr || GetDeviceCount(&devices) != 1) {
            fprintf(stderr, "bench_ssp_roundtrip: the virtual pad was not found\n");
            Deinitialize();
            return 1;
        }

        const Row rows[] = {{"1", 1, false},
                            {"62", 62, false},
                            {"200", 200, false},
                            {"1000", 1000, false},
                            {"1000 AA55", 1000, true}};
        printf("SSP round trip on a virtual HID pad (echo), %d rounds per row\n", rounds);
        printf("payload = payload bytes of a base message (message = payload + 3 bytes)\n");
        printf("T = token bytes each way. Per round trip: F8 = 0xF8 writes, F9 = 0xF9 requests,\n");
        printf(
            "GET = feature reads. min = ceil(T/63) writes + one 0xF9 request and one read per\n");
        printf("62 bytes in; floor = the same with one request per message (reads that continue\n");
        printf("a message need none).\n\n");
        printf("%-10s %6s | %4s %4s %4s %6s | %6s %6s %5s %6s | %8s\n", "payload", "T", "F8", "F9",
               "GET", "total", "minOut", "minIn", "min", "floor", "us/trip");
        for (const Row &row : rows) {
            padsim::Bytes payload(row.payload);
            for (size_t i = 0; i < payload.size(); ++i)
                payload[i] =
                    row.aa55 ? (i % 2 == 0 ? 0xAA : 0x55) : static_cast<uint8_t>(0x10 + i % 0x60);
            padsim::Bytes message = ssptest::base_message(1, payload);
            size_t tokens = padsim::ssp::encode_tokens(message).size();
            std::vector<uint8_t> back(message.size() + 16);

            Count per_trip;
            std::vector<double> micros;
            for (int r = 0; r < rounds; ++r) {
                pad->clear_log();
                auto t0 = std::chrono::steady_clock::now();
                unsigned int reply = 0;
                uint32_t h1 =
                    SendSspMessage(1, 0, message.data(), static_cast<unsigned int>(message.size()));
                uint32_t h2 = ReceiveSspMessage(
                    1, 0, back.data(), static_cast<unsigned int>(back.size()), 1000, &reply);
                auto t1 = std::chrono::steady_clock::now();
                if (h1 != 0 || h2 != 0 || reply != message.size() ||
                    memcmp(back.data(), message.data(), message.size()) != 0) {
                    fprintf(stderr, "round trip of %s bytes failed (%u, %u)\n", row.label, h1, h2);
                    status = 1;
                    break;
                }
                micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                Count c = count(pad->log());
                if (r == 0)
                    per_trip = c;
                else if (c.total() != per_trip.total())
                    fprintf(stderr, "note: round %d of %s bytes took %zu transfers, not %zu\n", r,
                            row.label, c.total(), per_trip.total());
            }
            if (micros.empty())
                continue;
            std::sort(micros.begin(), micros.end());
            size_t min_out = (tokens + 62) / 63;
            size_t min_in = 2 * ((tokens + 61) / 62);
            size_t floor = min_out + 1 + (tokens + 61) / 62;
            printf("%-10s %6zu | %4zu %4zu %4zu %6zu | %6zu %6zu %5zu %6zu | %8.0f\n", row.label,
                   tokens, per_trip.f8, per_trip.f9, per_trip.reads, per_trip.total(), min_out,
                   min_in, min_out + min_in, floor, micros[micros.size() / 2]);
        }
        printf("\nus/trip: median wall time of a round trip on the emulated pad.\n");
        Deinitialize();
    }
    return status;
}
