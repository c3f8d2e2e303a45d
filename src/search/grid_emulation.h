#pragma once
// The kernel's launch run on host threads: the same search core, the same
// strides, found-flag polling and first-hit-wins record. The CPU backend is
// this emulation; tests use it to check the launch semantics without a GPU.
#include <cstdint>

#include "search/cpu/cpu_simd.h"
#include "search/search_backend.h"

namespace vkn {

// header64/target64/share64: little-endian words of the header, the block
// target and the share target (no harder than the block's). Runs
// blocks x threads emulated threads spread over `workers` host threads,
// several side by side on a vector path. Fills found, nonce, hash and the
// shares only; hashes and timing are the caller's.
BatchResult emulate_grid(const uint64_t header64[10], const uint64_t target64[4], const uint64_t share64[4],
                         uint32_t nonce_start, uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks,
                         int32_t threads, unsigned workers, CpuPath path = CpuPath::scalar);

void header_to_words(const Header80& header, uint64_t out[10]);
void hash_to_words(const Hash256& h, uint64_t out[4]);
// The share target's words, made no harder than the block target.
void share_to_words(const Hash256& target, const Hash256& share, uint64_t out[4]);
Hash256 words_to_hash(const uint64_t w[4]);

}  // namespace vkn
