#include <gtest/gtest.h>

#include <stdexcept>

#include "support/error_of.h"

#include "util/hex.h"

namespace vkn {
namespace {

TEST(Hex, TrimAndDecode) {
    EXPECT_EQ(trim_ws(" \t\r\nab \n"), "ab");
    EXPECT_EQ(trim_ws(" \t "), "");
    EXPECT_EQ(trim_ws("\vab\f"), "\vab\f");  // only four bytes count as whitespace
    EXPECT_EQ(hex_to_bytes(" 0xABcd\n"), (Bytes{0xab, 0xcd}));
    EXPECT_EQ(hex_to_bytes("0X00ff"), (Bytes{0x00, 0xff}));
    EXPECT_TRUE(hex_to_bytes("0x").empty());
    EXPECT_TRUE(hex_to_bytes("").empty());
    EXPECT_EQ(error_of([] { hex_to_bytes("abc"); }), "hex string has odd length: abc");
    EXPECT_EQ(error_of([] { hex_to_bytes("zz"); }), "invalid hex string: zz");
    EXPECT_EQ(error_of([] { hex_to_bytes(" 0xg0 "); }), "invalid hex string:  0xg0 ");
    EXPECT_EQ(error_of([] { hex_to_bytes("0x0xab"); }), "invalid hex string: 0x0xab");
}

TEST(Hex, EncodeIsLowerCaseHighNibbleFirst) {
    Bytes b{0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(bytes_to_hex(b), "000fa0ff");
    EXPECT_EQ(bytes_to_hex(nullptr, 0), "");
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
    EXPECT_EQ(hex_to_bytes(bytes_to_hex(all)), all);
}

TEST(Hex, HashFromHexReversesToInternalOrder) {
    std::string text = "00";
    for (int i = 1; i < 32; ++i) text += bytes_to_hex(Bytes{uint8_t(i)});
    Hash256 h = hash_from_hex(text);
    EXPECT_EQ(h[31], 0x00);
    EXPECT_EQ(h[0], 0x1f);
    EXPECT_EQ(error_of([] { hash_from_hex(std::string(62, 'a')); }), "expected 32-byte hash hex, got 31 bytes");
    EXPECT_EQ(error_of([] { hash_from_hex(std::string(63, 'a')); }), "hex string has odd length: " + std::string(63, 'a'));
}

}  // namespace
}  // namespace vkn
