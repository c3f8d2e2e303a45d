#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "support/support.h"
#include "util/files.h"
#include "util/hex.h"
#include "util/parse.h"
#include "util/output.h"
#include "util/rolling_rate.h"

namespace vkn {
namespace {

std::string u64(const std::string& text) { return std::to_string(parse_u64(text, "--gpu")); }
std::string dbl(const std::string& text) { return std::to_string(parse_double(text, "payout weight")); }
std::string hex32(const std::string& text) { return std::to_string(parse_hex_u32(text, "bits")); }
std::string hexbytes(const std::string& text) { return bytes_to_hex(hex_to_bytes(text)); }
std::string display_order(const std::string& text) {
    Hash256 h = hash_from_hex(text);
    return bytes_to_hex(h.data(), h.size());
}

TEST(Util, TextAndNumbers) {
    const std::string h31 = "00" + std::string(60, '0') + "1f";  // 32 bytes, last one 0x1f
    const struct { std::function<std::string(const std::string&)> f; std::string input, expected; } rows[] = {
        {trim_ws, " \t\r\nab \n", "ab"},
        {trim_ws, "\vab\f", "\vab\f"},  // only four bytes count as whitespace
        {hexbytes, " 0xABcd\n", "abcd"},
        {hexbytes, "0X00ff", "00ff"},
        {hexbytes, " 0xg0 ", "invalid hex string:  0xg0 "},
        {hexbytes, "0x0xab", "invalid hex string: 0x0xab"},
        {display_order, h31, "1f" + std::string(62, '0')},
        {u64, " 42 ", "42"},
        {u64, "-1", "18446744073709551615"},
        {u64, "18446744073709551615", "18446744073709551615"},
        {u64, "18446744073709551616", "invalid integer for --gpu: 18446744073709551616"},
        {u64, " \t", "empty integer for --gpu"},
        {u64, " x1", "invalid integer for --gpu:  x1"},
        {dbl, " 2.5 ", "2.500000"},
        {dbl, "inf", "inf"},
        {dbl, "", "empty number for payout weight"},
        {dbl, "1e999", "invalid number for payout weight: 1e999"},
        {hex32, "1D00FFFF", "486604799"},
        {hex32, "1d00fff", "expected 8 hex chars for bits, got: 1d00fff"},
        {hex32, " 1d00ffff", "expected 8 hex chars for bits, got:  1d00ffff"},
    };
    for (const auto& row : rows) EXPECT_EQ(text_of([&] { return row.f(row.input); }), row.expected) << row.input;
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
    EXPECT_EQ(hex_to_bytes(bytes_to_hex(all)), all);
}

TEST(Util, HomeAndFiles) {
    TempHome home;
    std::string content("a\r\nb\0c\n", 7);
    std::ofstream(home.path + "/f", std::ios::binary) << content;
    EXPECT_EQ(read_file("~/f"), content);
    EXPECT_EQ(error_of([&] { read_file("~/missing"); }), "cannot open file: " + home.path + "/missing (No such file or directory)");
    // home: nullptr leaves HOME unset
    const struct { const char* home; std::string path, expected; } rows[] = {
        {"/home/u", "~", "/home/u"},
        {"/home/u", "~/a", "/home/u/a"},
        {"/home/u", "/abs/~", "/abs/~"},
        {nullptr, "~bob", "HOME is not set, cannot expand path: ~bob"},
        {nullptr, "~/x", "HOME is not set, cannot expand path: ~/x"},
        {"", "~", "HOME is not set, cannot expand path: ~"},
    };
    for (const auto& row : rows) {
        ScopedEnv env("HOME", row.home);
        EXPECT_EQ(text_of([&] { return expand_home(row.path); }), row.expected) << row.path;
    }
}

// Priorities for the journal, --quiet, the log file with a time on every
// line, and the file opened again after logrotate renamed it.
TEST(Output, PrioritiesLevelsAndTheLogFile) {
    TempHome dir;
    const std::string log = dir.path + "/miner.log";
    auto read = [](const std::string& path) {
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    configure_output({.level = OutputSettings::Level::quiet, .file = log, .journal_out = true, .journal_err = true});
    print_out("[stat] dropped");
    print_out("[found] kept");
    print_verbose("[rpc] dropped");
    print_warn("[journal] w");
    std::rename(log.c_str(), (log + ".1").c_str());
    request_log_reopen();
    print_err("error: e\ntry --help");
    configure_output({.level = OutputSettings::Level::verbose, .time = true, .file = ""});
    print_verbose("[rpc] v");
    configure_output({});
    const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[-+]\d\d:\d\d )";
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(out, std::regex("<6>\\[found\\] kept\n" + time + "\\[rpc\\] v\n"))) << out;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "<4>[journal] w\n<3>error: e\n<3>try --help\n");
    EXPECT_TRUE(std::regex_match(read(log + ".1"), std::regex(time + "\\[found\\] kept\n" + time + "\\[journal\\] w\n")))
        << read(log + ".1");
    EXPECT_TRUE(std::regex_match(read(log), std::regex(time + "error: e\n" + time + "try --help\n"))) << read(log);
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    const int fd = ::open(log.c_str(), O_RDONLY);
    const std::string id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    EXPECT_TRUE(is_journal_stream(fd, id.c_str()) && !is_journal_stream(fd, (id + "1").c_str()) &&
                !is_journal_stream(fd, nullptr) && !is_journal_stream(fd, "x"));
    ::close(fd);
}

TEST(RollingRate, WindowsOverAnInjectedClock) {
    using ms = std::chrono::milliseconds;
    const RollingRate::Clock::time_point t0{};
    // batches (ms since the start, hashes), the moment asked, the window, hashes per second
    const struct { std::vector<std::pair<int, uint64_t>> batches; int at_ms, window_s; double rate; } rows[] = {
        {{}, 5000, 10, 0},
        {{{500, 1000}}, 1000, 10, 1000},                // a window longer than the run covers the run
        {{{500, 1000}, {1500, 3000}}, 2000, 60, 2000},
        {{{2000, 5000}, {12500, 630}}, 20500, 10, 630 / 9.5},  // the old batch has left the window
        {{{11000, 900}}, 20000, 10, 100},  // from the start of the oldest whole second counted to now
        {{{1000, 1000}, {901000, 450}}, 901500, 900, 450 / 899.5},  // a bucket a lap old starts over
        {{{0, 60}, {59400, 60}}, 59500, 60, 120 / 59.5},
    };
    for (const auto& row : rows) {
        RollingRate r(t0);
        for (const auto& [at, hashes] : row.batches) r.add(hashes, t0 + ms(at));
        EXPECT_NEAR(r.rate(std::chrono::seconds(row.window_s), t0 + ms(row.at_ms)), row.rate, 1e-9) << row.at_ms;
    }
}

}  // namespace
}  // namespace vkn
