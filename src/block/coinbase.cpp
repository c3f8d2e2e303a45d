#include "block/coinbase.h"

#include <stdexcept>

#include "block/candidate.h"
#include "hash/sha256.h"
#include "util/endian.h"

namespace vkn {
Bytes script_num(uint32_t n) {
    Bytes out;
    while (n) {
        out.push_back(uint8_t(n));
        n >>= 8;
    }
    if (!out.empty() && (out.back() & 0x80)) out.push_back(0x00);
    return out;
}

void push_data(Bytes& script, const Bytes& data) {
    const size_t n = data.size();
    if (n < 76) {
        script.push_back(uint8_t(n));
    } else if (n < 256) {
        script.push_back(0x4c);
        append_le(script, n, 1);
    } else if (n <= 0xffff) {
        script.push_back(0x4d);
        append_le(script, n, 2);
    } else {
        script.push_back(0x4e);
        append_le(script, n, 4);
    }
    script.insert(script.end(), data.begin(), data.end());
}

void write_compact_size(Bytes& out, uint64_t n) {
    if (n < 253) {
        out.push_back(uint8_t(n));
    } else if (n <= 0xffff) {
        out.push_back(0xfd);
        append_le(out, n, 2);
    } else if (n <= 0xffffffffull) {
        out.push_back(0xfe);
        append_le(out, n, 4);
    } else {
        out.push_back(0xff);
        append_le(out, n, 8);
    }
}

Bytes build_script_sig(const BlockTemplate& t, uint64_t extranonce, const std::string& tag) {
    Bytes s;
    // Nodes check BIP34 against CScript() << height, which writes 1..16 as
    // OP_1..OP_16; a data push there is rejected as bad-cb-height.
    if (t.height >= 1 && t.height <= 16) s.push_back(uint8_t(0x50 + t.height));
    else push_data(s, script_num(t.height));
    for (const Bytes& aux : t.coinbaseaux) s.insert(s.end(), aux.begin(), aux.end());
    Bytes en;
    append_le(en, extranonce, 8);
    push_data(s, en);
    if (!tag.empty()) push_data(s, Bytes(tag.begin(), tag.end()));
    if (s.size() > 100)
        throw std::runtime_error(
            "coinbase scriptSig exceeds 100 bytes; use a shorter --coinbase-tag or fewer aux bytes");
    return s;
}

bool needs_witness_commitment(const BlockTemplate& t) {
    if (!t.default_witness_commitment.empty() || t.segwit_rule) return true;
    for (const TemplateTransaction& tx : t.transactions)
        if (tx.hash != tx.txid) return true;
    return false;
}

Bytes witness_commitment_script(const BlockTemplate& t) {
    if (!t.default_witness_commitment.empty()) return t.default_witness_commitment;
    std::vector<Hash256> leaves;
    leaves.reserve(t.transactions.size() + 1);
    leaves.push_back(Hash256{});  // the coinbase's wtxid counts as zero
    for (const TemplateTransaction& tx : t.transactions) leaves.push_back(tx.hash);
    Hash256 root = merkle_root(leaves);
    uint8_t buf[64] = {};
    std::copy(root.begin(), root.end(), buf);
    Hash256 commitment = sha256d(buf, sizeof buf);
    Bytes script{0x6a, 0x24, 0xaa, 0x21, 0xa9, 0xed};
    script.insert(script.end(), commitment.begin(), commitment.end());
    return script;
}

Bytes build_coinbase(const BlockTemplate& t, const std::vector<TxOut>& outputs, const Bytes& script_sig,
                     bool with_commitment, bool strip_witness) {
    std::vector<TxOut> outs = outputs;
    if (with_commitment) outs.push_back(TxOut{0, witness_commitment_script(t)});
    const bool witness = with_commitment && !strip_witness;
    Bytes tx;
    tx.reserve(128 + script_sig.size() + outs.size() * 48);
    append_le(tx, 2, 4);
    if (witness) {
        tx.push_back(0x00);
        tx.push_back(0x01);
    }
    write_compact_size(tx, 1);
    tx.insert(tx.end(), 32, 0x00);
    append_le(tx, 0xffffffff, 4);
    write_compact_size(tx, script_sig.size());
    tx.insert(tx.end(), script_sig.begin(), script_sig.end());
    append_le(tx, 0xffffffff, 4);
    write_compact_size(tx, outs.size());
    for (const TxOut& o : outs) {
        append_le(tx, o.value, 8);
        write_compact_size(tx, o.script.size());
        tx.insert(tx.end(), o.script.begin(), o.script.end());
    }
    if (witness) {
        write_compact_size(tx, 1);
        write_compact_size(tx, 32);
        tx.insert(tx.end(), 32, 0x00);
    }
    append_le(tx, 0, 4);
    return tx;
}

}  // namespace vkn
