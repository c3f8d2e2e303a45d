#pragma once
// The per-nonce work of the search, written once for the CUDA kernel and the
// CPU backend: SHA3-256t of an 80-byte header whose nonce varies, with the
// nonce-independent part of the first Keccak round done once per thread and
// the last round of each permutation computing only the four lanes the next
// stage reads. Plain C++ here; nothing CUDA-specific is included.
#include <cstdint>

#if defined(__CUDACC__)
#define VKN_HD __host__ __device__ __forceinline__
#else
#define VKN_HD inline
#endif

#if defined(__CUDA_ARCH__)
#define VKN_UNROLL _Pragma("unroll")
#define VKN_NO_UNROLL _Pragma("unroll 1")
#elif defined(__GNUC__) && !defined(__CUDACC__)
#define VKN_UNROLL _Pragma("GCC unroll 32")
#define VKN_NO_UNROLL _Pragma("GCC unroll 1")
#else
#define VKN_UNROLL
#define VKN_NO_UNROLL
#endif

// How the three permutations are laid out:
//   2: all 72 rounds unrolled (one straight-line body);
//   1: one unrolled permutation body run three times (a smaller body for the
//      instruction cache);
//   0: rounds in a loop (what suits x86 hosts with sixteen registers).
#ifndef VKN_SEARCH_UNROLL
#if defined(__CUDA_ARCH__)
#define VKN_SEARCH_UNROLL 2
#else
#define VKN_SEARCH_UNROLL 0
#endif
#endif

// Each layout gets its own inline namespace, so that a test may build
// another layout beside the library's without two different definitions
// sharing one name.
// Lanes as 32-bit halves with three-input instructions (see keccak_halves.h):
// what the device runs in the fully unrolled layout (rolled, the halves cost
// registers); the host runs it only in a test build of its own.
#ifndef VKN_KECCAK_HALVES
#if defined(__CUDA_ARCH__) && VKN_SEARCH_UNROLL == 2
#define VKN_KECCAK_HALVES 1
#else
#define VKN_KECCAK_HALVES 0
#endif
#endif

#if VKN_SEARCH_UNROLL == 2 && VKN_KECCAK_HALVES
#define VKN_CORE_LAYOUT unrolled_all_halves
#elif VKN_SEARCH_UNROLL == 2
#define VKN_CORE_LAYOUT unrolled_all
#elif VKN_SEARCH_UNROLL == 1 && VKN_KECCAK_HALVES
#define VKN_CORE_LAYOUT unrolled_body_halves
#elif VKN_SEARCH_UNROLL == 1
#define VKN_CORE_LAYOUT unrolled_body
#elif VKN_KECCAK_HALVES
#define VKN_CORE_LAYOUT rolled_halves
#else
#define VKN_CORE_LAYOUT rolled
#endif
#if defined(VKN_FAULT_NONCE_BIG_ENDIAN)
#undef VKN_CORE_LAYOUT
#define VKN_CORE_LAYOUT faulty_nonce_order  // test builds only: a planted fault
#endif

#include "gpu/keccak_halves.h"

