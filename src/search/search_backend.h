#pragma once
// What the driver and the self-test see of a nonce search, whichever
// hardware runs it.
#include <array>
#include <cstdint>
#include <string>

#include "util/bytes.h"

namespace vkn {

using Header80 = std::array<uint8_t, 80>;

struct Geometry {
    int32_t blocks = 1;
    int32_t threads = 1;
    uint32_t iters_per_thread = 1;
};

struct BatchResult {
    bool found = false;
    uint32_t nonce = 0;
    Hash256 hash{};       // internal order
    uint64_t hashes = 0;  // nonces the batch covered, hit or not
    float elapsed_ms = 0;
};

class SearchBackend {
public:
    virtual ~SearchBackend() = default;
    virtual std::string startup_line() const = 0;  // "[cuda] ..." or "[cpu] ..."
    virtual Geometry mining_geometry() const = 0;
    // Searches nonce_start..nonce_end (inclusive) of the header, at most
    // blocks x threads x iters nonces; the first hit found wins.
    virtual BatchResult run_batch(const Header80& header, const Hash256& target, uint32_t nonce_start,
                                  uint32_t nonce_end, const Geometry& geometry) = 0;
};

}  // namespace vkn
