#include "app/options.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include <nlohmann/json.hpp>

#include "api/status_api.h"
#include "app/version.h"
#include "util/files.h"
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

// The stored low 32 bits of a parsed value, two's complement for signed fields.
int32_t low_i32(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
uint32_t low_u32(uint64_t v) { return static_cast<uint32_t>(v); }

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
        const int32_t device = low_i32(parse_u64(text.substr(from, comma - from), name));
        if (std::find(o.gpu_devices.begin(), o.gpu_devices.end(), device) != o.gpu_devices.end())
            throw std::runtime_error(name + " lists device " + std::to_string(device) + " twice: " + text);
        o.gpu_devices.push_back(device);
        if (comma == std::string::npos) return;
        from = comma + 1;
    }
}

bool is_flag(const std::string& arg) {
    for (const char* f : {"--no-longpoll", "--gbt-txids-internal", "--mine-one", "--selftest", "--verbose", "--cpu"})
        if (arg == f) return true;
    return false;
}

// Sets what one option says; `v` is its value ("" for a flag).
void apply(MinerOptions& o, const std::string& arg, const std::string& v, bool& benchmark_given) {
    auto integer = [&]() -> uint64_t { return parse_u64(v, arg); };
    if (arg == "--rpc-url") o.rpc.url = v;
    else if (arg == "--rpc-user") o.rpc.user = v;
    else if (arg == "--rpc-pass") o.rpc.password = v;
    else if (arg == "--rpc-cookie") o.rpc.cookie_file = v;
    else if (arg == "--rpc-timeout-ms") o.rpc.timeout_ms = static_cast<int64_t>(integer());
    else if (arg == "--payout") o.payouts.push_back(parse_payout(v));
    else if (arg == "--gpu" || arg == "--device") parse_gpu_list(v, arg, o);
    else if (arg == "--threads-per-block") o.threads_per_block = low_i32(integer());
    else if (arg == "--blocks") o.grid_blocks = low_i32(integer());
    else if (arg == "--oversubscribe") o.oversubscribe = low_i32(integer());
    else if (arg == "--iters") o.iters_per_thread = low_u32(integer());
    else if (arg == "--coinbase-tag") o.coinbase_tag = v;
    else if (arg == "--no-longpoll") o.no_longpoll = true;
    else if (arg == "--poll-sec") o.poll_sec = low_i32(integer());
    else if (arg == "--status-sec") o.status_sec = low_i32(integer());
    else if (arg == "--gbt-txids-internal") o.gbt_txids_internal = true;
    else if (arg == "--extranonce") {
        o.extranonce_random = v == "random";
        if (!o.extranonce_random) o.extranonce_start = integer();
    }
    else if (arg == "--mine-one") o.mine_one = true;
    else if (arg == "--found-log") o.found_log = v;
    else if (arg == "--selftest") o.selftest = true;
    else if (arg == "--verbose") o.verbose = true;
    else if (arg == "--cpu") o.cpu = true;
    else if (arg == "--cpu-threads") o.cpu_threads = low_u32(integer());
    else if (arg == "--cpu-devices") o.cpu_devices = low_u32(integer());
    else if (arg == "--cpu-path") {
        if (v != "auto" && v != "scalar" && v != "avx2" && v != "avx512")
            throw std::runtime_error("--cpu-path must be auto, scalar, avx2 or avx512: " + v);
        o.cpu_path = v;
    }
    else if (arg == "--api") std::tie(o.api_host, o.api_port) = parse_api_address(v);
    else if (arg == "--api-token") {
        if (v.empty()) throw std::runtime_error("--api-token must not be empty");
        o.api_token = v;
    }
    else if (arg == "--benchmark") {
        o.benchmark_sec = low_i32(integer());
        benchmark_given = true;
    }
    else throw std::runtime_error("unknown option: " + arg);
}

void validate(MinerOptions& o, bool benchmark_given) {
    if (o.threads_per_block <= 0) throw std::runtime_error("--threads-per-block must be positive");
    if (o.iters_per_thread == 0) throw std::runtime_error("--iters must be positive");
    if (o.oversubscribe <= 0) throw std::runtime_error("--oversubscribe must be positive");
    if (o.poll_sec <= 0) throw std::runtime_error("--poll-sec must be positive");
    if (o.status_sec <= 0) throw std::runtime_error("--status-sec must be positive");
    if (o.cpu_devices == 0) throw std::runtime_error("--cpu-devices must be positive");
    if (!o.api_host.empty() && !is_loopback(o.api_host) && o.api_token.empty())
        throw std::runtime_error("--api on " + o.api_host + ", not a loopback address, needs --api-token");
    if (benchmark_given && o.benchmark_sec <= 0) throw std::runtime_error("--benchmark must be positive");
    if (o.rpc.user.empty() && o.rpc.cookie_file.empty()) search_cookie(o.rpc);
    if (!o.selftest && o.benchmark_sec == 0 && o.payouts.empty())
        throw std::runtime_error("missing --payout raw scriptPubKey hex");
}

