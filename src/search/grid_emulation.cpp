#include "search/grid_emulation.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "search/cpu/cpu_simd.h"
#include "search/core/search_core.h"
#include "util/endian.h"

namespace vkn {
namespace {

// The host twin of the device record: an atomic flag claimed once, and
// share slots taken by an atomic count.
struct HostFound {
    std::atomic<uint32_t> flag{0};
    uint32_t nonce = 0;
    uint64_t hash[4] = {};
    std::atomic<uint32_t> share_count{0};
    uint32_t share_nonce[kShareSlots] = {};

    bool found() const { return flag.load(std::memory_order_acquire) != 0; }
    void claim(uint32_t n, const uint64_t h[4]) {
        uint32_t expected = 0;
        if (flag.compare_exchange_strong(expected, 2, std::memory_order_acq_rel)) {
            nonce = n;
            for (int i = 0; i < 4; ++i) hash[i] = h[i];
            flag.store(1, std::memory_order_release);
        }
    }
    void share(uint32_t n) {
        const uint32_t slot = share_count.fetch_add(1, std::memory_order_relaxed);
        if (slot < kShareSlots) share_nonce[slot] = n;
    }
};

// Each worker thread needs a reference it can pass to the core's template.
struct FoundRef {
    HostFound& f;
    bool found() const { return f.found(); }
    void claim(uint32_t n, const uint64_t h[4]) { f.claim(n, h); }
    void share(uint32_t n) { f.share(n); }
};

}  // namespace

void header_to_words(const Header80& header, uint64_t out[10]) {
    for (int k = 0; k < 10; ++k) out[k] = load_le64(header.data() + 8 * k);
}

void hash_to_words(const Hash256& h, uint64_t out[4]) {
    for (int k = 0; k < 4; ++k) out[k] = load_le64(h.data() + 8 * k);
}

void share_to_words(const Hash256& target, const Hash256& share, uint64_t out[4]) {
    uint64_t t[4];
    hash_to_words(target, t);
    hash_to_words(share, out);
    // A share target harder than the block's would hide blocks.
    if (core::meets_target(out, t)) std::copy(t, t + 4, out);
}

Hash256 words_to_hash(const uint64_t w[4]) {
    Hash256 h;
    for (int i = 0; i < 32; ++i) h[i] = uint8_t(w[i / 8] >> (8 * (i % 8)));
    return h;
}

namespace {

// Emulated threads g0 .. g0 + valid - 1 side by side, one vector lane each:
// the same nonces as search_thread gives each, and the same winner as running
// them one after the other (the lowest thread with a hit, at its first hit).
void search_lanes(CpuPath path, const uint64_t header64[10], const uint64_t target64[4], const uint64_t share64[4],
                  uint32_t nonce_start, uint32_t nonce_end, uint32_t iters, uint64_t g0, int valid, uint64_t stride,
                  HostFound& found) {
    const int width = cpu_path_lanes(path);
    const LanesFunction hash_lanes = cpu_path_function(path);
    const core::Precomp p = core::precompute(header64);  // once for every call below
    int best = valid;  // the lowest lane with a hit so far
    uint32_t best_nonce = 0;
    uint64_t best_hash[4] = {};
    for (uint32_t i = 0; i < iters && best > 0; ++i) {
        if ((i & 15u) == 0 && found.found()) return;
        const uint64_t base = static_cast<uint64_t>(nonce_start) + g0 + static_cast<uint64_t>(i) * stride;
        if (base > nonce_end) break;
        uint64_t h[32];
        hash_lanes(p, uint32_t(base), h);
        for (int l = 0; l < best && l < width && base + uint64_t(l) <= nonce_end; ++l) {
            if (!core::meets_target(h + 4 * l, share64)) continue;
            if (!core::meets_target(h + 4 * l, target64)) {
                found.share(uint32_t(base + uint64_t(l)));
                continue;
            }
            best = l;
            best_nonce = uint32_t(base + uint64_t(l));
            for (int k = 0; k < 4; ++k) best_hash[k] = h[4 * l + k];
        }
    }
    if (best < valid) found.claim(best_nonce, best_hash);
}

}  // namespace

BatchResult emulate_grid(const uint64_t header64[10], const uint64_t target64[4], const uint64_t share64[4],
                         uint32_t nonce_start, uint32_t nonce_end, uint32_t iters_per_thread, int32_t blocks,
                         int32_t threads, unsigned workers, CpuPath path) {
    HostFound found;
    const uint64_t total = uint64_t(uint32_t(blocks)) * uint32_t(threads);
    if (workers == 0) workers = 1;
    if (workers > total) workers = unsigned(total);
    std::atomic<uint64_t> next{0};
    const uint64_t width = uint64_t(cpu_path_lanes(path));
    auto work = [&] {
        FoundRef ref{found};
        // Emulated threads are handed out one at a time (a vector's width at a
        // time); once the flag is set each remaining one returns at its first
        // check, as on the GPU.
        for (uint64_t g = next.fetch_add(width); g < total; g = next.fetch_add(width)) {
            if (width == 1)
                core::search_thread(header64, target64, share64, nonce_start, nonce_end, iters_per_thread, g, total,
                                    ref);
            else
                search_lanes(path, header64, target64, share64, nonce_start, nonce_end, iters_per_thread, g,
                             int(std::min(width, total - g)), total, found);
        }
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
    const uint32_t shares = found.share_count.load();
    r.shares.assign(found.share_nonce, found.share_nonce + std::min(shares, kShareSlots));
    r.shares_lost = shares - uint32_t(r.shares.size());
    return r;
}

}  // namespace vkn
