// The GPU search: the kernel, its constant symbols, the batch host side and
// device selection. The per-nonce work is the shared search core.
#include <cuda_runtime.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "search/cuda/cuda_miner.h"
#include "search/geometry.h"
#include "search/grid_emulation.h"
#include "search/core/search_core.h"

namespace vkn {
namespace {

__constant__ uint64_t c_header64[10];
__constant__ uint64_t c_target64[4];
__constant__ uint64_t c_share64[4];

struct DeviceFound {
    uint32_t found;
    uint32_t nonce;
    uint64_t hash[4];
    uint32_t share_count;
    uint32_t share_nonce[kShareSlots];
};

// The device side of the found record: an uncached flag read, a
// compare-and-swap that lets exactly one hit through, and share slots taken
// by an atomic count (one atomic per share, a few a second).
struct DeviceFoundRecord {
    DeviceFound* out;
    __device__ __forceinline__ bool found() const { return *static_cast<volatile uint32_t*>(&out->found) != 0; }
    __device__ __forceinline__ void claim(uint32_t nonce, const uint64_t h[4]) {
        if (atomicCAS(&out->found, 0u, 1u) == 0u) {
            out->nonce = nonce;
            out->hash[0] = h[0];
            out->hash[1] = h[1];
            out->hash[2] = h[2];
            out->hash[3] = h[3];
        }
    }
    __device__ __forceinline__ void share(uint32_t nonce) {
        const uint32_t slot = atomicAdd(&out->share_count, 1u);
        if (slot < kShareSlots) out->share_nonce[slot] = nonce;
    }
};

__global__ void sha3t_mine_kernel(uint32_t nonce_start, uint32_t nonce_end, uint32_t iters_per_thread,
                                  DeviceFound* out) {
    const uint64_t stride = uint64_t(gridDim.x) * blockDim.x;
    const uint64_t g = uint64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    DeviceFoundRecord rec{out};
    core::search_thread(c_header64, c_target64, c_share64, nonce_start, nonce_end, iters_per_thread, g, stride, rec);
}

void cuda_check(cudaError_t status, const char* label) {
    if (status == cudaSuccess) return;
    throw std::runtime_error(std::string(label) + ": " + cudaGetErrorString(status));
}

// One device's search resources: its found record and its two timing
// events, made when the backend is made and released with it. The stop
// event synchronises by blocking, so that the host thread sleeps while its
// GPU works instead of spinning a core per GPU.
class CudaMiner {
public:
    explicit CudaMiner(int32_t device) : device_(device) {
        select_device(device_);
        void* p = nullptr;
        cuda_check(cudaMalloc(&p, sizeof(DeviceFound)), "cudaMalloc(DeviceFound)");
        d_found_ = static_cast<DeviceFound*>(p);
        cuda_check(cudaEventCreate(&ev_start_), "cudaEventCreate(start)");
        cuda_check(cudaEventCreateWithFlags(&ev_stop_, cudaEventBlockingSync), "cudaEventCreate(stop)");
    }
    ~CudaMiner() {
        // A device whose context is lost is left alone: any call may fail or hang.
        if (lost_ || cudaSetDevice(device_) != cudaSuccess) return;
        if (ev_stop_) cudaEventDestroy(ev_stop_);
        if (ev_start_) cudaEventDestroy(ev_start_);
        if (d_found_) cudaFree(d_found_);
    }
    CudaMiner(const CudaMiner&) = delete;
    CudaMiner& operator=(const CudaMiner&) = delete;

    BatchResult run_batch(const Header80& header, const Hash256& target, const Hash256& share, uint32_t nonce_start,
                          uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks, int32_t threads) {
        BatchResult r;
        r.hashes = checked_batch_count(nonce_start, nonce_end, iters_per_thread, blocks, threads);
        if (r.hashes == 0) return r;
        try {
            launch(header, target, share, nonce_start, nonce_end, iters_per_thread, blocks, threads, r);
        } catch (...) {
            lost_ = true;  // the process ends on a device error; nothing more is asked of this one
            throw;
        }
        return r;
    }

private:
    void launch(const Header80& header, const Hash256& target, const Hash256& share, uint32_t nonce_start,
                uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks, int32_t threads, BatchResult& r) {
        // Each device's thread makes its device current; the call is cheap when it already is.
        select_device(device_);
        upload_work(header, target, share);
        cuda_check(cudaMemset(d_found_, 0, sizeof(DeviceFound)), "cudaMemset(DeviceFound)");
        cuda_check(cudaEventRecord(ev_start_, 0), "cudaEventRecord(start)");
        sha3t_mine_kernel<<<blocks, threads>>>(nonce_start, nonce_end, iters_per_thread, d_found_);
        cuda_check(cudaGetLastError(), "sha3t_mine_kernel launch");
        cuda_check(cudaEventRecord(ev_stop_, 0), "cudaEventRecord(stop)");
        cuda_check(cudaEventSynchronize(ev_stop_), "cudaEventSynchronize(stop)");
        float ms = 0;
        cuda_check(cudaEventElapsedTime(&ms, ev_start_, ev_stop_), "cudaEventElapsedTime");
        r.elapsed_ms = ms;
        DeviceFound host{};
        cuda_check(cudaMemcpy(&host, d_found_, sizeof host, cudaMemcpyDeviceToHost), "cudaMemcpy(DeviceFound)");
        if (host.found != 0) {
            r.found = true;
            r.nonce = host.nonce;
            r.hash = words_to_hash(host.hash);
        }
        r.shares.assign(host.share_nonce, host.share_nonce + std::min(host.share_count, kShareSlots));
        r.shares_lost = host.share_count - uint32_t(r.shares.size());
    }

