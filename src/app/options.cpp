#include "app/options.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include <nlohmann/json.hpp>

#include "api/status_api.h"
#include "app/version.h"
#include "node/rpc_client.h"
#include "node/stratum_client.h"
#include "util/files.h"
#include "util/hex.h"
#include "util/parse.h"

namespace vkn {
namespace {

struct HelpLine {
    const char* syntax;
    std::string text;
};

void section(std::ostringstream& out, const char* head, const std::vector<HelpLine>& lines) {
    out << head << "\n";
    for (const HelpLine& l : lines) {
        std::string syntax = l.syntax;
        if (syntax.size() < 27) syntax.resize(27, ' ');
        out << "  " << syntax << l.text << "\n";
    }
    out << "\n";
}

// An integer at most `most`: a sign or a larger value is refused, never wrapped.
uint64_t at_most(const std::string& v, const std::string& as, uint64_t most) {
    const std::string t = trim_ws(v);
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) throw std::runtime_error(as + " must not be signed: " + v);
    const uint64_t n = parse_u64(v, as);
    if (n > most) throw std::runtime_error(as + " must be at most " + std::to_string(most) + ": " + v);
    return n;
}
int32_t i32(const std::string& v, const std::string& as) { return int32_t(at_most(v, as, INT32_MAX)); }
uint32_t u32(const std::string& v, const std::string& as) { return uint32_t(at_most(v, as, UINT32_MAX)); }

const char* const kCookieCandidates[] = {"~/.vorlakken/.cookie", "~/.vorlakKEN/.cookie", "~/.bitcoin/.cookie"};

void search_cookie(RpcConfig& rpc) {
    for (const char* candidate : kCookieCandidates) {
        std::string expanded = expand_home(candidate);
        // exists() treats "not found" and "parent is not a directory" as
        // absent; any other failure (permissions) throws with its message.
        if (std::filesystem::exists(std::filesystem::path(expanded))) {
            rpc.cookie_file = candidate;
            return;
        }
    }
}

// "N", "N,M,..." or "all".
void parse_gpu_list(const std::string& text, const std::string& name, MinerOptions& o) {
    o.gpu_devices.clear();
    o.gpu_all = text == "all";
    if (o.gpu_all) return;
    for (size_t from = 0;;) {
        const size_t comma = text.find(',', from);
        const int32_t device = i32(text.substr(from, comma - from), name);
        if (std::find(o.gpu_devices.begin(), o.gpu_devices.end(), device) != o.gpu_devices.end())
            throw std::runtime_error(name + " lists device " + std::to_string(device) + " twice: " + text);
        o.gpu_devices.push_back(device);
        if (comma == std::string::npos) return;
        from = comma + 1;
    }
}

// What the scan carries besides the options themselves.
struct Scan {
    MinerOptions& o;
    std::vector<std::string>& warnings;
    bool benchmark_given = false;  // an explicit 0 must fail, not mean "off"
};

// The secret in the file named by `option`: a file others may read is used, with a warning.
std::string secret_from(Scan& s, const std::string& file, const std::string& option) {
    bool shared = false;
    std::string secret;
    try {
        secret = read_secret(file, shared);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(option + ": " + e.what());
    }
    if (secret.empty()) throw std::runtime_error(option + ": no secret on the first line of " + file);
    if (shared)
        s.warnings.push_back("[config] " + option + " " + file +
                             " can be read by its group or others; keep secrets readable by this user alone");
    return secret;
}

// One option: its name, whether it takes a value (a list: repeatable, a JSON
// list in the config file), its help lines, whether the config file may set
// it, what it sets and the check it must pass once everything is read. The
// one table drives parsing, --help and the config file's keys.
struct Option {
    enum Kind { flag, value, list };
    const char* name;
    Kind kind;
    const char* section;  // nullptr: a synonym, not in the help
    std::vector<HelpLine> help;
    bool config_key;
    void (*apply)(Scan&, const std::string& value, const std::string& as_typed);
    void (*check)(Scan&) = nullptr;  // throws its message
};

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// A bad value of the config file: the file, the key and the value (its start, when it is long).
[[noreturn]] void fail_in_file(const std::string& config, const std::string& key, const std::string& json,
                               const std::string& why) {
    fail("config " + config + ": \"" + key + "\" = " + (json.size() <= 200 ? json : json.substr(0, 200) + "...") +
         ": " + why);
}

// A coinbase output each: more would only make every candidate slow to build.
constexpr size_t kMaxPayouts = 1000;

void positive(bool ok, const char* name) {
    if (!ok) fail(std::string(name) + " must be positive");
}

const char* const kRpc = "RPC options:";
const char* const kPayout = "Payout options, repeatable:";
const char* const kCuda = "CUDA options:";
const char* const kCpu = "CPU options:";
const char* const kWork = "Mining/work options:";
const char* const kHealth = "Device health options:";
const char* const kLog = "Logging options:";
const char* const kPayoutSafety = "Payout safety options:";
const char* const kPool = "Pool options:";

// More would only exhaust the machine: threads and devices the CPU search may be split into.
constexpr uint32_t kMaxCpuThreads = 65536;
constexpr uint32_t kMaxCpuDevices = 1024;

using S = Scan&;
using V = const std::string&;

const std::vector<Option> kOptions = {
    {"--rpc-url", Option::value, kRpc, {{"--rpc-url URL", std::string("JSON-RPC URL, default ") + kDefaultRpcUrl}},
     true, [](S s, V v, V) { s.o.rpc.url = v; }},
    {"--rpc-user", Option::value, kRpc, {{"--rpc-user USER", "RPC username"}}, true,
     [](S s, V v, V) { s.o.rpc.user = v; }},
    {"--rpc-pass", Option::value, kRpc, {{"--rpc-pass PASS", "RPC password"}}, true,
     [](S s, V v, V) { s.o.rpc.password = v; }},
    {"--rpc-pass-file", Option::value, kRpc, {{"--rpc-pass-file FILE", "RPC password from the first line of FILE"}},
     true, [](S s, V v, V as) { s.o.rpc.password = secret_from(s, v, as); }},
    {"--rpc-cookie", Option::value, kRpc,
     {{"--rpc-cookie FILE", "Cookie auth file. If omitted, tries ~/.vorlakken/.cookie, ~/.vorlakKEN/.cookie, then ~/.bitcoin/.cookie"}},
     true, [](S s, V v, V) { s.o.rpc.cookie_file = v; }},
    {"--rpc-timeout-ms", Option::value, kRpc, {{"--rpc-timeout-ms N", "Normal RPC timeout, default 30000"}}, true,
     [](S s, V v, V as) { s.o.rpc.timeout_ms = int64_t(at_most(v, as, INT32_MAX)); }},
    {"--payout", Option::list, kPayout,
     {{"--payout SCRIPT", "Weighted payout; if it is the only payout it receives all coinbasevalue"},
      {"--payout SCRIPT@WEIGHT", "Weighted payout for the post-absolute remainder"},
      {"--payout SCRIPT:SATS",
       "Absolute satoshi payout; any unassigned remainder goes to weighted payouts or the first output"}},
     true, [](S s, V v, V) { s.o.payouts.push_back(parse_payout(v)); },
     [](S s) {
         if (s.o.payouts.size() > kMaxPayouts)
             fail("too many payouts: " + std::to_string(s.o.payouts.size()) + " (at most 1000)");
     }},
    {"--gpu", Option::value, kCuda,
     {{"--gpu N", "CUDA device, default 0"},
      {"--gpu LIST", "Several CUDA devices in one process: a comma-separated list (0,2,3) or all"}},
     true, [](S s, V v, V as) { parse_gpu_list(v, as, s.o); }},
    {"--device", Option::value, nullptr, {}, false, [](S s, V v, V as) { parse_gpu_list(v, as, s.o); }},
    {"--threads-per-block", Option::value, kCuda, {{"--threads-per-block N", "Default 128"}}, true,
     [](S s, V v, V as) { s.o.threads_per_block = i32(v, as); },
     [](S s) { positive(s.o.threads_per_block > 0, "--threads-per-block"); }},
    {"--blocks", Option::value, kCuda,
     {{"--blocks N", "CUDA grid blocks; default auto occupancy * SMs * oversubscribe"}}, true,
     [](S s, V v, V as) { s.o.grid_blocks = i32(v, as); }},
    {"--oversubscribe", Option::value, kCuda, {{"--oversubscribe N", "Auto-grid multiplier, default 4"}}, true,
     [](S s, V v, V as) { s.o.oversubscribe = i32(v, as); },
     [](S s) { positive(s.o.oversubscribe > 0, "--oversubscribe"); }},
    {"--iters", Option::value, kCuda, {{"--iters N", "Nonces per CUDA thread per launch, default 512"}}, true,
     [](S s, V v, V as) { s.o.iters_per_thread = u32(v, as); },
     [](S s) { positive(s.o.iters_per_thread != 0, "--iters"); }},
    {"--temp-limit", Option::value, kHealth,
     {{"--temp-limit C", "Pause a GPU at C degrees Celsius until it is 5 below; off by default"}}, true,
     [](S s, V v, V as) {
         s.o.temp_limit = int32_t(at_most(v, as, 150));
         positive(s.o.temp_limit > 0, "--temp-limit");
     }},
    {"--cpu", Option::flag, kCpu,
     {{"--cpu", "Search on the CPU instead of a CUDA device (slow; for tests and regtest)"}}, true,
     [](S s, V, V) { s.o.cpu = true; }},
    {"--cpu-threads", Option::value, kCpu, {{"--cpu-threads N", "CPU search threads, default all hardware threads"}},
     true, [](S s, V v, V as) { s.o.cpu_threads = uint32_t(at_most(v, as, kMaxCpuThreads)); }},
    {"--cpu-devices", Option::value, kCpu,
     {{"--cpu-devices N", "Split the CPU threads into N search devices, default 1"}}, true,
     [](S s, V v, V as) { s.o.cpu_devices = uint32_t(at_most(v, as, kMaxCpuDevices)); },
     [](S s) { positive(s.o.cpu_devices != 0, "--cpu-devices"); }},
    {"--cpu-path", Option::value, kCpu,
     {{"--cpu-path NAME", "auto (the widest this CPU has), scalar, avx2 or avx512; default auto"}}, true,
     [](S s, V v, V) {
         if (v != "auto" && v != "scalar" && v != "avx2" && v != "avx512")
             fail("--cpu-path must be auto, scalar, avx2 or avx512: " + v);
         s.o.cpu_path = v;
     }},
    {"--coinbase-tag", Option::value, kWork, {{"--coinbase-tag STRING", "Coinbase scriptSig tag, default /vkncuda/"}},
     true, [](S s, V v, V) { s.o.coinbase_tag = v; }},
    {"--no-longpoll", Option::flag, kWork, {{"--no-longpoll", "Disable GBT longpoll and poll periodically instead"}},
     true, [](S s, V, V) { s.o.no_longpoll = true; }},
    {"--poll-sec", Option::value, kWork, {{"--poll-sec N", "Poll interval when not using longpoll, default 15"}}, true,
     [](S s, V v, V as) { s.o.poll_sec = i32(v, as); }, [](S s) { positive(s.o.poll_sec > 0, "--poll-sec"); }},
    {"--status-sec", Option::value, kWork, {{"--status-sec N", "Status print interval, default 5"}}, true,
     [](S s, V v, V as) { s.o.status_sec = i32(v, as); }, [](S s) { positive(s.o.status_sec > 0, "--status-sec"); }},
    {"--gbt-txids-internal", Option::flag, kWork,
     {{"--gbt-txids-internal", "Use only if your VKN node emits transaction hashes in internal byte order"}}, true,
     [](S s, V, V) { s.o.gbt_txids_internal = true; }},
    {"--extranonce", Option::value, kWork,
     {{"--extranonce N", "Starting extranonce, default 0"},
      {"--extranonce random", "A random 64-bit start from the OS, printed at start-up"}},
     true,
     [](S s, V v, V as) {
         s.o.extranonce_random = v == "random";
         if (!s.o.extranonce_random) s.o.extranonce_start = at_most(v, as, UINT64_MAX);
     }},
    {"--mine-one", Option::flag, kWork, {{"--mine-one", "Exit after the first found block is submitted"}}, true,
     [](S s, V, V) { s.o.mine_one = true; }},
    {"--found-log", Option::value, kWork,
     {{"--found-log FILE", std::string("Journal of found blocks and their outcomes, default ") + kDefaultJournalPath}},
     true, [](S s, V v, V) { s.o.found_log = v; }},
    {"--selftest", Option::flag, kWork, {{"--selftest", "Run CPU/GPU hash self-tests and exit"}}, true,
     [](S s, V, V) { s.o.selftest = true; }},
    {"--benchmark", Option::value, kWork,
     {{"--benchmark SECONDS", "Hash a synthetic header for SECONDS without a node, then exit"}}, true,
     [](S s, V v, V as) {
         s.o.benchmark_sec = i32(v, as);
         s.benchmark_given = true;
     },
     [](S s) { positive(!s.benchmark_given || s.o.benchmark_sec > 0, "--benchmark"); }},
    {"--api", Option::value, kWork,
     {{"--api ADDR:PORT", "Serve the read-only status API (/api/v1/summary, /metrics) there; off by default"}}, true,
     [](S s, V v, V) { std::tie(s.o.api_host, s.o.api_port) = parse_api_address(v); },
     [](S s) {
         if (!s.o.api_host.empty() && !is_loopback(s.o.api_host) && s.o.api_token.empty())
             fail("--api on " + s.o.api_host + ", not a loopback address, needs --api-token");
     }},
    {"--api-token", Option::value, kWork,
     {{"--api-token TOKEN", "Require Authorization: Bearer TOKEN; needed for a non-loopback ADDR"}}, true,
     [](S s, V v, V) {
         if (v.empty()) fail("--api-token must not be empty");
         s.o.api_token = v;
     }},
    {"--api-token-file", Option::value, kWork,
     {{"--api-token-file FILE", "The --api-token from the first line of FILE, kept out of the process list"}}, true,
     [](S s, V v, V as) { s.o.api_token = secret_from(s, v, as); }},
    {"--verbose", Option::flag, kWork, {{"--verbose", "More logging: each node call and each device batch"}}, true, [](S s, V, V) { s.o.verbose = true; }},
    {"--payout-address", Option::list, kPayoutSafety,
     {{"--payout-address A", "Pay address A: the node's validateaddress gives its script; mixed with --payout in order"},
      {"--payout-address A@WEIGHT", "Weighted, as SCRIPT@WEIGHT"},
      {"--payout-address A:SATS", "Absolute, as SCRIPT:SATS"}},
     true, [](S s, V v, V) { s.o.payouts.push_back(parse_payout_address(v)); }},
    {"--no-proposal", Option::flag, kPayoutSafety,
     {{"--no-proposal", "Do not have the node check each template's block (a BIP 23 proposal) before mining it"}},
     true, [](S s, V, V) { s.o.no_proposal = true; }},
    {"--pool", Option::list, kPool,
     {{"--pool URL", "Mine for a Stratum pool (stratum+tcp:// or stratum+ssl://HOST:PORT); again for failovers"}},
     true, [](S s, V v, V) { s.o.pools.push_back(v); },
     [](S s) {
         for (const std::string& url : s.o.pools) parse_pool_url(url);
         if (!s.o.pools.empty() && !s.o.payouts.empty())
             fail("--pool mines for the pool, which pays: leave out --payout and --payout-address");
         if (!s.o.pools.empty() && s.o.pool_user.empty()) fail("--pool needs --pool-user, the pool's worker name");
     }},
    {"--pool-user", Option::value, kPool, {{"--pool-user WORKER", "The pool's worker name"}}, true,
     [](S s, V v, V) { s.o.pool_user = v; }},
    {"--pool-pass", Option::value, kPool, {{"--pool-pass PASS", "The worker's password, default x"}}, true,
     [](S s, V v, V) { s.o.pool_pass = v; }},
    {"--pool-diff1", Option::value, kPool,
     {{"--pool-diff1 HEX", "The pool's difficulty-1 target, 64 hex digits; default 00000000ffff0000...0000"}}, true,
     [](S s, V v, V as) {
         if (v.size() != 64 || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
             fail(as + " must be 64 hex digits: " + v);
         s.o.pool_diff1 = v;
     }},
    {"--pool-insecure", Option::flag, kPool,
     {{"--pool-insecure", "With stratum+ssl, do not check the pool's certificate"}}, true,
     [](S s, V, V) { s.o.pool_insecure = true; }},
    {"--log-time", Option::flag, kLog,
     {{"--log-time", "Start each line with the local time (ISO 8601, milliseconds); off by default"}}, true,
     [](S s, V, V) { s.o.log_time = true; }},
    {"--log-file", Option::value, kLog,
     {{"--log-file FILE", "Append every line, with its time, to FILE as well; reopened on SIGHUP"}}, true,
     [](S s, V v, V) { s.o.log_file = v; }},
    {"--quiet", Option::flag, kLog, {{"--quiet", "Print only found blocks, their submission, warnings and errors"}},
     true, [](S s, V, V) { s.o.quiet = true; },
     [](S s) {
         if (s.o.quiet && s.o.verbose) fail("--quiet and --verbose cannot be used together");
     }},
    {"--config", Option::value, kWork,
     {{"--config FILE", "Read options from a JSON file; the command line overrides it"}}, false, [](S, V, V) {}},
    {"--version", Option::flag, kWork, {{"--version", "Print the version and exit"}}, false, nullptr},
    {"--help", Option::flag, kWork, {{"-h, --help", "Show this help"}}, false, nullptr},
    {"-h", Option::flag, nullptr, {}, false, nullptr},
};

const Option* find_option(const std::string& name) {
    for (const Option& opt : kOptions)
        if (name == opt.name) return &opt;
    return nullptr;
}

// The checks of every option, in the table's order; the first failure names
// its option, so that a value from the config file is reported with its key.
using FromFile = std::map<std::string, std::shared_ptr<const std::string>>;  // option -> its JSON text

void validate(Scan& scan, const FromFile& from_file, const std::string& config) {
    for (const Option& opt : kOptions) {
        if (!opt.check) continue;
        try {
            opt.check(scan);
        } catch (const std::runtime_error& e) {
            const auto it = from_file.find(opt.name);
            if (it == from_file.end()) throw;
            fail_in_file(config, opt.name + 2, *it->second, e.what());
        }
    }
    MinerOptions& o = scan.o;
    if (o.rpc.user.empty() && o.rpc.cookie_file.empty()) search_cookie(o.rpc);
    if (!o.selftest && o.benchmark_sec == 0 && o.payouts.empty() && o.pools.empty())
        fail("missing --payout raw scriptPubKey hex");
}

// One option of a config file: the option, its value, and the JSON it came from.
struct FileOption {
    const Option* option;
    std::string value;
    std::shared_ptr<const std::string> json;  // one text per key, however long its list
};

// A configuration is small: a larger or deeper file is refused before it costs anything.
constexpr size_t kConfigBytes = 4 << 20;
constexpr int kConfigDepth = 64;

nlohmann::json parse_config(const std::string& path) {
    std::string text;
    try {
        text = read_file(path, kConfigBytes);
    } catch (const std::runtime_error& e) {
        fail("config " + path + ": " + e.what());
    }
    try {
        return nlohmann::json::parse(text, [&](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (depth > kConfigDepth)
                fail("config " + path + ": nested deeper than " + std::to_string(kConfigDepth) + " levels");
            return true;
        });
    } catch (const nlohmann::json::exception& e) {
        fail("config " + path + ": not valid JSON: " + e.what());
    }
}

std::vector<FileOption> read_config(const std::string& path) {
    const nlohmann::json doc = parse_config(path);
    if (!doc.is_object()) fail("config " + path + ": not a JSON object");
    std::vector<FileOption> found;
    for (const auto& item : doc.items()) {
        const std::string& key = item.key();
        const nlohmann::json& value = item.value();
        const Option* opt = find_option("--" + key);
        if (!opt || !opt->config_key) fail("config " + path + ": unknown key \"" + key + "\"");
        const auto json = std::make_shared<const std::string>(value.dump());
        auto bad = [&](const std::string& why) { fail_in_file(path, key, *json, why); };
        if (opt->kind == Option::flag) {
            if (!value.is_boolean()) bad("must be true or false");
            if (value.get<bool>()) found.push_back({opt, "", json});
        } else if (opt->kind == Option::list) {
            if (!value.is_array()) bad("must be a list of strings");
            for (const auto& entry : value) {
                if (!entry.is_string()) bad("must be a list of strings");
                found.push_back({opt, entry.get<std::string>(), json});
            }
        } else if (value.is_string() || value.is_number()) {
            found.push_back({opt, value.is_string() ? value.get<std::string>() : *json, json});
        } else {
            bad("must be a string or a number");
        }
    }
    return found;
}

}  // namespace

std::string help_text(const std::string& prog) {
    std::ostringstream out;
    out << "Vorlakken / VKN CUDA SHA3-256t solo miner\n\nUsage:\n  " << prog
        << " --payout <scriptPubKeyHex> [options]\n\n";
    for (const char* head : {kRpc, kPayout, kCuda, kCpu, kWork, kHealth, kLog, kPayoutSafety, kPool}) {
        std::vector<HelpLine> lines;
        for (const Option& opt : kOptions)
            if (opt.section == head) lines.insert(lines.end(), opt.help.begin(), opt.help.end());
        section(out, head, lines);
    }
    out << "Examples:\n"
        << "  " << prog << " --rpc-url " << kDefaultRpcUrl << " --rpc-cookie ~/.vorlakken/.cookie \\\n"
        << "    --payout 76a91400112233445566778899aabbccddeeff0011223388ac\n\n"
        << "  " << prog << " --rpc-user miner --rpc-pass secret \\\n"
        << "    --payout 76a914aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa88ac@3 \\\n"
        << "    --payout 76a914bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb88ac@1\n\n";
    return out.str();
}

namespace {

// One argument as an option and, for "--name=value", its value.
struct Arg {
    std::string name;
    std::optional<std::string> value;
};
Arg split_arg(const std::string& arg) {
    const size_t eq = arg.find('=');
    if (!arg.starts_with("--") || eq == std::string::npos) return {arg, std::nullopt};
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

// The config file named on the command line, if any.
std::string config_path(int argc, const char* const* argv) {
    std::string config;
    for (int i = 1; i < argc; ++i) {
        const Arg a = split_arg(argv[i]);
        const Option* opt = find_option(a.name);
        const bool takes_next = opt && opt->kind != Option::flag && !a.value;
        if (opt == find_option("--config") && (a.value || i + 1 < argc)) config = a.value ? *a.value : argv[i + 1];
        if (takes_next) ++i;
    }
    // Under systemd the config may come as a credential, readable by the service alone.
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (config.empty() && credentials && *credentials) {
        const std::string candidate = std::string(credentials) + "/config.json";
        if (std::filesystem::exists(candidate)) config = candidate;
    }
    return config;
}

}  // namespace

ParsedOptions parse_options(int argc, const char* const* argv) {
    ParsedOptions parsed;
    Scan scan{parsed.options, parsed.warnings};
    // The config file first, so that the command line overrides it.
    const std::string config = config_path(argc, argv);
    FromFile from_file;  // what the file set, while the command line leaves it alone
    for (const FileOption& f : config.empty() ? std::vector<FileOption>{} : read_config(config)) {
        try {
            f.option->apply(scan, f.value, f.option->name);
        } catch (const std::runtime_error& e) {
            fail_in_file(config, f.option->name + 2, *f.json, e.what());
        }
        from_file[f.option->name] = f.json;
    }
    std::set<std::string> lists_given;  // on the command line a list replaces the file's
    for (int i = 1; i < argc; ++i) {
        const Arg a = split_arg(argv[i]);
        const std::string& arg = a.name;
        const Option* opt = find_option(arg);
        if (!opt) fail("unknown option: " + std::string(argv[i]));
        if (a.value && opt->kind == Option::flag) fail(arg + " takes no value: " + argv[i]);
        if (!opt->apply) {  // -h, --help, --version
            parsed.early_exit = true;
            parsed.text = arg == "--version" ? std::string("vkn-miner ") + version_text() + "\n"
                                             : help_text(argc > 0 ? argv[0] : "vkn-miner");
            return parsed;
        }
        std::string value;
        if (a.value) {
            value = *a.value;
        } else if (opt->kind != Option::flag) {
            if (i + 1 >= argc) fail("missing value after " + arg);
            value = argv[++i];
        }
        if (opt->kind == Option::list && lists_given.insert(arg == "--pool" ? "pool" : "payout").second)
            arg == "--pool" ? parsed.options.pools.clear() : parsed.options.payouts.clear();
        from_file.erase(arg == "--device" ? "--gpu" : arg);
        opt->apply(scan, value, arg);
    }
    validate(scan, from_file, config);
    return parsed;
}

void hide_secrets(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = argv[i] + eq + 1;  // "--name=value": the value in place
            arg.resize(eq);
        }
        if (!value) continue;
        const size_t n = std::strlen(value);
        if (arg == "--rpc-pass" || arg == "--api-token" || arg == "--pool-pass") {
            std::memset(value, '*', n);
        } else if (arg == "--rpc-url") {
            // The masked form in the same bytes: cut to fit, or padded with spaces.
            const std::string masked = redact_url(value);
            if (masked == value) continue;
            std::memset(value, ' ', n);
            std::memcpy(value, masked.data(), std::min(n, masked.size()));
        }
    }
}

}  // namespace vkn
