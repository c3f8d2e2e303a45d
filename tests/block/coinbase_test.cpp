// Blocks the miner builds are validated whole by the simulated node end to
// end; these rows cover the encodings, limits and choices those runs cannot
// tell apart.
#include <gtest/gtest.h>

#include "block/coinbase.h"
#include "support/support.h"
#include "util/hex.h"

namespace vkn {
namespace {

BlockTemplate at_height(uint32_t h, Bytes aux = {}) {
    BlockTemplate t;
    t.height = h;
    if (!aux.empty()) t.coinbaseaux = {aux};
    return t;
}

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
    const std::string rows[][2] = {
        {bytes_to_hex(script_num(0)), ""},        {bytes_to_hex(script_num(127)), "7f"},
        {bytes_to_hex(script_num(128)), "8000"},  {bytes_to_hex(script_num(8388608)), "00008000"},
        {bytes_to_hex(script_num(0xffffffffu)), "ffffffff00"},
        {pushed_prefix(0), "00"},                 {pushed_prefix(75), "4b"},
        {pushed_prefix(76), "4c4c"},              {pushed_prefix(255), "4cff"},
        {pushed_prefix(256), "4d0001"},           {pushed_prefix(65535), "4dffff"},
        {pushed_prefix(65536), "4e00000100"},     {compact(252), "fc"},
        {compact(253), "fdfd00"},                 {compact(0xffff), "fdffff"},
        {compact(0x10000), "fe00000100"},         {compact(0xffffffffull), "feffffffff"},
        {compact(0x100000000ull), "ff0000000001000000"},
    };
    for (const auto& row : rows) EXPECT_EQ(row[0], row[1]);
}

TEST(Coinbase, ScriptSigAsNodesCheckIt) {
    const std::string en0 = "080000000000000000", tag75(75, 't'), tag85(85, 't');
    const std::string too_long = "coinbase scriptSig exceeds 100 bytes; use a shorter --coinbase-tag or fewer aux bytes";
    const struct { BlockTemplate t; uint64_t extranonce; std::string tag, expected; } rows[] = {
        {at_height(0), 0, "", "00" + en0},
        {at_height(1), 0, "", "51" + en0},  // OP_1, as CScript() << 1
        {at_height(16), 0, "", "60" + en0},
        {at_height(17), 0, "", "0111" + en0},
        {at_height(128), 0, "", "028000" + en0},
        {at_height(8388608), 0, "", "0400008000" + en0},
        {at_height(840000), 0x0102030405060708ull, "/t/", "0340d10c080807060504030201032f742f"},
        {at_height(840000, {0x01, 0x02}), 0, "", "0340d10c0102" + en0},
        {at_height(840000), 0, tag75, "0340d10c" + en0 + "4b" + bytes_to_hex(Bytes(tag75.begin(), tag75.end()))},
        {at_height(840000), 0, tag85, "0340d10c" + en0 + "4c55" + bytes_to_hex(Bytes(tag85.begin(), tag85.end()))},
        {at_height(840000), 0, tag85 + "t", too_long},
        {at_height(840000, Bytes(90, 0)), 0, "", too_long},
    };
    for (const auto& row : rows)
        EXPECT_EQ(text_of([&] { return bytes_to_hex(build_script_sig(row.t, row.extranonce, row.tag)); }), row.expected);
}

TEST(Coinbase, CommitmentDecision) {
    TemplateTransaction legacy, segwit;
    segwit.hash[0] = 2;
    BlockTemplate t = at_height(5);
    EXPECT_FALSE(needs_witness_commitment(t));
    t.transactions = {legacy};
    EXPECT_FALSE(needs_witness_commitment(t));
    t.transactions = {legacy, segwit};
    EXPECT_TRUE(needs_witness_commitment(t));
    BlockTemplate rule = at_height(5), dwc = at_height(5);
    rule.segwit_rule = true;
    dwc.default_witness_commitment = {0x6a};
    EXPECT_TRUE(needs_witness_commitment(rule) && needs_witness_commitment(dwc));
    EXPECT_EQ(witness_commitment_script(dwc), Bytes{0x6a});  // copied, whatever it holds
}

}  // namespace
}  // namespace vkn
