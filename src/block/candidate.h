#pragma once
// Candidate blocks: merkle root, header time, the 80-byte header and the
// serialized block.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "block/payout.h"
#include "block/template.h"
#include "util/bytes.h"

namespace vkn {

struct CandidateBlock {
    std::array<uint8_t, 80> header{};  // nonce field 0
    Bytes coinbase;                    // full form, witness included
    std::vector<Bytes> transactions;
    Hash256 merkle_root{};
    uint64_t extranonce = 0;
    uint32_t time = 0;
};

// Adjacent pairs hashed with sha256d level by level, an odd level's last
// hash paired with itself; no leaves give 32 zero bytes.
Hash256 merkle_root(std::vector<Hash256> leaves);

CandidateBlock build_candidate(const BlockTemplate& t, const std::vector<PayoutSpec>& payouts, uint64_t extranonce,
                               const std::string& coinbase_tag, bool use_clock_time);

Bytes serialize_block(const CandidateBlock& c, uint32_t nonce);

// Wall-clock seconds since 1970, clamped to 32 bits.
uint32_t unix_time_now();

// The header time rule, given the clock reading.
uint32_t choose_header_time(const BlockTemplate& t, bool use_clock_time, uint32_t now);

}  // namespace vkn
