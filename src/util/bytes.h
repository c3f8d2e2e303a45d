#pragma once
// The byte containers shared by every subsystem.
#include <array>
#include <cstdint>
#include <vector>

namespace vkn {

using Bytes = std::vector<uint8_t>;

// 32 bytes in internal order: byte 0 is the least significant when read as a
// number. The node prints such values reversed ("display order").
using Hash256 = std::array<uint8_t, 32>;

}  // namespace vkn
