#pragma once
// SHA3-256t of W consecutive nonces at once, written once over a SIMD type
// of W 64-bit lanes (see cpu_simd.h). Included only by the translation units
// built for one instruction set; everything here stays inside the namespace
// each of them picks, so that no code built for a wider unit can stand in for
// the portable one at link time.
#include <cstdint>

#include "search/core/round_constants.h"

// LANES_NS: the including unit's own namespace; LANES_UNROLL: how far the
// rounds unroll for its register file; V: its lane type with
// x(a, b), x3(a, b, c), chi(a, b, c) = a ^ (~b & c), rol<n>(a), set1(u),
// load(p) and store(p, a).
namespace LANES_NS {

constexpr const uint64_t* kRc = vkn::kKeccakRoundConstants;

// Chi along one plane: lane x takes b[x] ^ (~b[x+1] & b[x+2]).
inline void chi_plane(V e[5], V b0, V b1, V b2, V b3, V b4) {
    e[0] = V::chi(b0, b1, b2);
    e[1] = V::chi(b1, b2, b3);
    e[2] = V::chi(b2, b3, b4);
    e[3] = V::chi(b3, b4, b0);
    e[4] = V::chi(b4, b0, b1);
}

// One round from a into e, a plane at a time: the five rho-pi outputs of a
// plane are consumed by chi at once, so few values live beside the state.
inline void round(const V a[25], V e[25], uint64_t rc) {
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
        chi_plane(e, b0, b1, b2, b3, b4);
        e[0] = V::x(e[0], V::set1(rc));  // iota
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

inline void keccak_f(V a[25]) {
    V e[25];
    LANES_UNROLL
    for (int r = 0; r < 24; r += 2) {
        round(a, e, kRc[r]);
        round(e, a, kRc[r + 1]);
    }
}

// The padded state of a SHA3-256 input whose lanes 0..n-1 are already set.
inline void pad(V a[25], int n) {
    for (int i = n; i < 25; ++i) a[i] = V::set1(0);
    a[n] = V::set1(0x06);
    a[16] = V::x(a[16], V::set1(0x8000000000000000ULL));
}

// out[4 * l + k]: word k of the digest of nonce first + l.
inline void sha3t(const uint64_t header[10], uint32_t first, uint64_t* out) {
    V a[25];
    for (int i = 0; i < 9; ++i) a[i] = V::set1(header[i]);
    alignas(64) uint64_t words[4 * V::kWidth];
    for (int l = 0; l < V::kWidth; ++l)
        words[l] = (header[9] & 0xFFFFFFFFULL) | (uint64_t(uint32_t(first + uint32_t(l))) << 32);
    a[9] = V::load(words);
    pad(a, 10);
    keccak_f(a);
    for (int stage = 0; stage < 2; ++stage) {
        pad(a, 4);
        keccak_f(a);
    }
    for (int k = 0; k < 4; ++k) V::store(words + k * V::kWidth, a[k]);
    for (int l = 0; l < V::kWidth; ++l)
        for (int k = 0; k < 4; ++k) out[4 * l + k] = words[k * V::kWidth + l];
}

}  // namespace LANES_NS
