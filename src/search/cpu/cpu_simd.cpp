#include "search/cpu/cpu_simd.h"

#include <algorithm>
#include <chrono>
#include <initializer_list>

namespace vkn {

const char* cpu_path_name(CpuPath path) {
    switch (path) {
        case CpuPath::avx512: return "avx512";
        case CpuPath::avx2: return "avx2";
        default: return "scalar";
    }
}

bool cpu_path_supported(CpuPath path) {
#if defined(__x86_64__) && defined(__GNUC__)
    // The checks also ask whether the OS saves the wide registers.
    if (path == CpuPath::avx512) return __builtin_cpu_supports("avx512f");
    if (path == CpuPath::avx2) return __builtin_cpu_supports("avx2");
#endif
    return path == CpuPath::scalar;
}

CpuPath best_cpu_path() {
    for (CpuPath p : {CpuPath::avx512, CpuPath::avx2})
        if (cpu_path_supported(p)) return p;
    return CpuPath::scalar;
}

namespace {

// CPU time is not needed: both forms run in turn on the same thread, a
// fraction of a millisecond each, and the best of several turns is kept.
double seconds_for(LanesFunction f) {
    const uint64_t header[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const core::Precomp p = core::precompute(header);
    uint64_t out[32];
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t n = 0; n < 256; ++n) f(p, 4 * n, out);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

LanesFunction faster_avx2() {
    double registers = 1e9, arrays = 1e9;
    for (int turn = 0; turn < 5; ++turn) {
        registers = std::min(registers, seconds_for(sha3t_nonces_avx2));
        arrays = std::min(arrays, seconds_for(sha3t_nonces_avx2_arrays));
    }
    return arrays < registers ? sha3t_nonces_avx2_arrays : sha3t_nonces_avx2;
}

}  // namespace

LanesFunction cpu_path_function(CpuPath path) {
    if (path == CpuPath::avx512) return sha3t_nonces_avx512;
    if (path != CpuPath::avx2) return nullptr;
    static const LanesFunction avx2 = faster_avx2();
    return avx2;
}

int cpu_path_lanes(CpuPath path) { return path == CpuPath::avx512 ? 8 : path == CpuPath::avx2 ? 4 : 1; }

}  // namespace vkn
