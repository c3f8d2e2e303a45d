#pragma once
// The search, written once for the CUDA kernel and the CPU backend: the
// target test and one thread's share of a batch's nonces. The per-nonce hash
// is in sha3t_nonce.h, the rounds in keccak_rounds.h, the build choices in
// core_config.h.
#include "search/core/sha3t_nonce.h"

namespace vkn {
namespace core {
inline namespace VKN_CORE_LAYOUT {

// hash <= target in the four-word form, word 3 most significant.
VKN_HD bool meets_target(const uint64_t h[4], const uint64_t t[4]) {
    if (h[3] != t[3]) return h[3] < t[3];
    if (h[2] != t[2]) return h[2] < t[2];
    if (h[1] != t[1]) return h[1] < t[1];
    return h[0] <= t[0];
}

// One thread of the search grid: nonces nonce_start + g + i*stride for
// i < iters, in 64 bits so that nothing past nonce_end wraps to a small
// nonce. Each hash is compared with the share target (never harder than the
// block target), and only a share with the block target too, so that shares
// cost nothing per nonce. `out` is the found record: found() reads the
// shared flag, claim() sets it at most once per batch, recording the
// winner, and share() records a share that is not a block.
template <class FoundRecord>
VKN_HD void search_thread(const uint64_t header[10], const uint64_t target[4], const uint64_t share[4],
                          uint32_t nonce_start, uint32_t nonce_end, uint32_t iters, uint64_t g, uint64_t stride,
                          FoundRecord& out) {
    if (iters == 0) return;
    const Precomp p = precompute(header);
    const uint64_t s[4] = {share[0], share[1], share[2], share[3]};
    VKN_NO_UNROLL
    for (uint32_t i = 0; i < iters; ++i) {
        if ((i & 15u) == 0 && out.found()) return;
        const uint64_t nonce = static_cast<uint64_t>(nonce_start) + g + static_cast<uint64_t>(i) * stride;
        if (nonce > nonce_end) return;
        uint64_t h[4];
        hash_nonce(p, static_cast<uint32_t>(nonce), h);
        if (meets_target(h, s)) {
            if (meets_target(h, target)) {
                out.claim(static_cast<uint32_t>(nonce), h);
                return;
            }
            out.share(static_cast<uint32_t>(nonce));
        }
    }
}

}  // namespace VKN_CORE_LAYOUT
}  // namespace core
}  // namespace vkn
