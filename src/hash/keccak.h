#pragma once
// Keccak-f[1600] and SHA3-256 (FIPS 202): the host reference of the
// proof-of-work hash.
#include <cstddef>
#include <cstdint>

#include "util/bytes.h"

namespace vkn {

void keccak_f1600(uint64_t state[25]);
Hash256 sha3_256(const uint8_t* data, size_t length);
// One permutation for exactly 32 input bytes; equals sha3_256(in, 32).
Hash256 sha3_256_32(const uint8_t in[32]);

}  // namespace vkn
