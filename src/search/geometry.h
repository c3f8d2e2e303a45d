#pragma once
// Launch arithmetic shared by the CUDA and CPU backends.
#include <cstdint>

namespace vkn {

// Nonces a batch covers: min(end - start + 1, threads x iters x blocks), 0
// when start > end. Computed in 64 bits.
uint64_t batch_nonce_count(uint32_t nonce_start, uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks,
                           int32_t threads);

// The argument checks every batch makes before touching the hardware
// (blocks, then threads, then iterations must be positive), then
// batch_nonce_count: 0 means there is nothing to launch.
uint64_t checked_batch_count(uint32_t nonce_start, uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks,
                             int32_t threads);

// The automatic grid from an occupancy answer: per-SM blocks (1 when the
// query failed or said less) x SMs x oversubscribe (at least 1), wrapping in
// 32 bits, and never below 1.
int32_t grid_from_occupancy(bool query_ok, int32_t blocks_per_sm, int32_t sm_count, int32_t oversubscribe);

}  // namespace vkn
