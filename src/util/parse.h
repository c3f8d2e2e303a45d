#pragma once
// Strict number parsing for options, payouts and template fields. Messages
// name the field and repeat the text exactly as it was given.
#include <cstdint>
#include <string>

namespace vkn {

// Decimal, optional sign ("-1" wraps to 2^64-1, as stoull does).
uint64_t parse_u64(const std::string& value, const std::string& name);

// Anything stod accepts: decimal, hex floats, exponents, inf, nan.
double parse_double(const std::string& value, const std::string& name);

// Exactly eight hex digits, most significant first; no trimming, no prefix.
uint32_t parse_hex_u32(const std::string& value, const std::string& name);

}  // namespace vkn
