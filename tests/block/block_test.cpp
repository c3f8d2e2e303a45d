#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>

#include "block/candidate.h"
#include "block/coinbase.h"
#include "block/payout.h"
#include "block/script_type.h"
#include "block/stratum_job.h"
#include "hash/sha256.h"
#include "block/template.h"
#include "hash/sha256.h"
#include "hash/sha3t.h"
#include "support/support.h"
#include "util/hex.h"

namespace vkn {
namespace {

using nlohmann::json;

TEST(Template, ParsesTheRealReconstructedTemplate) {
    const json reply = json::parse(testdata("mainnet-702861.gbt.json"));
    BlockTemplate t = parse_block_template(reply, false);
    EXPECT_EQ(std::tuple(t.version, t.height, t.coinbase_value, t.mintime),
              std::tuple(0x3fffe004, 702861u, 629948405ull, 1632999041u));
    EXPECT_EQ(hash_to_display_hex(t.target), "0000000000000000000ed0eb" + std::string(40, '0'));  // from bits 170ed0eb
    EXPECT_EQ(hash_to_display_hex(t.prev_hash), reply["previousblockhash"]);
    EXPECT_TRUE(!t.segwit_rule && t.mutable_time);  // "!segwit" is not "segwit"
    EXPECT_EQ(bytes_to_hex(t.default_witness_commitment),
              "6a24aa21a9ed71bfcc287cd6271682f35f5fba3963861571e0f186899eb0a41a5ebc360a3faa");
    EXPECT_EQ(t.transactions.size(), 2499u);
    EXPECT_EQ(std::count_if(t.transactions.begin(), t.transactions.end(), [](auto& x) { return x.hash != x.txid; }),
              2064);
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
    json r = minimal_template();
    r["bits"] = "1d00ffff";
    r["target"] = "7fffff" + std::string(58, '0');  // wins even when it disagrees
    EXPECT_EQ(hash_to_display_hex(parse_block_template(r, false).target), r["target"]);
    r["target"] = 5;  // not a string: ignored
    EXPECT_EQ(parse_block_template(r, false).target, compact_to_target(0x1d00ffff));
}

TEST(Template, OptionalMembers) {
    BlockTemplate d = parse_block_template(minimal_template(), false);
    EXPECT_EQ(d.mintime, d.curtime);
    EXPECT_EQ(d.nonce_max - d.nonce_min, 0xFFFFFFFFu);
    EXPECT_TRUE(d.longpollid.empty() && d.workid.empty() && d.transactions.empty() && !d.segwit_rule);
    std::string display;
    for (int i = 1; i <= 32; ++i) display += bytes_to_hex(Bytes{uint8_t(i)});
    json r = minimal_template();
    r.update({{"rules", {"csv", "segwit", 7}}, {"mutable", {"time"}}, {"longpollid", "lp"}, {"workid", "w"},
              {"coinbaseaux", {{"b", "02"}, {"a", "01"}, {"c", 3}}}, {"default_witness_commitment", "6a"},
              {"noncerange", "0000001000000020"}, {"transactions", {{{"data", "00"}, {"txid", display}}}}});
    BlockTemplate t = parse_block_template(r, false);
    EXPECT_TRUE(t.segwit_rule && t.mutable_time && t.longpollid == "lp" && t.workid == "w");
    EXPECT_EQ(t.coinbaseaux, (std::vector<Bytes>{{0x01}, {0x02}}));  // key order, not document order
    EXPECT_EQ(t.default_witness_commitment, Bytes{0x6a});
    EXPECT_EQ(std::pair(t.nonce_min, t.nonce_max), std::pair(0x10u, 0x20u));
    EXPECT_EQ(t.transactions[0].txid[0], 0x20);  // display order reversed
    EXPECT_EQ(t.transactions[0].hash, t.transactions[0].txid);
    EXPECT_EQ(parse_block_template(r, true).transactions[0].txid[0], 0x01);  // --gbt-txids-internal
    r["noncerange"] = "000000010ffffffff";  // 17 characters: the first 8 and the last 8
    EXPECT_EQ(parse_block_template(r, false).nonce_min, 1u);
    r["transactions"] = "nope";  // not an array: no transactions
    EXPECT_TRUE(parse_block_template(r, false).transactions.empty());
    // Each number at its type's limits is taken as it is.
    r.update({{"height", 4294967295u}, {"curtime", 4294967295u}, {"coinbasevalue", UINT64_MAX}, {"version", INT32_MIN}});
    t = parse_block_template(r, false);
    EXPECT_EQ(std::tuple(t.height, t.curtime, t.coinbase_value, t.version),
              std::tuple(4294967295u, 4294967295u, UINT64_MAX, INT32_MIN));
    r["version"] = INT32_MAX;
    EXPECT_EQ(parse_block_template(r, false).version, INT32_MAX);
}

TEST(Template, FailuresNameTheMemberOrRepeatTheText) {
    const std::string zero64(64, '0');
    // value null: the member is left out; error: a part of the message
    const struct { const char* key; json value; std::string error; } rows[] = {
        {"version", nullptr, "'version'"},
        {"height", "840000", "type must be number"},
        {"height", 4294967296ull, "template field height out of range: 4294967296"},
        {"coinbasevalue", -1, "template field coinbasevalue out of range: -1"},
        {"version", 1e29, "template field version out of range: 1e+29"},
        {"curtime", 1.5, "template field curtime out of range: 1.5"},
        {"longpollid", 5, "type must be string"},
        {"transactions", {{{"txid", zero64}}}, "'data'"},
        {"transactions", {{{"data", "0g"}, {"txid", zero64}}}, "invalid hex string: 0g"},
        {"transactions", {{{"data", "00"}, {"txid", zero64.substr(2)}}}, "expected 32-byte hash hex, got 31 bytes"},
        {"previousblockhash", "abc", "hex string has odd length: abc"},
        {"bits", "207ffffg", "invalid hex for bits: 207ffffg"},
        {"noncerange", "0000000x00000010", "invalid hex for noncerange minimum: 0000000x"},
        {"noncerange", "000000000000001x", "invalid hex for noncerange maximum: 0000001x"},
        {"noncerange", "0000001000000000", "GBT noncerange minimum is greater than maximum"},
    };
    for (const auto& row : rows) {
        json r = minimal_template();
        row.value.is_null() ? void(r.erase(row.key)) : void(r[row.key] = row.value);
        EXPECT_NE(error_of([&] { parse_block_template(r, false); }).find(row.error), std::string::npos) << row.key;
    }
    json short_txid = minimal_template();
    short_txid["transactions"] = {{{"data", "00"}, {"txid", zero64.substr(2)}}};
    EXPECT_EQ(error_of([&] { parse_block_template(short_txid, true); }), "expected 32-byte tx hash");
}

// "SCRIPT w=WEIGHT" or "SCRIPT sats=N" ("ADDRESS ..." for "addr TEXT"; the
// script's type for "type SCRIPT"), or the error.
std::string parsed(const std::string& text) {
    return text_of([&] {
        if (text.starts_with("type ")) return script_type_name(hex_to_bytes(text.substr(5)));
        const bool address = text.starts_with("addr ");
        PayoutSpec p = address ? parse_payout_address(text.substr(5)) : parse_payout(text);
        return (address ? p.address : bytes_to_hex(p.script)) +
               (p.absolute ? " sats=" + std::to_string(p.sats) : " w=" + std::to_string(p.weight));
    });
}

// The output values of a split, one space after each, or the error.
std::string split(uint64_t value, std::vector<std::string> specs) {
    return text_of([&] {
        std::vector<PayoutSpec> p;
        for (const std::string& s : specs) p.push_back(parse_payout(s));
        std::string out;
        for (const TxOut& o : split_coinbase_value(value, p)) out.append(std::to_string(o.value)).append(" ");
        return out;
    });
}

TEST(Payout, ParseRows) {
    const std::string big(20002, 'a');
    const std::string rows[][2] = {
        {" 0x51ab ", "51ab w=1.000000"},
        {"51@2.5", "51 w=2.500000"},
        {"51:0", "51 sats=0"},
        {"abcd@0", "payout weight must be positive: abcd@0"},
        {"abcd@nan", "payout weight must be positive: abcd@nan"},
        {"abcd@x", "invalid number for payout weight: x"},
        {"abcd:5y", "invalid trailing characters in payout satoshis: 5y"},
        {"ab:cd@2", "hex string has odd length: ab:cd"},
        {"ab:c@2", "invalid hex string: ab:c"},
        {"@2", "empty scriptPubKey in payout: @2"},
        {"0x:5", "empty scriptPubKey in payout: 0x:5"},
        {big, "unreasonably large scriptPubKey in payout: " + big},
        {"addr vknrt1qxy@3", "vknrt1qxy w=3.000000"},
        {"addr 1BoatSLRHtKNngkdXEeobR76b53LETtpyT:5", "1BoatSLRHtKNngkdXEeobR76b53LETtpyT sats=5"},
        {"addr bc1q x", "payout address must be letters and digits: bc1q x"},
        {"addr @2", "payout address must be letters and digits: @2"},
        // Output scripts from the chain, by type; the last ones pay coins anyone may take, or nobody.
        {"type 76a91462e907b15cbf27d5425399ebf6f0fb50ebb88f1888ac", "P2PKH"},
        {"type a914748284390f9e263a4b766a75d0633c50426eb87587", "P2SH"},
        {"type 0014751e76e8199196d454941c45d1b3a323f1433bd6", "P2WPKH"},
        {"type 00201863143c14c5166804bd19203356da136c985678cd4d27a1b8c6329604903262", "P2WSH"},
        {"type 512079be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798", "P2TR"},
        {"type 5210751e76e8199196d454941c45d1b3a323", "witness v2"},
        {"type 0015751e76e8199196d454941c45d1b3a323f1433bd600", "non-standard"},  // v0 takes 20 or 32 bytes
        {"type 512102" + std::string(64, '1') + "2103" + std::string(64, '2') + "52ae", "bare multisig"},
        {"type 6a04deadbeef", "OP_RETURN"},
        {"type 51", "anyone-can-spend"},
        {"type 0101", "anyone-can-spend"},
        {"type ac", "non-standard"},
        {"type 4c05ab", "non-standard"},  // a push past the end
    };
    for (const auto& row : rows) EXPECT_EQ(parsed(row[0]), row[1]) << row[0].substr(0, 20);
    EXPECT_EQ(parse_payout(std::string(20000, 'a')).script.size(), 10000u);  // the largest allowed
}

TEST(Payout, SplitRows) {
    const struct { uint64_t value; std::vector<std::string> specs; std::string expected; } rows[] = {
        {5000000000, {"51@3", "52@1"}, "3750000000 1250000000 "},
        {10, {"51", "52", "53"}, "3 3 4 "},
        {100, {"51:30", "52@1", "53@2"}, "30 23 47 "},
        {100, {"52@1", "51:30", "53@2"}, "23 30 47 "},
        {100, {"51:30", "52:20"}, "80 20 "},  // the remainder goes to the first output
        {100, {"51:60", "52@1", "53:40"}, "60 0 40 "},
        // A plain double would lose the low bits of this remainder.
        {18446744073709551615ull, {"51@1", "52@1"}, "9223372036854775807 9223372036854775808 "},
        {1, {}, "at least one --payout raw scriptPubKey is required"},
        {UINT64_MAX, {"51:9223372036854775808", "52:9223372036854775808"}, "absolute payout sum overflow"},
        {9223372036854775807ull, {"51:9223372036854775808"}, "absolute payout sum exceeds coinbasevalue from template"},
    };
    for (const auto& row : rows) EXPECT_EQ(split(row.value, row.specs), row.expected) << row.value;
    EXPECT_EQ(split_coinbase_value(8, {parse_payout("51@3"), parse_payout("52@1")})[1].script, Bytes{0x52});
}

TEST(Payout, RandomSplitsSumExactlyAndNeverOverpay) {
    std::mt19937_64 rng(20261206);
    const double weights[] = {1e-9, 0.5, 1, 3, 1e6, 1e300, INFINITY, 7};
    for (int round = 0; round < 20000; ++round) {
        uint64_t value = rng() >> (rng() % 64), left = value, sum = 0;
        std::vector<PayoutSpec> p(1 + rng() % 6);
        for (PayoutSpec& s : p) {
            s.script = Bytes{0x51};
            s.absolute = rng() % 3 == 0;
            s.sats = s.absolute && left ? rng() % (left / 2 + 1) : 0;
            s.weight = s.absolute ? 0 : weights[rng() % 8];
            left -= s.sats;
        }
        std::vector<TxOut> outs = split_coinbase_value(value, p);
        for (size_t i = 0; i < p.size(); ++i) {
            sum += outs[i].value;
            ASSERT_TRUE(p[i].absolute || outs[i].value <= left) << "round " << round;
        }
        ASSERT_EQ(sum, value) << "round " << round;
    }
}

// The simulated node validates whole blocks end to end; these rows cover
// the encodings, limits and choices those runs cannot tell apart.
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
    const std::string too_long =
        "coinbase scriptSig exceeds 100 bytes; use a shorter --coinbase-tag or fewer aux bytes";
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
        EXPECT_EQ(text_of([&] { return bytes_to_hex(build_script_sig(row.t, row.extranonce, row.tag)); }),
                  row.expected);
}

TEST(Coinbase, CommitmentDecision) {
    TemplateTransaction legacy, segwit;
    segwit.hash[0] = 2;
    BlockTemplate t = at_height(5), rule = at_height(5), dwc = at_height(5);
    rule.segwit_rule = true;
    dwc.default_witness_commitment = {0x6a};
    EXPECT_FALSE(needs_witness_commitment(t));
    t.transactions = {legacy};
    EXPECT_FALSE(needs_witness_commitment(t));
    t.transactions = {legacy, segwit};
    EXPECT_TRUE(needs_witness_commitment(t) && needs_witness_commitment(rule) && needs_witness_commitment(dwc));
    EXPECT_EQ(witness_commitment_script(dwc), Bytes{0x6a});  // copied, whatever it holds
}

// Real blocks and the templates reconstructed from them: the merkle root in
// the header, the witness commitment in the coinbase, the block's bytes.
TEST(RealBlocks, MerkleRootCommitmentAndSerialization) {
    // ours: a coinbase laid out as the miner's own (version 2, one payout, the commitment last, lock time 0)
    const struct { std::string name, coinbase_txid, commitment; bool ours; } rows[] = {
        {"mainnet-702861", "764b60c3d9a2c3c5bb6fe7141d9ca6e6778122df75f19366a2c5cb948d1d7d84",
         "6a24aa21a9ed71bfcc287cd6271682f35f5fba3963861571e0f186899eb0a41a5ebc360a3faa", true},
        {"testnet-924634", "4be105f158ea44aec57bf12c5817d073a712ab131df6f37786872cfc70734188",
         "6a24aa21a9edf91c46b49eb8a29089980f02ee6b57e7d63d33b18b4fddac2bcd7db2a3983704", false},
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
        const uint32_t nonce = raw[76] | raw[77] << 8 | raw[78] << 16 | uint32_t(raw[79]) << 24;
        EXPECT_EQ(serialize_block(c, nonce), raw) << row.name;
        if (!row.ours) continue;
        // Rebuilt from its scriptSig and payout alone, the coinbase is the chain's, byte for byte.
        const Bytes& cb = c.coinbase;
        const size_t sig = 43, out = sig + 1 + cb[sig] + 4 + 1;  // version, marker, input count, prevout
        TxOut payout{0, Bytes(cb.begin() + long(out) + 9, cb.begin() + long(out) + 9 + cb[out + 8])};
        for (int i = 7; i >= 0; --i) payout.value = payout.value << 8 | cb[out + size_t(i)];
        EXPECT_EQ(bytes_to_hex(build_coinbase(t, {payout}, Bytes(cb.begin() + sig + 1, cb.begin() + long(out) - 5),
                                              true, false)),
                  bytes_to_hex(cb));
    }
}

TEST(Candidate, HeaderTime) {
    // mintime, mutable time, use the clock, the clock, the header time
    const uint32_t rows[][5] = {{900, 0, 1, 1005, 1005}, {900, 0, 1, 995, 1000}, {1010, 0, 1, 1005, 1010},
                                {900, 0, 0, 5000, 1000}, {900, 1, 0, 5000, 5000}};
    BlockTemplate t = at_height(100);
    t.curtime = 1000;
    t.coinbase_value = 5000;
    for (const auto& row : rows) {
        t.mintime = row[0];
        t.mutable_time = row[1];
        EXPECT_EQ(choose_header_time(t, row[2], row[3]), row[4]) << row[3];
    }
    const uint32_t now = unix_time_now();
    EXPECT_GT(now, 1700000000u);
    EXPECT_GE(build_candidate(t, {parse_payout("51")}, 0, "", true).time, now);
}

}  // namespace
}  // namespace vkn