namespace vkn {
namespace core {
inline namespace VKN_CORE_LAYOUT {

VKN_HD uint64_t rotl64(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }

// The core keeps its own copy of the round constants: the host reference
// in src/hash stays an independent check of it.
VKN_HD uint64_t round_constant(int round) {
#if defined(__CUDA_ARCH__)
    // A switch folds to an immediate once the rounds are unrolled, with no
    // constant-memory table to load.
    switch (round) {
        case 0: return 0x0000000000000001ULL;
        case 1: return 0x0000000000008082ULL;
        case 2: return 0x800000000000808AULL;
        case 3: return 0x8000000080008000ULL;
        case 4: return 0x000000000000808BULL;
        case 5: return 0x0000000080000001ULL;
        case 6: return 0x8000000080008081ULL;
        case 7: return 0x8000000000008009ULL;
        case 8: return 0x000000000000008AULL;
        case 9: return 0x0000000000000088ULL;
        case 10: return 0x0000000080008009ULL;
        case 11: return 0x000000008000000AULL;
        case 12: return 0x000000008000808BULL;
        case 13: return 0x800000000000008BULL;
        case 14: return 0x8000000000008089ULL;
        case 15: return 0x8000000000008003ULL;
        case 16: return 0x8000000000008002ULL;
        case 17: return 0x8000000000000080ULL;
        case 18: return 0x000000000000800AULL;
        case 19: return 0x800000008000000AULL;
        case 20: return 0x8000000080008081ULL;
        case 21: return 0x8000000000008080ULL;
        case 22: return 0x0000000080000001ULL;
        default: return 0x8000000080008008ULL;
    }
#else
    static constexpr uint64_t k[24] = {
        0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808AULL, 0x8000000080008000ULL,
        0x000000000000808BULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
        0x000000000000008AULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000AULL,
        0x000000008000808BULL, 0x800000000000008BULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
        0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800AULL, 0x800000008000000AULL,
        0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL};
    return k[round];
#endif
}

constexpr uint64_t kPad06 = 0x06;                   // SHA3 domain byte right after the input
constexpr uint64_t kPad80 = 0x8000000000000000ULL;  // final bit at byte 135, lane 16

// Theta's term for each column x: c[x-1] ^ rotl(c[x+1], 1), where c[x] is
// the parity of column x.
VKN_HD void theta_terms(const uint64_t a[25], uint64_t& d0, uint64_t& d1, uint64_t& d2, uint64_t& d3,
                        uint64_t& d4) {
    const uint64_t c0 = a[0] ^ a[5] ^ a[10] ^ a[15] ^ a[20];
    const uint64_t c1 = a[1] ^ a[6] ^ a[11] ^ a[16] ^ a[21];
    const uint64_t c2 = a[2] ^ a[7] ^ a[12] ^ a[17] ^ a[22];
    const uint64_t c3 = a[3] ^ a[8] ^ a[13] ^ a[18] ^ a[23];
    const uint64_t c4 = a[4] ^ a[9] ^ a[14] ^ a[19] ^ a[24];
    d0 = c4 ^ rotl64(c1, 1);
    d1 = c0 ^ rotl64(c2, 1);
    d2 = c1 ^ rotl64(c3, 1);
    d3 = c2 ^ rotl64(c4, 1);
    d4 = c3 ^ rotl64(c0, 1);
}

// One Keccak-f[1600] round: theta, rho and pi, chi, iota.
VKN_HD void keccak_round(uint64_t a[25], uint64_t rc) {
    uint64_t d0, d1, d2, d3, d4;
    theta_terms(a, d0, d1, d2, d3, d4);
    const uint64_t b00 = a[0] ^ d0;
    const uint64_t b10 = rotl64(a[6] ^ d1, 44);
    const uint64_t b20 = rotl64(a[12] ^ d2, 43);
    const uint64_t b30 = rotl64(a[18] ^ d3, 21);
    const uint64_t b40 = rotl64(a[24] ^ d4, 14);
    const uint64_t b01 = rotl64(a[3] ^ d3, 28);
    const uint64_t b11 = rotl64(a[9] ^ d4, 20);
    const uint64_t b21 = rotl64(a[10] ^ d0, 3);
    const uint64_t b31 = rotl64(a[16] ^ d1, 45);
    const uint64_t b41 = rotl64(a[22] ^ d2, 61);
    const uint64_t b02 = rotl64(a[1] ^ d1, 1);
    const uint64_t b12 = rotl64(a[7] ^ d2, 6);
    const uint64_t b22 = rotl64(a[13] ^ d3, 25);
    const uint64_t b32 = rotl64(a[19] ^ d4, 8);
    const uint64_t b42 = rotl64(a[20] ^ d0, 18);
    const uint64_t b03 = rotl64(a[4] ^ d4, 27);
    const uint64_t b13 = rotl64(a[5] ^ d0, 36);
    const uint64_t b23 = rotl64(a[11] ^ d1, 10);
    const uint64_t b33 = rotl64(a[17] ^ d2, 15);
    const uint64_t b43 = rotl64(a[23] ^ d3, 56);
    const uint64_t b04 = rotl64(a[2] ^ d2, 62);
    const uint64_t b14 = rotl64(a[8] ^ d3, 55);
    const uint64_t b24 = rotl64(a[14] ^ d4, 39);
    const uint64_t b34 = rotl64(a[15] ^ d0, 41);
    const uint64_t b44 = rotl64(a[21] ^ d1, 2);
    a[0] = b00 ^ (~b10 & b20) ^ rc;
    a[1] = b10 ^ (~b20 & b30);
    a[2] = b20 ^ (~b30 & b40);
    a[3] = b30 ^ (~b40 & b00);
    a[4] = b40 ^ (~b00 & b10);
    a[5] = b01 ^ (~b11 & b21);
    a[6] = b11 ^ (~b21 & b31);
    a[7] = b21 ^ (~b31 & b41);
    a[8] = b31 ^ (~b41 & b01);
    a[9] = b41 ^ (~b01 & b11);
    a[10] = b02 ^ (~b12 & b22);
    a[11] = b12 ^ (~b22 & b32);
    a[12] = b22 ^ (~b32 & b42);
    a[13] = b32 ^ (~b42 & b02);
    a[14] = b42 ^ (~b02 & b12);
    a[15] = b03 ^ (~b13 & b23);
    a[16] = b13 ^ (~b23 & b33);
    a[17] = b23 ^ (~b33 & b43);
    a[18] = b33 ^ (~b43 & b03);
    a[19] = b43 ^ (~b03 & b13);
    a[20] = b04 ^ (~b14 & b24);
    a[21] = b14 ^ (~b24 & b34);
    a[22] = b24 ^ (~b34 & b44);
    a[23] = b34 ^ (~b44 & b04);
    a[24] = b44 ^ (~b04 & b14);
}

// The last round when only lanes 0 to 3 of the result are read.
VKN_HD void keccak_round_out4(const uint64_t a[25], uint64_t rc, uint64_t out[4]) {
    uint64_t d0, d1, d2, d3, d4;
    theta_terms(a, d0, d1, d2, d3, d4);
    const uint64_t b00 = a[0] ^ d0;
    const uint64_t b10 = rotl64(a[6] ^ d1, 44);
    const uint64_t b20 = rotl64(a[12] ^ d2, 43);
    const uint64_t b30 = rotl64(a[18] ^ d3, 21);
    const uint64_t b40 = rotl64(a[24] ^ d4, 14);
    out[0] = b00 ^ (~b10 & b20) ^ rc;
    out[1] = b10 ^ (~b20 & b30);
    out[2] = b20 ^ (~b30 & b40);
    out[3] = b30 ^ (~b40 & b00);
}

// Everything of the first round of the first permutation that does not
// depend on lane 9, the lane holding the nonce. Names: wK header lane K,
// bXY the rho-pi output at column X row Y, nXY the chi term ~b(X+1)Y & b(X+2)Y.
struct Precomp {
    uint64_t w0, w3, w4, w5, w8, w9lo;
    uint64_t c1r, c2, d4;
    uint64_t b10, b20, b40, b31, b41, b02, b12, b32, b03, b23, b33, b04, b24, b44;
    uint64_t n00, n21, n42, n13, n34;
};

VKN_HD Precomp precompute(const uint64_t w[10]) {
    Precomp p;
    const uint64_t c0 = w[0] ^ w[5] ^ kPad06;
    const uint64_t c1 = w[1] ^ w[6] ^ kPad80;
    const uint64_t c2 = w[2] ^ w[7];
    const uint64_t c3 = w[3] ^ w[8];
    const uint64_t d1 = c0 ^ rotl64(c2, 1);
    const uint64_t d2 = c1 ^ rotl64(c3, 1);
    const uint64_t d4 = c3 ^ rotl64(c0, 1);
    p.w0 = w[0];
    p.w3 = w[3];
    p.w4 = w[4];
    p.w5 = w[5];
    p.w8 = w[8];
    p.w9lo = w[9] & 0xFFFFFFFFULL;
    p.c1r = rotl64(c1, 1);
    p.c2 = c2;
    p.d4 = d4;
    // Lanes 11 to 15 and 17 to 24 start as zero, lane 16 as kPad80.
    p.b10 = rotl64(w[6] ^ d1, 44);
    p.b20 = rotl64(d2, 43);
    p.b40 = rotl64(d4, 14);
    p.b31 = rotl64(kPad80 ^ d1, 45);
    p.b41 = rotl64(d2, 61);
    p.b02 = rotl64(w[1] ^ d1, 1);
    p.b12 = rotl64(w[7] ^ d2, 6);
    p.b32 = rotl64(d4, 8);
    p.b03 = rotl64(w[4] ^ d4, 27);
    p.b23 = rotl64(d1, 10);
    p.b33 = rotl64(d2, 15);
    p.b04 = rotl64(w[2] ^ d2, 62);
    p.b24 = rotl64(d4, 39);
    p.b44 = rotl64(d1, 2);
    p.n00 = ~p.b10 & p.b20;
    p.n21 = ~p.b31 & p.b41;
    p.n42 = ~p.b02 & p.b12;
    p.n13 = ~p.b23 & p.b33;
    p.n34 = ~p.b44 & p.b04;
    return p;
}

// Finishes the first round for one nonce (header bytes 76..79, the high half
// of lane 9).
VKN_HD void first_round(const Precomp& p, uint32_t nonce, uint64_t a[25]) {
#if defined(VKN_FAULT_NONCE_BIG_ENDIAN)
    nonce = (nonce >> 24) | ((nonce >> 8) & 0xff00u) | ((nonce << 8) & 0xff0000u) | (nonce << 24);
#endif
    const uint64_t lane9 = p.w9lo | (static_cast<uint64_t>(nonce) << 32);
    const uint64_t c4 = p.w4 ^ lane9;
    const uint64_t d0 = c4 ^ p.c1r;
    const uint64_t d3 = p.c2 ^ rotl64(c4, 1);
    const uint64_t b00 = p.w0 ^ d0;
    const uint64_t b30 = rotl64(d3, 21);
    const uint64_t b01 = rotl64(p.w3 ^ d3, 28);
    const uint64_t b11 = rotl64(lane9 ^ p.d4, 20);
    const uint64_t b21 = rotl64(kPad06 ^ d0, 3);
    const uint64_t b22 = rotl64(d3, 25);
    const uint64_t b42 = rotl64(d0, 18);
    const uint64_t b13 = rotl64(p.w5 ^ d0, 36);
    const uint64_t b43 = rotl64(d3, 56);
    const uint64_t b14 = rotl64(p.w8 ^ d3, 55);
    const uint64_t b34 = rotl64(d0, 41);
    a[0] = b00 ^ p.n00 ^ round_constant(0);
    a[1] = p.b10 ^ (~p.b20 & b30);
    a[2] = p.b20 ^ (~b30 & p.b40);
    a[3] = b30 ^ (~p.b40 & b00);
    a[4] = p.b40 ^ (~b00 & p.b10);
    a[5] = b01 ^ (~b11 & b21);
    a[6] = b11 ^ (~b21 & p.b31);
    a[7] = b21 ^ p.n21;
    a[8] = p.b31 ^ (~p.b41 & b01);
    a[9] = p.b41 ^ (~b01 & b11);
    a[10] = p.b02 ^ (~p.b12 & b22);
    a[11] = p.b12 ^ (~b22 & p.b32);
    a[12] = b22 ^ (~p.b32 & b42);
    a[13] = p.b32 ^ (~b42 & p.b02);
    a[14] = b42 ^ p.n42;
    a[15] = p.b03 ^ (~b13 & p.b23);
    a[16] = b13 ^ p.n13;
    a[17] = p.b23 ^ (~p.b33 & b43);
    a[18] = p.b33 ^ (~b43 & p.b03);
    a[19] = b43 ^ (~p.b03 & b13);
    a[20] = p.b04 ^ (~b14 & p.b24);
    a[21] = b14 ^ (~p.b24 & b34);
    a[22] = p.b24 ^ (~b34 & p.b44);
    a[23] = b34 ^ p.n34;
    a[24] = p.b44 ^ (~p.b04 & b14);
}

// Rounds 2 to 23 (indices 1 to 22) of a permutation, and the last one
// computing only the four lanes the next stage reads.
VKN_HD void rounds_to_digest(uint64_t a64[25], uint64_t h[4]) {
#if VKN_KECCAK_HALVES
    halves::Lane a[25];
    VKN_UNROLL
    for (int i = 0; i < 25; ++i) a[i] = halves::split(a64[i]);
#if VKN_SEARCH_UNROLL >= 1
    VKN_UNROLL
#else
    VKN_NO_UNROLL
#endif
    for (int r = 1; r < 23; ++r) halves::round(a, round_constant(r));
    halves::round_out4(a, round_constant(23), h);
#else
    uint64_t* a = a64;
#if VKN_SEARCH_UNROLL >= 1
    VKN_UNROLL
#else
    VKN_NO_UNROLL
#endif
    for (int r = 1; r < 23; ++r) keccak_round(a, round_constant(r));
    keccak_round_out4(a, round_constant(23), h);
#endif
}

// The state of the next SHA3-256 stage: the previous 32-byte digest, padded.
VKN_HD void restart(uint64_t a[25], const uint64_t h[4]) {
    VKN_UNROLL
    for (int i = 0; i < 25; ++i) a[i] = 0;
    a[0] = h[0];
    a[1] = h[1];
    a[2] = h[2];
    a[3] = h[3];
    a[4] = kPad06;
    a[16] = kPad80;
}

// SHA3-256t of the precomputed header with this nonce, as four words
// (word k = digest bytes 8k..8k+7 little-endian).
VKN_HD void hash_nonce(const Precomp& p, uint32_t nonce, uint64_t h[4]) {
    uint64_t a[25];
    first_round(p, nonce, a);
    // The first round of the later stages stays in 64-bit form: most of its
    // lanes are zero, and the compiler folds them.
#if VKN_SEARCH_UNROLL == 2
    rounds_to_digest(a, h);
    restart(a, h);
    keccak_round(a, round_constant(0));
    rounds_to_digest(a, h);
    restart(a, h);
    keccak_round(a, round_constant(0));
    rounds_to_digest(a, h);
#else
    VKN_NO_UNROLL
    for (int stage = 0; stage < 3; ++stage) {
        if (stage != 0) {
            restart(a, h);
            keccak_round(a, round_constant(0));
        }
        rounds_to_digest(a, h);
    }
#endif
}

// hash <= target in the four-word form, word 3 most significant.
VKN_HD bool meets_target(const uint64_t h[4], const uint64_t t[4]) {
    if (h[3] != t[3]) return h[3] < t[3];
    if (h[2] != t[2]) return h[2] < t[2];
    if (h[1] != t[1]) return h[1] < t[1];
    return h[0] <= t[0];
}

// One thread of the search grid: nonces nonce_start + g + i*stride for
// i < iters, in 64 bits so that nothing past nonce_end wraps to a small
// nonce. `out` is the found record: found() reads the shared flag, and
// claim() sets it at most once per batch, recording the winner.
template <class FoundRecord>
VKN_HD void search_thread(const uint64_t header[10], const uint64_t target[4], uint32_t nonce_start,
                          uint32_t nonce_end, uint32_t iters, uint64_t g, uint64_t stride, FoundRecord& out) {
    if (iters == 0) return;
    const Precomp p = precompute(header);
    const uint64_t t[4] = {target[0], target[1], target[2], target[3]};
    VKN_NO_UNROLL
    for (uint32_t i = 0; i < iters; ++i) {
        if ((i & 15u) == 0 && out.found()) return;
        const uint64_t nonce = static_cast<uint64_t>(nonce_start) + g + static_cast<uint64_t>(i) * stride;
        if (nonce > nonce_end) return;
        uint64_t h[4];
        hash_nonce(p, static_cast<uint32_t>(nonce), h);
        if (meets_target(h, t)) {
            out.claim(static_cast<uint32_t>(nonce), h);
            return;
        }
    }
}

}  // namespace VKN_CORE_LAYOUT
}  // namespace core
}  // namespace vkn
