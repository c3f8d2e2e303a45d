// Built once per layout of the search core (VKN_SEARCH_UNROLL = 0, 1, 2),
// and once with a planted fault, so that every variant the kernel may use is
// checked against the host reference on the CPU.
#include <gtest/gtest.h>

#include <random>

#include "driver/selftest.h"
#include "gpu/grid_emulation.h"
#include "gpu/search_core.h"
#include "hash/sha3t.h"

namespace vkn {
namespace {

// A backend running this build's core on one host thread, like the kernel
// with a single block and thread.
class VariantBackend final : public SearchBackend {
public:
    std::string startup_line() const override { return "[test]"; }
    Geometry mining_geometry() const override { return {1, 1, 1}; }
    BatchResult run_batch(const Header80& header, const Hash256& target, uint32_t start, uint32_t end,
                          const Geometry& g) override {
        struct Record {
            bool hit = false;
            uint32_t nonce = 0;
            uint64_t h[4] = {};
            bool found() const { return hit; }
            void claim(uint32_t n, const uint64_t* w) {
                hit = true;
                nonce = n;
                for (int i = 0; i < 4; ++i) h[i] = w[i];
            }
        } rec;
        uint64_t h64[10], t64[4];
        header_to_words(header, h64);
        hash_to_words(target, t64);
        core::search_thread(h64, t64, start, end, g.iters_per_thread, 0, 1, rec);
        BatchResult r;
        r.found = rec.hit;
        r.nonce = rec.nonce;
        r.hash = words_to_hash(rec.h);
        r.hashes = 1;
        return r;
    }
};

#ifndef VKN_FAULT_NONCE_BIG_ENDIAN

Hash256 variant_hash(const Header80& h, uint32_t nonce) {
    uint64_t w[10], out[4];
    header_to_words(h, w);
    core::hash_nonce(core::precompute(w), nonce, out);
    return words_to_hash(out);
}

Hash256 reference(Header80 h, uint32_t nonce) {
    for (int i = 0; i < 4; ++i) h[76 + i] = uint8_t(nonce >> (8 * i));
    return sha3_256t(h.data(), h.size());
}


TEST(CoreVariant, EqualsHostReference) {
    std::mt19937_64 rng(VKN_SEARCH_UNROLL + 1);
    for (int i = 0; i < 5000; ++i) {
        Header80 h;
        for (auto& b : h) b = uint8_t(rng());
        for (uint32_t n : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, uint32_t(rng())})
            ASSERT_EQ(variant_hash(h, n), reference(h, n)) << i;
    }
}

TEST(CoreVariant, SelftestPasses) {
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
