// The comparison implementation for AVX-512, built with the AVX-512 path's flags.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 header trips its uninitialized-value check (the rotate's
// "undefined" source operand).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstdint>

namespace ref_avx512 {
using v = __m512i;
constexpr int kWidth = 8;
}  // namespace ref_avx512

#define REF_NS ref_avx512
#define X(a, b) _mm512_xor_si512(a, b)
#define X3(a, b, c) _mm512_ternarylogic_epi64(a, b, c, 0x96)
#define CHI(a, b, c) _mm512_ternarylogic_epi64(a, b, c, 0xD2)
#define ROL(a, n) _mm512_rol_epi64(a, n)
#define BC(u) _mm512_set1_epi64(static_cast<long long>(u))
#define ZERO _mm512_setzero_si512()
#define LOAD(p) _mm512_load_si512(p)
#define STORE(p, a) _mm512_store_si512(p, a)
#include "simd_reference.h"

uint64_t reference_search_avx512(const uint64_t w[10], uint32_t first, uint32_t count, const uint64_t target[4]) {
    return ref_avx512::search(w, first, count, target);
}
void reference_hash_avx512(const uint64_t w[10], uint32_t first, uint64_t out[32]) { ref_avx512::sha3t(w, first, out); }
