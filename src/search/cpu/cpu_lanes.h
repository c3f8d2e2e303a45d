// SHA3-256t of W consecutive nonces at once, written once over a SIMD type
// of W 64-bit lanes (see cpu_simd.h). Included only by the translation units
// built for one instruction set; everything here stays inside the namespace
// each of them picks, so that no code built for a wider unit can stand in for
// the portable one at link time. A unit may include it more than once, each
// time for another namespace.
#include <cstdint>

#include "search/core/round_constants.h"

// LANES_NS: the including unit's own namespace; LANES_UNROLL and
// LANES_ROUND_INLINE: how the rounds unroll and inline for its register
// file; V: its lane type with x(a, b), x3(a, b, c), chi(a, b, c) =
// a ^ (~b & c), rol<n>(a), set1(u), load(p) and store(p, a).
namespace LANES_NS {

constexpr const uint64_t* kRc = vkn::kKeccakRoundConstants;

// Chi along one plane: lane x takes b[x] ^ (~b[x+1] & b[x+2]).
[[gnu::always_inline]] inline void chi_plane(V e[5], V b0, V b1, V b2, V b3, V b4) {
    e[0] = V::chi(b0, b1, b2);
    e[1] = V::chi(b1, b2, b3);
    e[2] = V::chi(b2, b3, b4);
    e[3] = V::chi(b3, b4, b0);
    e[4] = V::chi(b4, b0, b1);
}

// One round from a into e, a plane at a time: the five rho-pi outputs of a
// plane are consumed by chi at once, so few values live beside the state.
LANES_ROUND_INLINE void round(const V a[25], V e[25], uint64_t rc) {
    const V c0 = V::x3(V::x3(a[0], a[5], a[10]), a[15], a[20]);
    const V c1 = V::x3(V::x3(a[1], a[6], a[11]), a[16], a[21]);
    const V c2 = V::x3(V::x3(a[2], a[7], a[12]), a[17], a[22]);
    const V c3 = V::x3(V::x3(a[3], a[8], a[13]), a[18], a[23]);
    const V c4 = V::x3(V::x3(a[4], a[9], a[14]), a[19], a[24]);
    const V d0 = V::x(c4, V::template rol<1>(c1));
    const V d1 = V::x(c0, V::template rol<1>(c2));
    const V d2 = V::x(c1, V::template rol<1>(c3));
    const V d3 = V::x(c2, V::template rol<1>(c4));
    const V d4 = V::x(c3, V::template rol<1>(c0));
    {
        const V b0 = V::x(a[0], d0);
        const V b1 = V::template rol<44>(V::x(a[6], d1));
        const V b2 = V::template rol<43>(V::x(a[12], d2));
        const V b3 = V::template rol<21>(V::x(a[18], d3));
        const V b4 = V::template rol<14>(V::x(a[24], d4));
        // Iota on lane 0 as it is made, not after the plane: a few per cent faster with AVX2.
        e[0] = V::x(V::chi(b0, b1, b2), V::set1(rc));
        e[1] = V::chi(b1, b2, b3);
        e[2] = V::chi(b2, b3, b4);
        e[3] = V::chi(b3, b4, b0);
        e[4] = V::chi(b4, b0, b1);
    }
    {
        const V b0 = V::template rol<28>(V::x(a[3], d3));
        const V b1 = V::template rol<20>(V::x(a[9], d4));
        const V b2 = V::template rol<3>(V::x(a[10], d0));
        const V b3 = V::template rol<45>(V::x(a[16], d1));
        const V b4 = V::template rol<61>(V::x(a[22], d2));
        chi_plane(e + 5, b0, b1, b2, b3, b4);
    }
    {
        const V b0 = V::template rol<1>(V::x(a[1], d1));
        const V b1 = V::template rol<6>(V::x(a[7], d2));
        const V b2 = V::template rol<25>(V::x(a[13], d3));
        const V b3 = V::template rol<8>(V::x(a[19], d4));
        const V b4 = V::template rol<18>(V::x(a[20], d0));
        chi_plane(e + 10, b0, b1, b2, b3, b4);
    }
    {
        const V b0 = V::template rol<27>(V::x(a[4], d4));
        const V b1 = V::template rol<36>(V::x(a[5], d0));
        const V b2 = V::template rol<10>(V::x(a[11], d1));
        const V b3 = V::template rol<15>(V::x(a[17], d2));
        const V b4 = V::template rol<56>(V::x(a[23], d3));
        chi_plane(e + 15, b0, b1, b2, b3, b4);
    }
    {
        const V b0 = V::template rol<62>(V::x(a[2], d2));
        const V b1 = V::template rol<55>(V::x(a[8], d3));
        const V b2 = V::template rol<39>(V::x(a[14], d4));
        const V b3 = V::template rol<41>(V::x(a[15], d0));
        const V b4 = V::template rol<2>(V::x(a[21], d1));
        chi_plane(e + 20, b0, b1, b2, b3, b4);
    }
}

constexpr uint64_t kPad06 = 0x06, kPad80 = 0x8000000000000000ULL;

inline uint64_t rotl(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }

// The first round of the first permutation, split as the scalar core splits
// it: what does not depend on lane 9 (the nonce's) is worked out once per
// call in scalar code; the rest, per lane, in vectors.
struct FirstRound {
    uint64_t w0, w3, w4, w5, w8, w9lo, c1r, c2;
    uint64_t d4, b10, b20, b40, b31, b41, b02, b12, b32, b03, b23, b33, b04, b24, b44;
};

inline FirstRound first_round_constants(const uint64_t w[10]) {
    const uint64_t c0 = w[0] ^ w[5] ^ kPad06, c1 = w[1] ^ w[6] ^ kPad80, c2 = w[2] ^ w[7], c3 = w[3] ^ w[8];
    const uint64_t d1 = c0 ^ rotl(c2, 1), d2 = c1 ^ rotl(c3, 1), d4 = c3 ^ rotl(c0, 1);
    return {w[0], w[3], w[4], w[5], w[8], w[9] & 0xFFFFFFFFULL, rotl(c1, 1), c2,
            d4, rotl(w[6] ^ d1, 44), rotl(d2, 43), rotl(d4, 14), rotl(kPad80 ^ d1, 45), rotl(d2, 61),
            rotl(w[1] ^ d1, 1), rotl(w[7] ^ d2, 6), rotl(d4, 8), rotl(w[4] ^ d4, 27), rotl(d1, 10),
            rotl(d2, 15), rotl(w[2] ^ d2, 62), rotl(d4, 39), rotl(d1, 2)};
}

[[gnu::always_inline]] inline void first_round(const FirstRound& f, V lane9, V a[25]) {
    const V c4 = V::x(V::set1(f.w4), lane9);
    const V d0 = V::x(c4, V::set1(f.c1r));
    const V d3 = V::x(V::set1(f.c2), V::template rol<1>(c4));
    const V b10 = V::set1(f.b10), b20 = V::set1(f.b20), b40 = V::set1(f.b40), b31 = V::set1(f.b31),
            b41 = V::set1(f.b41), b02 = V::set1(f.b02), b12 = V::set1(f.b12), b32 = V::set1(f.b32),
            b03 = V::set1(f.b03), b23 = V::set1(f.b23), b33 = V::set1(f.b33), b04 = V::set1(f.b04),
            b24 = V::set1(f.b24), b44 = V::set1(f.b44);
    chi_plane(a, V::x(V::set1(f.w0), d0), b10, b20, V::template rol<21>(d3), b40);
    a[0] = V::x(a[0], V::set1(kRc[0]));
    chi_plane(a + 5, V::template rol<28>(V::x(V::set1(f.w3), d3)),
              V::template rol<20>(V::x(lane9, V::set1(f.d4))), V::template rol<3>(V::x(V::set1(kPad06), d0)), b31,
              b41);
    chi_plane(a + 10, b02, b12, V::template rol<25>(d3), b32, V::template rol<18>(d0));
    chi_plane(a + 15, b03, V::template rol<36>(V::x(V::set1(f.w5), d0)), b23, b33, V::template rol<56>(d3));
    chi_plane(a + 20, b04, V::template rol<55>(V::x(V::set1(f.w8), d3)), b24, V::template rol<41>(d0), b44);
}

// The last round of a permutation, only for the four lanes the next stage
// (or the digest) reads.
[[gnu::always_inline]] inline void round_out4(const V a[25], V h[4], uint64_t rc) {
    const V c0 = V::x3(V::x3(a[0], a[5], a[10]), a[15], a[20]);
    const V c1 = V::x3(V::x3(a[1], a[6], a[11]), a[16], a[21]);
    const V c2 = V::x3(V::x3(a[2], a[7], a[12]), a[17], a[22]);
    const V c3 = V::x3(V::x3(a[3], a[8], a[13]), a[18], a[23]);
    const V c4 = V::x3(V::x3(a[4], a[9], a[14]), a[19], a[24]);
    const V b0 = V::x(a[0], V::x(c4, V::template rol<1>(c1)));
    const V b1 = V::template rol<44>(V::x(a[6], V::x(c0, V::template rol<1>(c2))));
    const V b2 = V::template rol<43>(V::x(a[12], V::x(c1, V::template rol<1>(c3))));
    const V b3 = V::template rol<21>(V::x(a[18], V::x(c2, V::template rol<1>(c4))));
    const V b4 = V::template rol<14>(V::x(a[24], V::x(c3, V::template rol<1>(c0))));
    h[0] = V::x(V::chi(b0, b1, b2), V::set1(rc));
    h[1] = V::chi(b1, b2, b3);
    h[2] = V::chi(b2, b3, b4);
    h[3] = V::chi(b3, b4, b0);
}

// out[4 * l + k]: word k of the digest of nonce first + l. With the rounds
// inlined every lane index is a constant, so the state lives in registers
// (and the spills the compiler picks) rather than in the arrays.
inline void sha3t(const uint64_t header[10], uint32_t first, uint64_t* out) {
    const FirstRound f = first_round_constants(header);
    alignas(64) uint64_t words[4 * V::kWidth];
    for (int l = 0; l < V::kWidth; ++l) words[l] = f.w9lo | (uint64_t(uint32_t(first + uint32_t(l))) << 32);
    V a[25], e[25], h[4];
    first_round(f, V::load(words), a);
    for (int stage = 0;; ++stage) {
        LANES_UNROLL
        for (int r = 1; r < 23; r += 2) {
            round(a, e, kRc[r]);
            round(e, a, kRc[r + 1]);
        }
        round_out4(a, h, kRc[23]);
        if (stage == 2) break;
        // The next SHA3-256 input: the digest, padded; its zero lanes fold away in the first round.
#pragma GCC unroll 25
        for (int i = 0; i < 25; ++i) e[i] = i < 4 ? h[i] : V::set1(i == 4 ? kPad06 : i == 16 ? kPad80 : 0);
        round(e, a, kRc[0]);
    }
    for (int k = 0; k < 4; ++k) V::store(words + k * V::kWidth, h[k]);
    for (int l = 0; l < V::kWidth; ++l)
        for (int k = 0; k < 4; ++k) out[4 * l + k] = words[k * V::kWidth + l];
}

}  // namespace LANES_NS
