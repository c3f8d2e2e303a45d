#pragma once
// The kernel's launch run on host threads: the same search core, the same
// strides, found-flag polling and first-hit-wins record. The CPU backend is
// this emulation; tests use it to check the launch semantics without a GPU.
#include <cstdint>

#include "search/cpu/cpu_simd.h"
#include "search/search_backend.h"

namespace vkn {

// header64/target64: little-endian words of the header and target. Runs
// blocks x threads emulated threads spread over `workers` host threads,
// several side by side on a vector path. Fills found, nonce and hash only;
// hashes and timing are the caller's.
BatchResult emulate_grid(const uint64_t header64[10], const uint64_t target64[4], uint32_t nonce_start,
                         uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks, int32_t threads,
                         unsigned workers, CpuPath path = CpuPath::scalar);

void header_to_words(const Header80& header, uint64_t out[10]);
void hash_to_words(const Hash256& h, uint64_t out[4]);
Hash256 words_to_hash(const uint64_t w[4]);

}  // namespace vkn
