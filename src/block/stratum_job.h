#pragma once
// Stratum (v1) work: a pool's job turned into the 80-byte header a device
// searches, and the pool's difficulty turned into a target.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "util/bytes.h"

namespace vkn {

struct StratumJob {
    std::string id;
    Hash256 prev_hash{};  // header byte order
    Bytes coinbase1;
    Bytes coinbase2;
    std::vector<Hash256> merkle_branch;  // header byte order
    uint32_t version = 0;
    uint32_t nbits = 0;
    uint32_t ntime = 0;
    bool clean = false;  // drop every earlier job
};

// A pool's job as the devices mine it: the job, the session's extranonce1
// and extranonce2 size, and the share target from the pool's difficulty.
struct PoolWork {
    StratumJob job;
    Bytes extranonce1;
    size_t extranonce2_size = 4;
    Hash256 share_target{};
    bool idle = false;  // no pool for too long: the devices wait rather than hash stale work
};

// mining.notify's params: job id, previous hash (Stratum's word order),
// coinbase parts, merkle branch, version, nbits, ntime (big-endian hex),
// clean-jobs flag. Throws naming the field and repeating its text.
StratumJob parse_notify(const nlohmann::json& params);

// coinbase1 + extranonce1 + extranonce2 + coinbase2.
Bytes stratum_coinbase(const StratumJob& job, const Bytes& extranonce1, const Bytes& extranonce2);
// The coinbase's double SHA-256 folded with the branch, left to right.
Hash256 stratum_merkle_root(const Bytes& coinbase, const std::vector<Hash256>& branch);
// The header, nonce 0.
std::array<uint8_t, 80> stratum_header(const StratumJob& job, const Hash256& merkle_root);

// The height a coinbase's scriptSig pushes first (BIP34), or 0 when it does
// not start with a push of 1 to 4 bytes.
uint32_t coinbase_height(const Bytes& coinbase);

// extranonce2 value `n` in `size` bytes, most significant first, as Stratum
// miners send it.
Bytes extranonce2_bytes(uint64_t n, size_t size);

// The share target: the difficulty-1 target divided by `difficulty`
// (at most the difficulty-1 target for a difficulty below 1 ... and never
// above 2^256 - 1). Throws for a difficulty that is not positive and finite.
Hash256 difficulty_target(double difficulty, const Hash256& diff1);

}  // namespace vkn
