// Built with -mavx2: only the lane code, nothing shared with other units.
#include <immintrin.h>

#include "search/cpu/cpu_simd.h"

// The lane type in a namespace of its own, so that argument-dependent lookup
// finds neither form's functions from the other.
namespace vkn_avx2_lane {

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

}  // namespace vkn_avx2_lane

namespace vkn_avx2 {
using V = vkn_avx2_lane::V;
}

// Sixteen registers cannot hold the 25-lane state, and which way of spilling
// it runs faster differs between CPUs with AVX2: both are built, and the
// search times them once (cpu_simd.cpp).
// The rounds inlined whole: the compiler's spills.
#define LANES_NS vkn_avx2
#define LANES_UNROLL _Pragma("GCC unroll 11")
#define LANES_ROUND_INLINE [[gnu::always_inline]] inline
#include "search/cpu/cpu_lanes.h"
#undef LANES_NS
#undef LANES_UNROLL
#undef LANES_ROUND_INLINE

// Each round a call, from one array of the state into the other.
namespace vkn_avx2_arrays {
using V = vkn_avx2_lane::V;
}
#define LANES_NS vkn_avx2_arrays
#define LANES_UNROLL _Pragma("GCC unroll 11")
#define LANES_ROUND_INLINE [[gnu::noinline]]
#include "search/cpu/cpu_lanes.h"

void vkn::sha3t_nonces_avx2(const core::Precomp& p, uint32_t first, uint64_t out[16]) {
    vkn_avx2::sha3t(p, first, out);
}

void vkn::sha3t_nonces_avx2_arrays(const core::Precomp& p, uint32_t first, uint64_t out[16]) {
    vkn_avx2_arrays::sha3t(p, first, out);
}
