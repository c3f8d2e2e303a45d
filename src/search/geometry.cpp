#include "search/geometry.h"

#include <algorithm>
#include <stdexcept>

namespace vkn {

uint64_t batch_nonce_count(uint32_t nonce_start, uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks,
                           int32_t threads) {
    if (nonce_start > nonce_end) return 0;
    uint64_t range = uint64_t(nonce_end) - nonce_start + 1;
    uint64_t grid = uint64_t(uint32_t(threads)) * iters_per_thread * uint64_t(uint32_t(blocks));
    return std::min(range, grid);
}

uint64_t checked_batch_count(uint32_t nonce_start, uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks,
                             int32_t threads) {
    if (blocks < 1) throw std::runtime_error("CUDA blocks must be positive");
    if (threads < 1) throw std::runtime_error("CUDA threads per block must be positive");
    if (iters_per_thread == 0) throw std::runtime_error("iterations per thread must be positive");
    return batch_nonce_count(nonce_start, nonce_end, iters_per_thread, blocks, threads);
}

int32_t grid_from_occupancy(bool query_ok, int32_t blocks_per_sm, int32_t sm_count, int32_t oversubscribe) {
    uint32_t per_sm = (!query_ok || blocks_per_sm < 1) ? 1u : uint32_t(blocks_per_sm);
    uint32_t factor = oversubscribe < 1 ? 1u : uint32_t(oversubscribe);
    int32_t result = static_cast<int32_t>(per_sm * uint32_t(sm_count) * factor);
    return result < 1 ? 1 : result;
}

}  // namespace vkn
