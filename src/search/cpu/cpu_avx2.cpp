// Built with -mavx2: only the lane code, nothing shared with other units.
#include <immintrin.h>

#include "search/cpu/cpu_simd.h"

namespace vkn_avx2 {

struct V {
    static constexpr int kWidth = 4;
    __m256i v;
    static V x(V a, V b) { return {_mm256_xor_si256(a.v, b.v)}; }
    static V x3(V a, V b, V c) { return {_mm256_xor_si256(_mm256_xor_si256(a.v, b.v), c.v)}; }
    static V chi(V a, V b, V c) { return {_mm256_xor_si256(a.v, _mm256_andnot_si256(b.v, c.v))}; }
    template <int N>
    static V rol(V a) {
        return {_mm256_or_si256(_mm256_slli_epi64(a.v, N), _mm256_srli_epi64(a.v, 64 - N))};
    }
    static V set1(uint64_t u) { return {_mm256_set1_epi64x(static_cast<long long>(u))}; }
    static V load(const uint64_t* p) { return {_mm256_load_si256(reinterpret_cast<const __m256i*>(p))}; }
    static void store(uint64_t* p, V a) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), a.v); }
};

}  // namespace vkn_avx2

#define LANES_NS vkn_avx2
#define LANES_UNROLL _Pragma("GCC unroll 1")  // 16 registers: unrolled rounds only spill more
#include "search/cpu/cpu_lanes.h"

void vkn::sha3t_nonces_avx2(const uint64_t header[10], uint32_t first, uint64_t out[16]) {
    vkn_avx2::sha3t(header, first, out);
}
