#include <gtest/gtest.h>

#include "block/candidate.h"
#include "block/coinbase.h"
#include "hash/sha256.h"
#include "support/error_of.h"
#include "support/testdata.h"
#include "util/hex.h"

namespace vkn {
namespace {

Hash256 h(uint8_t b) {
    Hash256 x{};
    x.fill(b);
    return x;
}

Hash256 pair(const Hash256& a, const Hash256& b) {
    Bytes cat(a.begin(), a.end());
    cat.insert(cat.end(), b.begin(), b.end());
    return sha256d(cat);
}

TEST(Merkle, SmallTrees) {
    EXPECT_EQ(merkle_root({}), Hash256{});
    EXPECT_EQ(merkle_root({h(1)}), h(1));
    EXPECT_EQ(merkle_root({h(1), h(2)}), pair(h(1), h(2)));
    EXPECT_EQ(merkle_root({h(1), h(2), h(3)}), pair(pair(h(1), h(2)), pair(h(3), h(3))));
}

struct RealBlock {
    Bytes raw;
    BlockTemplate tmpl;
    Bytes coinbase;
    explicit RealBlock(const std::string& name) {
        std::string bytes = slurp(testdata_path(name + ".raw"));
        raw.assign(bytes.begin(), bytes.end());
        tmpl = parse_block_template(testdata_json(name + ".gbt.json"), false);
        Bytes count;
        write_compact_size(count, tmpl.transactions.size() + 1);
        size_t rest = 0;
        for (const auto& tx : tmpl.transactions) rest += tx.data.size();
        coinbase.assign(raw.begin() + 80 + count.size(), raw.end() - rest);
    }
    Hash256 header_merkle_root() const {
        Hash256 r;
        std::copy(raw.begin() + 36, raw.begin() + 68, r.begin());
        return r;
    }
};

TEST(RealBlocks, MerkleRootOfTxidsMatchesHeader) {
    RealBlock main("mainnet-702861");
    std::vector<Hash256> leaves{hash_from_hex("764b60c3d9a2c3c5bb6fe7141d9ca6e6778122df75f19366a2c5cb948d1d7d84")};
    for (const auto& tx : main.tmpl.transactions) leaves.push_back(tx.txid);
    EXPECT_EQ(merkle_root(leaves), main.header_merkle_root());
    EXPECT_EQ(hash_from_hex("407d72768cec1a244b7599af79f554055c72d6b2356c890f8c25abf797679022"),
              main.header_merkle_root());
}

TEST(RealBlocks, WitnessCommitmentFromWtxids) {
    for (const auto& [name, script] : {std::pair<std::string, std::string>{
                                           "mainnet-702861",
                                           "6a24aa21a9ed71bfcc287cd6271682f35f5fba3963861571e0f186899eb0a41a5ebc360a3faa"},
                                       {"testnet-924634",
                                        "6a24aa21a9edf91c46b49eb8a29089980f02ee6b57e7d63d33b18b4fddac2bcd7db2a3983704"}}) {
        RealBlock b(name);
        EXPECT_TRUE(needs_witness_commitment(b.tmpl));
        EXPECT_FALSE(b.tmpl.segwit_rule);
        EXPECT_EQ(bytes_to_hex(witness_commitment_script(b.tmpl)), script);  // copied as given
        BlockTemplate computed = b.tmpl;
        computed.default_witness_commitment.clear();
        computed.segwit_rule = true;
        EXPECT_EQ(bytes_to_hex(witness_commitment_script(computed)), script) << name;
    }
}

TEST(RealBlocks, SerializeRebuildsTheRealBlock) {
    RealBlock main("mainnet-702861");
    CandidateBlock c;
    std::copy(main.raw.begin(), main.raw.begin() + 80, c.header.begin());
    c.coinbase = main.coinbase;
    for (const auto& tx : main.tmpl.transactions) c.transactions.push_back(tx.data);
    uint32_t nonce = uint32_t(main.raw[76]) | uint32_t(main.raw[77]) << 8 | uint32_t(main.raw[78]) << 16 |
                     uint32_t(main.raw[79]) << 24;
    std::fill(c.header.begin() + 76, c.header.end(), 0);
    EXPECT_EQ(serialize_block(c, nonce), main.raw);
    EXPECT_EQ(bytes_to_hex(Bytes(main.raw.begin() + 80, main.raw.begin() + 83)), "fdc409");  // 2500
}

BlockTemplate simple() {
    BlockTemplate t;
    t.version = 0x20000000;
    t.prev_hash = hash_from_hex("00" + std::string(60, '5') + "01");
    t.coinbase_value = 5000;
    t.bits = 0x1d00ffff;
    t.height = 100;
    t.curtime = 1000;
    t.mintime = 900;
    return t;
}

std::vector<PayoutSpec> one_payout() { return {parse_payout("51")}; }

TEST(Candidate, HeaderLayoutAndNoTransactions) {
    BlockTemplate t = simple();
    CandidateBlock c = build_candidate(t, one_payout(), 7, "/t/", false);
    EXPECT_EQ(c.time, 1000u);
    EXPECT_EQ(c.extranonce, 7u);
    EXPECT_EQ(bytes_to_hex(Bytes(c.header.begin(), c.header.begin() + 4)), "00000020");
    EXPECT_EQ(c.header[4], 0x01);
    EXPECT_EQ(c.header[35], 0x00);
    EXPECT_EQ(bytes_to_hex(Bytes(c.header.begin() + 72, c.header.begin() + 76)), "ffff001d");
    EXPECT_EQ(bytes_to_hex(Bytes(c.header.begin() + 76, c.header.end())), "00000000");
    EXPECT_EQ(c.merkle_root, sha256d(c.coinbase));  // no witness: txid of the block's coinbase
    EXPECT_TRUE(std::equal(c.merkle_root.begin(), c.merkle_root.end(), c.header.begin() + 36));
    Bytes block = serialize_block(c, 0x12345678);
    EXPECT_EQ(bytes_to_hex(Bytes(block.begin() + 76, block.begin() + 81)), "7856341201");
    EXPECT_EQ(Bytes(block.begin() + 81, block.end()), c.coinbase);
    EXPECT_EQ(c.header[76], 0);  // the candidate itself is unchanged
}

TEST(Candidate, TransactionCountsAndWitnessTxid) {
    BlockTemplate t = simple();
    for (int i = 0; i < 252; ++i) {
        TemplateTransaction tx;
        tx.data = {uint8_t(i)};
        tx.txid = h(uint8_t(i));
        tx.hash = h(uint8_t(i + 1));  // witness data: the coinbase gets a commitment
        t.transactions.push_back(tx);
    }
    CandidateBlock c = build_candidate(t, one_payout(), 0, "", false);
    Bytes block = serialize_block(c, 0);
    EXPECT_EQ(bytes_to_hex(Bytes(block.begin() + 80, block.begin() + 83)), "fdfd00");
    EXPECT_NE(sha256d(c.coinbase), c.merkle_root);
    t.transactions.pop_back();
    Bytes smaller = serialize_block(build_candidate(t, one_payout(), 0, "", false), 0);
    EXPECT_EQ(smaller[80], 0xfc);
}

TEST(Candidate, ExtranonceChangesOnlyTheMerkleRoot) {
    BlockTemplate t = simple();
    CandidateBlock a = build_candidate(t, one_payout(), 1, "", false);
    CandidateBlock b = build_candidate(t, one_payout(), 2, "", false);
    EXPECT_NE(a.coinbase, b.coinbase);
    EXPECT_NE(a.merkle_root, b.merkle_root);
    EXPECT_TRUE(std::equal(a.header.begin(), a.header.begin() + 36, b.header.begin()));
    EXPECT_TRUE(std::equal(a.header.begin() + 68, a.header.end(), b.header.begin() + 68));
}

TEST(Candidate, TimeRules) {
    BlockTemplate t = simple();
    EXPECT_EQ(choose_header_time(t, true, 1005), 1005u);
    EXPECT_EQ(choose_header_time(t, true, 995), 1000u);
    t.mintime = 1010;
    EXPECT_EQ(choose_header_time(t, true, 1005), 1010u);
    t.mintime = 900;
    EXPECT_EQ(choose_header_time(t, false, 5000), 1000u);
    t.mutable_time = true;
    EXPECT_EQ(choose_header_time(t, false, 5000), 5000u);
    uint32_t now = unix_time_now();
    EXPECT_GT(now, 1700000000u);
    t.curtime = 1000;
    EXPECT_GE(build_candidate(t, one_payout(), 0, "", true).time, now);
}

TEST(Candidate, FailuresPassThrough) {
    BlockTemplate t = simple();
    EXPECT_EQ(error_of([&] { build_candidate(t, {parse_payout("51:5001")}, 0, "", false); }),
              "absolute payout sum exceeds coinbasevalue from template");
    EXPECT_THROW(build_candidate(t, {}, 0, "", false), std::runtime_error);
    EXPECT_THROW(build_candidate(t, one_payout(), 0, std::string(200, 'x'), false), std::runtime_error);
}

}  // namespace
}  // namespace vkn
