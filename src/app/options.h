#pragma once
// The run configuration and the command-line parser that fills it.
#include <cstdint>
#include <string>
#include <vector>

#include "block/payout.h"
#include "node/journal.h"
#include "node/rpc_config.h"

namespace vkn {

struct MinerOptions {
    RpcConfig rpc;
    std::vector<int32_t> gpu_devices{0};  // in the order given; empty with gpu_all
    bool gpu_all = false;                 // every CUDA device the machine has
    int32_t threads_per_block = 128;
    int32_t grid_blocks = 0;  // <= 0 selects the automatic grid
    int32_t oversubscribe = 4;
    uint32_t iters_per_thread = 512;
    int32_t temp_limit = 0;  // degrees Celsius; 0: none
    bool no_longpoll = false;
    bool gbt_txids_internal = false;
    bool selftest = false;
    bool mine_one = false;
    std::string found_log = kDefaultJournalPath;
    bool verbose = false;  // each node call and each batch
    bool quiet = false;    // found blocks, submissions, warnings and errors only
    bool log_time = false;
    std::string log_file;
    uint64_t extranonce_start = 0;
    bool extranonce_random = false;  // the start is drawn from the OS at start-up
    int32_t poll_sec = 15;
    int32_t status_sec = 5;
    std::string coinbase_tag = "/vkncuda/";
    std::vector<PayoutSpec> payouts;  // --payout and --payout-address, in the order given
    bool no_proposal = false;         // no BIP 23 check of each template's block
    std::vector<std::string> pools;   // Stratum URLs: the first, then failovers
    std::string pool_user;
    std::string pool_pass = "x";
    std::string pool_diff1 = "00000000ffff0000000000000000000000000000000000000000000000000000";
    bool pool_insecure = false;
    bool cpu = false;
    uint32_t cpu_threads = 0;  // 0: every hardware thread
    uint32_t cpu_devices = 1;  // search devices the CPU threads are split into
    std::string cpu_path = "auto";  // auto, scalar, avx2 or avx512
    int32_t benchmark_sec = 0;  // 0: off
    std::string api_host;       // empty: no status API
    int api_port = 0;           // 0: any free port
    std::string api_token;
};

// The full --help text for the given program path.
std::string help_text(const std::string& prog);

// What the command line asks for: a run with these options, or (-h, --help,
// --version) only `text` printed on standard output and status 0.
struct ParsedOptions {
    MinerOptions options;
    bool early_exit = false;
    std::string text;  // ends with a newline
    std::vector<std::string> warnings;  // for standard error, one line each
};

// Overwrites, in the argument vector itself, every secret it holds (the
// values of --rpc-pass and --api-token, a password inside --rpc-url), so
// that ps and /proc/PID/cmdline never show one.
void hide_secrets(int argc, char** argv);

// Parses and validates the arguments; throws std::runtime_error with one
// message on any bad input.
ParsedOptions parse_options(int argc, const char* const* argv);

}  // namespace vkn
