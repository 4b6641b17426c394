// Transport-token encode and decode throughput, in message bytes per second,
// for message sizes from one byte to the largest base payload, with ordinary
// data and with data made of AA 55 pairs (every pair escaped: the worst case).
// Decoding includes queueing the frame and taking it back out. The "MB"
// counter is millions of message bytes per CPU second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "ssp_transport_token.h"
#include "uni_queue.h"

namespace {

std::vector<uint8_t> make_message(size_t size, bool aa55) {
    std::vector<uint8_t> m(size);
    std::mt19937 rng(static_cast<unsigned>(size));
    for (size_t i = 0; i < size; ++i)
        m[i] = aa55 ? (i % 2 == 0 ? 0xAA : 0x55) : static_cast<uint8_t>(rng());
    return m;
}

void report(benchmark::State &state, size_t size) {
    double bytes = static_cast<double>(state.iterations()) * static_cast<double>(size);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["MB"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}

void BM_Encode(benchmark::State &state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> message = make_message(size, state.range(1) != 0);
    for (auto _ : state) {
        void *tokens = nullptr;
        int n = ssp_base_message_to_transport_token_data(message.data(),
                                                         static_cast<unsigned>(size), &tokens);
        benchmark::DoNotOptimize(n);
        free(tokens);
    }
    report(state, size);
}

void BM_Decode(benchmark::State &state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> message = make_message(size, state.range(1) != 0);
    void *encoded = nullptr;
    int n = ssp_base_message_to_transport_token_data(message.data(), static_cast<unsigned>(size),
                                                     &encoded);
    if (n < 0) {
        state.SkipWithError("encoding failed");
        return;
    }
    std::vector<uint8_t> tokens(static_cast<uint8_t *>(encoded),
                                static_cast<uint8_t *>(encoded) + n);
    free(encoded);
    uni_queue *queue = init_uni_queue();
    for (auto _ : state) {
        int frames = ssp_transport_token_to_base_message_data(tokens.data(), tokens.size(), queue);
        uint32_t length = 0;
        void *frame = get_uni_frame(queue, &length);
        if (frames != 1 || length != size) {
            state.SkipWithError("decoding did not give the message back");
            free(frame);
            break;
        }
        benchmark::DoNotOptimize(frame);
        free(frame);
    }
    destroy_uni_queue(queue);
    report(state, size);
}

void sizes(benchmark::internal::Benchmark *b) {
    b->ArgNames({"size", "aa55"});
    for (int aa55 : {0, 1})
        for (int size : {1, 62, 200, 1000, 65536})
            b->Args({size, aa55});
}

}  // namespace

BENCHMARK(BM_Encode)->Apply(sizes);
BENCHMARK(BM_Decode)->Apply(sizes);

BENCHMARK_MAIN();
