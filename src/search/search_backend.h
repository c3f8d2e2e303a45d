#pragma once
// What the driver and the self-test see of a nonce search, whichever
// hardware runs it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "util/bytes.h"

namespace vkn {

using Header80 = std::array<uint8_t, 80>;

struct Geometry {
    int32_t blocks = 1;
    int32_t threads = 1;
    uint32_t iters_per_thread = 1;
};

// Share nonces a batch reports at most; more are only counted.
constexpr uint32_t kShareSlots = 16;

struct BatchResult {
    bool found = false;
    uint32_t nonce = 0;
    Hash256 hash{};       // internal order
    uint64_t hashes = 0;  // nonces the batch covered, hit or not
    float elapsed_ms = 0;
    std::vector<uint32_t> shares;  // nonces under the share target but not the block target
    uint32_t shares_lost = 0;      // shares past the slots
};

class SearchBackend {
public:
    virtual ~SearchBackend() = default;
    virtual std::string startup_line() const = 0;  // "[cuda] ..." or "[cpu] ..."
    virtual Geometry mining_geometry() const = 0;
    // Searches nonce_start..nonce_end (inclusive) of the header, at most
    // blocks x threads x iters nonces; the first hit under `target` found
    // wins and ends the batch, and hashes under `share` (no harder than
    // `target`) are reported as shares.
    virtual BatchResult run_batch(const Header80& header, const Hash256& target, const Hash256& share,
                                  uint32_t nonce_start, uint32_t nonce_end, const Geometry& geometry) = 0;
};

}  // namespace vkn
