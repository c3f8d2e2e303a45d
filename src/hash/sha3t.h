#pragma once
// SHA3-256t, the chain's proof of work, and the target test on its result.
#include <cstddef>
#include <cstdint>
#include <string>

#include "util/bytes.h"

namespace vkn {

// sha3_256(sha3_256(sha3_256(data))), each stage hashing the raw digest.
Hash256 sha3_256t(const uint8_t* data, size_t length);

// hash <= target, both read as little-endian 256-bit numbers.
bool hash_meets_target(const Hash256& hash, const Hash256& target);

// Hashes a hit takes on average at this target, 2^256 / (target + 1).
double expected_hashes(const Hash256& target);

// 64 lower-case hex digits, most significant byte first.
std::string hash_to_display_hex(const Hash256& h);

}  // namespace vkn
