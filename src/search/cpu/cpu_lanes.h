// SHA3-256t of W consecutive nonces at once, written once over a SIMD type
// of W 64-bit lanes (see cpu_simd.h). Included only by the translation units
// built for one instruction set; everything here stays inside the namespace
// each of them picks, so that no code built for a wider unit can stand in for
// the portable one at link time: of the core it reads data only (the round
// constants, the pads, the precomputed header), never calls a function. A
// unit may include it more than once, each time for another namespace.
#include <cstdint>

#include "search/core/round_constants.h"
#include "search/core/sha3t_nonce.h"

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

// Theta's five terms: d[x] = c[x-1] ^ rol(c[x+1], 1), c the column parities.
[[gnu::always_inline]] inline void theta(const V a[25], V d[5]) {
    const V c0 = V::x3(V::x3(a[0], a[5], a[10]), a[15], a[20]);
    const V c1 = V::x3(V::x3(a[1], a[6], a[11]), a[16], a[21]);
    const V c2 = V::x3(V::x3(a[2], a[7], a[12]), a[17], a[22]);
    const V c3 = V::x3(V::x3(a[3], a[8], a[13]), a[18], a[23]);
    const V c4 = V::x3(V::x3(a[4], a[9], a[14]), a[19], a[24]);
    d[0] = V::x(c4, V::template rol<1>(c1));
    d[1] = V::x(c0, V::template rol<1>(c2));
    d[2] = V::x(c1, V::template rol<1>(c3));
    d[3] = V::x(c2, V::template rol<1>(c4));
    d[4] = V::x(c3, V::template rol<1>(c0));
}

// Plane 0 of a round, iota included: all of it that a digest reads.
[[gnu::always_inline]] inline void plane0(const V a[25], const V d[5], uint64_t rc, V e[5]) {
    const V b0 = V::x(a[0], d[0]);
    const V b1 = V::template rol<44>(V::x(a[6], d[1]));
    const V b2 = V::template rol<43>(V::x(a[12], d[2]));
    const V b3 = V::template rol<21>(V::x(a[18], d[3]));
    const V b4 = V::template rol<14>(V::x(a[24], d[4]));
    // Iota on lane 0 as it is made, not after the plane: a few per cent faster with AVX2.
    e[0] = V::x(V::chi(b0, b1, b2), V::set1(rc));
    e[1] = V::chi(b1, b2, b3);
    e[2] = V::chi(b2, b3, b4);
    e[3] = V::chi(b3, b4, b0);
    e[4] = V::chi(b4, b0, b1);
}

// One round from a into e, a plane at a time: the five rho-pi outputs of a
// plane are consumed by chi at once, so few values live beside the state.
LANES_ROUND_INLINE void round(const V a[25], V e[25], uint64_t rc) {
    V d[5];
    theta(a, d);
    const V d0 = d[0], d1 = d[1], d2 = d[2], d3 = d[3], d4 = d[4];
    plane0(a, d, rc, e);
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

using vkn::core::kPad06;
using vkn::core::kPad80;

// The first round of the first permutation from the core's precomputed
// header (made once per batch by the portable code): only what depends on
// lane 9, the nonce's, is left to do per lane.
[[gnu::always_inline]] inline void first_round(const vkn::core::Precomp& p, V lane9, V a[25]) {
    const V c4 = V::x(V::set1(p.w4), lane9);
    const V d0 = V::x(c4, V::set1(p.c1r));
    const V d3 = V::x(V::set1(p.c2), V::template rol<1>(c4));
    const V b10 = V::set1(p.b10), b20 = V::set1(p.b20), b40 = V::set1(p.b40), b31 = V::set1(p.b31),
            b41 = V::set1(p.b41), b02 = V::set1(p.b02), b12 = V::set1(p.b12), b32 = V::set1(p.b32),
            b03 = V::set1(p.b03), b23 = V::set1(p.b23), b33 = V::set1(p.b33), b04 = V::set1(p.b04),
            b24 = V::set1(p.b24), b44 = V::set1(p.b44);
    chi_plane(a, V::x(V::set1(p.w0), d0), b10, b20, V::template rol<21>(d3), b40);
    a[0] = V::x(a[0], V::set1(kRc[0]));
    chi_plane(a + 5, V::template rol<28>(V::x(V::set1(p.w3), d3)),
              V::template rol<20>(V::x(lane9, V::set1(p.d4))), V::template rol<3>(V::x(V::set1(kPad06), d0)), b31,
              b41);
    chi_plane(a + 10, b02, b12, V::template rol<25>(d3), b32, V::template rol<18>(d0));
    chi_plane(a + 15, b03, V::template rol<36>(V::x(V::set1(p.w5), d0)), b23, b33, V::template rol<56>(d3));
    chi_plane(a + 20, b04, V::template rol<55>(V::x(V::set1(p.w8), d3)), b24, V::template rol<41>(d0), b44);
}

// The last round of a permutation, only for the four lanes the next stage
// (or the digest) reads.
[[gnu::always_inline]] inline void round_out4(const V a[25], V h[4], uint64_t rc) {
    V d[5], e[5];  // e[4] is never read: the compiler drops it
    theta(a, d);
    plane0(a, d, rc, e);
    for (int k = 0; k < 4; ++k) h[k] = e[k];
}

// out[4 * l + k]: word k of the digest of nonce first + l. With the rounds
// inlined every lane index is a constant, so the state lives in registers
// (and the spills the compiler picks) rather than in the arrays.
inline void sha3t(const vkn::core::Precomp& p, uint32_t first, uint64_t* out) {
    alignas(64) uint64_t words[4 * V::kWidth];
    for (int l = 0; l < V::kWidth; ++l) words[l] = p.w9lo | (uint64_t(uint32_t(first + uint32_t(l))) << 32);
    V a[25], e[25], h[4];
    first_round(p, V::load(words), a);
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
