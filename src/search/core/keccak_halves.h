#pragma once
// Keccak rounds on lanes held as two 32-bit halves, the form the GPU's
// registers have. On the device every three-input operation is one lop3 per
// half, written inline so that the compiler cannot share theta's column term
// between lanes (which costs a second instruction per lane), and each
// rotation is two funnel shifts. On the host the same code runs on plain
// operations, so that the cross-check against hashlib covers its logic.
#include <cstdint>

#include "search/core/core_config.h"

#ifndef VKN_ROTATE_IMAD
#define VKN_ROTATE_IMAD 0
#endif

namespace vkn {
namespace core {
namespace halves {

struct Lane {
    uint32_t lo, hi;
};

VKN_HD Lane split(uint64_t x) { return {static_cast<uint32_t>(x), static_cast<uint32_t>(x >> 32)}; }
VKN_HD uint64_t join(Lane x) { return (static_cast<uint64_t>(x.hi) << 32) | x.lo; }

#if defined(__CUDA_ARCH__)
#define VKN_LOP3(out, a, b, c, imm) asm("lop3.b32 %0, %1, %2, %3, " #imm ";" : "=r"(out) : "r"(a), "r"(b), "r"(c))
#else
#define VKN_LOP3(out, a, b, c, imm) out = lop3_##imm(a, b, c)
VKN_HD uint32_t lop3_0x96(uint32_t a, uint32_t b, uint32_t c) { return a ^ b ^ c; }
VKN_HD uint32_t lop3_0xD2(uint32_t a, uint32_t b, uint32_t c) { return a ^ (~b & c); }
#endif

// a ^ b ^ c
VKN_HD Lane xor3(Lane a, Lane b, Lane c) {
    Lane r;
    VKN_LOP3(r.lo, a.lo, b.lo, c.lo, 0x96);
    VKN_LOP3(r.hi, a.hi, b.hi, c.hi, 0x96);
    return r;
}

// a ^ (~b & c)
VKN_HD Lane chi(Lane a, Lane b, Lane c) {
    Lane r;
    VKN_LOP3(r.lo, a.lo, b.lo, c.lo, 0xD2);
    VKN_LOP3(r.hi, a.hi, b.hi, c.hi, 0xD2);
    return r;
}

VKN_HD Lane xor2(Lane a, Lane b) { return {a.lo ^ b.lo, a.hi ^ b.hi}; }

// VKN_ROTATE_IMAD (experimental, off by default): rotations on the
// multiply-add pipe instead of the shifter, hi * 2^n + umulhi(lo, 2^n), with
// 2^n read from constant memory so that the compiler cannot turn the product
// back into a shift. It wins only if that pipe issues at full rate.
#if VKN_ROTATE_IMAD && defined(__CUDACC__)
__constant__ uint32_t c_pow2[32] = {
    1u << 0,  1u << 1,  1u << 2,  1u << 3,  1u << 4,  1u << 5,  1u << 6,  1u << 7,  1u << 8,  1u << 9,  1u << 10,
    1u << 11, 1u << 12, 1u << 13, 1u << 14, 1u << 15, 1u << 16, 1u << 17, 1u << 18, 1u << 19, 1u << 20, 1u << 21,
    1u << 22, 1u << 23, 1u << 24, 1u << 25, 1u << 26, 1u << 27, 1u << 28, 1u << 29, 1u << 30, 1u << 31};
#endif

// The high word of (hi:lo) << n, 0 < n < 32.
VKN_HD uint32_t funnel(uint32_t lo, uint32_t hi, int n) {
#if VKN_ROTATE_IMAD && defined(__CUDA_ARCH__)
    const uint32_t m = c_pow2[n];
    return hi * m + __umulhi(lo, m);
#elif VKN_ROTATE_IMAD
    const uint32_t m = 1u << n;  // the same arithmetic, for the host cross-check
    return hi * m + static_cast<uint32_t>((static_cast<uint64_t>(lo) * m) >> 32);
#elif defined(__CUDA_ARCH__)
    return __funnelshift_l(lo, hi, n);
#else
    return (hi << n) | (lo >> (32 - n));
#endif
}

// A 64-bit rotation left by N, 0 < N < 64.
template <int N>
VKN_HD Lane rotl(Lane x) {
    if constexpr (N == 32) return {x.hi, x.lo};
    else if constexpr (N < 32) return {funnel(x.hi, x.lo, N), funnel(x.lo, x.hi, N)};
    else return {funnel(x.lo, x.hi, N - 32), funnel(x.hi, x.lo, N - 32)};
}

// One round; theta's column term is applied to each lane in one three-input xor.
VKN_HD void round(Lane a[25], uint64_t rc) {
    const Lane c0 = xor3(xor3(a[0], a[5], a[10]), a[15], a[20]);
    const Lane c1 = xor3(xor3(a[1], a[6], a[11]), a[16], a[21]);
    const Lane c2 = xor3(xor3(a[2], a[7], a[12]), a[17], a[22]);
    const Lane c3 = xor3(xor3(a[3], a[8], a[13]), a[18], a[23]);
    const Lane c4 = xor3(xor3(a[4], a[9], a[14]), a[19], a[24]);
    const Lane r0 = rotl<1>(c0), r1 = rotl<1>(c1), r2 = rotl<1>(c2), r3 = rotl<1>(c3), r4 = rotl<1>(c4);
    const Lane b00 = xor3(a[0], c4, r1);
    const Lane b10 = rotl<44>(xor3(a[6], c0, r2));
    const Lane b20 = rotl<43>(xor3(a[12], c1, r3));
    const Lane b30 = rotl<21>(xor3(a[18], c2, r4));
    const Lane b40 = rotl<14>(xor3(a[24], c3, r0));
    const Lane b01 = rotl<28>(xor3(a[3], c2, r4));
    const Lane b11 = rotl<20>(xor3(a[9], c3, r0));
    const Lane b21 = rotl<3>(xor3(a[10], c4, r1));
    const Lane b31 = rotl<45>(xor3(a[16], c0, r2));
    const Lane b41 = rotl<61>(xor3(a[22], c1, r3));
    const Lane b02 = rotl<1>(xor3(a[1], c0, r2));
    const Lane b12 = rotl<6>(xor3(a[7], c1, r3));
    const Lane b22 = rotl<25>(xor3(a[13], c2, r4));
    const Lane b32 = rotl<8>(xor3(a[19], c3, r0));
    const Lane b42 = rotl<18>(xor3(a[20], c4, r1));
    const Lane b03 = rotl<27>(xor3(a[4], c3, r0));
    const Lane b13 = rotl<36>(xor3(a[5], c4, r1));
    const Lane b23 = rotl<10>(xor3(a[11], c0, r2));
    const Lane b33 = rotl<15>(xor3(a[17], c1, r3));
    const Lane b43 = rotl<56>(xor3(a[23], c2, r4));
    const Lane b04 = rotl<62>(xor3(a[2], c1, r3));
    const Lane b14 = rotl<55>(xor3(a[8], c2, r4));
    const Lane b24 = rotl<39>(xor3(a[14], c3, r0));
    const Lane b34 = rotl<41>(xor3(a[15], c4, r1));
    const Lane b44 = rotl<2>(xor3(a[21], c0, r2));
    a[0] = xor2(chi(b00, b10, b20), split(rc));
    a[1] = chi(b10, b20, b30);
    a[2] = chi(b20, b30, b40);
    a[3] = chi(b30, b40, b00);
    a[4] = chi(b40, b00, b10);
    a[5] = chi(b01, b11, b21);
    a[6] = chi(b11, b21, b31);
    a[7] = chi(b21, b31, b41);
    a[8] = chi(b31, b41, b01);
    a[9] = chi(b41, b01, b11);
    a[10] = chi(b02, b12, b22);
    a[11] = chi(b12, b22, b32);
    a[12] = chi(b22, b32, b42);
    a[13] = chi(b32, b42, b02);
    a[14] = chi(b42, b02, b12);
    a[15] = chi(b03, b13, b23);
    a[16] = chi(b13, b23, b33);
    a[17] = chi(b23, b33, b43);
    a[18] = chi(b33, b43, b03);
    a[19] = chi(b43, b03, b13);
    a[20] = chi(b04, b14, b24);
    a[21] = chi(b14, b24, b34);
    a[22] = chi(b24, b34, b44);
    a[23] = chi(b34, b44, b04);
    a[24] = chi(b44, b04, b14);
}

// The last round when only lanes 0 to 3 of the result are read.
VKN_HD void round_out4(const Lane a[25], uint64_t rc, uint64_t out[4]) {
    const Lane c0 = xor3(xor3(a[0], a[5], a[10]), a[15], a[20]);
    const Lane c1 = xor3(xor3(a[1], a[6], a[11]), a[16], a[21]);
    const Lane c2 = xor3(xor3(a[2], a[7], a[12]), a[17], a[22]);
    const Lane c3 = xor3(xor3(a[3], a[8], a[13]), a[18], a[23]);
    const Lane c4 = xor3(xor3(a[4], a[9], a[14]), a[19], a[24]);
    const Lane b00 = xor3(a[0], c4, rotl<1>(c1));
    const Lane b10 = rotl<44>(xor3(a[6], c0, rotl<1>(c2)));
    const Lane b20 = rotl<43>(xor3(a[12], c1, rotl<1>(c3)));
    const Lane b30 = rotl<21>(xor3(a[18], c2, rotl<1>(c4)));
    const Lane b40 = rotl<14>(xor3(a[24], c3, rotl<1>(c0)));
    out[0] = join(xor2(chi(b00, b10, b20), split(rc)));
    out[1] = join(chi(b10, b20, b30));
    out[2] = join(chi(b20, b30, b40));
    out[3] = join(chi(b30, b40, b00));
}

}  // namespace halves
}  // namespace core
}  // namespace vkn
