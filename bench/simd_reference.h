// A comparison implementation of SHA3-256t over W nonces at once, written
// the plain way: the 25 lanes of the state in 25 vector locals, every round
// spelt out with its lane indices, rho and pi as renaming, each rotation as
// the instruction set has it, chi with and-not (or one three-input
// operation), iota one xor. It has the same savings as the miner's paths:
// the first round's nonce-independent work once per header, and the last
// round of each permutation only for the four lanes read. Nothing of the
// miner's search code is used but the table of round constants, so that the
// two can be timed against each other. Included by one unit per instruction set, which first defines
// REF_NS, its lane type `v`, and X(a, b), X3(a, b, c), CHI(a, b, c) =
// a ^ (~b & c), ROL(a, n), BC(u) (broadcast), ZERO and kWidth.
#include <cstdint>

#include "search/core/round_constants.h"

namespace REF_NS {

constexpr const uint64_t* kRc = vkn::kKeccakRoundConstants;  // data only

constexpr uint64_t kPadLow = 0x06, kPadHigh = 0x8000000000000000ULL;

inline uint64_t rol64(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }

// Theta's column parities and terms of state S.
#define REF_THETA(S)                                                \
    const v c0 = X3(X3(S##0, S##5, S##10), S##15, S##20);          \
    const v c1 = X3(X3(S##1, S##6, S##11), S##16, S##21);          \
    const v c2 = X3(X3(S##2, S##7, S##12), S##17, S##22);          \
    const v c3 = X3(X3(S##3, S##8, S##13), S##18, S##23);          \
    const v c4 = X3(X3(S##4, S##9, S##14), S##19, S##24);          \
    const v d0 = X(c4, ROL(c1, 1)), d1 = X(c0, ROL(c2, 1)), d2 = X(c1, ROL(c3, 1)), d3 = X(c2, ROL(c4, 1)), \
            d4 = X(c3, ROL(c0, 1));

// One round from state S into state T.
#define REF_ROUND(S, T, rc)                                                                                  \
    {                                                                                                        \
        REF_THETA(S)                                                                                         \
        const v b00 = X(S##0, d0), b10 = ROL(X(S##6, d1), 44), b20 = ROL(X(S##12, d2), 43),                \
                b30 = ROL(X(S##18, d3), 21), b40 = ROL(X(S##24, d4), 14);                                    \
        T##0 = X(CHI(b00, b10, b20), BC(rc));                                                                \
        T##1 = CHI(b10, b20, b30), T##2 = CHI(b20, b30, b40), T##3 = CHI(b30, b40, b00),                    \
        T##4 = CHI(b40, b00, b10);                                                                           \
        const v b01 = ROL(X(S##3, d3), 28), b11 = ROL(X(S##9, d4), 20), b21 = ROL(X(S##10, d0), 3),         \
                b31 = ROL(X(S##16, d1), 45), b41 = ROL(X(S##22, d2), 61);                                    \
        T##5 = CHI(b01, b11, b21), T##6 = CHI(b11, b21, b31), T##7 = CHI(b21, b31, b41),                    \
        T##8 = CHI(b31, b41, b01), T##9 = CHI(b41, b01, b11);                                                \
        const v b02 = ROL(X(S##1, d1), 1), b12 = ROL(X(S##7, d2), 6), b22 = ROL(X(S##13, d3), 25),          \
                b32 = ROL(X(S##19, d4), 8), b42 = ROL(X(S##20, d0), 18);                                     \
        T##10 = CHI(b02, b12, b22), T##11 = CHI(b12, b22, b32), T##12 = CHI(b22, b32, b42),                 \
        T##13 = CHI(b32, b42, b02), T##14 = CHI(b42, b02, b12);                                              \
        const v b03 = ROL(X(S##4, d4), 27), b13 = ROL(X(S##5, d0), 36), b23 = ROL(X(S##11, d1), 10),        \
                b33 = ROL(X(S##17, d2), 15), b43 = ROL(X(S##23, d3), 56);                                    \
        T##15 = CHI(b03, b13, b23), T##16 = CHI(b13, b23, b33), T##17 = CHI(b23, b33, b43),                 \
        T##18 = CHI(b33, b43, b03), T##19 = CHI(b43, b03, b13);                                              \
        const v b04 = ROL(X(S##2, d2), 62), b14 = ROL(X(S##8, d3), 55), b24 = ROL(X(S##14, d4), 39),        \
                b34 = ROL(X(S##15, d0), 41), b44 = ROL(X(S##21, d1), 2);                                     \
        T##20 = CHI(b04, b14, b24), T##21 = CHI(b14, b24, b34), T##22 = CHI(b24, b34, b44),                 \
        T##23 = CHI(b34, b44, b04), T##24 = CHI(b44, b04, b14);                                              \
    }

// The last round of a permutation: only lanes 0 to 3, into h0..h3.
#define REF_ROUND_OUT4(S, rc)                                                                   \
    {                                                                                           \
        REF_THETA(S)                                                                            \
        (void)d2;                                                                               \
        const v b00 = X(S##0, d0), b10 = ROL(X(S##6, d1), 44), b20 = ROL(X(S##12, d2), 43),   \
                b30 = ROL(X(S##18, d3), 21), b40 = ROL(X(S##24, d4), 14);                       \
        h0 = X(CHI(b00, b10, b20), BC(rc));                                                     \
        h1 = CHI(b10, b20, b30), h2 = CHI(b20, b30, b40), h3 = CHI(b30, b40, b00);              \
    }

#define REF_STATE(S) v S##0, S##1, S##2, S##3, S##4, S##5, S##6, S##7, S##8, S##9, S##10, S##11, S##12, S##13, \
    S##14, S##15, S##16, S##17, S##18, S##19, S##20, S##21, S##22, S##23, S##24

// out[4 * l + k]: word k of the digest of nonce first + l.
__attribute__((noinline)) void sha3t(const uint64_t w[10], uint32_t first, uint64_t* out) {
    // The first round, all but lane 9 (the nonce's) worked out once.
    const uint64_t p0 = w[0] ^ w[5] ^ kPadLow, p1 = w[1] ^ w[6] ^ kPadHigh, p2 = w[2] ^ w[7], p3 = w[3] ^ w[8];
    const uint64_t e1 = p0 ^ rol64(p2, 1), e2 = p1 ^ rol64(p3, 1), e4 = p3 ^ rol64(p0, 1);
    alignas(64) uint64_t lanes9[kWidth];
    for (int l = 0; l < kWidth; ++l) lanes9[l] = (w[9] & 0xFFFFFFFFULL) | uint64_t(uint32_t(first + uint32_t(l))) << 32;
    REF_STATE(A);
    REF_STATE(E);
    v h0, h1, h2, h3;
    {
        const v n9 = LOAD(lanes9);
        const v c4 = X(BC(w[4]), n9);
        const v d0 = X(c4, BC(rol64(p1, 1))), d3 = X(BC(p2), ROL(c4, 1));
        const v b00 = X(BC(w[0]), d0), b10 = BC(rol64(w[6] ^ e1, 44)), b20 = BC(rol64(e2, 43)), b30 = ROL(d3, 21),
                b40 = BC(rol64(e4, 14));
        E0 = X(CHI(b00, b10, b20), BC(kRc[0]));
        E1 = CHI(b10, b20, b30), E2 = CHI(b20, b30, b40), E3 = CHI(b30, b40, b00), E4 = CHI(b40, b00, b10);
        const v b01 = ROL(X(BC(w[3]), d3), 28), b11 = ROL(X(n9, BC(e4)), 20), b21 = ROL(X(BC(kPadLow), d0), 3),
                b31 = BC(rol64(kPadHigh ^ e1, 45)), b41 = BC(rol64(e2, 61));
        E5 = CHI(b01, b11, b21), E6 = CHI(b11, b21, b31), E7 = CHI(b21, b31, b41), E8 = CHI(b31, b41, b01),
        E9 = CHI(b41, b01, b11);
        const v b02 = BC(rol64(w[1] ^ e1, 1)), b12 = BC(rol64(w[7] ^ e2, 6)), b22 = ROL(d3, 25),
                b32 = BC(rol64(e4, 8)), b42 = ROL(d0, 18);
        E10 = CHI(b02, b12, b22), E11 = CHI(b12, b22, b32), E12 = CHI(b22, b32, b42), E13 = CHI(b32, b42, b02),
        E14 = CHI(b42, b02, b12);
        const v b03 = BC(rol64(w[4] ^ e4, 27)), b13 = ROL(X(BC(w[5]), d0), 36), b23 = BC(rol64(e1, 10)),
                b33 = BC(rol64(e2, 15)), b43 = ROL(d3, 56);
        E15 = CHI(b03, b13, b23), E16 = CHI(b13, b23, b33), E17 = CHI(b23, b33, b43), E18 = CHI(b33, b43, b03),
        E19 = CHI(b43, b03, b13);
        const v b04 = BC(rol64(w[2] ^ e2, 62)), b14 = ROL(X(BC(w[8]), d3), 55), b24 = BC(rol64(e4, 39)),
                b34 = ROL(d0, 41), b44 = BC(rol64(e1, 2));
        E20 = CHI(b04, b14, b24), E21 = CHI(b14, b24, b34), E22 = CHI(b24, b34, b44), E23 = CHI(b34, b44, b04),
        E24 = CHI(b44, b04, b14);
    }
    for (int stage = 0;; ++stage) {
        REF_ROUND(E, A, kRc[1]) REF_ROUND(A, E, kRc[2]) REF_ROUND(E, A, kRc[3]) REF_ROUND(A, E, kRc[4])
        REF_ROUND(E, A, kRc[5]) REF_ROUND(A, E, kRc[6]) REF_ROUND(E, A, kRc[7]) REF_ROUND(A, E, kRc[8])
        REF_ROUND(E, A, kRc[9]) REF_ROUND(A, E, kRc[10]) REF_ROUND(E, A, kRc[11]) REF_ROUND(A, E, kRc[12])
        REF_ROUND(E, A, kRc[13]) REF_ROUND(A, E, kRc[14]) REF_ROUND(E, A, kRc[15]) REF_ROUND(A, E, kRc[16])
        REF_ROUND(E, A, kRc[17]) REF_ROUND(A, E, kRc[18]) REF_ROUND(E, A, kRc[19]) REF_ROUND(A, E, kRc[20])
        REF_ROUND(E, A, kRc[21]) REF_ROUND(A, E, kRc[22])
        REF_ROUND_OUT4(E, kRc[23])
        if (stage == 2) break;
        // The next SHA3-256 input: the digest, padded; the zero lanes fold away.
        A0 = h0, A1 = h1, A2 = h2, A3 = h3, A4 = BC(kPadLow), A16 = BC(kPadHigh);
        A5 = A6 = A7 = A8 = A9 = A10 = A11 = A12 = A13 = A14 = A15 = ZERO;
        A17 = A18 = A19 = A20 = A21 = A22 = A23 = A24 = ZERO;
        REF_ROUND(A, E, kRc[0])
    }
    alignas(64) uint64_t words[4 * kWidth];
    STORE(words, h0);
    STORE(words + kWidth, h1);
    STORE(words + 2 * kWidth, h2);
    STORE(words + 3 * kWidth, h3);
    for (int l = 0; l < kWidth; ++l)
        for (int k = 0; k < 4; ++k) out[4 * l + k] = words[k * kWidth + l];
}

// The nonces first .. first + count - 1 (count a multiple of kWidth) against
// the target; how many meet it (so that nothing is optimised away).
uint64_t search(const uint64_t w[10], uint32_t first, uint32_t count, const uint64_t target[4]) {
    uint64_t hits = 0, out[4 * kWidth];
    for (uint32_t n = 0; n < count; n += kWidth) {
        sha3t(w, first + n, out);
        for (int l = 0; l < kWidth; ++l) hits += out[4 * l + 3] <= target[3];
    }
    return hits;
}

}  // namespace REF_NS
