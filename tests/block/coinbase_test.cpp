#include <gtest/gtest.h>

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

std::string hash_hex(const Hash256& h) { return bytes_to_hex(h.data(), h.size()); }

std::string pushed_prefix(size_t n) {
    Bytes s;
    push_data(s, Bytes(n, 0xab));
    return bytes_to_hex(Bytes(s.begin(), s.end() - n));
}

std::string compact(uint64_t n) {
    Bytes b;
    write_compact_size(b, n);
    return bytes_to_hex(b);
}

TEST(Coinbase, Encodings) {
    const struct {
        std::string got, expected;
    } rows[] = {
        {bytes_to_hex(script_num(0)), ""},
        {bytes_to_hex(script_num(127)), "7f"},
        {bytes_to_hex(script_num(128)), "8000"},
        {bytes_to_hex(script_num(840000)), "40d10c"},
        {bytes_to_hex(script_num(8388608)), "00008000"},
        {bytes_to_hex(script_num(0xffffffffu)), "ffffffff00"},
        {pushed_prefix(0), "00"},
        {pushed_prefix(75), "4b"},
        {pushed_prefix(76), "4c4c"},
        {pushed_prefix(255), "4cff"},
        {pushed_prefix(256), "4d0001"},
        {pushed_prefix(65535), "4dffff"},
        {pushed_prefix(65536), "4e00000100"},
        {compact(252), "fc"},
        {compact(253), "fdfd00"},
        {compact(0xffff), "fdffff"},
        {compact(0x10000), "fe00000100"},
        {compact(0xffffffffull), "feffffffff"},
        {compact(0x100000000ull), "ff0000000001000000"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(rows[i].got, rows[i].expected) << "row " << i;
}

TEST(Coinbase, ScriptSigAsNodesCheckIt) {
    const std::string en0 = "080000000000000000";
    BlockTemplate aux = at_height(840000);
    aux.coinbaseaux = {Bytes{0x01, 0x02}};
    BlockTemplate big_aux = at_height(840000);
    big_aux.coinbaseaux = {Bytes(90, 0x00)};
    const std::string too_long = "coinbase scriptSig exceeds 100 bytes; use a shorter --coinbase-tag or fewer aux bytes";
    const struct {
        BlockTemplate t;
        uint64_t extranonce;
        std::string tag, expected;
    } rows[] = {
        {at_height(0), 0, "", "00" + en0},
        {at_height(1), 0, "", "51" + en0},  // OP_1, as CScript() << 1
        {at_height(16), 0, "", "60" + en0},
        {at_height(17), 0, "", "0111" + en0},
        {at_height(128), 0, "", "028000" + en0},
        {at_height(8388608), 0, "", "0400008000" + en0},
        {at_height(840000), 0x0102030405060708ull, "/t/", "0340d10c080807060504030201032f742f"},
        {aux, 0, "", "0340d10c0102" + en0},
        {at_height(840000), 0, std::string(75, 't'), "0340d10c" + en0 + "4b" + bytes_to_hex(Bytes(75, 't'))},
        {at_height(840000), 0, std::string(85, 't'), "0340d10c" + en0 + "4c55" + bytes_to_hex(Bytes(85, 't'))},  // 100 bytes
        {at_height(840000), 0, std::string(86, 't'), too_long},
        {big_aux, 0, "", too_long},
    };
    for (const auto& row : rows)
        EXPECT_EQ(text_of([&] { return bytes_to_hex(build_script_sig(row.t, row.extranonce, row.tag)); }), row.expected)
            << row.t.height << " " << row.tag.size();
}

TEST(Coinbase, CommitmentDecision) {
    TemplateTransaction legacy, segwit;
    segwit.hash[0] = 2;
    BlockTemplate none = at_height(5), with_legacy = at_height(5), with_segwit = at_height(5), rule = at_height(5),
                  dwc = at_height(5);
    with_legacy.transactions = {legacy};
    with_segwit.transactions = {legacy, segwit};
    rule.segwit_rule = true;
    dwc.default_witness_commitment = {0x6a};
    EXPECT_FALSE(needs_witness_commitment(none));
    EXPECT_FALSE(needs_witness_commitment(with_legacy));
    EXPECT_TRUE(needs_witness_commitment(with_segwit));
    EXPECT_TRUE(needs_witness_commitment(rule));
    EXPECT_TRUE(needs_witness_commitment(dwc));
    EXPECT_EQ(witness_commitment_script(dwc), Bytes{0x6a});  // copied, whatever it holds
}

TEST(Coinbase, Serialization) {
    BlockTemplate t = at_height(840000);
    t.segwit_rule = true;
    const std::vector<TxOut> outs{{5000000000ull, {0x51}}};
    const Bytes sig = build_script_sig(t, 0, "");
    const std::string in = "01" + std::string(64, '0') + "ffffffff" "0d" + bytes_to_hex(sig) + "ffffffff";
    const std::string pay = "00f2052a01000000" "0151";
    // With no transactions the witness root is the zero leaf itself.
    const std::string commit = "0000000000000000" "26" "6a24aa21a9ed" + hash_hex(sha256d(Bytes(64, 0)));
    EXPECT_EQ(bytes_to_hex(build_coinbase(t, outs, sig, false, false)), "02000000" + in + "01" + pay + "00000000");
    EXPECT_EQ(build_coinbase(t, outs, sig, false, true), build_coinbase(t, outs, sig, false, false));
    EXPECT_EQ(bytes_to_hex(build_coinbase(t, outs, sig, true, true)), "02000000" + in + "02" + pay + commit + "00000000");
    EXPECT_EQ(bytes_to_hex(build_coinbase(t, outs, sig, true, false)),
              "02000000" "0001" + in + "02" + pay + commit + "0120" + std::string(64, '0') + "00000000");
}

}  // namespace
}  // namespace vkn