namespace vkn {
namespace {

// A Stratum job cut from a real block (its coinbase split around eight
// bytes of its scriptSig, its merkle branch) gives that block's header; and
// the difficulty arithmetic at its edges.
TEST(Stratum, JobFromARealBlockAndDifficultyTargets) {
    const std::string text = testdata("mainnet-702861.raw");
    const Bytes raw(text.begin(), text.end());
    const BlockTemplate t = parse_block_template(nlohmann::json::parse(testdata("mainnet-702861.gbt.json")), false);
    // The coinbase without its witness: version, inputs and outputs, lock time.
    size_t rest = 0;
    for (const auto& tx : t.transactions) rest += tx.data.size();
    const Bytes full(raw.begin() + 83, raw.end() - long(rest));
    Bytes coinbase;  // less the marker and flag (2 bytes) and the witness (34 bytes before the lock time)
    for (size_t i = 0; i < full.size(); ++i)
        if (i < 4 || (i >= 6 && i < full.size() - 38) || i >= full.size() - 4) coinbase.push_back(full[i]);
    EXPECT_EQ(hash_to_display_hex(sha256d(coinbase)), "764b60c3d9a2c3c5bb6fe7141d9ca6e6778122df75f19366a2c5cb948d1d7d84");
    std::vector<Hash256> level{sha256d(coinbase)}, branch;
    for (const auto& tx : t.transactions) level.push_back(tx.txid);
    while (level.size() > 1) {  // the coinbase's sibling at each level, then the level above
        branch.push_back(level[1]);
        if (level.size() % 2) level.push_back(level.back());
        std::vector<Hash256> up;
        for (size_t k = 0; k < level.size(); k += 2) up.push_back(merkle_root({level[k], level[k + 1]}));
        level = up;
    }
    std::string prev;  // Stratum's word order
    for (size_t w = 4; w < 36; w += 4)
        for (size_t k = 0; k < 4; ++k) prev += bytes_to_hex(&raw[w + 3 - k], 1);
    nlohmann::json branch_hex = nlohmann::json::array();
    for (const Hash256& b : branch) branch_hex.push_back(bytes_to_hex(b.data(), 32));
    auto be32 = [&](size_t at) { return bytes_to_hex(Bytes{raw[at + 3], raw[at + 2], raw[at + 1], raw[at]}); };
    const size_t cut = 42 + 4;  // past the scriptSig's height push
    const StratumJob job = parse_notify({"j1", prev, bytes_to_hex(Bytes(coinbase.begin(), coinbase.begin() + cut)),
                                         bytes_to_hex(Bytes(coinbase.begin() + cut + 8, coinbase.end())), branch_hex,
                                         be32(0), be32(72), be32(68), true});
    const Bytes en1(coinbase.begin() + cut, coinbase.begin() + cut + 4), en2(coinbase.begin() + cut + 4,
                                                                            coinbase.begin() + cut + 8);
    auto header = stratum_header(job, stratum_merkle_root(stratum_coinbase(job, en1, en2), job.merkle_branch));
    std::copy(raw.begin() + 76, raw.begin() + 80, header.begin() + 76);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), raw.begin()) && job.clean);
    EXPECT_EQ(coinbase_height(coinbase), 702861u);
    EXPECT_EQ(coinbase_height(Bytes(coinbase.begin(), coinbase.begin() + 45)), 0u);  // the push cut short
    EXPECT_EQ(error_of([&] { parse_notify({"j", prev}); }), "mining.notify lacks coinbase1");
    EXPECT_EQ(bytes_to_hex(extranonce2_bytes(258, 4)), "00000102");

    const Hash256 diff1 = hash_from_hex("00000000ffff0000000000000000000000000000000000000000000000000000");
    const struct { double difficulty; std::string target; } rows[] = {
        {1, "00000000ffff0000000000000000000000000000000000000000000000000000"},
        {2, "000000007fff8000000000000000000000000000000000000000000000000000"},
        {0.5, "00000001fffe0000000000000000000000000000000000000000000000000000"},
        {3, "0000000055550000000000000000000000000000000000000000000000000000"},  // rounded down
        {65536, "000000000000ffff000000000000000000000000000000000000000000000000"},
        {1e-30, std::string(64, 'f')},  // past 2^256: the largest target
        {1e80, std::string(64, '0')},
    };
    for (const auto& row : rows) EXPECT_EQ(hash_to_display_hex(difficulty_target(row.difficulty, diff1)), row.target);
    EXPECT_EQ(error_of([&] { difficulty_target(0, diff1); }), "pool difficulty must be positive and finite: 0.000000");
}

}  // namespace
}  // namespace vkn
