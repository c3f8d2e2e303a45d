// Per-nonce cost of the host reference SHA3-256t and of the search core in
// each layout, on one thread.
#include <benchmark/benchmark.h>

#include "search/grid_emulation.h"
#include "hash/sha3t.h"

#undef VKN_SEARCH_UNROLL
#define VKN_SEARCH_UNROLL 0
#include "search/core/search_core.h"
#undef VKN_SEARCH_UNROLL
#undef VKN_CORE_LAYOUT

namespace {

void reference_sha3_256t(benchmark::State& state) {
    uint8_t header[80] = {1};
    uint32_t nonce = 0;
    for (auto _ : state) {
        ++nonce;
        header[76] = uint8_t(nonce);
        header[77] = uint8_t(nonce >> 8);
        header[78] = uint8_t(nonce >> 16);
        header[79] = uint8_t(nonce >> 24);
        benchmark::DoNotOptimize(vkn::sha3_256t(header, 80));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(reference_sha3_256t);

void search_core_rolled(benchmark::State& state) {
    uint64_t w[10] = {1};
    const auto p = vkn::core::precompute(w);
    uint32_t nonce = 0;
    uint64_t h[4];
    for (auto _ : state) {
        vkn::core::hash_nonce(p, ++nonce, h);
        benchmark::DoNotOptimize(h);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(search_core_rolled);

}  // namespace

BENCHMARK_MAIN();
