#include "block/candidate.h"

#include <chrono>
#include <stdexcept>

#include "block/coinbase.h"
#include "hash/sha256.h"
#include "util/endian.h"

namespace vkn {
Hash256 merkle_root(std::vector<Hash256> level) {
    if (level.empty()) return Hash256{};
    uint8_t pair[64];
    while (level.size() > 1) {
        if (level.size() % 2) level.push_back(level.back());
        for (size_t i = 0; i < level.size() / 2; ++i) {
            std::copy(level[2 * i].begin(), level[2 * i].end(), pair);
            std::copy(level[2 * i + 1].begin(), level[2 * i + 1].end(), pair + 32);
            level[i] = sha256d(pair, sizeof pair);
        }
        level.resize(level.size() / 2);
    }
    return level[0];
}

uint32_t unix_time_now() {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                    .count();
    if (secs < 0) return 0;
    if (secs > 0xFFFFFFFFll) return 0xFFFFFFFFu;
    return uint32_t(secs);
}

uint32_t choose_header_time(const BlockTemplate& t, bool use_clock_time, uint32_t now) {
    uint32_t time = t.curtime;
    if ((use_clock_time || t.mutable_time) && now > time) time = now;
    if (time < t.mintime) time = t.mintime;
    return time;
}

CandidateBlock build_candidate(const BlockTemplate& t, const std::vector<PayoutSpec>& payouts, uint64_t extranonce,
                               const std::string& coinbase_tag, bool use_clock_time) {
    CandidateBlock c;
    c.extranonce = extranonce;
    c.transactions.reserve(t.transactions.size());
    for (const TemplateTransaction& tx : t.transactions) c.transactions.push_back(tx.data);

    const std::vector<TxOut> outputs = split_coinbase_value(t.coinbase_value, payouts);
    const Bytes script_sig = build_script_sig(t, extranonce, coinbase_tag);
    const bool with_commitment = needs_witness_commitment(t);
    const Bytes stripped = build_coinbase(t, outputs, script_sig, with_commitment, true);
    c.coinbase = with_commitment ? build_coinbase(t, outputs, script_sig, with_commitment, false) : stripped;

    std::vector<Hash256> leaves;
    leaves.reserve(t.transactions.size() + 1);
    leaves.push_back(sha256d(stripped));
    for (const TemplateTransaction& tx : t.transactions) leaves.push_back(tx.txid);
    c.merkle_root = merkle_root(std::move(leaves));

    // Only consult the clock when the rule can use it.
    const bool clock = use_clock_time || t.mutable_time;
    c.time = choose_header_time(t, use_clock_time, clock ? unix_time_now() : 0);

    Bytes h;
    h.reserve(80);
    append_le(h, uint32_t(t.version), 4);
    h.insert(h.end(), t.prev_hash.begin(), t.prev_hash.end());
    h.insert(h.end(), c.merkle_root.begin(), c.merkle_root.end());
    append_le(h, c.time, 4);
    append_le(h, t.bits, 4);
    append_le(h, 0, 4);
    if (h.size() != 80) throw std::runtime_error("internal error: block header was not 80 bytes");
    std::copy(h.begin(), h.end(), c.header.begin());
    return c;
}

Bytes serialize_block(const CandidateBlock& c, uint32_t nonce) {
    std::array<uint8_t, 80> header = c.header;
    store_le32(header.data() + 76, nonce);
    size_t size = 80 + 9 + c.coinbase.size();
    for (const Bytes& tx : c.transactions) size += tx.size();
    Bytes block(header.begin(), header.end());
    block.reserve(size);
    write_compact_size(block, 1 + c.transactions.size());
    block.insert(block.end(), c.coinbase.begin(), c.coinbase.end());
    for (const Bytes& tx : c.transactions) block.insert(block.end(), tx.begin(), tx.end());
    return block;
}

}  // namespace vkn