    void upload_work(const Header80& header, const Hash256& target, const Hash256& share) {
        uint64_t h[10], t[8];
        header_to_words(header, h);
        hash_to_words(target, t);
        share_to_words(target, share, t + 4);
        if (!header_uploaded_ || std::memcmp(h, header64_cache_, sizeof h) != 0) {
            cuda_check(cudaMemcpyToSymbol(c_header64, h, sizeof h), "cudaMemcpyToSymbol(c_header64)");
            std::memcpy(header64_cache_, h, sizeof h);
            header_uploaded_ = true;
        }
        if (!target_uploaded_ || std::memcmp(t, target64_cache_, sizeof t) != 0) {
            cuda_check(cudaMemcpyToSymbol(c_target64, t, 32), "cudaMemcpyToSymbol(c_target64)");
            cuda_check(cudaMemcpyToSymbol(c_share64, t + 4, 32), "cudaMemcpyToSymbol(c_share64)");
            std::memcpy(target64_cache_, t, sizeof t);
            target_uploaded_ = true;
        }
    }

    int32_t device_;
    bool lost_ = false;
    DeviceFound* d_found_ = nullptr;
    cudaEvent_t ev_start_{};
    cudaEvent_t ev_stop_{};
    bool header_uploaded_ = false;
    bool target_uploaded_ = false;
    uint64_t header64_cache_[10] = {};
    uint64_t target64_cache_[8] = {};  // the block target, then the share target
};

class CudaBackend final : public SearchBackend {
public:
    CudaBackend(CudaDeviceInfo info, Geometry geometry)
        : info_(std::move(info)), geometry_(geometry), miner_(info_.device) {}

    std::string startup_line() const override {
        return "[cuda] device=" + std::to_string(info_.device) + " " + info_.name + " cc=" +
               std::to_string(info_.cc_major) + "." + std::to_string(info_.cc_minor) +
               " sms=" + std::to_string(info_.sm_count) + " threads/block=" + std::to_string(geometry_.threads) +
               " blocks=" + std::to_string(geometry_.blocks) +
               " iters/thread=" + std::to_string(geometry_.iters_per_thread);
    }
    Geometry mining_geometry() const override { return geometry_; }
    BatchResult run_batch(const Header80& header, const Hash256& target, const Hash256& share, uint32_t nonce_start,
                          uint32_t nonce_end, const Geometry& g) override {
        return miner_.run_batch(header, target, share, nonce_start, nonce_end, g.iters_per_thread, g.blocks,
                                g.threads);
    }

private:
    CudaDeviceInfo info_;
    Geometry geometry_;
    CudaMiner miner_;  // this device's found record, events and constant-memory cache
};

}  // namespace

void select_device(int32_t device) { cuda_check(cudaSetDevice(device), "cudaSetDevice"); }

CudaDeviceInfo query_device_info(int32_t device) {
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    cuda_check(cudaGetDeviceProperties(&prop, device), "cudaGetDeviceProperties");
    CudaDeviceInfo info;
    info.device = device;
    info.name = prop.name;
    info.sm_count = prop.multiProcessorCount;
    info.cc_major = prop.major;
    info.cc_minor = prop.minor;
    info.max_threads_per_block = prop.maxThreadsPerBlock;
    int clock_khz = 0;
    // The clock moved out of cudaDeviceProp in CUDA 13; ask the attribute.
    if (cudaDeviceGetAttribute(&clock_khz, cudaDevAttrClockRate, device) == cudaSuccess) info.clock_rate_khz = clock_khz;
    char bus[32] = {};
    if (cudaDeviceGetPCIBusId(bus, sizeof bus, device) == cudaSuccess) info.pci_bus_id = bus;
    return info;
}

int32_t auto_grid_blocks(int32_t threads_per_block, int32_t oversubscribe) {
    int device = 0;
    cuda_check(cudaGetDevice(&device), "cudaGetDevice");
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    cuda_check(cudaGetDeviceProperties(&prop, device), "cudaGetDeviceProperties");
    int per_sm = 0;
    cudaError_t occ =
        cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&per_sm, sha3t_mine_kernel, threads_per_block, 0, 0);
    if (occ != cudaSuccess) cudaGetLastError();  // a failed query only means "assume one block"
    return grid_from_occupancy(occ == cudaSuccess, per_sm, prop.multiProcessorCount, oversubscribe);
}

std::vector<int32_t> all_cuda_devices() {
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    if (status != cudaSuccess) {
        cudaGetLastError();
        throw std::runtime_error(std::string("no CUDA device is available: ") + cudaGetErrorString(status));
    }
    if (count <= 0) throw std::runtime_error("no CUDA device is available");
    std::vector<int32_t> devices;
    for (int i = 0; i < count; ++i) devices.push_back(i);
    return devices;
}

std::unique_ptr<SearchBackend> make_cuda_backend(const CudaLaunchConfig& c) {
    select_device(c.device);
    CudaDeviceInfo info = query_device_info(c.device);
    int32_t blocks = c.grid_blocks > 0 ? c.grid_blocks : auto_grid_blocks(c.threads_per_block, c.oversubscribe);
    return std::make_unique<CudaBackend>(std::move(info), Geometry{blocks, c.threads_per_block, c.iters_per_thread});
}

std::unique_ptr<SearchBackend> make_cuda_selftest_backend(int32_t device) {
    select_device(device);
    CudaDeviceInfo info;
    info.device = device;
    return std::make_unique<CudaBackend>(std::move(info), Geometry{1, 1, 1});
}

}  // namespace vkn
