#pragma once
// One nonce's SHA3-256t: the nonce-independent part of the first round done
// once per thread, then the three chained permutations.
#include "search/core/keccak_rounds.h"

namespace vkn {
namespace core {
inline namespace VKN_CORE_LAYOUT {

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
#if defined(VKN_TEST_NONCE_HOOK)
    nonce = VKN_TEST_NONCE_HOOK(nonce);
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

}  // namespace VKN_CORE_LAYOUT
}  // namespace core
}  // namespace vkn
