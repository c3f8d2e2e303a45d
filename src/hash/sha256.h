#pragma once
// SHA-256 (FIPS 180-4) and double SHA-256 for transaction ids and merkle nodes.
#include <cstddef>
#include <cstdint>

#include "util/bytes.h"

namespace vkn {

void sha256_compress(uint32_t state[8], const uint8_t block[64]);
Hash256 sha256(const uint8_t* data, size_t length);
Hash256 sha256d(const uint8_t* data, size_t length);
Hash256 sha256d(const Bytes& data);

}  // namespace vkn
