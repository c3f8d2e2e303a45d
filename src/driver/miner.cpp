#include "driver/miner.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <thread>

#include "block/candidate.h"
#include "driver/benchmark.h"
#include "driver/options.h"
#include "driver/reporting.h"
#include "driver/selftest.h"
#include "driver/stop.h"
#include "driver/submitter.h"
#include "gpu/cpu_backend.h"
#include "gpu/cuda_miner.h"
#include "hash/sha3t.h"
#include "rpc/long_poller.h"
#include "rpc/rpc_client.h"
#include "util/endian.h"
#include "util/hex.h"

namespace vkn {
namespace {

using Clock = std::chrono::steady_clock;

int64_t whole_seconds(Clock::duration d) { return std::chrono::duration_cast<std::chrono::seconds>(d).count(); }

// Writes one line in one call: standard error is unbuffered, and the
// watcher thread writes there too.
void err_line(const std::string& text) { std::cerr << (text + "\n"); }

}  // namespace

FoundCheck verify_found(const Header80& header, const Hash256& target, uint32_t nonce, const Hash256& reported,
                        Hash256& cpu_hash) {
    Header80 h = header;
    store_le32(h.data() + 76, nonce);
    cpu_hash = sha3_256t(h.data(), h.size());
    if (cpu_hash != reported) return FoundCheck::mismatch;
    if (!hash_meets_target(cpu_hash, target)) return FoundCheck::above_target;
    return FoundCheck::valid;
}

int mine(const MinerOptions& o, SearchBackend& backend) {
    const Geometry geometry = backend.mining_geometry();
    RpcClient client(o.rpc);
    std::string rpc_line = "[rpc] url=" + redact_url(o.rpc.url);
    if (!o.rpc.cookie_file.empty()) rpc_line += " cookie=" + o.rpc.cookie_file;
    else if (!o.rpc.user.empty()) rpc_line += " user=" + o.rpc.user;
    std::cout << rpc_line << "\n";

    nlohmann::json first_reply;
    try {
        // A node that is slow to answer (or never does, with --rpc-timeout-ms 0) must not hold a stop back.
        first_reply = client.get_block_template("", -1, &stop_requested);
    } catch (const RpcCancelled&) {
        std::cout << "[exit] stopped\n";
        return 0;
    }
    LongPoller poller(client, !o.no_longpoll, &stop_requested);
    BlockTemplate work = install_template(first_reply, o.gbt_txids_internal, poller);
    Journal journal(o.found_log);
    Submitter submitter(client, journal, stop_requested);
    std::optional<CandidateBlock> candidate;
    std::optional<Header80> submitted;  // the header of the last block handed to the node

    uint64_t extranonce = o.extranonce_start;
    uint64_t total = 0;
    const Clock::time_point run_start = Clock::now();
    Clock::time_point last_refresh = run_start;
    Clock::time_point last_status = run_start;

    // The driver's own fetches (periodic refresh, after a submission).
    auto fetch_work = [&] {
        return install_template(client.get_block_template("", -1, nullptr), o.gbt_txids_internal, poller);
    };
    // Blocks of an earlier run that never got a verdict: the node may still
    // take those on its current tip; the others can no longer join the chain.
    bool resubmitted = false;
    std::string tip = hash_to_display_hex(work.prev_hash);
    for (const FoundBlock& b : journal.pending()) {
        if (b.prevhash != tip) {
            std::cout << "[journal] pending block hash=" << b.hash << " is not on the current tip: abandoned\n";
            journal.record(b, "abandoned");
            continue;
        }
        std::cout << "[journal] submitting pending block hash=" << b.hash << " height=" << b.height << "\n";
        if (submitter.submit(b, true) == Submitter::Outcome::accepted) tip = b.hash;  // its siblings are stale now
        resubmitted = true;
    }
    if (resubmitted) {
        try {
            work = fetch_work();
        } catch (const std::exception& e) {
            err_line(std::string("[rpc] getblocktemplate after submit failed: ") + e.what());
        }
    }
    auto take_longpoll = [&]() -> bool {
        std::optional<nlohmann::json> reply = poller.take_update();
        if (!reply) return false;
        std::cout << "[work] longpoll update received\n";
        try {
            work = install_template(*reply, o.gbt_txids_internal, poller);
        } catch (const std::exception& e) {
            err_line(std::string("[longpoll] ") + e.what());  // the old work is kept, as on the other refreshes
            return false;
        }
        return true;
    };

    while (!stop_requested.load()) {
        if (take_longpoll()) continue;
        try {
            candidate = build_candidate(work, o.payouts, extranonce, o.coinbase_tag, true);
            // Work that did not move on after a submission (a failed refresh, a node that kept its tip)
            // would find and submit the very same block again.
            if (submitted && candidate->header == *submitted)
                candidate = build_candidate(work, o.payouts, ++extranonce, o.coinbase_tag, true);
        } catch (const std::exception& e) {
            err_line(std::string("[work] candidate build failed: ") + e.what());
            return 2;
        }

        bool new_work = false;  // leave the sweep for a new outer pass, same extranonce
        uint32_t start = work.nonce_min;
        for (;;) {
            if (stop_requested.load() || start > work.nonce_max) break;
            if (take_longpoll()) {
                new_work = true;
                break;
            }
            if (o.no_longpoll || work.longpollid.empty()) {
                const Clock::time_point now = Clock::now();
                if (whole_seconds(now - last_refresh) >= o.poll_sec) {
                    last_refresh = now;
                    std::cout << "[work] periodic GBT refresh\n";
                    try {
                        work = fetch_work();
                        new_work = true;
                        break;
                    } catch (const std::exception& e) {
                        err_line(std::string("[rpc] periodic getblocktemplate failed: ") + e.what());
                    }
                }
            }

            const BatchResult r = backend.run_batch(candidate->header, work.target, start, work.nonce_max, geometry);
            total += r.hashes;
            const Clock::time_point now = Clock::now();
            if (whole_seconds(now - last_status) >= o.status_sec) {
                std::cout << stat_line({.height = work.height,
                                        .extranonce = extranonce,
                                        .batch_start = start,
                                        .total = total,
                                        .run_ns = std::chrono::nanoseconds(now - run_start).count(),
                                        .batch = r})
                          << "\n";
                last_status = now;
            }

            if (r.found) {
                Hash256 cpu_hash;
                switch (verify_found(candidate->header, work.target, r.nonce, r.hash, cpu_hash)) {
                    case FoundCheck::mismatch:
                        err_line("[found] GPU/CPU hash mismatch at nonce=" + std::to_string(r.nonce) + "; ignoring");
                        break;
                    case FoundCheck::above_target:
                        err_line("[found] CPU hash is above target at nonce=" + std::to_string(r.nonce) +
                                 "; ignoring");
                        break;
                    case FoundCheck::valid: {
                        const Bytes block = serialize_block(*candidate, r.nonce);
                        const FoundBlock found{work.height, hash_to_display_hex(cpu_hash),
                                               hash_to_display_hex(work.prev_hash), bytes_to_hex(block)};
                        std::cout << "[found] nonce=" << r.nonce << " hash=" << found.hash
                                  << " block_bytes=" << block.size() << " submitting...\n";
                        submitter.submit(found);
                        submitted = candidate->header;
                        if (o.mine_one) {
                            // The run's one block: wait for the node's verdict, however long it is out of reach.
                            if (!submitter.wait_idle()) {
                                std::cout << "[exit] stopped\n";
                                return 0;
                            }
                            return submitter.abandoned() > 0 ? 1 : 0;
                        }
                        try {
                            work = fetch_work();
                        } catch (const std::exception& e) {
                            err_line(std::string("[rpc] getblocktemplate after submit failed: ") + e.what());
                        }
                        new_work = true;
                        break;
                    }
                }
                if (new_work) break;
            }

            if (r.hashes == 0) break;
            const uint64_t next = uint64_t(start) + r.hashes;
            if (next > work.nonce_max) break;
            start = uint32_t(next);
        }
        candidate.reset();
        if (!new_work) ++extranonce;
    }
    std::cout << "[exit] stopped\n";
    return 0;
}

int run_main(int argc, char** argv) {
    // Under a service manager or "> log" standard output is not a terminal:
    // each line must still leave at once, so that none is lost in a crash.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    install_stop_handlers();
    try {
        const MinerOptions o = parse_options(argc, argv);
        if (o.selftest) {
            std::string error;
            bool ok;
            if (o.cpu) {
                auto cpu = make_cpu_backend(1, 1);
                ok = backend_selftest(*cpu, &error);
            } else {
                select_device(o.gpu_device);
                ok = gpu_selftest(&error);
            }
            if (!ok) {
                err_line("selftest failed: " + error);
                return 1;
            }
            std::cout << "selftest ok\n";
            return 0;
        }
        std::unique_ptr<SearchBackend> backend =
            o.cpu ? make_cpu_backend(o.cpu_threads, o.iters_per_thread)
                  : make_cuda_backend(CudaLaunchConfig{o.gpu_device, o.threads_per_block, o.grid_blocks,
                                                       o.oversubscribe, o.iters_per_thread});
        std::cout << backend->startup_line() << "\n";
        if (o.benchmark_sec > 0) return run_benchmark(*backend, o);
        return mine(o, *backend);
    } catch (const std::exception& e) {
        // A stop that interrupted start-up (a cookie read from a FIFO, say) is a stop, not a failure.
        if (stop_requested.load()) {
            std::cout << "[exit] stopped\n";
            return 0;
        }
        std::cout.flush();
        err_line(std::string("error: ") + e.what() + "\ntry --help");
        return 1;
    }
}

}  // namespace vkn
