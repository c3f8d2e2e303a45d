// The most the CPU search's vector paths could reach on this CPU: one Keccak
// round's instruction mix, timed with no dependency between instructions and
// no register moves, so that only the vector pipes' issue rates limit it.
// A path's measured rate (--benchmark --cpu --cpu-threads 1) can come close to
// this figure but not pass it; a goal above it needs fewer instructions, not
// better scheduling.
//
// The mixes are those the paths compile to, per round of 8 (AVX-512) or 4
// (AVX2) nonces, 72 rounds per nonce:
//   AVX-512: 35 three-input logic ops, 30 xors, 29 rotations (95; here 35/30/30)
//   AVX2:    76 xors, 25 and-nots, 29 ors, 58 shifts (188)
#include <chrono>
#include <cstdio>

#define Z3(i, j, k) "vpternlogq $0x96, %%zmm" #i ", %%zmm" #j ", %%zmm" #k "\n"
#define ZX(i, j, k) "vpxorq %%zmm" #i ", %%zmm" #j ", %%zmm" #k "\n"
#define ZR(i, k) "vprolq $7, %%zmm" #i ", %%zmm" #k "\n"
// Sources from registers 0..7 (never written), results to 16..29 in turn.
#define ZU(a, b, c, d) Z3(a, b, 1##c) ZX(b, a, 1##d) ZR(a, 2##c)
#define ZU6 ZU(1, 2, 6, 7) ZU(3, 4, 8, 9) ZU(5, 6, 6, 7) ZU(7, 0, 8, 9) ZU(0, 1, 6, 7) ZU(2, 3, 8, 9)
#define AVX512_ROUND ZU6 ZU6 ZU6 ZU6 ZU6 Z3(1, 2, 16) Z3(3, 4, 17) Z3(5, 6, 18) Z3(7, 0, 19) Z3(2, 3, 20)

#define YX(i, j, k) "vpxor %%ymm" #i ", %%ymm" #j ", %%ymm" #k "\n"
#define YN(i, j, k) "vpandn %%ymm" #i ", %%ymm" #j ", %%ymm" #k "\n"
#define YO(i, j, k) "vpor %%ymm" #i ", %%ymm" #j ", %%ymm" #k "\n"
#define YL(i, k) "vpsllq $7, %%ymm" #i ", %%ymm" #k "\n"
#define YR(i, k) "vpsrlq $57, %%ymm" #i ", %%ymm" #k "\n"
// A rotation (two shifts and an or) and two xors; sources 0..7, results 8..15.
#define YU(a, b) YL(a, 8) YR(b, 9) YO(a, b, 10) YX(b, a, 11) YX(a, b, 12)
#define YU10 YU(1, 2) YU(3, 4) YU(5, 6) YU(7, 0) YU(2, 3) YU(4, 5) YU(6, 7) YU(0, 1) YU(1, 3) YU(2, 4)
#define YN5 YN(1, 2, 13) YN(3, 4, 14) YN(5, 6, 15) YN(7, 0, 13) YN(2, 3, 14)
#define YX9 YX(1, 2, 15) YX(3, 4, 13) YX(5, 6, 14) YX(7, 0, 15) YX(2, 3, 13) YX(1, 2, 14) YX(3, 4, 15) YX(5, 6, 13) YX(7, 0, 14)
#define AVX2_ROUND                                                                                            \
    YU10 YU10 YU(1, 2) YU(3, 4) YU(5, 6) YU(7, 0) YU(2, 3) YU(4, 5) YU(6, 7) YU(0, 1) YU(1, 3) YN5 YN5 YN5 YN5 YN5 \
        YX9 YX9

namespace {

constexpr long kRounds = 20000000;

template <typename F>
void report(const char* path, int lanes, F rounds) {
    const auto start = std::chrono::steady_clock::now();
    rounds();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double ns = s / kRounds * 1e9;
    std::printf("%-7s one round of %d nonces: %.2f ns; ceiling %.2f MH/s per thread\n", path, lanes, ns,
                lanes * 1e3 / (72 * ns));
}

// Only these two functions may use the wide registers; the program runs anywhere.
__attribute__((target("avx512f"))) void avx512_rounds() {
    for (long i = 0; i < kRounds; ++i)
        asm volatile(AVX512_ROUND::: "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23",
                     "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29");
}

__attribute__((target("avx2"))) void avx2_rounds() {
    for (long i = 0; i < kRounds; ++i)
        asm volatile(AVX2_ROUND::: "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

}  // namespace

int main() {
    if (__builtin_cpu_supports("avx512f")) report("avx512", 8, avx512_rounds);
    else std::printf("avx512  not supported by this CPU\n");
    if (__builtin_cpu_supports("avx2")) report("avx2", 4, avx2_rounds);
    else std::printf("avx2    not supported by this CPU\n");
}
