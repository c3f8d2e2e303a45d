#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/options.h"
#include "support/error_of.h"
#include "support/temp_home.h"

namespace vkn {
namespace {

const std::string kScript = "76a91400112233445566778899aabbccddeeff0011223388ac";

MinerOptions parse(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"vkn-miner"};
    argv.insert(argv.end(), args);
    return parse_options(int(argv.size()), argv.data());
}

std::string parse_error(std::initializer_list<const char*> args) {
    return error_of([&] { parse(args); });
}

TEST(Options, HelpMatchesGoldenText) {
    std::ifstream in(VKN_SOURCE_DIR "/tests/driver/help.golden");
    std::stringstream golden;
    golden << in.rdbuf();
    std::string expected = golden.str();
    for (size_t p; (p = expected.find("PROG")) != std::string::npos;) expected.replace(p, 4, "./vkn-miner");
    EXPECT_EQ(help_text("./vkn-miner"), expected);
}

TEST(Options, DefaultsAndEveryField) {
    TempHome home;  // empty: no cookie found
    MinerOptions d = parse({"--payout", kScript.c_str()});
    EXPECT_EQ(d.rpc.url, "http://127.0.0.1:8332/");
    EXPECT_EQ(d.rpc.timeout_ms, 30000);
    EXPECT_EQ(d.rpc.cookie_file, "");
    EXPECT_EQ(d.gpu_device, 0);
    EXPECT_EQ(d.threads_per_block, 128);
    EXPECT_EQ(d.grid_blocks, 0);
    EXPECT_EQ(d.oversubscribe, 4);
    EXPECT_EQ(d.iters_per_thread, 512u);
    EXPECT_EQ(d.poll_sec, 15);
    EXPECT_EQ(d.status_sec, 5);
    EXPECT_EQ(d.coinbase_tag, "/vkncuda/");
    EXPECT_FALSE(d.cpu || d.selftest || d.mine_one || d.no_longpoll || d.gbt_txids_internal || d.verbose);
    EXPECT_EQ(d.benchmark_sec, 0);

    MinerOptions o = parse({"--rpc-url", "http://h:1/", "--rpc-user", "u", "--rpc-pass", "p", "--rpc-cookie", "~/c",
                            "--rpc-timeout-ms", "5", "--payout", "51@2", "--payout", "52:7", "--device", "3",
                            "--threads-per-block", "64", "--blocks", "-1", "--oversubscribe", "2", "--iters", "-1",
                            "--coinbase-tag", "", "--no-longpoll", "--poll-sec", "9", "--status-sec", "8",
                            "--gbt-txids-internal", "--extranonce", "1000000000000", "--mine-one", "--verbose",
                            "--cpu", "--cpu-threads", "3", "--benchmark", "4", "--gpu", "2"});
    EXPECT_EQ(o.rpc.url, "http://h:1/");
    EXPECT_EQ(o.rpc.user, "u");
    EXPECT_EQ(o.rpc.password, "p");
    EXPECT_EQ(o.rpc.cookie_file, "~/c");
    EXPECT_EQ(o.rpc.timeout_ms, 5);
    ASSERT_EQ(o.payouts.size(), 2u);  // command-line order kept
    EXPECT_EQ(o.payouts[0].weight, 2.0);
    EXPECT_TRUE(o.payouts[1].absolute);
    EXPECT_EQ(o.gpu_device, 2);  // repeated scalar: last wins; --device and --gpu are one field
    EXPECT_EQ(o.threads_per_block, 64);
    EXPECT_EQ(o.grid_blocks, -1);
    EXPECT_EQ(o.oversubscribe, 2);
    EXPECT_EQ(o.iters_per_thread, 4294967295u);
    EXPECT_EQ(o.coinbase_tag, "");
    EXPECT_TRUE(o.no_longpoll && o.gbt_txids_internal && o.mine_one && o.verbose && o.cpu);
    EXPECT_EQ(o.poll_sec, 9);
    EXPECT_EQ(o.status_sec, 8);
    EXPECT_EQ(o.extranonce_start, 1000000000000u);
    EXPECT_EQ(o.cpu_threads, 3u);
    EXPECT_EQ(o.benchmark_sec, 4);
}

TEST(Options, ValueTakesNextArgumentWhateverItIs) {
    TempHome home;
    MinerOptions o = parse({"--coinbase-tag", "--verbose", "--payout", kScript.c_str()});
    EXPECT_EQ(o.coinbase_tag, "--verbose");
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(parse({"--selftest", "--device", "3"}).gpu_device, 3);
    EXPECT_EQ(parse({"--selftest", "--gpu", "4294967295"}).gpu_device, -1);
}

TEST(Options, EveryMessage) {
    TempHome home;
    EXPECT_EQ(parse_error({}), "missing --payout raw scriptPubKey hex");
    EXPECT_EQ(parse_error({"--gpu"}), "missing value after --gpu");
    EXPECT_EQ(parse_error({"--payout"}), "missing value after --payout");
    EXPECT_EQ(parse_error({"--frobnicate"}), "unknown option: --frobnicate");
    EXPECT_EQ(parse_error({"positional"}), "unknown option: positional");
    EXPECT_EQ(parse_error({"--rpc-url=x"}), "unknown option: --rpc-url=x");
    EXPECT_EQ(parse_error({"--gpu", "x", "--help"}), "invalid integer for --gpu: x");
    EXPECT_EQ(parse_error({"--device", " "}), "empty integer for --device");
    EXPECT_EQ(parse_error({"--blocks", "12ab"}), "invalid trailing characters in --blocks: 12ab");
    EXPECT_EQ(parse_error({"--threads-per-block", "0"}), "--threads-per-block must be positive");
    EXPECT_EQ(parse_error({"--threads-per-block", "2147483648"}), "--threads-per-block must be positive");
    EXPECT_EQ(parse_error({"--iters", "4294967296"}), "--iters must be positive");
    EXPECT_EQ(parse_error({"--oversubscribe", "0"}), "--oversubscribe must be positive");
    EXPECT_EQ(parse_error({"--poll-sec", "-5"}), "--poll-sec must be positive");
    EXPECT_EQ(parse_error({"--status-sec", "0"}), "--status-sec must be positive");
    EXPECT_EQ(parse_error({"--benchmark", "0"}), "--benchmark must be positive");
    EXPECT_EQ(parse_error({"--benchmark", "-3"}), "--benchmark must be positive");
    // Validation order: the first failing check wins.
    EXPECT_EQ(parse_error({"--status-sec", "0", "--iters", "0"}), "--iters must be positive");
    EXPECT_EQ(parse_error({"--status-sec", "0", "--benchmark", "0"}), "--status-sec must be positive");
    EXPECT_EQ(parse_error({"--payout", "abcd@0"}), "payout weight must be positive: abcd@0");
    EXPECT_EQ(parse_error({"--payout", "zz"}), "invalid hex string: zz");
}

TEST(Options, SelftestAndBenchmarkWaivePayout) {
    TempHome home;
    EXPECT_TRUE(parse({"--selftest"}).selftest);
    EXPECT_EQ(parse({"--benchmark", "2", "--cpu"}).benchmark_sec, 2);
}

void touch(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "u:p";
}

TEST(Options, CookieSearchOrderKeepsTilde) {
    TempHome home;
    touch(home.path() + "/.bitcoin/.cookie");
    EXPECT_EQ(parse({"--selftest"}).rpc.cookie_file, "~/.bitcoin/.cookie");
    std::filesystem::create_directories(home.path() + "/.vorlakKEN/.cookie");  // a directory counts
    EXPECT_EQ(parse({"--selftest"}).rpc.cookie_file, "~/.vorlakKEN/.cookie");
    touch(home.path() + "/.vorlakken/.cookie");
    EXPECT_EQ(parse({"--selftest"}).rpc.cookie_file, "~/.vorlakken/.cookie");
    // Only --rpc-pass: the search still runs; --rpc-user or --rpc-cookie stop it.
    EXPECT_EQ(parse({"--selftest", "--rpc-pass", "x"}).rpc.cookie_file, "~/.vorlakken/.cookie");
    EXPECT_EQ(parse({"--selftest", "--rpc-user", "x"}).rpc.cookie_file, "");
    EXPECT_EQ(parse({"--selftest", "--rpc-cookie", "/c"}).rpc.cookie_file, "/c");
}

TEST(Options, CookieSearchParentFileIsAbsentAndHomeRequired) {
    TempHome home;
    std::ofstream(home.path() + "/.vorlakken") << "a file, not a directory";
    EXPECT_EQ(parse({"--selftest"}).rpc.cookie_file, "");
    ScopedEnv no_home("HOME", nullptr);
    EXPECT_EQ(parse_error({"--selftest"}), "HOME is not set, cannot expand path: ~/.vorlakken/.cookie");
    EXPECT_EQ(parse({"--selftest", "--rpc-user", "u"}).rpc.user, "u");  // no search, no HOME needed
}

}  // namespace
}  // namespace vkn
