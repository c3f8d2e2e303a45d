#include <gtest/gtest.h>

#include "block/template.h"
#include "hash/sha3t.h"
#include "support/support.h"
#include "util/hex.h"

namespace vkn {
namespace {

using nlohmann::json;

json minimal() {
    return json{{"version", 536870912}, {"previousblockhash", std::string(62, '0') + "ff"}, {"coinbasevalue", 5000000000ull},
                {"height", 840000},     {"curtime", 1700000000},                          {"bits", "207fffff"}};
}

TEST(Template, ParsesTheRealReconstructedTemplate) {
    const json reply = json::parse(testdata("mainnet-702861.gbt.json"));
    BlockTemplate t = parse_block_template(reply, false);
    EXPECT_EQ(t.version, 0x3fffe004);
    EXPECT_EQ(t.height, 702861u);
    EXPECT_EQ(t.coinbase_value, 629948405u);
    EXPECT_EQ(t.mintime, 1632999041u);
    EXPECT_EQ(hash_to_display_hex(t.target), "0000000000000000000ed0eb" + std::string(40, '0'));  // from bits 170ed0eb
    EXPECT_EQ(hash_to_display_hex(t.prev_hash), reply["previousblockhash"]);
    EXPECT_FALSE(t.segwit_rule);  // "!segwit" is not "segwit"
    EXPECT_TRUE(t.mutable_time);
    EXPECT_EQ(bytes_to_hex(t.default_witness_commitment),
              "6a24aa21a9ed71bfcc287cd6271682f35f5fba3963861571e0f186899eb0a41a5ebc360a3faa");
    size_t segwit = 0;
    for (const auto& tx : t.transactions) segwit += tx.hash != tx.txid;
    EXPECT_EQ(t.transactions.size(), 2499u);
    EXPECT_EQ(segwit, 2064u);
}

TEST(Template, Targets) {
    // target in display order
    const struct { uint32_t bits; std::string target; } rows[] = {
        {0x1d00ffff, "00000000ffff" + std::string(52, '0')}, {0x207fffff, "7fffff" + std::string(58, '0')},
        {0x03800000, std::string(64, '0')},                   {0x01123456, std::string(62, '0') + "12"},
        {0x22000001, "01" + std::string(62, '0')},            // exponent 34: byte 31
        {0x23000001, std::string(64, '0')},                   // exponent 35: all shifted out
        {0x20ffffff, std::string(64, '0')},                   // sign bit set
    };
    for (const auto& row : rows) EXPECT_EQ(hash_to_display_hex(compact_to_target(row.bits)), row.target) << row.bits;
    json r = minimal();
    r["bits"] = "1d00ffff";
    r["target"] = "7fffff" + std::string(58, '0');  // wins even when it disagrees
    EXPECT_EQ(hash_to_display_hex(parse_block_template(r, false).target), r["target"]);
    r["target"] = 5;  // not a string: ignored
    EXPECT_EQ(parse_block_template(r, false).target, compact_to_target(0x1d00ffff));
}

TEST(Template, OptionalMembers) {
    BlockTemplate d = parse_block_template(minimal(), false);
    EXPECT_EQ(d.mintime, d.curtime);
    EXPECT_EQ(d.nonce_max - d.nonce_min, 0xFFFFFFFFu);
    EXPECT_TRUE(d.longpollid.empty() && d.workid.empty() && d.transactions.empty() && !d.segwit_rule);
    std::string display;
    for (int i = 1; i <= 32; ++i) display += bytes_to_hex(Bytes{uint8_t(i)});
    json r = minimal();
    r.update({{"rules", {"csv", "segwit", 7}}, {"mutable", {"time"}}, {"longpollid", "lp"}, {"workid", "w"},
              {"coinbaseaux", {{"b", "02"}, {"a", "01"}, {"c", 3}}}, {"default_witness_commitment", "6a"},
              {"noncerange", "0000001000000020"}, {"transactions", {{{"data", "00"}, {"txid", display}}}}});
    BlockTemplate t = parse_block_template(r, false);
    EXPECT_TRUE(t.segwit_rule && t.mutable_time && t.longpollid == "lp" && t.workid == "w");
    EXPECT_EQ(t.coinbaseaux, (std::vector<Bytes>{{0x01}, {0x02}}));  // key order, not document order
    EXPECT_EQ(t.default_witness_commitment, Bytes{0x6a});
    EXPECT_EQ(t.nonce_min, 0x10u);
    EXPECT_EQ(t.nonce_max, 0x20u);
    EXPECT_EQ(t.transactions[0].txid[0], 0x20);  // display order reversed
    EXPECT_EQ(t.transactions[0].hash, t.transactions[0].txid);
    EXPECT_EQ(parse_block_template(r, true).transactions[0].txid[0], 0x01);  // --gbt-txids-internal
    r["noncerange"] = "000000010ffffffff";  // 17 characters: the first 8 and the last 8
    EXPECT_EQ(parse_block_template(r, false).nonce_min, 1u);
    r["noncerange"] = "00000001fffffff";  // 15: the defaults
    r["transactions"] = "nope";
    EXPECT_EQ(parse_block_template(r, false).nonce_min, 0u);
}

TEST(Template, FailuresNameTheMemberOrRepeatTheText) {
    const std::string zero64(64, '0');
    // value null: the member is left out; error: a part of the message
    const struct { const char* key; json value; std::string error; } rows[] = {
        {"version", nullptr, "'version'"},
        {"height", "840000", "type must be number"},
        {"mintime", "x", "type must be number"},
        {"longpollid", 5, "type must be string"},
        {"transactions", {{{"txid", zero64}}}, "'data'"},
        {"transactions", {{{"data", "0g"}, {"txid", zero64}}}, "invalid hex string: 0g"},
        {"transactions", {{{"data", "00"}, {"txid", zero64.substr(2)}}}, "expected 32-byte hash hex, got 31 bytes"},
        {"previousblockhash", "abc", "hex string has odd length: abc"},
        {"target", "00", "expected 32-byte hash hex, got 1 bytes"},
        {"coinbaseaux", {{"flags", "x1"}}, "invalid hex string: x1"},
        {"bits", "207ffffg", "invalid hex for bits: 207ffffg"},
        {"noncerange", "0000000x00000010", "invalid hex for noncerange minimum: 0000000x"},
        {"noncerange", "000000000000001x", "invalid hex for noncerange maximum: 0000001x"},
        {"noncerange", "0000001000000000", "GBT noncerange minimum is greater than maximum"},
    };
    for (const auto& row : rows) {
        json r = minimal();
        row.value.is_null() ? void(r.erase(row.key)) : void(r[row.key] = row.value);
        EXPECT_NE(error_of([&] { parse_block_template(r, false); }).find(row.error), std::string::npos) << row.key;
    }
    json short_txid = minimal();
    short_txid["transactions"] = {{{"data", "00"}, {"txid", zero64.substr(2)}}};
    EXPECT_EQ(error_of([&] { parse_block_template(short_txid, true); }), "expected 32-byte tx hash");
}

}  // namespace
}  // namespace vkn