// One option of a config file: "--key", its value, and the JSON it came from.
struct FileOption {
    std::string arg;
    std::string value;
    std::string json;
};

std::vector<FileOption> read_config(const std::string& path) {
    std::string text;
    try {
        text = read_file(path);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("config " + path + ": " + e.what());
    }
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error("config " + path + ": not valid JSON: " + e.what());
    }
    if (!doc.is_object()) throw std::runtime_error("config " + path + ": not a JSON object");
    std::vector<FileOption> options;
    for (const auto& item : doc.items()) {
        const std::string key = item.key();
        const nlohmann::json& value = item.value();
        const std::string arg = "--" + key;
        auto bad = [&](const std::string& why) {
            return std::runtime_error("config " + path + ": \"" + key + "\" = " + value.dump() + ": " + why);
        };
        if (key == "config" || key == "help" || key == "version" || key == "device" ||
            !(is_flag(arg) || help_text("").find("  " + arg + " ") != std::string::npos))
            throw std::runtime_error("config " + path + ": unknown key \"" + key + "\"");
        if (is_flag(arg)) {
            if (!value.is_boolean()) throw bad("must be true or false");
            if (value.get<bool>()) options.push_back({arg, "", value.dump()});
        } else if (arg == "--payout") {
            if (!value.is_array()) throw bad("must be a list of strings");
            for (const auto& item : value) {
                if (!item.is_string()) throw bad("must be a list of strings");
                options.push_back({arg, item.get<std::string>(), value.dump()});
            }
        } else if (value.is_string()) {
            options.push_back({arg, value.get<std::string>(), value.dump()});
        } else if (value.is_number()) {
            options.push_back({arg, value.dump(), value.dump()});
        } else {
            throw bad("must be a string or a number");
        }
    }
    return options;
}

}  // namespace

std::string help_text(const std::string& prog) {
    std::ostringstream out;
    out << "Vorlakken / VKN CUDA SHA3-256t solo miner\n\nUsage:\n  " << prog
        << " --payout <scriptPubKeyHex> [options]\n\n";
    section(out, "RPC options:",
            {{"--rpc-url URL", std::string("JSON-RPC URL, default ") + kDefaultRpcUrl},
             {"--rpc-user USER", "RPC username"},
             {"--rpc-pass PASS", "RPC password"},
             {"--rpc-cookie FILE", "Cookie auth file. If omitted, tries ~/.vorlakken/.cookie then ~/.bitcoin/.cookie"},
             {"--rpc-timeout-ms N", "Normal RPC timeout, default 30000"}});
    section(out, "Payout options, repeatable:",
            {{"--payout SCRIPT", "Weighted payout; if it is the only payout it receives all coinbasevalue"},
             {"--payout SCRIPT@WEIGHT", "Weighted payout for the post-absolute remainder"},
             {"--payout SCRIPT:SATS",
              "Absolute satoshi payout; any unassigned remainder goes to weighted payouts or the first output"}});
    section(out, "CUDA options:",
            {{"--gpu N", "CUDA device, default 0"},
             {"--gpu LIST", "Several CUDA devices in one process: a comma-separated list (0,2,3) or all"},
             {"--threads-per-block N", "Default 128"},
             {"--blocks N", "CUDA grid blocks; default auto occupancy * SMs * oversubscribe"},
             {"--oversubscribe N", "Auto-grid multiplier, default 4"},
             {"--iters N", "Nonces per CUDA thread per launch, default 512"}});
    section(out, "CPU options:",
            {{"--cpu", "Search on the CPU instead of a CUDA device (slow; for tests and regtest)"},
             {"--cpu-threads N", "CPU search threads, default all hardware threads"},
             {"--cpu-devices N", "Split the CPU threads into N search devices, default 1"},
             {"--cpu-path NAME", "auto (the widest this CPU has), scalar, avx2 or avx512; default auto"}});
    section(out, "Mining/work options:",
            {{"--coinbase-tag STRING", "Coinbase scriptSig tag, default /vkncuda/"},
             {"--no-longpoll", "Disable GBT longpoll and poll periodically instead"},
             {"--poll-sec N", "Poll interval when not using longpoll, default 15"},
             {"--status-sec N", "Status print interval, default 5"},
             {"--gbt-txids-internal", "Use only if your VKN node emits transaction hashes in internal byte order"},
             {"--extranonce N", "Starting extranonce, default 0"},
             {"--extranonce random", "A random 64-bit start from the OS, printed at start-up"},
             {"--mine-one", "Exit after the first found block is submitted"},
             {"--found-log FILE",
              std::string("Journal of found blocks and their outcomes, default ") + kDefaultJournalPath},
             {"--selftest", "Run CPU/GPU hash self-tests and exit"},
             {"--benchmark SECONDS", "Hash a synthetic header for SECONDS without a node, then exit"},
             {"--api ADDR:PORT", "Serve the read-only status API (/api/v1/summary, /metrics) there; off by default"},
             {"--api-token TOKEN", "Require Authorization: Bearer TOKEN; needed for a non-loopback ADDR"},
             {"--verbose", "More logging"},
             {"--config FILE", "Read options from a JSON file; the command line overrides it"},
             {"--version", "Print the version and exit"},
             {"-h, --help", "Show this help"}});
    out << "Examples:\n"
        << "  " << prog << " --rpc-url " << kDefaultRpcUrl << " --rpc-cookie ~/.vorlakken/.cookie \\\n"
        << "    --payout 76a91400112233445566778899aabbccddeeff0011223388ac\n\n"
        << "  " << prog << " --rpc-user miner --rpc-pass secret \\\n"
        << "    --payout 76a914aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa88ac@3 \\\n"
        << "    --payout 76a914bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb88ac@1\n\n";
    return out.str();
}

