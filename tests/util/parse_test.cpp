#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "support/error_of.h"

#include "util/parse.h"

namespace vkn {
namespace {

TEST(ParseU64, AcceptsWhatStoullAccepts) {
    EXPECT_EQ(parse_u64(" 42 ", "--gpu"), 42u);
    EXPECT_EQ(parse_u64("+7", "x"), 7u);
    EXPECT_EQ(parse_u64("-1", "x"), UINT64_MAX);
    EXPECT_EQ(parse_u64("18446744073709551615", "x"), UINT64_MAX);
}

TEST(ParseU64, MessagesNameFieldAndRepeatText) {
    EXPECT_EQ(error_of([] { parse_u64("", "--gpu"); }), "empty integer for --gpu");
    EXPECT_EQ(error_of([] { parse_u64(" \t", "--gpu"); }), "empty integer for --gpu");
    EXPECT_EQ(error_of([] { parse_u64("4x", "--gpu"); }), "invalid trailing characters in --gpu: 4x");
    EXPECT_EQ(error_of([] { parse_u64(" x1", "--iters"); }), "invalid integer for --iters:  x1");
    EXPECT_EQ(error_of([] { parse_u64("18446744073709551616", "--iters"); }),
              "invalid integer for --iters: 18446744073709551616");
}

TEST(ParseDouble, FormsAndMessages) {
    EXPECT_DOUBLE_EQ(parse_double(" 2.5 ", "w"), 2.5);
    EXPECT_DOUBLE_EQ(parse_double("1e3", "w"), 1000.0);
    EXPECT_DOUBLE_EQ(parse_double("0x10", "w"), 16.0);
    EXPECT_TRUE(std::isinf(parse_double("inf", "w")));
    EXPECT_TRUE(std::isnan(parse_double("nan", "w")));
    EXPECT_EQ(error_of([] { parse_double("", "payout weight"); }), "empty number for payout weight");
    EXPECT_EQ(error_of([] { parse_double("x", "payout weight"); }), "invalid number for payout weight: x");
    EXPECT_EQ(error_of([] { parse_double("1e999", "payout weight"); }), "invalid number for payout weight: 1e999");
    EXPECT_EQ(error_of([] { parse_double("3x", "payout weight"); }),
              "invalid trailing characters in payout weight: 3x");
}

TEST(ParseHexU32, ExactlyEightDigits) {
    EXPECT_EQ(parse_hex_u32("1D00FFFF", "bits"), 486604799u);
    EXPECT_EQ(parse_hex_u32("1d00ffff", "bits"), 0x1d00ffffu);
    EXPECT_EQ(error_of([] { parse_hex_u32("1d00fxff", "bits"); }), "invalid hex for bits: 1d00fxff");
    EXPECT_EQ(error_of([] { parse_hex_u32("1d00fff", "bits"); }), "expected 8 hex chars for bits, got: 1d00fff");
    EXPECT_EQ(error_of([] { parse_hex_u32(" 1d00ffff", "bits"); }), "expected 8 hex chars for bits, got:  1d00ffff");
}

}  // namespace
}  // namespace vkn
