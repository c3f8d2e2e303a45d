#pragma once
// The process entry and the mining loop.
#include <string>

#include "gpu/search_backend.h"
#include "util/bytes.h"

namespace vkn {

struct MinerOptions;

// Everything main does; returns the exit status.
int run_main(int argc, char** argv);

// Mines until a stop request (status 0), --mine-one (0) or a candidate
// that cannot be built (2); other errors propagate.
int mine(const MinerOptions& options, SearchBackend& backend);

// The outcome of re-hashing a reported nonce on the CPU.
enum class FoundCheck { valid, mismatch, above_target };
FoundCheck verify_found(const Header80& header, const Hash256& target, uint32_t nonce, const Hash256& reported,
                        Hash256& cpu_hash);

}  // namespace vkn
