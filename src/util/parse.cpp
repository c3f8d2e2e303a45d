#include "util/parse.h"

#include <stdexcept>

#include "util/hex.h"

namespace vkn {

uint64_t parse_u64(const std::string& value, const std::string& name) {
    std::string t = trim_ws(value);
    if (t.empty()) throw std::runtime_error("empty integer for " + name);
    size_t used = 0;
    unsigned long long v = 0;
    try {
        v = std::stoull(t, &used, 10);
    } catch (const std::exception&) {
        throw std::runtime_error("invalid integer for " + name + ": " + value);
    }
    if (used != t.size()) throw std::runtime_error("invalid trailing characters in " + name + ": " + value);
    return v;
}

double parse_double(const std::string& value, const std::string& name) {
    std::string t = trim_ws(value);
    if (t.empty()) throw std::runtime_error("empty number for " + name);
    size_t used = 0;
    double v = 0;
    try {
        v = std::stod(t, &used);
    } catch (const std::exception&) {
        throw std::runtime_error("invalid number for " + name + ": " + value);
    }
    if (used != t.size()) throw std::runtime_error("invalid trailing characters in " + name + ": " + value);
    return v;
}

uint32_t parse_hex_u32(const std::string& value, const std::string& name) {
    if (value.size() != 8) throw std::runtime_error("expected 8 hex chars for " + name + ", got: " + value);
    uint32_t v = 0;
    for (char c : value) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else throw std::runtime_error("invalid hex for " + name + ": " + value);
        v = v << 4 | static_cast<uint32_t>(d);
    }
    return v;
}

}  // namespace vkn
