// The launch semantics of the search, on the CPU; the per-nonce hash of every
// layout is checked against hashlib by the cross-check.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "search/cpu/cpu_backend.h"
#include "search/cpu/cpu_simd.h"
#include "search/geometry.h"
#include "search/grid_emulation.h"
#include "search/core/search_core.h"
#include "hash/sha3t.h"
#include "support/support.h"

namespace vkn {
namespace {

Hash256 reference(Header80 h, uint32_t nonce) {
    for (int i = 0; i < 4; ++i) h[76 + i] = uint8_t(nonce >> (8 * i));
    return sha3_256t(h.data(), h.size());
}

// Every path this CPU can run: the portable one and the vector units it has.
// A path the CPU lacks gets no test at all, so that nothing else is skipped.
std::vector<CpuPath> supported_paths() {
    std::vector<CpuPath> paths;
    for (CpuPath p : {CpuPath::scalar, CpuPath::avx2, CpuPath::avx512})
        if (cpu_path_supported(p)) paths.push_back(p);
    return paths;
}

// One instance per path: a failing path fails only its own test.
class SearchPath : public testing::TestWithParam<CpuPath> {};

bool less(const Hash256& a, const Hash256& b) {
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
}

// With the target set to the smallest hash among the nonces a batch should
// cover, exactly one qualifies: a batch that skips it finds nothing, one that
// strays may report another. Over many headers every nonce gets its turn.
TEST_P(SearchPath, EveryNonceOfABatchIsCoveredOnceUnderEveryGeometry) {
    const CpuPath path = GetParam();
    const struct { int32_t blocks, threads; uint32_t iters, workers, start, end; } rows[] = {
        {1, 1, 1, 1, 1234567, 1234567},
        {2, 4, 4, 1, 0, 1000},                        // the grid, smaller than the range
        {1, 7, 9, 3, 500, 100000},                    // uneven threads and iterations
        {3, 5, 7, 2, 1000, 1059},                     // the range, smaller than the grid
        {4, 8, 3, 2, 4294967295u - 40, 4294967295u},  // the top: nothing wraps to 0
    };
    for (const auto& row : rows) {
        const uint64_t n =
            std::min<uint64_t>(row.end - row.start + 1ull, uint64_t(row.blocks) * row.threads * row.iters);
        for (int trial = 0; trial < 64; ++trial) {
            const Header80 h{uint8_t(trial), uint8_t(row.blocks)};
            std::vector<Hash256> hashes;
            for (uint64_t k = 0; k < n; ++k) hashes.push_back(reference(h, uint32_t(row.start + k)));
            const auto best = std::min_element(hashes.begin(), hashes.end(), less);
            const uint32_t nonce = row.start + uint32_t(best - hashes.begin());
            BatchResult r = make_cpu_backend(row.workers, 1, path)->run_batch(
                h, *best, *best, row.start, row.end, Geometry{row.blocks, row.threads, row.iters});
            ASSERT_TRUE(r.found && r.nonce == nonce && r.hash == *best && r.hashes == n)
                << cpu_path_name(path) << " " << row.blocks << "x" << row.threads << " trial " << trial;
        }
    }
    // Many hits, one worker: every path reports the hit the emulated threads reach first one after the other.
    Hash256 some{};
    some[31] = 0x08;  // about one nonce in 32
    for (int trial = 0; trial < 16; ++trial) {
        const Header80 h{uint8_t(trial), 0x5a};
        const auto scalar = make_cpu_backend(1, 1, CpuPath::scalar)->run_batch(h, some, some, 100, 4195, Geometry{4, 32, 8});
        EXPECT_EQ(make_cpu_backend(1, 1, path)->run_batch(h, some, some, 100, 4195, Geometry{4, 32, 8}).nonce,
                  scalar.nonce);
    }
    // Shares: every nonce under the share target but not the block target, as many as the slots hold and the
    // rest counted; a share target harder than the block's does not hide a block.
    Hash256 none{}, rare{};
    rare[30] = 0x40;  // about one nonce in 1024
    const struct { Hash256 block, share; uint32_t end; } share_rows[] = {
        {none, rare, 4095}, {none, rare, 40959}, {none, some, 2047}, {some, rare, 4095}};
    for (const auto& row : share_rows) {
        const Header80 h{0x33, uint8_t(row.end)};
        std::vector<uint32_t> expected;
        for (uint32_t n = 0; n <= row.end; ++n)
            if (hash_meets_target(reference(h, n), row.share) && !hash_meets_target(reference(h, n), row.block))
                expected.push_back(n);
        BatchResult r = make_cpu_backend(2, 1, path)->run_batch(h, row.block, row.share, 0, row.end,
                                                                 Geometry{4, 32, (row.end + 1) / 128});
        std::sort(r.shares.begin(), r.shares.end());
        if (row.block == some) {
            EXPECT_TRUE(r.found && hash_meets_target(r.hash, some));
            continue;
        }
        EXPECT_EQ(r.shares.size() + r.shares_lost, expected.size()) << cpu_path_name(path) << " to " << row.end;
        EXPECT_EQ(r.shares.size(), std::min<size_t>(expected.size(), kShareSlots));
        EXPECT_TRUE(std::includes(expected.begin(), expected.end(), r.shares.begin(), r.shares.end()));
    }
    // Many hits among four workers: one is reported, with its own hash.
    Hash256 max;
    max.fill(0xff);
    BatchResult r =
        make_cpu_backend(4, 1, path)->run_batch(Header80{}, max, max, 77777, 77777 + 4095, Geometry{8, 32, 16});
    EXPECT_TRUE(r.found && r.nonce >= 77777 && r.hash == reference(Header80{}, r.nonce));
}

// Each lane of a vector path against the portable core, over random headers,
// across lane boundaries and where the nonce wraps at the top of its range.
TEST_P(SearchPath, VectorLanesHashAsThePortableCore) {
    std::mt19937_64 rng(11);
    const CpuPath path = GetParam();
    const int width = cpu_path_lanes(path);
    // Every form a path has: AVX2 keeps two, and picks one by speed.
    const std::vector<LanesFunction> forms = path == CpuPath::avx512 ? std::vector{sha3t_nonces_avx512}
                                             : path == CpuPath::avx2
                                                 ? std::vector{sha3t_nonces_avx2, sha3t_nonces_avx2_arrays}
                                                 : std::vector<LanesFunction>{};
    EXPECT_EQ(cpu_path_function(path) != nullptr, !forms.empty());
    for (int trial = 0; trial < 600 && !forms.empty(); ++trial) {
        uint64_t header[10], out[32];
        for (uint64_t& w : header) w = rng();
        const uint32_t firsts[] = {0, 7, 0xFFFFFFFFu - 5, uint32_t(rng())};
        const uint32_t first = firsts[trial % 4];
        const core::Precomp p = core::precompute(header);
        forms[trial % forms.size()](p, first, out);
        for (int l = 0; l < width; ++l) {
            uint64_t h[4];
            core::hash_nonce(p, first + uint32_t(l), h);
            ASSERT_TRUE(std::equal(h, h + 4, out + 4 * l)) << cpu_path_name(path) << " form " << trial % forms.size()
                                                           << " lane " << l;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cpu, SearchPath, testing::ValuesIn(supported_paths()),
                         [](const testing::TestParamInfo<CpuPath>& p) { return std::string(cpu_path_name(p.param)); });

TEST(SearchCore, FoundFlagAndWordTargetTest) {
    struct Polls {
        mutable int polls = 0, claims = 0;
        int found_after;  // polls that report "not found yet"
        bool found() const { return ++polls > found_after; }
        void claim(uint32_t, const uint64_t*) { ++claims; }
        void share(uint32_t) {}
    } already{.found_after = 0}, late{.found_after = 1};
    uint64_t h64[10] = {}, none[4] = {}, all[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    core::search_thread(h64, all, all, 0, 1000, 100, 0, 1, already);
    core::search_thread(h64, none, none, 0, 1000, 100, 0, 1, late);
    EXPECT_EQ(already.claims, 0);  // checked before iteration 0
    EXPECT_EQ(late.polls, 2);      // i = 0 and i = 16
    // The word test against the byte test, on pairs equal or differing in one byte.
    std::mt19937_64 rng(5);
    for (int i = 0; i < 20000; ++i) {
        Hash256 a, b;
        for (auto& x : a) x = uint8_t(rng());
        b = a;
        if (rng() % 4) b[rng() % 32] = uint8_t(rng());
        uint64_t wa[4], wb[4];
        hash_to_words(a, wa);
        hash_to_words(b, wb);
        ASSERT_EQ(core::meets_target(wa, wb), hash_meets_target(a, b));
    }
}

TEST(Geometry, CountsGridsAndMessages) {
    const uint64_t rows[][2] = {
        {batch_nonce_count(5, 4, 1, 1, 1), 0},
        {batch_nonce_count(0, 4294967295u, 512, 320, 128), 320ull * 128 * 512},
        {batch_nonce_count(100, 4294967295u, 0xffffffffu, 0x7fffffff, 0x7fffffff), 4294967296ull - 100},
        {uint64_t(grid_from_occupancy(true, 4, 20, 4)), 320},
        {uint64_t(grid_from_occupancy(true, 0, 20, 4)), 80},            // 0 counts as 1
        {uint64_t(grid_from_occupancy(false, 7, 20, 4)), 80},           // failed query: one per SM
        {uint64_t(grid_from_occupancy(true, 4, 20, 0)), 80},
        {uint64_t(grid_from_occupancy(true, 65536, 65536, 1)), 1},      // wraps to 0, raised to 1
        {uint64_t(grid_from_occupancy(true, 1 << 16, 1 << 15, 1)), 1},  // 2^31 reads negative
    };
    for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(rows[i][0], rows[i][1]) << "row " << i;
    EXPECT_EQ(error_of([] { checked_batch_count(0, 1, 1, 0, 1); }), "CUDA blocks must be positive");
    EXPECT_EQ(error_of([] { checked_batch_count(0, 1, 1, 1, 0); }), "CUDA threads per block must be positive");
    EXPECT_EQ(error_of([] { checked_batch_count(0, 1, 0, 1, 1); }), "iterations per thread must be positive");
    auto cpu = make_cpu_backend(2, 3);  // a mining batch: threads x iterations x 512
    EXPECT_EQ(cpu->run_batch(Header80{}, Hash256{}, Hash256{}, 0, 9999, cpu->mining_geometry()).hashes, 3072u);
}

}  // namespace
}  // namespace vkn
