// Published vectors, one row each; the hashlib cross-check covers every
// length from 0 to 600 bytes and beyond.
#include <gtest/gtest.h>

#include "hash/keccak.h"
#include "hash/sha256.h"
#include "hash/sha3t.h"
#include "util/hex.h"

namespace vkn {
namespace {

TEST(Hash, PublishedVectors) {
    const std::string nist56 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const struct {
        Hash256 (*f)(const uint8_t*, size_t);
        std::string input, digest;
    } rows[] = {
        {sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {sha256, nist56, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {sha256d, "", "5df6e0e2761359d30a8275058e299fcc0381534545f55cf43e41983f5d4c9456"},
        {sha3_256, "", "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
        {sha3_256, "abc", "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
        {sha3_256, std::string(200, '\xa3'), "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
        {sha3_256t, "", "eaf5e2637e4084251edd1e16efad94991c59c02b1adcec5c680c80233a914906"},
    };
    for (const auto& row : rows) {
        Hash256 h = row.f(reinterpret_cast<const uint8_t*>(row.input.data()), row.input.size());
        EXPECT_EQ(bytes_to_hex(h.data(), h.size()), row.digest) << row.input;
    }
    uint64_t s[25] = {};
    keccak_f1600(s);  // the Keccak team's permutation of the zero state
    EXPECT_EQ(s[0], 0xF1258F7940E1DDE7ULL);
    EXPECT_EQ(s[1], 0x84D5CCF933C0478AULL);
    EXPECT_EQ(s[24], 0xEAF1FF7B5CECA249ULL);
}

Hash256 with(std::initializer_list<std::pair<int, uint8_t>> bytes, uint8_t fill = 0) {
    Hash256 h;
    h.fill(fill);
    for (auto [i, b] : bytes) h[i] = b;
    return h;
}

TEST(Hash, TargetTestAndDisplayOrder) {
    const struct {
        Hash256 hash, target;
        bool meets;
    } rows[] = {
        {with({}, 0x80), with({}, 0x80), true},  // equal meets
        {with({{0, 0x7f}}, 0x80), with({}, 0x80), true},
        {with({{0, 0x81}}, 0x80), with({}, 0x80), false},
        {with({{31, 0x7f}}, 0x80), with({}, 0x80), true},
        {with({{31, 0x81}}, 0x80), with({}, 0x80), false},
        {with({{31, 0x00}}, 0xff), with({{31, 0x01}}), true},  // byte 31 decides over every lower byte
        {with({{31, 0x01}}), with({{31, 0x00}}, 0xff), false},
        {with({{0, 1}}), with({}), false},
        {with({}), with({}), true},
        {with({}, 0xff), with({}, 0xff), true},
    };
    for (const auto& row : rows) EXPECT_EQ(hash_meets_target(row.hash, row.target), row.meets);
    EXPECT_EQ(hash_to_display_hex(with({{0, 0xab}, {30, 0x12}})), "0012" + std::string(58, '0') + "ab");
}

}  // namespace
}  // namespace vkn
