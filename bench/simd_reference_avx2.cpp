// The comparison implementation for AVX2, built with the AVX2 path's flags.
#include <immintrin.h>

#include <cstdint>

namespace ref_avx2 {
using v = __m256i;
constexpr int kWidth = 4;
}  // namespace ref_avx2

#define REF_NS ref_avx2
#define X(a, b) _mm256_xor_si256(a, b)
#define X3(a, b, c) _mm256_xor_si256(_mm256_xor_si256(a, b), c)
#define CHI(a, b, c) _mm256_xor_si256(a, _mm256_andnot_si256(b, c))
#define ROL(a, n) _mm256_or_si256(_mm256_slli_epi64(a, n), _mm256_srli_epi64(a, 64 - (n)))
#define BC(u) _mm256_set1_epi64x(static_cast<long long>(u))
#define ZERO _mm256_setzero_si256()
#define LOAD(p) _mm256_load_si256(reinterpret_cast<const __m256i*>(p))
#define STORE(p, a) _mm256_store_si256(reinterpret_cast<__m256i*>(p), a)
#include "simd_reference.h"

uint64_t reference_search_avx2(const uint64_t w[10], uint32_t first, uint32_t count, const uint64_t target[4]) {
    return ref_avx2::search(w, first, count, target);
}
void reference_hash_avx2(const uint64_t w[10], uint32_t first, uint64_t out[16]) { ref_avx2::sha3t(w, first, out); }
