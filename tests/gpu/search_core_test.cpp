#include <gtest/gtest.h>

#include <random>

#include "gpu/cpu_backend.h"
#include "gpu/geometry.h"
#include "gpu/grid_emulation.h"
#include "gpu/search_core.h"
#include "hash/sha3t.h"
#include "support/error_of.h"

namespace vkn {
namespace {

Hash256 reference(Header80 h, uint32_t nonce) {
    h[76] = uint8_t(nonce);
    h[77] = uint8_t(nonce >> 8);
    h[78] = uint8_t(nonce >> 16);
    h[79] = uint8_t(nonce >> 24);
    return sha3_256t(h.data(), h.size());
}

Hash256 core_hash(const Header80& h, uint32_t nonce) {
    uint64_t w[10], out[4];
    header_to_words(h, w);
    core::hash_nonce(core::precompute(w), nonce, out);
    return words_to_hash(out);
}

TEST(SearchCore, EqualsHostReferenceOnManyHeadersAndNonces) {
    std::mt19937_64 rng(99);
    const uint32_t fixed[] = {0, 1, 0x80000000u, 0xFFFFFFFFu};
    int checked = 0;
    for (int i = 0; i < 25000; ++i) {
        Header80 h;
        for (auto& b : h) b = uint8_t(rng());
        for (uint32_t n : fixed) {
            ASSERT_EQ(core_hash(h, n), reference(h, n)) << "header " << i << " nonce " << n;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 100000);
}

TEST(SearchCore, NonceBytesIgnoredBytes72To75Matter) {
    Header80 h{};
    h[0] = 1;
    Hash256 base = core_hash(h, 1234567);
    Header80 other = h;
    other[76] = 0xff;
    other[79] = 0x12;
    EXPECT_EQ(core_hash(other, 1234567), base);
    for (int i = 72; i < 76; ++i) {
        Header80 changed = h;
        changed[i] ^= 0x01;
        EXPECT_NE(core_hash(changed, 1234567), base) << i;
        EXPECT_EQ(core_hash(changed, 1234567), reference(changed, 1234567));
    }
}

TEST(SearchCore, FourWordTargetTestMatchesByteTest) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 20000; ++i) {
        Hash256 a, b;
        for (auto& x : a) x = uint8_t(rng());
        b = a;
        // Perturb one byte so the comparison is decided at varied depths.
        int at = int(rng() % 32);
        b[at] = uint8_t(rng());
        if (rng() % 4 == 0) b = a;
        uint64_t wa[4], wb[4];
        hash_to_words(a, wa);
        hash_to_words(b, wb);
        ASSERT_EQ(core::meets_target(wa, wb), hash_meets_target(a, b));
        ASSERT_EQ(words_to_hash(wa), a);
    }
}

// A header whose qualifying nonces near `from` are known, for grid tests.
struct Work {
    Header80 header{};
    uint64_t h64[10];
    uint64_t t64[4];
    explicit Work(Hash256 target) {
        header[0] = 1;
        header_to_words(header, h64);
        hash_to_words(target, t64);
    }
};

Hash256 max_target() {
    Hash256 t;
    t.fill(0xff);
    return t;
}

TEST(GridEmulation, MaxTargetFindsFirstNonceOfSingleThread) {
    Work w(max_target());
    BatchResult r = emulate_grid(w.h64, w.t64, 1234567, 1234567, 1, 1, 1, 1);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.nonce, 1234567u);
    EXPECT_EQ(r.hash, reference(w.header, 1234567));
}

TEST(GridEmulation, IterationsZeroAndRangesShorterThanTheGrid) {
    Work w(max_target());
    EXPECT_FALSE(emulate_grid(w.h64, w.t64, 0, 100, 0, 4, 8, 2).found);
    // 32 threads, a range of 5: only the first five threads hash, and the hit
    // is one of those nonces.
    BatchResult r = emulate_grid(w.h64, w.t64, 10, 14, 3, 4, 8, 2);
    ASSERT_TRUE(r.found);
    EXPECT_GE(r.nonce, 10u);
    EXPECT_LE(r.nonce, 14u);
    EXPECT_EQ(r.hash, reference(w.header, r.nonce));
}

// A target met by about one hash in 2^k, and the qualifying nonces in a range
// found by brute force with the host reference.
std::vector<uint32_t> hits(const Header80& h, const Hash256& target, uint64_t from, uint64_t to) {
    std::vector<uint32_t> out;
    for (uint64_t n = from; n <= to; ++n)
        if (hash_meets_target(reference(h, uint32_t(n)), target)) out.push_back(uint32_t(n));
    return out;
}

Hash256 easy_target(int zero_bits_on_top) {
    Hash256 t;
    t.fill(0xff);
    t[31] = uint8_t(0xff >> zero_bits_on_top);
    return t;
}

TEST(GridEmulation, NoWrapPastTheTopNonce) {
    Hash256 target = easy_target(4);  // about one in 16
    Work w(target);
    std::vector<uint32_t> top = hits(w.header, target, 4294967295ull - 63, 4294967295ull);
    std::vector<uint32_t> bottom = hits(w.header, target, 0, 200);
    ASSERT_FALSE(bottom.empty());
    // A grid far larger than the last 64 nonces: nothing past 4294967295 may
    // wrap to 0..200, so the result is a top nonce or nothing.
    BatchResult r = emulate_grid(w.h64, w.t64, 4294967295u - 63, 4294967295u, 8, 4, 32, 2);
    EXPECT_EQ(r.found, !top.empty());
    if (r.found) {
        EXPECT_GE(r.nonce, 4294967295u - 63);
        EXPECT_EQ(r.hash, reference(w.header, r.nonce));
    }
}

