// Built once per layout of the search core (VKN_SEARCH_UNROLL = 0, 1, 2) and
// once with a planted fault, so that every variant the kernel may use is
// checked on the CPU, and the self-test is shown to catch the fault.
#include <gtest/gtest.h>

#include <random>

#include "driver/selftest.h"
#include "gpu/grid_emulation.h"
#include "gpu/search_core.h"
#include "hash/sha3t.h"

namespace vkn {
namespace {

// This build's core on one host thread, like a kernel of one thread.
struct VariantBackend final : SearchBackend {
    std::string startup_line() const override { return "[test]"; }
    Geometry mining_geometry() const override { return {1, 1, 1}; }
    BatchResult run_batch(const Header80& header, const Hash256& target, uint32_t start, uint32_t end,
                          const Geometry& g) override {
        struct Record {
            BatchResult r{.hashes = 1};
            bool found() const { return r.found; }
            void claim(uint32_t n, const uint64_t* w) { r = {.found = true, .nonce = n, .hash = words_to_hash(w), .hashes = 1}; }
        } rec;
        uint64_t h64[10], t64[4];
        header_to_words(header, h64);
        hash_to_words(target, t64);
        core::search_thread(h64, t64, start, end, g.iters_per_thread, 0, 1, rec);
        return rec.r;
    }
};

#ifndef VKN_FAULT_NONCE_BIG_ENDIAN

TEST(CoreVariant, EqualsHostReferenceAndPassesTheSelftest) {
    std::mt19937_64 rng(VKN_SEARCH_UNROLL + 1);
    for (int i = 0; i < 5000; ++i) {
        Header80 h;
        for (auto& b : h) b = uint8_t(rng());
        for (uint32_t n : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, uint32_t(rng())}) {
            uint64_t w[10], out[4];
            header_to_words(h, w);
            core::hash_nonce(core::precompute(w), n, out);
            for (int k = 0; k < 4; ++k) h[76 + k] = uint8_t(n >> (8 * k));
            ASSERT_EQ(words_to_hash(out), sha3_256t(h.data(), h.size())) << i;
        }
    }
    VariantBackend b;
    std::string error;
    EXPECT_TRUE(backend_selftest(b, &error)) << error;
}

#else

TEST(CoreFault, BigEndianNonceFailsTheSelftest) {
    VariantBackend b;
    std::string error;
    EXPECT_FALSE(backend_selftest(b, &error));
    EXPECT_EQ(error, "GPU SHA3-256t does not match CPU SHA3-256t");
}

#endif

}  // namespace
}  // namespace vkn
