#include "search/cpu/cpu_simd.h"

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

int cpu_path_lanes(CpuPath path) { return path == CpuPath::avx512 ? 8 : path == CpuPath::avx2 ? 4 : 1; }

}  // namespace vkn
