#include "hash/keccak.h"

#include "util/endian.h"

namespace vkn {
namespace {

// The pi walk over the 24 lanes other than lane 0 (one cycle from lane 1),
// the rho rotation of each lane in that same walk order, and iota's constants.
constexpr int kPiWalk[24] = {10, 7, 11, 17, 18, 3, 5, 16, 8, 21, 24, 4, 15, 23, 19, 13, 12, 2, 20, 14, 22, 9, 6, 1};
constexpr int kRhoWalk[24] = {1, 3, 6, 10, 15, 21, 28, 36, 45, 55, 2, 14, 27, 41, 56, 8, 25, 43, 62, 18, 39, 61, 20, 44};
constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808AULL, 0x8000000080008000ULL,
    0x000000000000808BULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008AULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000AULL,
    0x000000008000808BULL, 0x800000000000008BULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800AULL, 0x800000008000000AULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL};

inline uint64_t rotl(uint64_t x, int n) { return n == 0 ? x : (x << n) | (x >> (64 - n)); }

Hash256 squeeze(const uint64_t state[25]) {
    Hash256 out;
    for (int i = 0; i < 32; ++i) out[i] = uint8_t(state[i / 8] >> (8 * (i % 8)));
    return out;
}

}  // namespace

void keccak_f1600(uint64_t a[25]) {
    for (int round = 0; round < 24; ++round) {
        uint64_t c[5];
        for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
        for (int x = 0; x < 5; ++x) {
            uint64_t d = c[(x + 4) % 5] ^ rotl(c[(x + 1) % 5], 1);
            for (int y = 0; y < 25; y += 5) a[y + x] ^= d;
        }
        uint64_t carried = a[1];
        for (int i = 0; i < 24; ++i) {
            int j = kPiWalk[i];
            uint64_t next = a[j];
            a[j] = rotl(carried, kRhoWalk[i]);
            carried = next;
        }
        for (int y = 0; y < 25; y += 5) {
            uint64_t row[5];
            for (int x = 0; x < 5; ++x) row[x] = a[y + x];
            for (int x = 0; x < 5; ++x) a[y + x] = row[x] ^ (~row[(x + 1) % 5] & row[(x + 2) % 5]);
        }
        a[0] ^= kRoundConstants[round];
    }
}

Hash256 sha3_256(const uint8_t* data, size_t length) {
    constexpr size_t kRate = 136;
    uint64_t state[25] = {};
    while (length >= kRate) {
        for (size_t i = 0; i < kRate / 8; ++i) state[i] ^= load_le64(data + 8 * i);
        keccak_f1600(state);
        data += kRate;
        length -= kRate;
    }
    for (size_t i = 0; i < length; ++i) state[i / 8] ^= uint64_t(data[i]) << (8 * (i % 8));
    state[length / 8] ^= uint64_t(0x06) << (8 * (length % 8));
    state[135 / 8] ^= uint64_t(0x80) << (8 * (135 % 8));
    keccak_f1600(state);
    return squeeze(state);
}

Hash256 sha3_256_32(const uint8_t in[32]) {
    uint64_t state[25] = {};
    for (int i = 0; i < 4; ++i) state[i] = load_le64(in + 8 * i);
    state[4] = 0x06;
    state[16] = 0x8000000000000000ULL;
    keccak_f1600(state);
    return squeeze(state);
}

}  // namespace vkn
