#include <gtest/gtest.h>

#include <stdexcept>

#include "block/coinbase.h"
#include "hash/sha256.h"
#include "support/error_of.h"
#include "util/hex.h"

namespace vkn {
namespace {

BlockTemplate at_height(uint32_t h) {
    BlockTemplate t;
    t.height = h;
    return t;
}

std::string sig(const BlockTemplate& t, uint64_t extranonce, const std::string& tag) {
    return bytes_to_hex(build_script_sig(t, extranonce, tag));
}

TEST(Coinbase, ScriptNumAndPushes) {
    EXPECT_TRUE(script_num(0).empty());
    EXPECT_EQ(bytes_to_hex(script_num(1)), "01");
    EXPECT_EQ(bytes_to_hex(script_num(127)), "7f");
    EXPECT_EQ(bytes_to_hex(script_num(128)), "8000");
    EXPECT_EQ(bytes_to_hex(script_num(840000)), "40d10c");
    EXPECT_EQ(bytes_to_hex(script_num(8388608)), "00008000");
    EXPECT_EQ(bytes_to_hex(script_num(0xffffffffu)), "ffffffff00");
    auto pushed = [](size_t n) {
        Bytes s;
        push_data(s, Bytes(n, 0xab));
        return bytes_to_hex(Bytes(s.begin(), s.end() - n));
    };
    EXPECT_EQ(pushed(0), "00");
    EXPECT_EQ(pushed(75), "4b");
    EXPECT_EQ(pushed(76), "4c4c");
    EXPECT_EQ(pushed(255), "4cff");
    EXPECT_EQ(pushed(256), "4d0001");
    EXPECT_EQ(pushed(65535), "4dffff");
    EXPECT_EQ(pushed(65536), "4e00000100");
    auto cs = [](uint64_t n) {
        Bytes b;
        write_compact_size(b, n);
        return bytes_to_hex(b);
    };
    EXPECT_EQ(cs(252), "fc");
    EXPECT_EQ(cs(253), "fdfd00");
    EXPECT_EQ(cs(0xffff), "fdffff");
    EXPECT_EQ(cs(0x10000), "fe00000100");
    EXPECT_EQ(cs(0x100000000ull), "ff0000000001000000");
}

TEST(Coinbase, HeightPushesAsNodesCheckThem) {
    const std::string en0 = "080000000000000000";
    EXPECT_EQ(sig(at_height(0), 0, ""), "00" + en0);
    EXPECT_EQ(sig(at_height(1), 0, ""), "51" + en0);  // OP_1, as CScript() << 1
    EXPECT_EQ(sig(at_height(16), 0, ""), "60" + en0);
    EXPECT_EQ(sig(at_height(17), 0, ""), "0111" + en0);
    EXPECT_EQ(sig(at_height(128), 0, ""), "028000" + en0);
    EXPECT_EQ(sig(at_height(840000), 0, "/vkncuda/"), "0340d10c" + en0 + "09" + bytes_to_hex(Bytes{'/', 'v', 'k', 'n', 'c', 'u', 'd', 'a', '/'}));
    EXPECT_EQ(sig(at_height(8388608), 0, ""), "0400008000" + en0);
    EXPECT_EQ(sig(at_height(840000), 0x0102030405060708ull, ""), "0340d10c080807060504030201");
}

TEST(Coinbase, AuxBytesAndTagLimit) {
    BlockTemplate t = at_height(840000);
    t.coinbaseaux = {Bytes{0x01, 0x02}};
    EXPECT_EQ(sig(t, 0, ""), "0340d10c0102080000000000000000");
    BlockTemplate plain = at_height(840000);
    EXPECT_EQ(build_script_sig(plain, 0, std::string(85, 't')).size(), 100u);  // 4 + 9 + 2 + 85
    EXPECT_EQ(bytes_to_hex(build_script_sig(plain, 0, std::string(85, 't'))).substr(26, 4), "4c55");
    EXPECT_EQ(bytes_to_hex(build_script_sig(plain, 0, std::string(75, 't'))).substr(26, 2), "4b");
    EXPECT_EQ(error_of([&] { build_script_sig(plain, 0, std::string(86, 't')); }),
              "coinbase scriptSig exceeds 100 bytes; use a shorter --coinbase-tag or fewer aux bytes");
    t.coinbaseaux = {Bytes(90, 0x00)};
    EXPECT_THROW(build_script_sig(t, 0, ""), std::runtime_error);
}

TEST(Coinbase, CommitmentDecision) {
    BlockTemplate t = at_height(5);
    EXPECT_FALSE(needs_witness_commitment(t));
    TemplateTransaction legacy;
    legacy.txid[0] = 1;
    legacy.hash = legacy.txid;
    t.transactions = {legacy};
    EXPECT_FALSE(needs_witness_commitment(t));
    t.transactions[0].hash[0] = 2;
    EXPECT_TRUE(needs_witness_commitment(t));
    BlockTemplate rule = at_height(5);
    rule.segwit_rule = true;
    EXPECT_TRUE(needs_witness_commitment(rule));
    BlockTemplate dwc = at_height(5);
    dwc.default_witness_commitment = {0x6a};
    EXPECT_TRUE(needs_witness_commitment(dwc));
    EXPECT_EQ(witness_commitment_script(dwc), Bytes{0x6a});  // copied, whatever it holds
}

TEST(Coinbase, SerializationWithoutWitness) {
    BlockTemplate t = at_height(840000);
    std::vector<TxOut> outs{{5000000000ull, {0x51}}};
    Bytes script_sig = build_script_sig(t, 0, "");
    Bytes tx = build_coinbase(t, outs, script_sig, false, false);
    EXPECT_EQ(tx, build_coinbase(t, outs, script_sig, false, true));
    EXPECT_EQ(bytes_to_hex(tx),
              "02000000" "01" + std::string(64, '0') + "ffffffff" "0d" + bytes_to_hex(script_sig) +
                  "ffffffff" "01" "00f2052a01000000" "0151" "00000000");
}

TEST(Coinbase, SegwitRuleNoTransactions) {
    BlockTemplate t = at_height(840000);
    t.segwit_rule = true;
    std::vector<TxOut> outs{{50, {0x51}}};
    Bytes script_sig = build_script_sig(t, 0, "");
    // With no transactions the witness root is the zero leaf itself.
    Bytes zeros(64, 0);
    Hash256 commitment = sha256d(zeros);
    std::string commit_out = "0000000000000000" "26" "6a24aa21a9ed" + bytes_to_hex(commitment.data(), 32);
    std::string in = "01" + std::string(64, '0') + "ffffffff" "0d" + bytes_to_hex(script_sig) + "ffffffff";
    std::string outs_hex = "02" "3200000000000000" "0151" + commit_out;
    EXPECT_EQ(bytes_to_hex(build_coinbase(t, outs, script_sig, true, true)), "02000000" + in + outs_hex + "00000000");
    EXPECT_EQ(bytes_to_hex(build_coinbase(t, outs, script_sig, true, false)),
              "02000000" "0001" + in + outs_hex + "0120" + std::string(64, '0') + "00000000");
}

}  // namespace
}  // namespace vkn
