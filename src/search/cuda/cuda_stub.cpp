// Stands in for the CUDA translation unit when nvcc is absent, so that the
// program links and runs the same and says why the GPU is unavailable.
#include <stdexcept>

#include "search/cuda/cuda_miner.h"

namespace vkn {
namespace {
[[noreturn]] void no_cuda() { throw std::runtime_error("CUDA support is not compiled in; use --cpu"); }
}  // namespace

void select_device(int32_t) { no_cuda(); }
CudaDeviceInfo query_device_info(int32_t) { no_cuda(); }
int32_t auto_grid_blocks(int32_t, int32_t) { no_cuda(); }
std::vector<int32_t> all_cuda_devices() {
    throw std::runtime_error("no CUDA device is available: CUDA support is not compiled in; use --cpu");
}
std::unique_ptr<SearchBackend> make_cuda_backend(const CudaLaunchConfig&) { no_cuda(); }
std::unique_ptr<SearchBackend> make_cuda_selftest_backend(int32_t) { no_cuda(); }

}  // namespace vkn