TEST(GridEmulation, SeveralHitsReportExactlyOneTrueHash) {
    Hash256 target = easy_target(3);
    Work w(target);
    std::vector<uint32_t> expected = hits(w.header, target, 1000, 1000 + 255);
    ASSERT_GE(expected.size(), 2u);
    for (unsigned workers : {1u, 2u, 4u}) {
        BatchResult r = emulate_grid(w.h64, w.t64, 1000, 1000 + 255, 4, 2, 32, workers);
        ASSERT_TRUE(r.found);
        EXPECT_NE(std::find(expected.begin(), expected.end(), r.nonce), expected.end());
        EXPECT_EQ(r.hash, reference(w.header, r.nonce));
    }
    // One thread walks its nonces in order, so it reports the smallest.
    BatchResult single = emulate_grid(w.h64, w.t64, 1000, 1000 + 255, 256, 1, 1, 1);
    EXPECT_EQ(single.nonce, expected.front());
}

TEST(GridEmulation, FoundFlagIsPolledEverySixteenIterations) {
    // A record that reports "found" from the start: a thread still hashes
    // nothing, since the check comes before iteration 0.
    struct AlreadyFound {
        int claims = 0;
        bool found() const { return true; }
        void claim(uint32_t, const uint64_t*) { ++claims; }
    } rec;
    Work w(max_target());
    core::search_thread(w.h64, w.t64, 0, 1000, 100, 0, 1, rec);
    EXPECT_EQ(rec.claims, 0);
    // A record whose flag another thread sets after this one started: the
    // thread notices only at iterations 16, 32, ...
    struct Counting {
        mutable int polls = 0;
        int claims = 0;
        bool found() const { return ++polls > 1; }
        void claim(uint32_t, const uint64_t*) { ++claims; }
    } late;
    Work none(Hash256{});
    core::search_thread(none.h64, none.t64, 0, 1000, 100, 0, 1, late);
    EXPECT_EQ(late.polls, 2);  // i = 0 and i = 16
}

TEST(Geometry, BatchCountAndValidation) {
    EXPECT_EQ(batch_nonce_count(5, 4, 1, 1, 1), 0u);
    EXPECT_EQ(batch_nonce_count(7, 7, 1, 1, 1), 1u);
    EXPECT_EQ(checked_batch_count(9, 8, 1, 1, 1), 0u);
    EXPECT_EQ(batch_nonce_count(0, 4294967295u, 512, 320, 128), 320ull * 128 * 512);
    EXPECT_EQ(batch_nonce_count(100, 4294967295u, 0xffffffffu, 0x7fffffff, 0x7fffffff), 4294967296ull - 100);
    EXPECT_EQ(error_of([&] { checked_batch_count(0, 1, 0, 0, 0); }), "CUDA blocks must be positive");
    EXPECT_EQ(error_of([&] { checked_batch_count(0, 1, 1, 1, 0); }), "CUDA threads per block must be positive");
    EXPECT_EQ(error_of([&] { checked_batch_count(0, 1, 0, 1, 1); }), "iterations per thread must be positive");
}

TEST(Geometry, AutoGridFromOccupancy) {
    EXPECT_EQ(grid_from_occupancy(true, 4, 20, 4), 320);
    EXPECT_EQ(grid_from_occupancy(true, 0, 20, 4), 80);   // 0 counts as 1
    EXPECT_EQ(grid_from_occupancy(false, 7, 20, 4), 80);  // failed query: one per SM
    EXPECT_EQ(grid_from_occupancy(true, 4, 20, 0), 80);
    EXPECT_EQ(grid_from_occupancy(true, 65536, 65536, 1), 1);           // wraps to 0, raised to 1
    EXPECT_EQ(grid_from_occupancy(true, 32768, 65536, 2), 1);           // wraps to 2^32 = 0
    EXPECT_EQ(grid_from_occupancy(true, 1 << 16, 1 << 15, 1), 1);       // 2^31 reads negative
}

TEST(CpuBackend, BatchContract) {
    auto cpu = make_cpu_backend(2, 3);
    EXPECT_EQ(cpu->startup_line(), "[cpu] threads=2 nonces/batch=3072");
    Geometry g = cpu->mining_geometry();
    EXPECT_EQ(g.blocks, 2);
    EXPECT_EQ(g.threads, 512);
    EXPECT_EQ(g.iters_per_thread, 3u);
    Header80 h{};
    h[0] = 1;
    BatchResult none = cpu->run_batch(h, Hash256{}, 0, 99999, g);
    EXPECT_FALSE(none.found);
    EXPECT_EQ(none.hashes, 3072u);
    BatchResult tail = cpu->run_batch(h, Hash256{}, 4294967295u - 9, 4294967295u, g);
    EXPECT_EQ(tail.hashes, 10u);
    EXPECT_EQ(cpu->run_batch(h, Hash256{}, 9, 8, g).hashes, 0u);
    BatchResult hit = cpu->run_batch(h, max_target(), 1234567, 1234567, Geometry{1, 1, 1});
    EXPECT_TRUE(hit.found);
    EXPECT_EQ(hit.hashes, 1u);
    EXPECT_EQ(hit.hash, reference(h, 1234567));
    EXPECT_EQ(error_of([&] { cpu->run_batch(h, Hash256{}, 0, 1, Geometry{0, 0, 1}); }),
              "CUDA blocks must be positive");
}

}  // namespace
}  // namespace vkn
