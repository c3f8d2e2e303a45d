#pragma once
// The CUDA device: selection, properties, the automatic grid and the
// backend that runs batches on it. Without nvcc every entry point throws
// "CUDA support is not compiled in; use --cpu".
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "search/search_backend.h"

namespace vkn {

struct CudaDeviceInfo {
    int32_t device = 0;
    std::string name;
    int32_t sm_count = 0;
    int32_t cc_major = 0;
    int32_t cc_minor = 0;
    int32_t max_threads_per_block = 0;
    int32_t clock_rate_khz = 0;
    std::string pci_bus_id;  // "0000:01:00.0": how NVML finds the same device
};

void select_device(int32_t device);
CudaDeviceInfo query_device_info(int32_t device);
int32_t auto_grid_blocks(int32_t threads_per_block, int32_t oversubscribe);

// Every CUDA device's index; throws "no CUDA device is available..." when
// there is none (no driver, no device).
std::vector<int32_t> all_cuda_devices();

struct CudaLaunchConfig {
    int32_t device = 0;
    int32_t threads_per_block = 128;
    int32_t grid_blocks = 0;  // <= 0: automatic
    int32_t oversubscribe = 4;
    uint32_t iters_per_thread = 512;
};

// Selects the device, reads its properties and fixes the grid for mining.
// Each backend holds its own device resources and makes its device current
// for every batch, so that each may run on a thread of its own.
std::unique_ptr<SearchBackend> make_cuda_backend(const CudaLaunchConfig& config);

// Batches on the device, for the self-test's own geometry.
std::unique_ptr<SearchBackend> make_cuda_selftest_backend(int32_t device);

}  // namespace vkn
