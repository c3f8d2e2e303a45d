#include "hash/sha3t.h"

#include <algorithm>
#include <cmath>

#include "hash/keccak.h"
#include "util/hex.h"

namespace vkn {

Hash256 sha3_256t(const uint8_t* data, size_t length) {
    Hash256 h1 = sha3_256(data, length);
    Hash256 h2 = sha3_256_32(h1.data());
    return sha3_256_32(h2.data());
}

bool hash_meets_target(const Hash256& hash, const Hash256& target) {
    for (int i = 31; i >= 0; --i) {
        if (hash[i] != target[i]) return hash[i] < target[i];
    }
    return true;
}

double expected_hashes(const Hash256& target) {
    double v = 0;
    for (int i = 31; i >= 0; --i) v = v * 256.0 + target[size_t(i)];
    return std::ldexp(1.0, 256) / (v + 1.0);
}

std::string hash_to_display_hex(const Hash256& h) {
    Hash256 r;
    std::reverse_copy(h.begin(), h.end(), r.begin());
    return bytes_to_hex(r.data(), r.size());
}

}  // namespace vkn
