#include <gtest/gtest.h>

#include <random>

#include "hash/keccak.h"
#include "hash/sha256.h"
#include "hash/sha3t.h"
#include "util/hex.h"

namespace vkn {
namespace {

std::string hex(const Hash256& h) { return bytes_to_hex(h.data(), h.size()); }
Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(Sha256, PublishedVectors) {
    EXPECT_EQ(hex(sha256(nullptr, 0)), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Bytes abc = bytes("abc");
    EXPECT_EQ(hex(sha256(abc.data(), abc.size())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Bytes two = bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq");  // 56 bytes: two tail blocks
    EXPECT_EQ(hex(sha256(two.data(), two.size())),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256, DoubleIsHashOfDigest) {
    Hash256 once = sha256(nullptr, 0);
    EXPECT_EQ(sha256d(nullptr, 0), sha256(once.data(), 32));
    EXPECT_EQ(sha256d(Bytes{}), sha256d(nullptr, 0));
    EXPECT_EQ(hex(sha256d(Bytes{})), "5df6e0e2761359d30a8275058e299fcc0381534545f55cf43e41983f5d4c9456");
    for (size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u}) {
        Bytes b(n, 0xa5);
        Hash256 d = sha256(b.data(), n);
        EXPECT_EQ(sha256d(b), sha256(d.data(), 32)) << n;
    }
}

TEST(Sha3, PublishedVectors) {
    EXPECT_EQ(hex(sha3_256(nullptr, 0)), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
    Bytes abc = bytes("abc");
    EXPECT_EQ(hex(sha3_256(abc.data(), 3)), "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
    // FIPS 202 example: 200 bytes of 0xa3 spans two rate blocks.
    Bytes a3(200, 0xa3);
    EXPECT_EQ(hex(sha3_256(a3.data(), a3.size())),
              "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787");
}

TEST(Sha3, PermutationOfZeroStateMatchesKeccakTeam) {
    uint64_t s[25] = {};
    keccak_f1600(s);
    EXPECT_EQ(s[0], 0xF1258F7940E1DDE7ULL);
    EXPECT_EQ(s[1], 0x84D5CCF933C0478AULL);
    EXPECT_EQ(s[24], 0xEAF1FF7B5CECA249ULL);
}

TEST(Sha3, ThirtyTwoBytePathEqualsGeneric) {
    std::mt19937_64 rng(7);
    std::vector<Bytes> inputs{Bytes(32, 0x00), Bytes(32, 0xff)};
    for (int i = 0; i < 200; ++i) {
        Bytes b(32);
        for (auto& x : b) x = uint8_t(rng());
        inputs.push_back(b);
    }
    for (const Bytes& b : inputs) EXPECT_EQ(sha3_256_32(b.data()), sha3_256(b.data(), 32));
}

TEST(Sha3, PaddingBoundaries) {
    // 135 bytes put 0x06 and 0x80 into the same byte (0x86); 136 need a
    // second, padding-only block. Check by building the padded blocks by hand.
    for (size_t n : {134u, 135u, 136u, 137u}) {
        Bytes msg(n, 0x5c);
        Bytes padded = msg;
        size_t blocks = n / 136 + 1;
        padded.resize(blocks * 136, 0);
        padded[n] ^= 0x06;
        padded.back() ^= 0x80;
        uint64_t s[25] = {};
        for (size_t b = 0; b < blocks; ++b) {
            for (size_t i = 0; i < 136; ++i) s[i / 8] ^= uint64_t(padded[b * 136 + i]) << (8 * (i % 8));
            keccak_f1600(s);
        }
        Hash256 expect;
        for (int i = 0; i < 32; ++i) expect[i] = uint8_t(s[i / 8] >> (8 * (i % 8)));
        EXPECT_EQ(sha3_256(msg.data(), n), expect) << n;
        if (n == 135) {
            EXPECT_EQ(padded[135], 0x86);
        }
    }
}

TEST(Sha3t, IsThreeChainedSha3Not0x01Padding) {
    Bytes header(80);
    for (int i = 0; i < 80; ++i) header[i] = uint8_t(i * 7);
    Hash256 h1 = sha3_256(header.data(), 80);
    Hash256 h2 = sha3_256(h1.data(), 32);
    Hash256 h3 = sha3_256(h2.data(), 32);
    EXPECT_EQ(sha3_256t(header.data(), 80), h3);
    Bytes cat(h1.begin(), h1.end());
    cat.insert(cat.end(), h2.begin(), h2.end());
    cat.insert(cat.end(), header.begin(), header.end());
    EXPECT_NE(sha3_256t(header.data(), 80), sha3_256(cat.data(), cat.size()));
    EXPECT_EQ(hex(sha3_256t(nullptr, 0)), "eaf5e2637e4084251edd1e16efad94991c59c02b1adcec5c680c80233a914906");  // hashlib
}

TEST(Target, MeetsAtTheEdges) {
    Hash256 t{};
    t.fill(0x80);
    Hash256 h = t;
    EXPECT_TRUE(hash_meets_target(h, t));  // equal
    h[0] = 0x7f;
    EXPECT_TRUE(hash_meets_target(h, t));
    h[0] = 0x81;
    EXPECT_FALSE(hash_meets_target(h, t));
    h = t;
    h[31] = 0x7f;
    EXPECT_TRUE(hash_meets_target(h, t));
    h[31] = 0x81;
    EXPECT_FALSE(hash_meets_target(h, t));
    // Byte 31 decides over every lower byte.
    Hash256 big{};
    big.fill(0xff);
    big[31] = 0x00;
    Hash256 small{};
    small[31] = 0x01;
    EXPECT_TRUE(hash_meets_target(big, small));
    EXPECT_FALSE(hash_meets_target(small, big));
    Hash256 zero{};
    EXPECT_TRUE(hash_meets_target(zero, zero));
    Hash256 one{};
    one[0] = 1;
    EXPECT_FALSE(hash_meets_target(one, zero));
    Hash256 max{};
    max.fill(0xff);
    EXPECT_TRUE(hash_meets_target(max, max));
}

TEST(Target, DisplayHexIsReversed) {
    Hash256 h{};
    h[0] = 0xab;
    h[31] = 0x00;
    h[30] = 0x12;
    std::string s = hash_to_display_hex(h);
    EXPECT_EQ(s.size(), 64u);
    EXPECT_EQ(s.substr(0, 4), "0012");
    EXPECT_EQ(s.substr(62), "ab");
}

}  // namespace
}  // namespace vkn
