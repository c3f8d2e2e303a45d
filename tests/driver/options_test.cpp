#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "driver/options.h"
#include "support/error_of.h"
#include "support/temp_home.h"

namespace vkn {
namespace {

using Field = std::function<std::string(const MinerOptions&)>;
std::string text(bool b) { return b ? "true" : "false"; }
template <class T>
std::string text(T n) { return std::to_string(n); }

// A field of the parsed options as text, or the parse error.
std::string parsed(std::vector<const char*> args, const Field& field) {
    args.insert(args.begin(), "vkn-miner");
    return text_of([&] { return field(parse_options(int(args.size()), args.data())); });
}

const Field payouts = [](const MinerOptions& o) {
    std::string s;
    for (const PayoutSpec& p : o.payouts) s += p.absolute ? "sats=" + text(p.sats) + ";" : "w=" + text(p.weight) + ";";
    return s;
};

TEST(Options, EveryOptionReachesItsField) {
    TempHome home;  // empty: no cookie found
    const struct {
        std::vector<const char*> args;
        Field field;
        std::string expected;
    } rows[] = {
        {{"--rpc-url", "http://h:1/"}, [](auto& o) { return o.rpc.url; }, "http://h:1/"},
        {{"--rpc-user", "u"}, [](auto& o) { return o.rpc.user; }, "u"},
        {{"--rpc-pass", "p"}, [](auto& o) { return o.rpc.password; }, "p"},
        {{"--rpc-cookie", "~/c"}, [](auto& o) { return o.rpc.cookie_file; }, "~/c"},
        {{"--rpc-timeout-ms", "5"}, [](auto& o) { return text(o.rpc.timeout_ms); }, "5"},
        {{"--device", "3"}, [](auto& o) { return text(o.gpu_device); }, "3"},
        {{"--device", "3", "--gpu", "2"}, [](auto& o) { return text(o.gpu_device); }, "2"},  // one field, last wins
        {{"--gpu", "4294967295"}, [](auto& o) { return text(o.gpu_device); }, "-1"},  // low 32 bits
        {{"--threads-per-block", "64"}, [](auto& o) { return text(o.threads_per_block); }, "64"},
        {{"--blocks", "-1"}, [](auto& o) { return text(o.grid_blocks); }, "-1"},
        {{"--oversubscribe", "2"}, [](auto& o) { return text(o.oversubscribe); }, "2"},
        {{"--iters", "-1"}, [](auto& o) { return text(o.iters_per_thread); }, "4294967295"},
        {{"--coinbase-tag", ""}, [](auto& o) { return o.coinbase_tag; }, ""},
        {{"--coinbase-tag", "--verbose"}, [](auto& o) { return o.coinbase_tag + text(o.verbose); }, "--verbosefalse"},
        {{"--poll-sec", "9"}, [](auto& o) { return text(o.poll_sec); }, "9"},
        {{"--status-sec", "8"}, [](auto& o) { return text(o.status_sec); }, "8"},
        {{"--extranonce", "1000000000000"}, [](auto& o) { return text(o.extranonce_start); }, "1000000000000"},
        {{"--cpu-threads", "3"}, [](auto& o) { return text(o.cpu_threads); }, "3"},
        {{"--benchmark", "4"}, [](auto& o) { return text(o.benchmark_sec); }, "4"},
        {{"--no-longpoll"}, [](auto& o) { return text(o.no_longpoll); }, "true"},
        {{"--gbt-txids-internal"}, [](auto& o) { return text(o.gbt_txids_internal); }, "true"},
        {{"--mine-one"}, [](auto& o) { return text(o.mine_one); }, "true"},
        {{"--verbose"}, [](auto& o) { return text(o.verbose); }, "true"},
        {{"--cpu"}, [](auto& o) { return text(o.cpu); }, "true"},
        {{"--payout", "52:7", "--payout", "51@2"}, payouts, "sats=7;w=2.000000;"},  // command-line order
    };
    for (const auto& row : rows) {
        std::vector<const char*> args = row.args;
        args.insert(args.end(), {"--payout", "51"});
        if (row.args[0] == std::string("--payout")) args.resize(args.size() - 2);
        EXPECT_EQ(parsed(args, row.field), row.expected) << row.args[0];
    }
}

TEST(Options, EveryMessage) {
    TempHome home;
    const Field none = [](const MinerOptions&) { return std::string("<parsed>"); };
    const struct {
        std::vector<const char*> args;
        std::string expected;
    } rows[] = {
        {{}, "missing --payout raw scriptPubKey hex"},
        {{"--selftest"}, "<parsed>"},
        {{"--benchmark", "2", "--cpu"}, "<parsed>"},
        {{"--gpu"}, "missing value after --gpu"},
        {{"--payout"}, "missing value after --payout"},
        {{"--frobnicate"}, "unknown option: --frobnicate"},
        {{"positional"}, "unknown option: positional"},
        {{"--rpc-url=x"}, "unknown option: --rpc-url=x"},
        {{"--gpu", "x", "--help"}, "invalid integer for --gpu: x"},
        {{"--device", " "}, "empty integer for --device"},
        {{"--blocks", "12ab"}, "invalid trailing characters in --blocks: 12ab"},
        {{"--threads-per-block", "0"}, "--threads-per-block must be positive"},
        {{"--threads-per-block", "2147483648"}, "--threads-per-block must be positive"},
        {{"--iters", "4294967296"}, "--iters must be positive"},
        {{"--oversubscribe", "0"}, "--oversubscribe must be positive"},
        {{"--poll-sec", "-5"}, "--poll-sec must be positive"},
        {{"--status-sec", "0"}, "--status-sec must be positive"},
        {{"--benchmark", "0"}, "--benchmark must be positive"},
        {{"--benchmark", "-3"}, "--benchmark must be positive"},
        {{"--status-sec", "0", "--iters", "0"}, "--iters must be positive"},  // the first failing check wins
        {{"--status-sec", "0", "--benchmark", "0"}, "--status-sec must be positive"},
        {{"--payout", "abcd@0"}, "payout weight must be positive: abcd@0"},
        {{"--payout", "zz"}, "invalid hex string: zz"},
    };
    for (const auto& row : rows) EXPECT_EQ(parsed(row.args, none), row.expected) << (row.args.empty() ? "" : row.args[0]);
}

TEST(Options, CookieSearch) {
    TempHome home;
    const Field cookie = [](const MinerOptions& o) { return o.rpc.cookie_file; };
    auto touch = [&](const std::string& path) {
        std::filesystem::create_directories(std::filesystem::path(home.path() + path).parent_path());
        std::ofstream(home.path() + path) << "u:p";
    };
    std::ofstream(home.path() + "/.vorlakken") << "a file: its child counts as absent";
    EXPECT_EQ(parsed({"--selftest"}, cookie), "");
    std::filesystem::remove(home.path() + "/.vorlakken");
    touch("/.bitcoin/.cookie");
    EXPECT_EQ(parsed({"--selftest"}, cookie), "~/.bitcoin/.cookie");
    std::filesystem::create_directories(home.path() + "/.vorlakKEN/.cookie");  // a directory counts
    EXPECT_EQ(parsed({"--selftest"}, cookie), "~/.vorlakKEN/.cookie");
    touch("/.vorlakken/.cookie");
    EXPECT_EQ(parsed({"--selftest"}, cookie), "~/.vorlakken/.cookie");
    EXPECT_EQ(parsed({"--selftest", "--rpc-pass", "x"}, cookie), "~/.vorlakken/.cookie");  // only --rpc-user stops it
    EXPECT_EQ(parsed({"--selftest", "--rpc-user", "x"}, cookie), "");
    EXPECT_EQ(parsed({"--selftest", "--rpc-cookie", "/c"}, cookie), "/c");
    ScopedEnv no_home("HOME", nullptr);
    EXPECT_EQ(parsed({"--selftest"}, cookie), "HOME is not set, cannot expand path: ~/.vorlakken/.cookie");
    EXPECT_EQ(parsed({"--selftest", "--rpc-user", "u"}, cookie), "");  // no search, no HOME needed
}

}  // namespace
}  // namespace vkn
