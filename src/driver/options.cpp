#include "driver/options.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "driver/status_api.h"
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
             {"--cpu-devices N", "Split the CPU threads into N search devices, default 1"}});
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
             {"-h, --help", "Show this help"}});
    out << "Examples:\n"
        << "  " << prog << " --rpc-url " << kDefaultRpcUrl << " --rpc-cookie ~/.vorlakken/.cookie \\\n"
        << "    --payout 76a91400112233445566778899aabbccddeeff0011223388ac\n\n"
        << "  " << prog << " --rpc-user miner --rpc-pass secret \\\n"
        << "    --payout 76a914aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa88ac@3 \\\n"
        << "    --payout 76a914bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb88ac@1\n\n";
    return out.str();
}

MinerOptions parse_options(int argc, const char* const* argv) {
    MinerOptions o;
    bool benchmark_given = false;  // an explicit 0 must fail, not mean "off"
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << help_text(argc > 0 ? argv[0] : "vkn-miner");
            std::cout.flush();
            std::exit(0);
        }
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error("missing value after " + arg);
            return argv[++i];
        };
        auto integer = [&]() -> uint64_t { return parse_u64(value(), arg); };

        if (arg == "--rpc-url") o.rpc.url = value();
        else if (arg == "--rpc-user") o.rpc.user = value();
        else if (arg == "--rpc-pass") o.rpc.password = value();
        else if (arg == "--rpc-cookie") o.rpc.cookie_file = value();
        else if (arg == "--rpc-timeout-ms") o.rpc.timeout_ms = static_cast<int64_t>(integer());
        else if (arg == "--payout") o.payouts.push_back(parse_payout(value()));
        else if (arg == "--gpu" || arg == "--device") parse_gpu_list(value(), arg, o);
        else if (arg == "--threads-per-block") o.threads_per_block = low_i32(integer());
        else if (arg == "--blocks") o.grid_blocks = low_i32(integer());
        else if (arg == "--oversubscribe") o.oversubscribe = low_i32(integer());
        else if (arg == "--iters") o.iters_per_thread = low_u32(integer());
        else if (arg == "--coinbase-tag") o.coinbase_tag = value();
        else if (arg == "--no-longpoll") o.no_longpoll = true;
        else if (arg == "--poll-sec") o.poll_sec = low_i32(integer());
        else if (arg == "--status-sec") o.status_sec = low_i32(integer());
        else if (arg == "--gbt-txids-internal") o.gbt_txids_internal = true;
        else if (arg == "--extranonce") {
            const std::string v = value();
            o.extranonce_random = v == "random";
            if (!o.extranonce_random) o.extranonce_start = parse_u64(v, arg);
        }
        else if (arg == "--mine-one") o.mine_one = true;
        else if (arg == "--found-log") o.found_log = value();
        else if (arg == "--selftest") o.selftest = true;
        else if (arg == "--verbose") o.verbose = true;
        else if (arg == "--cpu") o.cpu = true;
        else if (arg == "--cpu-threads") o.cpu_threads = low_u32(integer());
        else if (arg == "--cpu-devices") o.cpu_devices = low_u32(integer());
        else if (arg == "--api") std::tie(o.api_host, o.api_port) = parse_api_address(value());
        else if (arg == "--api-token") {
            o.api_token = value();
            if (o.api_token.empty()) throw std::runtime_error("--api-token must not be empty");
        }
        else if (arg == "--benchmark") {
            o.benchmark_sec = low_i32(integer());
            benchmark_given = true;
        }
        else throw std::runtime_error("unknown option: " + arg);
    }

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
    return o;
}

}  // namespace vkn
