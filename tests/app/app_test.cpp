#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/options.h"
#include "support/support.h"

namespace vkn {
namespace {

// Every field of the parsed options in one line, or the parse error.
std::string parsed(std::vector<const char*> args) {
    args.insert(args.begin(), "vkn-miner");
    return text_of([&] {
        const MinerOptions o = parse_options(int(args.size()), args.data()).options;
        std::ostringstream s;
        s << "url=" << o.rpc.url << " user=" << o.rpc.user << " pass=" << o.rpc.password
          << " cookie=" << o.rpc.cookie_file << " timeout=" << o.rpc.timeout_ms << " gpu=" << (o.gpu_all ? "all" : "");
        for (int32_t d : o.gpu_devices) s << d << ",";
        s << " cpu-devices=" << o.cpu_devices
          << " tpb=" << o.threads_per_block << " blocks=" << o.grid_blocks << " over=" << o.oversubscribe
          << " iters=" << o.iters_per_thread << " tag=" << o.coinbase_tag << " poll=" << o.poll_sec
          << " status=" << o.status_sec << " extranonce=" << (o.extranonce_random ? "random" : "")
          << o.extranonce_start << " cpu-threads=" << o.cpu_threads
          << " bench=" << o.benchmark_sec << " flags=" << o.no_longpoll << o.gbt_txids_internal << o.mine_one
          << o.verbose << o.cpu << o.selftest << " payouts=";
        for (const PayoutSpec& p : o.payouts) s << (p.absolute ? p.sats : p.weight) << ";";
        return s.str() + " cpu-path=" + o.cpu_path;
    });
}

TEST(Options, EveryOptionAndMessage) {
    TempHome home;  // empty: no cookie found
    // expected: a part of the parsed fields, or the error
    const struct { std::vector<const char*> args; std::string expected; } rows[] = {
        {{"--payout", "51"}, "url=http://127.0.0.1:8332/ user= pass= cookie= timeout=30000 gpu=0, cpu-devices=1 "
                             "tpb=128 blocks=0 "
                             "over=4 iters=512 tag=/vkncuda/ poll=15 status=5 extranonce=0 cpu-threads=0 bench=0 "
                             "flags=000000 payouts=1;"},
        {{"--rpc-url", "http://h:1/", "--rpc-user", "u", "--rpc-pass", "p", "--rpc-cookie", "~/c", "--rpc-timeout-ms",
          "5", "--payout", "51"}, "url=http://h:1/ user=u pass=p cookie=~/c timeout=5 "},
        {{"--device", "3", "--threads-per-block", "1", "--blocks", "0", "--oversubscribe", "2", "--iters",
          "4294967295", "--payout", "51"}, "gpu=3, cpu-devices=1 tpb=1 blocks=0 over=2 iters=4294967295 "},
        {{"--device", "3", "--gpu=2147483647", "--payout=51"}, "gpu=2147483647, "},  // one field, last wins
        {{"--gpu", "4294967295"}, "--gpu must be at most 2147483647: 4294967295"},  // never wrapped
        {{"--status-sec", "4294967301"}, "--status-sec must be at most 2147483647: 4294967301"},
        {{"--cpu-threads", "-1"}, "--cpu-threads must not be signed: -1"},
        {{"--cpu-devices", "1025"}, "--cpu-devices must be at most 1024: 1025"},
        {{"--extranonce", "-1"}, "--extranonce must not be signed: -1"},
        {{"--temp-limit", "0"}, "--temp-limit must be positive"},
        {{"--cpu=1"}, "--cpu takes no value: --cpu=1"},
        {{"--quiet", "--verbose", "--payout", "51"}, "--quiet and --verbose cannot be used together"},
        {{"--gpu", "all", "--cpu-devices", "3", "--payout", "51"}, "gpu=all cpu-devices=3 "},
        {{"--gpu", "all", "--device", "2,0,7", "--extranonce", "random", "--payout", "51"}, "gpu=2,0,7, "},
        {{"--extranonce", "9", "--extranonce", "random", "--payout", "51"}, "extranonce=random9 "},
        {{"--extranonce", "random", "--extranonce", "9", "--payout", "51"}, "extranonce=9 "},
        {{"--gpu", "1,x"}, "invalid integer for --gpu: x"},
        {{"--device", "0,"}, "empty integer for --device"},
        {{"--gpu", "1,2,1"}, "--gpu lists device 1 twice: 1,2,1"},
        {{"--extranonce", "Random"}, "invalid integer for --extranonce: Random"},
        {{"--cpu-devices", "0"}, "--cpu-devices must be positive"},
        {{"--cpu-path", "avx2", "--cpu-path", "scalar", "--payout", "51"}, "payouts=1; cpu-path=scalar"},
        {{"--cpu-path", "avx3"}, "--cpu-path must be auto, scalar, avx2 or avx512: avx3"},
        {{"--coinbase-tag", "--verbose", "--poll-sec", "9", "--status-sec", "8", "--extranonce", "1000000000000",
          "--cpu-threads", "3", "--benchmark", "4", "--payout", "51"},
         "tag=--verbose poll=9 status=8 extranonce=1000000000000 cpu-threads=3 bench=4 flags=000000"},
        {{"--no-longpoll", "--gbt-txids-internal", "--payout", "51"}, "flags=110000"},
        {{"--mine-one", "--verbose", "--cpu", "--selftest"}, "flags=001111 payouts="},
        {{"--payout", "52:7", "--payout", "51@2"}, "payouts=7;2;"},  // command-line order
        {{}, "missing --payout raw scriptPubKey hex"},
        {{"--gpu"}, "missing value after --gpu"},
        {{"positional"}, "unknown option: positional"},
        {{"--rpc-url=x=y", "--payout", "51"}, "url=x=y "},
        {{"--rpc-urlx=1"}, "unknown option: --rpc-urlx=1"},
        {{"--device", " "}, "empty integer for --device"},
        {{"--blocks", "12ab"}, "invalid trailing characters in --blocks: 12ab"},
        {{"--threads-per-block", "2147483648"}, "--threads-per-block must be at most 2147483647: 2147483648"},
        {{"--iters", "4294967296"}, "--iters must be at most 4294967295: 4294967296"},
        {{"--oversubscribe", "0"}, "--oversubscribe must be positive"},
        {{"--poll-sec", "0"}, "--poll-sec must be positive"},  // 0 would poll without pause
        {{"--api-token", ""}, "--api-token must not be empty"},  // it would silently mean no token
        {{"--benchmark", "-3"}, "--benchmark must not be signed: -3"},
        {{"--threads-per-block", "0", "--iters", "0"}, "--threads-per-block must be positive"},  // the first check wins
        {{"--status-sec", "0", "--iters", "0"}, "--iters must be positive"},
        {{"--status-sec", "0", "--benchmark", "0"}, "--status-sec must be positive"},
        {{"--payout", "abcd@0"}, "payout weight must be positive: abcd@0"},
    };
    for (const auto& row : rows) {
        const std::string got = parsed(row.args);
        EXPECT_NE(got.find(row.expected), std::string::npos) << got << "\nexpected: " << row.expected;
    }
}

TEST(Options, ConfigFileAndCommandLine) {
    TempHome home;
    const std::string file = home.path + "/c.json";
    const std::string both = R"({"payout": ["51@3", "52"], "cpu": true, "poll-sec": 7, "gpu": "0,1", "iters": 9})";
    std::string many_payouts = "\"51\"";
    for (int i = 0; i < 1000; ++i) many_payouts += ",\"51\"";
    // the file's text, the command line after --config FILE, a part of the fields or the error (F: the file)
    const struct { std::string json; std::vector<const char*> args; std::string expected; } rows[] = {
        {both, {}, "gpu=0,1, cpu-devices=1 tpb=128 blocks=0 over=4 iters=9 tag=/vkncuda/ poll=7 "},
        {both, {}, "flags=000010 payouts=3;1;"},
        {both, {"--poll-sec", "9", "--payout", "53:5", "--gpu", "2"}, "gpu=2, cpu-devices=1 tpb=128 blocks=0 over=4 "
                                                                      "iters=9 tag=/vkncuda/ poll=9 "},
        {both, {"--payout", "53:5", "--payout", "51"}, "payouts=5;1;"},  // the command line's list replaces the file's
        {R"({"extranonce": 12, "rpc-timeout-ms": 5, "cpu": false, "mine-one": true, "payout": ["51"]})", {"--cpu"},
         "timeout=5 "},
        {R"({"extranonce": "random", "mine-one": true, "payout": ["51"]})", {"--cpu"}, "extranonce=random0 "},
        {R"({"extranonce": 12, "cpu": false, "mine-one": true, "payout": ["51"]})", {"--cpu"}, "flags=001010"},
        {R"({"poll-sec": -5, "payout": ["51"]})", {}, "config F: \"poll-sec\" = -5: --poll-sec must not be signed: -5"},
        {R"({"poll-sec": 0, "payout": ["51"]})", {}, "config F: \"poll-sec\" = 0: --poll-sec must be positive"},
        {R"({"poll-sec": 0, "payout": ["51"]})", {"--poll-sec=3"}, "poll=3 "},
        {R"({"bogus": 1})", {}, "config F: unknown key \"bogus\""},
        {R"({"device": "1"})", {}, "config F: unknown key \"device\""},
        {R"({"config": "x"})", {}, "config F: unknown key \"config\""},
        {R"({"cpu": "yes"})", {}, "config F: \"cpu\" = \"yes\": must be true or false"},
        {R"({"payout": "51"})", {}, "config F: \"payout\" = \"51\": must be a list of strings"},
        {R"({"payout": ["51", 7]})", {}, "config F: \"payout\" = [\"51\",7]: must be a list of strings"},
        {R"({"payout": ["abcd@0"]})", {}, "\"payout\" = [\"abcd@0\"]: payout weight must be positive: abcd@0"},
        {R"({"coinbase-tag": null})", {}, "config F: \"coinbase-tag\" = null: must be a string or a number"},
        {R"({"gpu": "x"})", {}, "config F: \"gpu\" = \"x\": invalid integer for --gpu: x"},
        {R"({"api": "0.0.0.0:80", "payout": ["51"]})", {}, "config F: \"api\" = \"0.0.0.0:80\": --api on 0.0.0.0"},
        {"[1]", {}, "config F: not a JSON object"},
        {R"({"payout": )" + std::string(65, '[') + std::string(65, ']') + "}", {}, "config F: nested deeper than 64 levels"},
        {R"({"payout": [)" + many_payouts + "]}", {}, "\"51\"...: too many payouts: 1001 (at most 1000)"},  // cut short
        {R"({"x": ")" + std::string(4 << 20, 'a') + "\"}", {}, " is larger than 4194304 bytes"},
        {"{", {}, "config F: not valid JSON: [json.exception.parse_error.101]"},
    };
    for (const auto& row : rows) {
        std::ofstream(file) << row.json;
        std::vector<const char*> args{"--config", file.c_str()};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const std::string expected = std::regex_replace(row.expected, std::regex("config F:"), "config " + file + ":");
        const std::string got = parsed(args);
        EXPECT_NE(got.find(expected), std::string::npos) << got << "\nexpected: " << expected;
    }
    EXPECT_EQ(parsed({"--config", "/nonexistent/c.json"}), "config /nonexistent/c.json: cannot open file: "
                                                           "/nonexistent/c.json (No such file or directory)");
    {  // the service's private copy of the config, when no --config is given
        ScopedEnv credentials("CREDENTIALS_DIRECTORY", home.path.c_str());
        std::ofstream(home.path + "/config.json") << R"({"payout": ["51"], "poll-sec": 4})";
        std::ofstream(file) << R"({"payout": ["51"], "poll-sec": 9})";
        EXPECT_NE(parsed({}).find("poll=4 "), std::string::npos);
        EXPECT_NE(parsed({"--config", file.c_str()}).find("poll=9 "), std::string::npos);  // the given one wins
    }
    EXPECT_EQ(parsed({"--payout", "51", "--config"}), "missing value after --config");
    // Secrets from files: the first line without its end; a file others may read gets a warning.
    const std::string secret = home.path + "/secret";
    std::ofstream(secret) << "pw\r\nnext line";
    std::filesystem::permissions(secret, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_NE(parsed({"--rpc-pass-file", secret.c_str(), "--api-token-file", secret.c_str(), "--payout", "51"})
                  .find(" pass=pw "), std::string::npos);
    const char* shared[] = {"vkn-miner", "--api-token-file", secret.c_str(), "--selftest"};
    EXPECT_TRUE(parse_options(4, shared).warnings.empty());
    std::filesystem::permissions(secret, std::filesystem::perms::group_read, std::filesystem::perm_options::add);
    EXPECT_EQ(parse_options(4, shared).warnings.size(), 1u);
    std::ofstream(secret) << "\n";
    EXPECT_EQ(parsed({"--rpc-pass-file", secret.c_str()}), "--rpc-pass-file: no secret on the first line of " + secret);
    EXPECT_EQ(parsed({"--api-token-file", "/nonexistent"}), "--api-token-file: cannot open file: /nonexistent (No such file or directory)");
    std::string prog = "m", u = "--rpc-url", url = "http://u:longpass@h/", p = "--rpc-pass", pass = "pw",
                t = "--api-token", token = "tk", joined = "--rpc-pass=pw2", joined_url = "--rpc-url=http://u:pwd@h/";
    char* line[] = {prog.data(), u.data(),     url.data(),    p.data(),          pass.data(),
                    t.data(),    token.data(), joined.data(), joined_url.data(), nullptr};
    hide_secrets(9, line);
    EXPECT_EQ(url + "|" + pass + "|" + token + "|" + joined + "|" + joined_url,
              "http://u:***@h/     |**|**|--rpc-pass=***|--rpc-url=http://u:***@h/");  // the same bytes, masked
    const char* version[] = {"vkn-miner", "--version", "--bogus"};  // nothing after it is read
    EXPECT_TRUE(parse_options(3, version).early_exit && parse_options(3, version).text.starts_with("vkn-miner 1."));
}

TEST(Options, CookieSearch) {
    TempHome home;
    auto cookie = [](std::vector<const char*> args) {  // the cookie field, or the error
        std::smatch m;
        const std::string got = parsed(args);
        return std::regex_search(got, m, std::regex(" cookie=(\\S*) ")) ? m.str(1) : got;
    };
    auto touch = [&](const std::string& path) {
        std::filesystem::create_directories(std::filesystem::path(home.path + path).parent_path());
        std::ofstream(home.path + path) << "u:p";
    };
    std::ofstream(home.path + "/.vorlakken") << "a file: its child counts as absent";
    EXPECT_EQ(cookie({"--selftest"}), "");
    std::filesystem::remove(home.path + "/.vorlakken");
    touch("/.bitcoin/.cookie");
    EXPECT_EQ(cookie({"--selftest"}), "~/.bitcoin/.cookie");
    std::filesystem::create_directories(home.path + "/.vorlakKEN/.cookie");  // a directory counts
    EXPECT_EQ(cookie({"--selftest"}), "~/.vorlakKEN/.cookie");
    touch("/.vorlakken/.cookie");
    EXPECT_EQ(cookie({"--selftest"}), "~/.vorlakken/.cookie");
    EXPECT_EQ(cookie({"--selftest", "--rpc-pass", "x"}), "~/.vorlakken/.cookie");  // only --rpc-user stops it
    EXPECT_EQ(cookie({"--selftest", "--rpc-user", "x"}), "");
    EXPECT_EQ(cookie({"--selftest", "--rpc-cookie", "/c"}), "/c");
    ScopedEnv no_home("HOME", nullptr);
    EXPECT_EQ(cookie({"--selftest"}), "HOME is not set, cannot expand path: ~/.vorlakken/.cookie");
    EXPECT_EQ(cookie({"--selftest", "--rpc-user", "u"}), "");  // no search, no HOME needed
}

}  // namespace
}  // namespace vkn
