#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "block/payout.h"
#include "support/error_of.h"

namespace vkn {
namespace {

std::string parse_error(const std::string& text) {
    return error_of([&] { parse_payout(text); });
}

std::vector<uint64_t> split(uint64_t value, std::initializer_list<const char*> specs) {
    std::vector<PayoutSpec> p;
    for (const char* s : specs) p.push_back(parse_payout(s));
    std::vector<uint64_t> out;
    for (const TxOut& o : split_coinbase_value(value, p)) out.push_back(o.value);
    return out;
}

std::string split_error(uint64_t value, const std::vector<PayoutSpec>& p) {
    return error_of([&] { split_coinbase_value(value, p); });
}

TEST(Payout, ParseForms) {
    PayoutSpec plain = parse_payout(" 0x51ab ");
    EXPECT_EQ(plain.script, (Bytes{0x51, 0xab}));
    EXPECT_FALSE(plain.absolute);
    EXPECT_EQ(plain.weight, 1.0);
    PayoutSpec w = parse_payout("51@2.5");
    EXPECT_EQ(w.weight, 2.5);
    EXPECT_FALSE(w.absolute);
    PayoutSpec a = parse_payout("51:0");
    EXPECT_TRUE(a.absolute);
    EXPECT_EQ(a.sats, 0u);
    EXPECT_EQ(a.weight, 0.0);
    EXPECT_EQ(parse_payout(std::string(20000, 'a')).script.size(), 10000u);
}

TEST(Payout, ParseMessages) {
    EXPECT_EQ(parse_error("abcd@0"), "payout weight must be positive: abcd@0");
    EXPECT_EQ(parse_error("abcd@-1"), "payout weight must be positive: abcd@-1");
    EXPECT_EQ(parse_error("abcd@nan"), "payout weight must be positive: abcd@nan");
    EXPECT_EQ(parse_error("abcd@x"), "invalid number for payout weight: x");
    EXPECT_EQ(parse_error("abcd:x"), "invalid integer for payout satoshis: x");
    EXPECT_EQ(parse_error("abcd:5y"), "invalid trailing characters in payout satoshis: 5y");
    EXPECT_EQ(parse_error("ab:cd@2"), "hex string has odd length: ab:cd");
    EXPECT_EQ(parse_error("ab:c@2"), "invalid hex string: ab:c");
    EXPECT_EQ(parse_error("abc"), "hex string has odd length: abc");
    EXPECT_EQ(parse_error("@2"), "empty scriptPubKey in payout: @2");
    EXPECT_EQ(parse_error("0x:5"), "empty scriptPubKey in payout: 0x:5");
    std::string big(20002, 'a');
    EXPECT_EQ(parse_error(big), "unreasonably large scriptPubKey in payout: " + big);
}

TEST(Payout, SplitExamples) {
    EXPECT_EQ(split(5000000000, {"51"}), (std::vector<uint64_t>{5000000000}));
    EXPECT_EQ(split(5000000000, {"51@3", "52@1"}), (std::vector<uint64_t>{3750000000, 1250000000}));
    EXPECT_EQ(split(10, {"51", "52", "53"}), (std::vector<uint64_t>{3, 3, 4}));
    EXPECT_EQ(split(100, {"51:30", "52@1", "53@2"}), (std::vector<uint64_t>{30, 23, 47}));
    EXPECT_EQ(split(100, {"52@1", "51:30", "53@2"}), (std::vector<uint64_t>{23, 30, 47}));
    EXPECT_EQ(split(100, {"51:30", "52:20"}), (std::vector<uint64_t>{80, 20}));
    EXPECT_EQ(split(100, {"52:20", "51:30"}), (std::vector<uint64_t>{70, 30}));
    EXPECT_EQ(split(100, {"51:60", "52@1", "53:40"}), (std::vector<uint64_t>{60, 0, 40}));
    EXPECT_EQ(split(777, {"51:0"}), (std::vector<uint64_t>{777}));
    // Extended precision: a plain double would lose the low bits of this
    // remainder before the floor.
    EXPECT_EQ(split(18446744073709551615ull, {"51@1", "52@1"}),
              (std::vector<uint64_t>{9223372036854775807ull, 9223372036854775808ull}));
    std::vector<PayoutSpec> p{parse_payout("51@3"), parse_payout("52@1")};
    std::vector<TxOut> outs = split_coinbase_value(8, p);
    EXPECT_EQ(outs[0].script, Bytes{0x51});
    EXPECT_EQ(outs[1].script, Bytes{0x52});
}

TEST(Payout, SplitMessages) {
    EXPECT_EQ(split_error(1, {}), "at least one --payout raw scriptPubKey is required");
    PayoutSpec half = parse_payout("51:9223372036854775808");
    EXPECT_EQ(split_error(UINT64_MAX, {half, half}), "absolute payout sum overflow");
    EXPECT_EQ(split_error(9223372036854775807ull, {half}), "absolute payout sum exceeds coinbasevalue from template");
}

TEST(Payout, RandomSplitsSumExactlyAndNeverOverpay) {
    std::mt19937_64 rng(20261206);
    for (int round = 0; round < 20000; ++round) {
        uint64_t value = rng() >> (rng() % 64);
        std::vector<PayoutSpec> p;
        uint64_t abs_budget = value;
        int n = 1 + int(rng() % 6);
        for (int i = 0; i < n; ++i) {
            PayoutSpec s;
            s.script = Bytes{uint8_t(i)};
            if (rng() % 3 == 0) {
                s.absolute = true;
                s.sats = abs_budget ? rng() % (abs_budget / 2 + 1) : 0;
                abs_budget -= s.sats;
            } else {
                double weights[] = {1e-9, 0.5, 1, 3, 1e6, 1e300, double(rng() % 1000 + 1)};
                s.weight = weights[rng() % 7];
            }
            p.push_back(s);
        }
        std::vector<TxOut> outs = split_coinbase_value(value, p);
        ASSERT_EQ(outs.size(), p.size());
        uint64_t sum = 0, abs_sum = 0;
        for (size_t i = 0; i < p.size(); ++i) {
            if (p[i].absolute) abs_sum += p[i].sats;
            ASSERT_LE(outs[i].value, value);
            sum += outs[i].value;
        }
        ASSERT_EQ(sum, value) << "round " << round;
        for (size_t i = 0; i < p.size(); ++i) {
            if (!p[i].absolute) {
                ASSERT_LE(outs[i].value, value - abs_sum);
            }
        }
    }
}

TEST(Payout, InfiniteWeightStillSumsExactly) {
    std::vector<PayoutSpec> p{parse_payout("51@inf"), parse_payout("52@1"), parse_payout("53@inf")};
    uint64_t sum = 0;
    for (const TxOut& o : split_coinbase_value(1000, p)) sum += o.value;
    EXPECT_EQ(sum, 1000u);
}

}  // namespace
}  // namespace vkn
