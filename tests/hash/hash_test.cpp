// Published vectors, one row each. The hashlib cross-check compares every
// length from 0 to 600 bytes and beyond; the target test is checked against
// the search core's word test.
#include <gtest/gtest.h>

#include "hash/keccak.h"
#include "hash/sha256.h"
#include "hash/sha3t.h"
#include "util/hex.h"

namespace vkn {
namespace {

TEST(Hash, PublishedVectorsAndDisplayOrder) {
    const struct {
        Hash256 (*f)(const uint8_t*, size_t);
        std::string input, digest;
    } rows[] = {
        {sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {sha256d, "", "5df6e0e2761359d30a8275058e299fcc0381534545f55cf43e41983f5d4c9456"},
        {sha3_256, "abc", "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
        {sha3_256, std::string(200, '\xa3'), "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
        {sha3_256t, "", "eaf5e2637e4084251edd1e16efad94991c59c02b1adcec5c680c80233a914906"},
    };
    for (const auto& row : rows) {
        Hash256 h = row.f(reinterpret_cast<const uint8_t*>(row.input.data()), row.input.size());
        EXPECT_EQ(bytes_to_hex(h.data(), h.size()), row.digest);
        std::string display = hash_to_display_hex(h);
        for (size_t i = 0; i < 32; ++i) EXPECT_EQ(display.substr(2 * i, 2), row.digest.substr(62 - 2 * i, 2));
    }
}

}  // namespace
}  // namespace vkn
