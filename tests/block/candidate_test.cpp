#include <gtest/gtest.h>

#include "block/candidate.h"
#include "block/coinbase.h"
#include "hash/sha256.h"
#include "support/support.h"
#include "util/hex.h"

namespace vkn {
namespace {

// Real blocks and the templates reconstructed from them: the merkle root in
// the header, the witness commitment in the coinbase, the block's bytes.
TEST(RealBlocks, MerkleRootCommitmentAndSerialization) {
    const struct { std::string name, coinbase_txid, commitment; } rows[] = {
        {"mainnet-702861", "764b60c3d9a2c3c5bb6fe7141d9ca6e6778122df75f19366a2c5cb948d1d7d84",
         "6a24aa21a9ed71bfcc287cd6271682f35f5fba3963861571e0f186899eb0a41a5ebc360a3faa"},
        {"testnet-924634", "4be105f158ea44aec57bf12c5817d073a712ab131df6f37786872cfc70734188",
         "6a24aa21a9edf91c46b49eb8a29089980f02ee6b57e7d63d33b18b4fddac2bcd7db2a3983704"},
    };
    for (const auto& row : rows) {
        const std::string text = testdata(row.name + ".raw");
        const Bytes raw(text.begin(), text.end());
        BlockTemplate t = parse_block_template(nlohmann::json::parse(testdata(row.name + ".gbt.json")), false);
        std::vector<Hash256> leaves{hash_from_hex(row.coinbase_txid)};
        CandidateBlock c;
        for (const auto& tx : t.transactions) {
            leaves.push_back(tx.txid);
            c.transactions.push_back(tx.data);
        }
        EXPECT_TRUE(std::equal(raw.begin() + 36, raw.begin() + 68, merkle_root(leaves).begin())) << row.name;
        EXPECT_TRUE(needs_witness_commitment(t));
        t.default_witness_commitment.clear();  // computed from the wtxids instead of copied
        t.segwit_rule = true;
        EXPECT_EQ(bytes_to_hex(witness_commitment_script(t)), row.commitment) << row.name;
        size_t rest = 0;
        for (const Bytes& tx : c.transactions) rest += tx.size();
        const size_t count_size = c.transactions.size() + 1 < 253 ? 1 : 3;
        c.coinbase.assign(raw.begin() + 80 + count_size, raw.end() - rest);
        std::copy(raw.begin(), raw.begin() + 76, c.header.begin());
        EXPECT_EQ(serialize_block(c, raw[76] | raw[77] << 8 | raw[78] << 16 | uint32_t(raw[79]) << 24), raw) << row.name;
    }
}

BlockTemplate simple() {
    BlockTemplate t;
    t.coinbase_value = 5000;
    t.height = 100;
    t.curtime = 1000;
    t.mintime = 900;
    return t;
}

// The header and block layout is checked whole by the simulated node end to
// end; the time rule's cases are here.
TEST(Candidate, HeaderTime) {
    const struct {
        uint32_t mintime;
        bool mutable_time, use_clock;
        uint32_t now, expected;
    } rows[] = {{900, false, true, 1005, 1005}, {900, false, true, 995, 1000}, {1010, false, true, 1005, 1010},
                {900, false, false, 5000, 1000}, {900, true, false, 5000, 5000}};
    for (const auto& row : rows) {
        BlockTemplate t = simple();
        t.mintime = row.mintime;
        t.mutable_time = row.mutable_time;
        EXPECT_EQ(choose_header_time(t, row.use_clock, row.now), row.expected) << row.now;
    }
    const uint32_t now = unix_time_now();
    EXPECT_GT(now, 1700000000u);
    EXPECT_GE(build_candidate(simple(), {PayoutSpec{.script = {0x51}}}, 0, "", true).time, now);
}

}  // namespace
}  // namespace vkn