ParsedOptions parse_options(int argc, const char* const* argv) {
    ParsedOptions parsed;
    MinerOptions& o = parsed.options;
    bool benchmark_given = false;  // an explicit 0 must fail, not mean "off"
    auto takes_value = [](const std::string& arg) {
        static const std::string help = help_text("");
        return arg == "--config" || arg == "--device" ||
               (!is_flag(arg) && help.find("  " + arg + " ") != std::string::npos);
    };
    // The config file first, so that the command line overrides it.
    std::string config;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--config" && i + 1 < argc) config = argv[i + 1];
        if (takes_value(arg)) ++i;
    }
    std::map<std::string, std::string> from_file;  // option -> its JSON, while the command line leaves it alone
    auto in_file = [&](const std::string& arg, const std::string& json, const std::string& why) {
        return std::runtime_error("config " + config + ": \"" + arg.substr(2) + "\" = " + json + ": " + why);
    };
    if (!config.empty()) {
        for (const auto& [arg, value, json] : read_config(config)) {
            try {
                apply(o, arg, value, benchmark_given);
            } catch (const std::runtime_error& e) {
                throw in_file(arg, json, e.what());
            }
            from_file[arg] = json;
        }
    }

    bool payouts_given = false;  // on the command line they replace the file's list
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help" || arg == "--version") {
            parsed.early_exit = true;
            parsed.text = arg == "--version" ? std::string("vkn-miner ") + version_text() + "\n"
                                             : help_text(argc > 0 ? argv[0] : "vkn-miner");
            return parsed;
        }
        std::string value;
        if (takes_value(arg)) {
            if (i + 1 >= argc) throw std::runtime_error("missing value after " + arg);
            value = argv[++i];
        } else if (!is_flag(arg)) {
            throw std::runtime_error("unknown option: " + arg);
        }
        if (arg == "--config") continue;
        if (arg == "--payout" && !payouts_given) {
            o.payouts.clear();
            payouts_given = true;
        }
        from_file.erase(arg == "--device" ? "--gpu" : arg);
        apply(o, arg, value, benchmark_given);
    }
    try {
        validate(o, benchmark_given);
    } catch (const std::runtime_error& e) {
        // A value from the file that fails a check is reported with the file and the key.
        const std::string why = e.what();
        const auto it = from_file.find(why.substr(0, why.find(' ')));
        if (it != from_file.end()) throw in_file(it->first, it->second, why);
        throw;
    }
    return parsed;
}

}  // namespace vkn
