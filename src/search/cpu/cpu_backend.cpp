#include "search/cpu/cpu_backend.h"

#include <chrono>
#include <thread>

#include "search/geometry.h"
#include "search/grid_emulation.h"

namespace vkn {
namespace {

constexpr int32_t kCpuLanesPerThread = 512;

class CpuBackend final : public SearchBackend {
public:
    CpuBackend(uint32_t threads, uint32_t iters, CpuPath path) : threads_(threads), iters_(iters), path_(path) {
        if (threads_ == 0) threads_ = std::thread::hardware_concurrency();
        if (threads_ == 0) threads_ = 1;
    }

    std::string startup_line() const override {
        Geometry g = mining_geometry();
        uint64_t per_batch = uint64_t(uint32_t(g.blocks)) * uint32_t(g.threads) * g.iters_per_thread;
        return "[cpu] threads=" + std::to_string(threads_) + " nonces/batch=" + std::to_string(per_batch) +
               " path=" + cpu_path_name(path_);
    }

    Geometry mining_geometry() const override {
        return Geometry{static_cast<int32_t>(threads_), kCpuLanesPerThread, iters_};
    }

    BatchResult run_batch(const Header80& header, const Hash256& target, const Hash256& share, uint32_t nonce_start,
                          uint32_t nonce_end, const Geometry& g) override {
        BatchResult r;
        const uint64_t hashes = checked_batch_count(nonce_start, nonce_end, g.iters_per_thread, g.blocks, g.threads);
        if (hashes == 0) return r;
        uint64_t h64[10], t64[4], s64[4];
        header_to_words(header, h64);
        hash_to_words(target, t64);
        share_to_words(target, share, s64);
        const auto start = std::chrono::steady_clock::now();
        r = emulate_grid(h64, t64, s64, nonce_start, nonce_end, g.iters_per_thread, g.blocks, g.threads, threads_,
                         path_);
        const auto stop = std::chrono::steady_clock::now();
        r.hashes = hashes;
        r.elapsed_ms = std::chrono::duration<float, std::milli>(stop - start).count();
        return r;
    }

private:
    uint32_t threads_;
    uint32_t iters_;
    CpuPath path_;
};

}  // namespace

std::unique_ptr<SearchBackend> make_cpu_backend(uint32_t threads, uint32_t iters_per_thread, CpuPath path) {
    return std::make_unique<CpuBackend>(threads, iters_per_thread, path);
}

}  // namespace vkn
