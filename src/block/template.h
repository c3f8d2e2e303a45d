#pragma once
// The node's getblocktemplate reply as typed work.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "block/stratum_job.h"
#include "util/bytes.h"

namespace vkn {

struct TemplateTransaction {
    Bytes data;      // raw transaction, into the block unchanged
    Hash256 txid{};  // internal order; a merkle leaf
    Hash256 hash{};  // witness id, internal order; equals txid when absent
};

struct BlockTemplate {
    int32_t version = 0;
    Hash256 prev_hash{};
    uint64_t coinbase_value = 0;
    Hash256 target{};
    uint32_t bits = 0;
    uint32_t height = 0;
    uint32_t curtime = 0;
    uint32_t mintime = 0;
    uint32_t nonce_min = 0;
    uint32_t nonce_max = 0xFFFFFFFFu;
    bool mutable_time = false;
    bool segwit_rule = false;
    std::string longpollid;
    std::string workid;
    std::vector<Bytes> coinbaseaux;
    std::vector<TemplateTransaction> transactions;
    Bytes default_witness_commitment;
    // Work from a pool rather than the node: the devices build the header from it.
    std::shared_ptr<const PoolWork> pool;
};

// Throws on the first bad or missing member; the JSON library's own
// messages pass through. txids_internal: the node writes transaction hashes
// in internal byte order.
BlockTemplate parse_block_template(const nlohmann::json& reply, bool txids_internal);

// True when `value` is an array holding the exact string `text`.
bool array_contains_string(const nlohmann::json& value, const std::string& text);

// The compact "bits" form expanded to a 256-bit target (sign bit means 0).
Hash256 compact_to_target(uint32_t bits);

}  // namespace vkn
