#include <gtest/gtest.h>

#include <stdexcept>

#include "block/template.h"
#include "support/error_of.h"
#include "support/testdata.h"
#include "util/hex.h"

namespace vkn {
namespace {

using nlohmann::json;

json minimal() {
    return json{{"version", 536870912},
                {"previousblockhash", "00000000000000000000000000000000000000000000000000000000000000ff"},
                {"coinbasevalue", 5000000000ull},
                {"height", 840000},
                {"curtime", 1700000000},
                {"bits", "207fffff"}};
}

std::string parse_error(const json& reply, bool internal = false) {
    return error_of([&] { parse_block_template(reply, internal); });
}

TEST(Template, ParsesTheRealReconstructedTemplate) {
    BlockTemplate t = parse_block_template(testdata_json("mainnet-702861.gbt.json"), false);
    EXPECT_EQ(t.version, 0x3fffe004);
    EXPECT_EQ(t.height, 702861u);
    EXPECT_EQ(t.bits, 0x170ed0ebu);
    EXPECT_EQ(t.coinbase_value, 629948405u);
    EXPECT_EQ(t.transactions.size(), 2499u);
    EXPECT_EQ(t.target, compact_to_target(t.bits));
    EXPECT_FALSE(t.segwit_rule);  // "!segwit" is not "segwit"
    EXPECT_TRUE(t.mutable_time);
    EXPECT_EQ(t.mintime, 1632999041u);
    EXPECT_EQ(t.nonce_min, 0u);
    EXPECT_EQ(t.nonce_max, 0xFFFFFFFFu);
    EXPECT_EQ(bytes_to_hex(t.default_witness_commitment),
              "6a24aa21a9ed71bfcc287cd6271682f35f5fba3963861571e0f186899eb0a41a5ebc360a3faa");
    // prev hash is stored reversed: display ...3b5f ends at internal byte 0.
    EXPECT_EQ(t.prev_hash[0], 0x5f);
    EXPECT_EQ(t.prev_hash[31], 0x00);
    size_t segwit = 0;
    for (const auto& tx : t.transactions) segwit += tx.hash != tx.txid;
    EXPECT_GT(segwit, 2000u);
}

TEST(Template, DefaultsAndTargets) {
    BlockTemplate t = parse_block_template(minimal(), false);
    EXPECT_EQ(t.mintime, t.curtime);
    EXPECT_EQ(t.nonce_min, 0u);
    EXPECT_EQ(t.nonce_max, 0xFFFFFFFFu);
    EXPECT_TRUE(t.longpollid.empty() && t.workid.empty() && t.transactions.empty());
    EXPECT_EQ(t.prev_hash[0], 0xff);
    Hash256 expect{};
    expect[29] = 0xff;
    expect[30] = 0xff;
    expect[31] = 0x7f;
    EXPECT_EQ(t.target, expect);
    json with_target = minimal();
    with_target["target"] = "7fffff" + std::string(58, '0');
    EXPECT_EQ(parse_block_template(with_target, false).target, expect);
    with_target["bits"] = "1d00ffff";  // "target" wins even when it disagrees
    EXPECT_EQ(parse_block_template(with_target, false).target, expect);
    json numeric = minimal();
    numeric["target"] = 5;  // not a string: ignored
    EXPECT_EQ(parse_block_template(numeric, false).target, expect);
}

TEST(Template, CompactTargets) {
    Hash256 t = compact_to_target(0x1d00ffff);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(t[i], (i == 26 || i == 27) ? 0xff : 0) << i;
    EXPECT_EQ(compact_to_target(0x03800000), Hash256{});
    Hash256 small = compact_to_target(0x01123456);
    EXPECT_EQ(small[0], 0x12);
    for (int i = 1; i < 32; ++i) EXPECT_EQ(small[i], 0);
    EXPECT_EQ(compact_to_target(0x23000001), Hash256{});  // exponent 35: all shifted out
    Hash256 top = compact_to_target(0x22000001);           // exponent 34: byte 31
    EXPECT_EQ(top[31], 0x01);
    EXPECT_EQ(compact_to_target(0x20ffffff), Hash256{});  // sign bit set
}

TEST(Template, OptionalMembers) {
    json r = minimal();
    r["rules"] = json::array({"csv", "!segwit", 7});
    r["mutable"] = json::array({"time"});
    r["longpollid"] = "lp";
    r["workid"] = "w";
    r["coinbaseaux"] = json{{"b", "02"}, {"a", "01"}, {"c", 3}};
    r["default_witness_commitment"] = "6a";
    r["noncerange"] = "0000001000000020";
    BlockTemplate t = parse_block_template(r, false);
    EXPECT_FALSE(t.segwit_rule);
    EXPECT_TRUE(t.mutable_time);
    EXPECT_EQ(t.longpollid, "lp");
    EXPECT_EQ(t.workid, "w");
    ASSERT_EQ(t.coinbaseaux.size(), 2u);
    EXPECT_EQ(t.coinbaseaux[0], Bytes{0x01});  // key order, not document order
    EXPECT_EQ(t.coinbaseaux[1], Bytes{0x02});
    EXPECT_EQ(t.default_witness_commitment, Bytes{0x6a});
    EXPECT_EQ(t.nonce_min, 0x10u);
    EXPECT_EQ(t.nonce_max, 0x20u);
    r["rules"] = json::array({"segwit"});
    r["noncerange"] = "000000000ffffffff";  // 17 chars: first 8 and last 8
    t = parse_block_template(r, false);
    EXPECT_TRUE(t.segwit_rule);
    EXPECT_EQ(t.nonce_max, 0xffffffffu);
    r["noncerange"] = "00000000fffffff";  // 15 chars: defaults
    EXPECT_EQ(parse_block_template(r, false).nonce_max, 0xffffffffu);
    EXPECT_TRUE(array_contains_string(json::array({"a", "segwit"}), "segwit"));
    EXPECT_FALSE(array_contains_string(json("segwit"), "segwit"));
}

TEST(Template, TransactionHashOrder) {
    std::string display;
    for (int i = 1; i <= 32; ++i) display += bytes_to_hex(Bytes{uint8_t(i)});
    json r = minimal();
    r["transactions"] = json::array({json{{"data", "00"}, {"txid", display}}});
    BlockTemplate t = parse_block_template(r, false);
    EXPECT_EQ(t.transactions[0].txid[0], 0x20);
    EXPECT_EQ(t.transactions[0].hash, t.transactions[0].txid);
    t = parse_block_template(r, true);
    EXPECT_EQ(t.transactions[0].txid[0], 0x01);
    r["transactions"][0]["txid"] = display.substr(2);
    EXPECT_EQ(parse_error(r), "expected 32-byte hash hex, got 31 bytes");
    EXPECT_EQ(parse_error(r, true), "expected 32-byte tx hash");
    r["transactions"] = "nope";
    EXPECT_TRUE(parse_block_template(r, false).transactions.empty());
}

TEST(Template, EveryFailureRow) {
    EXPECT_EQ(parse_error(json(nullptr)), "[json.exception.type_error.304] cannot use at() with null");
    for (const char* key : {"version", "previousblockhash", "coinbasevalue", "height", "curtime", "bits"}) {
        json r = minimal();
        r.erase(key);
        EXPECT_EQ(parse_error(r), std::string("[json.exception.out_of_range.403] key '") + key + "' not found");
    }
    json r = minimal();
    r["height"] = "840000";
    EXPECT_EQ(parse_error(r), "[json.exception.type_error.302] type must be number, but is string");
    r = minimal();
    r["version"] = true;
    EXPECT_EQ(parse_error(r), "[json.exception.type_error.302] type must be number, but is boolean");
    r = minimal();
    r["previousblockhash"] = 1;
    EXPECT_EQ(parse_error(r), "[json.exception.type_error.302] type must be string, but is number");
    r = minimal();
    r["mintime"] = "x";
    EXPECT_EQ(parse_error(r), "[json.exception.type_error.302] type must be number, but is string");
    r = minimal();
    r["longpollid"] = 5;
    EXPECT_EQ(parse_error(r), "[json.exception.type_error.302] type must be string, but is number");
    r = minimal();
    r["workid"] = json::array();
    EXPECT_EQ(parse_error(r), "[json.exception.type_error.302] type must be string, but is array");
    r = minimal();
    r["transactions"] = json::array({7});
    EXPECT_EQ(parse_error(r), "[json.exception.type_error.304] cannot use at() with number");
    r["transactions"] = json::array({json{{"txid", std::string(64, '0')}}});
    EXPECT_EQ(parse_error(r), "[json.exception.out_of_range.403] key 'data' not found");
    r["transactions"] = json::array({json{{"data", "00"}}});
    EXPECT_EQ(parse_error(r), "[json.exception.out_of_range.403] key 'txid' not found");
    r["transactions"] = json::array({json{{"data", "0g"}, {"txid", std::string(64, '0')}}});
    EXPECT_EQ(parse_error(r), "invalid hex string: 0g");
    r["transactions"] = json::array({json{{"data", "00"}, {"txid", std::string(64, '0')}, {"hash", "zz"}}});
    EXPECT_EQ(parse_error(r), "invalid hex string: zz");
    r = minimal();
    r["previousblockhash"] = "abc";
    EXPECT_EQ(parse_error(r), "hex string has odd length: abc");
    r = minimal();
    r["target"] = "00";
    EXPECT_EQ(parse_error(r), "expected 32-byte hash hex, got 1 bytes");
    r = minimal();
    r["coinbaseaux"] = json{{"flags", "x1"}};
    EXPECT_EQ(parse_error(r), "invalid hex string: x1");
    r = minimal();
    r["default_witness_commitment"] = "6";
    EXPECT_EQ(parse_error(r), "hex string has odd length: 6");
    r = minimal();
    r["bits"] = "207ffff";
    EXPECT_EQ(parse_error(r), "expected 8 hex chars for bits, got: 207ffff");
    r["bits"] = "207ffffg";
    EXPECT_EQ(parse_error(r), "invalid hex for bits: 207ffffg");
    r = minimal();
    r["noncerange"] = "0000000x00000010";
    EXPECT_EQ(parse_error(r), "invalid hex for noncerange minimum: 0000000x");
    r["noncerange"] = "000000000000001x";
    EXPECT_EQ(parse_error(r), "invalid hex for noncerange maximum: 0000001x");
    r["noncerange"] = "0000001000000000";
    EXPECT_EQ(parse_error(r), "GBT noncerange minimum is greater than maximum");
}

}  // namespace
}  // namespace vkn
