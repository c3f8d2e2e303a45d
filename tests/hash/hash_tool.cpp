// Reads "ALGORITHM HEX" lines and prints each digest's hex, for comparison
// with an independent implementation: sha256, sha256d, sha3_256, sha3_256t,
// core (this build's layout of the search core on an 80-byte header, nonce at
// bytes 76..79). "selftest" runs the self-test on this core: "ok" or the error.
#if defined(VKN_PLANT_FAULT)
// The planted fault, in this test's own copy of the core: the nonce enters
// the header in the wrong byte order, which the self-test must catch.
#define VKN_TEST_NONCE_HOOK(n) __builtin_bswap32(n)
#endif

#include <iostream>
#include <sstream>
#include <string>

#include "search/selftest.h"
#include "search/grid_emulation.h"
#include "search/core/search_core.h"
#include "hash/keccak.h"
#include "hash/sha256.h"
#include "hash/sha3t.h"
#include "util/hex.h"

namespace vkn {
namespace {

BatchResult hashed_one() {
    BatchResult r;
    r.hashes = 1;
    return r;
}

// This build's core on one host thread, like a kernel of one thread.
struct CoreBackend final : SearchBackend {
    std::string startup_line() const override { return "[core]"; }
    Geometry mining_geometry() const override { return {1, 1, 1}; }
    BatchResult run_batch(const Header80& header, const Hash256& target, const Hash256&, uint32_t start,
                          uint32_t end, const Geometry& g) override {
        struct Record {
            BatchResult r = hashed_one();
            bool found() const { return r.found; }
            void claim(uint32_t n, const uint64_t* w) {
                r.found = true;
                r.nonce = n;
                r.hash = words_to_hash(w);
            }
            void share(uint32_t) {}
        } rec;
        uint64_t h64[10], t64[4];
        header_to_words(header, h64);
        hash_to_words(target, t64);
        core::search_thread(h64, t64, t64, start, end, g.iters_per_thread, 0, 1, rec);
        return rec.r;
    }
};

Hash256 core_hash(const Bytes& b) {
    Header80 header;
    std::copy(b.begin(), b.end(), header.begin());
    uint64_t w[10], out[4];
    header_to_words(header, w);
    const uint32_t nonce = uint32_t(w[9] >> 32);
    w[9] ^= uint64_t(0x5a5a5a5a) << 32;  // the core must ignore the uploaded nonce half
    core::hash_nonce(core::precompute(w), nonce, out);
    return words_to_hash(out);
}

}  // namespace
}  // namespace vkn

int main() {
    using namespace vkn;
    std::string line, alg, hex;
    while (std::getline(std::cin, line)) {
        std::istringstream(line) >> alg >> hex;
        if (alg == "selftest") {
            CoreBackend backend;
            std::string error;
            std::cout << (backend_selftest(backend, &error) ? "ok" : error) << "\n";
            continue;
        }
        Bytes b = hex_to_bytes(hex);
        Hash256 h{};
        if (alg == "sha256") h = sha256(b.data(), b.size());
        else if (alg == "sha256d") h = sha256d(b);
        else if (alg == "sha3_256") h = sha3_256(b.data(), b.size());
        else if (alg == "sha3_256t") h = sha3_256t(b.data(), b.size());
        else if (alg == "core" && b.size() == 80) h = core_hash(b);
        else return std::cerr << "bad line: " << line << "\n", 2;
        std::cout << bytes_to_hex(h.data(), h.size()) << "\n";
    }
}
