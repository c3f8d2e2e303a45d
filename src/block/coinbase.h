#pragma once
// The miner's own coinbase transaction, byte for byte.
#include <cstdint>
#include <string>
#include <vector>

#include "block/payout.h"
#include "block/template.h"
#include "util/bytes.h"

namespace vkn {

// Minimal little-endian script number; 0 is empty, a set top bit gets a 00.
Bytes script_num(uint32_t n);
// One data push (direct, PUSHDATA1/2/4); an empty string pushes 00.
void push_data(Bytes& script, const Bytes& data);
void write_compact_size(Bytes& out, uint64_t n);

// Height as BIP34 reads it, the template's aux bytes raw, the extranonce as
// 8 bytes little-endian, then the tag; at most 100 bytes.
Bytes build_script_sig(const BlockTemplate& t, uint64_t extranonce, const std::string& tag);

// Whether the coinbase carries the witness commitment (and a witness).
bool needs_witness_commitment(const BlockTemplate& t);

// The commitment output script: the template's own, or OP_RETURN with the
// BIP141 header over the witness merkle root and a zero reserved value.
Bytes witness_commitment_script(const BlockTemplate& t);

// strip_witness: the form whose double SHA-256 is the txid.
Bytes build_coinbase(const BlockTemplate& t, const std::vector<TxOut>& outputs, const Bytes& script_sig,
                     bool with_commitment, bool strip_witness);

}  // namespace vkn
