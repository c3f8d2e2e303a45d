#pragma once
// Keccak-f[1600] rounds of the search core: the round constants, the full
// round, the last round trimmed to the four lanes a digest needs, and the
// padded state of the next stage. 64-bit lanes; keccak_halves.h has the
// device's 32-bit-halves form.
#include "search/core/core_config.h"
#include "search/core/keccak_halves.h"
#include "search/core/round_constants.h"

namespace vkn {
namespace core {
inline namespace VKN_CORE_LAYOUT {

VKN_HD uint64_t rotl64(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }

// The device reads the constants as immediates: a switch folds to one once
// the rounds are unrolled, with no table to load; the host reads the table.
VKN_HD uint64_t round_constant(int round) {
#if defined(__CUDA_ARCH__)
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
    return kKeccakRoundConstants[round];
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

// Chi along one plane: lane x takes b[x] ^ (~b[x+1] & b[x+2]).
VKN_HD void chi_plane(uint64_t e[5], uint64_t b0, uint64_t b1, uint64_t b2, uint64_t b3, uint64_t b4) {
    e[0] = b0 ^ (~b1 & b2);
    e[1] = b1 ^ (~b2 & b3);
    e[2] = b2 ^ (~b3 & b4);
    e[3] = b3 ^ (~b4 & b0);
    e[4] = b4 ^ (~b0 & b1);
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
    chi_plane(a, b00, b10, b20, b30, b40);
    a[0] ^= rc;
    chi_plane(a + 5, b01, b11, b21, b31, b41);
    chi_plane(a + 10, b02, b12, b22, b32, b42);
    chi_plane(a + 15, b03, b13, b23, b33, b43);
    chi_plane(a + 20, b04, b14, b24, b34, b44);
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
    uint64_t e[5];  // e[4] is never read: the compiler drops it
    chi_plane(e, b00, b10, b20, b30, b40);
    out[0] = e[0] ^ rc;
    out[1] = e[1];
    out[2] = e[2];
    out[3] = e[3];
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

}  // namespace VKN_CORE_LAYOUT
}  // namespace core
}  // namespace vkn
