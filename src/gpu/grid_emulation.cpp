#include "gpu/grid_emulation.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "gpu/search_core.h"
#include "util/endian.h"

namespace vkn {
namespace {

// The host twin of the device record: an atomic flag claimed once.
struct HostFound {
    std::atomic<uint32_t> flag{0};
    uint32_t nonce = 0;
    uint64_t hash[4] = {};

    bool found() const { return flag.load(std::memory_order_acquire) != 0; }
    void claim(uint32_t n, const uint64_t h[4]) {
        uint32_t expected = 0;
        if (flag.compare_exchange_strong(expected, 2, std::memory_order_acq_rel)) {
            nonce = n;
            for (int i = 0; i < 4; ++i) hash[i] = h[i];
            flag.store(1, std::memory_order_release);
        }
    }
};

// Each worker thread needs a reference it can pass to the core's template.
struct FoundRef {
    HostFound& f;
    bool found() const { return f.found(); }
    void claim(uint32_t n, const uint64_t h[4]) { f.claim(n, h); }
};

}  // namespace

void header_to_words(const Header80& header, uint64_t out[10]) {
    for (int k = 0; k < 10; ++k) out[k] = load_le64(header.data() + 8 * k);
}

void hash_to_words(const Hash256& h, uint64_t out[4]) {
    for (int k = 0; k < 4; ++k) out[k] = load_le64(h.data() + 8 * k);
}

Hash256 words_to_hash(const uint64_t w[4]) {
    Hash256 h;
    for (int i = 0; i < 32; ++i) h[i] = uint8_t(w[i / 8] >> (8 * (i % 8)));
    return h;
}

BatchResult emulate_grid(const uint64_t header64[10], const uint64_t target64[4], uint32_t nonce_start,
                         uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks, int32_t threads,
                         unsigned workers) {
    HostFound found;
    const uint64_t total = uint64_t(uint32_t(blocks)) * uint32_t(threads);
    if (workers == 0) workers = 1;
    if (workers > total) workers = unsigned(total);
    std::atomic<uint64_t> next{0};
    auto work = [&] {
        FoundRef ref{found};
        // Emulated threads are handed out one at a time; once the flag is set
        // each remaining one returns at its first check, as on the GPU.
        for (uint64_t g = next.fetch_add(1); g < total; g = next.fetch_add(1))
            core::search_thread(header64, target64, nonce_start, nonce_end, iters_per_thread, g, total, ref);
    };
    std::vector<std::thread> pool;
    try {
        for (unsigned i = 1; i < workers; ++i) pool.emplace_back(work);
    } catch (const std::system_error& e) {
        // The threads already running must end before the error leaves (a joinable thread would abort).
        next.store(total);
        for (std::thread& t : pool) t.join();
        throw std::runtime_error("cannot start search thread " + std::to_string(pool.size() + 1) + " of " +
                                 std::to_string(workers) + ": " + e.what());
    }
    work();
    for (std::thread& t : pool) t.join();

    BatchResult r;
    if (found.found()) {
        r.found = true;
        r.nonce = found.nonce;
        r.hash = words_to_hash(found.hash);
    }
    return r;
}

}  // namespace vkn
