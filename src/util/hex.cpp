#include "util/hex.h"

#include <algorithm>
#include <stdexcept>

namespace vkn {
namespace {

bool is_ws(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string trim_ws(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_ws(s[b])) ++b;
    while (e > b && is_ws(s[e - 1])) --e;
    return s.substr(b, e - b);
}

Bytes hex_to_bytes(const std::string& text) {
    std::string t = trim_ws(text);
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.erase(0, 2);
    if (t.size() % 2 != 0) throw std::runtime_error("hex string has odd length: " + text);
    Bytes out(t.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hex_value(t[2 * i]);
        int lo = hex_value(t[2 * i + 1]);
        if (hi < 0 || lo < 0) throw std::runtime_error("invalid hex string: " + text);
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return out;
}

std::string bytes_to_hex(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    return out;
}

std::string bytes_to_hex(const Bytes& data) { return bytes_to_hex(data.data(), data.size()); }

Hash256 hash_from_hex(const std::string& text) {
    Bytes b = hex_to_bytes(text);
    if (b.size() != 32)
        throw std::runtime_error("expected 32-byte hash hex, got " + std::to_string(b.size()) + " bytes");
    Hash256 h;
    std::reverse_copy(b.begin(), b.end(), h.begin());
    return h;
}

}  // namespace vkn
