#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "block/payout.h"
#include "support/support.h"
#include "util/hex.h"

namespace vkn {
namespace {

// "SCRIPT w=WEIGHT" or "SCRIPT sats=N", or the error.
std::string parsed(const std::string& text) {
    return text_of([&] {
        PayoutSpec p = parse_payout(text);
        return bytes_to_hex(p.script) + (p.absolute ? " sats=" + std::to_string(p.sats) : " w=" + std::to_string(p.weight));
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
        {"abcd@-1", "payout weight must be positive: abcd@-1"},
        {"abcd@nan", "payout weight must be positive: abcd@nan"},
        {"abcd@x", "invalid number for payout weight: x"},
        {"abcd:5y", "invalid trailing characters in payout satoshis: 5y"},
        {"ab:cd@2", "hex string has odd length: ab:cd"},
        {"ab:c@2", "invalid hex string: ab:c"},
        {"@2", "empty scriptPubKey in payout: @2"},
        {"0x:5", "empty scriptPubKey in payout: 0x:5"},
        {big, "unreasonably large scriptPubKey in payout: " + big},
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
        {100, {"52:20", "51:30"}, "70 30 "},
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

}  // namespace
}  // namespace vkn
