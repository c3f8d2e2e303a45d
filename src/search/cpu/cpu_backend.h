#pragma once
// The search on host threads, under the same batch contract as the GPU.
#include <cstdint>
#include <memory>

#include "search/cpu/cpu_simd.h"
#include "search/search_backend.h"

namespace vkn {

// threads 0 means every hardware thread. A mining batch covers
// threads x iters_per_thread x 512 nonces. `path`: the widest vector unit
// this CPU has, unless a test asks for another.
std::unique_ptr<SearchBackend> make_cpu_backend(uint32_t threads, uint32_t iters_per_thread,
                                                CpuPath path = best_cpu_path());

}  // namespace vkn
