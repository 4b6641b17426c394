// Reassembly throughput: a stream of 100-byte or 2000-byte packages delivered
// in 2044-byte pieces, as the TCP bridge's receiving thread delivers them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "cmediator.h"
#include "cshiftbuf.h"
#include "netbridge_internal.h"

namespace {

constexpr size_t kStreamBytes = 4 << 20;
constexpr size_t kPiece = MAX_PACKAGE_TOTAL_SIZE;

std::vector<char> make_stream(int package_size, int *packages) {
    *packages = static_cast<int>(kStreamBytes / static_cast<size_t>(package_size));
    std::vector<char> stream(static_cast<size_t>(*packages) * static_cast<size_t>(package_size));
    for (int i = 0; i < *packages; ++i) {
        PackHead head = {};
        head.ulMessageID = static_cast<uint32_t>(i);
        head.ulTotalSize = static_cast<uint32_t>(package_size);
        char *at = stream.data() + static_cast<size_t>(i) * static_cast<size_t>(package_size);
        memcpy(at, &head, sizeof head);
        memset(at + kHeadSize, i & 0x7F, static_cast<size_t>(package_size - kHeadSize));
    }
    return stream;
}

long delivered = 0;
void count_call(const char *, uint32_t) {
    ++delivered;
}

void report(benchmark::State &state, size_t bytes, int packages) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["packages/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * packages, benchmark::Counter::kIsRate);
}

// The whole inbound path: ICADataArrival, reassembly, the far function.
void BM_InboundPath(benchmark::State &state) {
    int packages = 0;
    std::vector<char> stream = make_stream(static_cast<int>(state.range(0)), &packages);
    pfClientRegisterFarFunction = count_call;
    ICADataArrival(0, nullptr, 0);
    delivered = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kPiece)
            ICADataArrival(0, stream.data() + at,
                           static_cast<unsigned short>(std::min(kPiece, stream.size() - at)));
    }
    pfClientRegisterFarFunction = nullptr;
    if (delivered != state.iterations() * packages)
        state.SkipWithError("packages lost");
    report(state, stream.size(), packages);
}

// CShiftBuffer alone, used as the dispatcher uses it.
void BM_ShiftBuffer(benchmark::State &state) {
    int packages = 0;
    std::vector<char> stream = make_stream(static_cast<int>(state.range(0)), &packages);
    CShiftBuffer buffer;
    long taken = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kPiece) {
            buffer.AppendData(stream.data() + at,
                              static_cast<int>(std::min(kPiece, stream.size() - at)));
            while (buffer.IsDataComplete()) {
                benchmark::DoNotOptimize(buffer.GetPointerAtPos(0));
                benchmark::DoNotOptimize(buffer.GetTotalSize());
                buffer.ResetPackage();
                ++taken;
            }
        }
    }
    if (taken != state.iterations() * packages)
        state.SkipWithError("packages lost");
    report(state, stream.size(), packages);
}

}  // namespace

BENCHMARK(BM_InboundPath)->Arg(100)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShiftBuffer)->Arg(100)->Arg(2000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
