#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/error_of.h"
#include "support/temp_home.h"
#include "util/files.h"

namespace vkn {
namespace {

TEST(ExpandHome, TildeForms) {
    ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(expand_home("~"), "/home/u");
    EXPECT_EQ(expand_home("~/a"), "/home/u/a");
    EXPECT_EQ(expand_home("~bob/a"), "~bob/a");
    EXPECT_EQ(expand_home("/abs/~"), "/abs/~");
    EXPECT_EQ(expand_home(""), "");
}

TEST(ExpandHome, NeedsHomeOnlyForTilde) {
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(expand_home("/abs"), "/abs");
    EXPECT_EQ(error_of([&] { expand_home("~bob"); }), "HOME is not set, cannot expand path: ~bob");
    ScopedEnv empty("HOME", "");
    EXPECT_THROW(expand_home("~"), std::runtime_error);
}

TEST(ReadFile, WholeFileBytesAndExpandedPathInError) {
    TempHome home;
    std::string content("a\r\nb\0c\n", 7);
    std::ofstream(home.path() + "/f", std::ios::binary) << content;
    EXPECT_EQ(read_file("~/f"), content);
    EXPECT_EQ(error_of([&] { read_file("~/missing"); }), "cannot open file: " + home.path() + "/missing");
}

}  // namespace
}  // namespace vkn
