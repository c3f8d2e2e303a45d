#pragma once
// Little-endian integers in byte buffers: every integer inside a header,
// transaction or block, and the lanes of the hash state, use this order.
#include <cstdint>

#include "util/bytes.h"

namespace vkn {

inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

inline void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Appends the low `bytes` bytes of v, least significant first.
inline void append_le(Bytes& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace vkn
