#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "block/payout.h"
#include "support/error_of.h"
#include "util/hex.h"

namespace vkn {
namespace {

// "SCRIPT w=WEIGHT" or "SCRIPT sats=N" for a parsed spec, else the error.
std::string parsed(const std::string& text) {
    return text_of([&] {
        PayoutSpec p = parse_payout(text);
        return bytes_to_hex(p.script) + (p.absolute ? " sats=" + std::to_string(p.sats) : " w=" + std::to_string(p.weight));
    });
}

// The output values of a split, space-separated, or the error.
std::string split(uint64_t value, std::vector<std::string> specs) {
    return text_of([&] {
        std::vector<PayoutSpec> p;
        for (const std::string& s : specs) p.push_back(parse_payout(s));
        std::string out;
        for (const TxOut& o : split_coinbase_value(value, p)) {
            out += std::to_string(o.value);
            out += ' ';
        }
        return out.substr(0, out.size() - 1);
    });
}

TEST(Payout, ParseRows) {
    const std::string big(20002, 'a');
    const struct {
        std::string text, expected;
    } rows[] = {
        {" 0x51ab ", "51ab w=1.000000"},
        {"51@2.5", "51 w=2.500000"},
        {"51:0", "51 sats=0"},
        {"abcd@0", "payout weight must be positive: abcd@0"},
        {"abcd@-1", "payout weight must be positive: abcd@-1"},
        {"abcd@nan", "payout weight must be positive: abcd@nan"},
        {"abcd@x", "invalid number for payout weight: x"},
        {"abcd:x", "invalid integer for payout satoshis: x"},
        {"abcd:5y", "invalid trailing characters in payout satoshis: 5y"},
        {"ab:cd@2", "hex string has odd length: ab:cd"},
        {"ab:c@2", "invalid hex string: ab:c"},
        {"@2", "empty scriptPubKey in payout: @2"},
        {"0x:5", "empty scriptPubKey in payout: 0x:5"},
        {big, "unreasonably large scriptPubKey in payout: " + big},
    };
    for (const auto& row : rows) EXPECT_EQ(parsed(row.text), row.expected) << row.text.substr(0, 20);
    EXPECT_EQ(parse_payout(std::string(20000, 'a')).script.size(), 10000u);  // the largest allowed
}

TEST(Payout, SplitRows) {
    const struct {
        uint64_t value;
        std::vector<std::string> specs;
        std::string expected;
    } rows[] = {
        {5000000000, {"51"}, "5000000000"},
        {5000000000, {"51@3", "52@1"}, "3750000000 1250000000"},
        {10, {"51", "52", "53"}, "3 3 4"},
        {100, {"51:30", "52@1", "53@2"}, "30 23 47"},
        {100, {"52@1", "51:30", "53@2"}, "23 30 47"},
        {100, {"51:30", "52:20"}, "80 20"},  // the remainder goes to the first output
        {100, {"52:20", "51:30"}, "70 30"},
        {100, {"51:60", "52@1", "53:40"}, "60 0 40"},
        {777, {"51:0"}, "777"},
        // A plain double would lose the low bits of this remainder.
        {18446744073709551615ull, {"51@1", "52@1"}, "9223372036854775807 9223372036854775808"},
        {1, {}, "at least one --payout raw scriptPubKey is required"},
        {UINT64_MAX, {"51:9223372036854775808", "52:9223372036854775808"}, "absolute payout sum overflow"},
        {9223372036854775807ull, {"51:9223372036854775808"}, "absolute payout sum exceeds coinbasevalue from template"},
    };
    for (const auto& row : rows) EXPECT_EQ(split(row.value, row.specs), row.expected) << row.value;
    std::vector<TxOut> outs = split_coinbase_value(8, {parse_payout("51@3"), parse_payout("52@1")});
    EXPECT_EQ(outs[0].script, Bytes{0x51});
    EXPECT_EQ(outs[1].script, Bytes{0x52});
}

TEST(Payout, RandomSplitsSumExactlyAndNeverOverpay) {
    std::mt19937_64 rng(20261206);
    for (int round = 0; round < 20000; ++round) {
        uint64_t value = rng() >> (rng() % 64);
        std::vector<PayoutSpec> p;
        uint64_t abs_budget = value;
        for (int i = 0, n = 1 + int(rng() % 6); i < n; ++i) {
            PayoutSpec s;
            s.script = Bytes{uint8_t(i)};
            if (rng() % 3 == 0) {
                s.absolute = true;
                s.sats = abs_budget ? rng() % (abs_budget / 2 + 1) : 0;
                abs_budget -= s.sats;
            } else {
                const double weights[] = {1e-9, 0.5, 1, 3, 1e6, 1e300, INFINITY, double(rng() % 1000 + 1)};
                s.weight = weights[rng() % 8];
            }
            p.push_back(s);
        }
        std::vector<TxOut> outs = split_coinbase_value(value, p);
        ASSERT_EQ(outs.size(), p.size());
        uint64_t sum = 0, weighted_budget = abs_budget;
        for (size_t i = 0; i < p.size(); ++i) {
            sum += outs[i].value;
            if (!p[i].absolute) {
                ASSERT_LE(outs[i].value, weighted_budget);
            }
        }
        ASSERT_EQ(sum, value) << "round " << round;
    }
}

}  // namespace
}  // namespace vkn
