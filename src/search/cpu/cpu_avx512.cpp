// Built with -mavx512f: only the lane code, nothing shared with other units.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's own AVX-512 header trips its uninitialized-value check (the
// "undefined" source operand of the rotate); the header is right.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "search/cpu/cpu_simd.h"

namespace vkn_avx512 {

struct V {
    static constexpr int kWidth = 8;
    __m512i v;
    static V x(V a, V b) { return {_mm512_xor_si512(a.v, b.v)}; }
    static V x3(V a, V b, V c) { return {_mm512_ternarylogic_epi64(a.v, b.v, c.v, 0x96)}; }
    static V chi(V a, V b, V c) { return {_mm512_ternarylogic_epi64(a.v, b.v, c.v, 0xD2)}; }
    template <int N>
    static V rol(V a) {
        return {_mm512_rol_epi64(a.v, N)};
    }
    static V set1(uint64_t u) { return {_mm512_set1_epi64(static_cast<long long>(u))}; }
    static V load(const uint64_t* p) { return {_mm512_load_si512(p)}; }
    static void store(uint64_t* p, V a) { _mm512_store_si512(p, a.v); }
};

}  // namespace vkn_avx512

#define LANES_NS vkn_avx512
#define LANES_UNROLL _Pragma("GCC unroll 11")  // whole: 32 registers hold the state
#define LANES_ROUND_INLINE [[gnu::always_inline]] inline
#include "search/cpu/cpu_lanes.h"

void vkn::sha3t_nonces_avx512(const core::Precomp& p, uint32_t first, uint64_t out[32]) {
    vkn_avx512::sha3t(p, first, out);
}
