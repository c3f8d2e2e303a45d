#pragma once
// Strict hex text <-> bytes conversion; every failure names the bad text.
#include <cstddef>
#include <string>

#include "util/bytes.h"

namespace vkn {

// Drops tab, line feed, carriage return and space at both ends.
std::string trim_ws(const std::string& s);

// Trims, drops one "0x"/"0X" prefix, then decodes pairs of hex digits.
Bytes hex_to_bytes(const std::string& text);

std::string bytes_to_hex(const uint8_t* data, size_t length);
std::string bytes_to_hex(const Bytes& data);

// 64 hex digits in display order -> internal order (reversed).
Hash256 hash_from_hex(const std::string& text);

}  // namespace vkn
