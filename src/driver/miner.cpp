#include "driver/miner.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "driver/benchmark.h"
#include "driver/options.h"
#include "driver/reporting.h"
#include "driver/selftest.h"
#include "driver/status_api.h"
#include "driver/stop.h"
#include "driver/submitter.h"
#include "driver/version.h"
#include "driver/worker.h"
#include "gpu/cpu_backend.h"
#include "gpu/cuda_miner.h"
#include "hash/sha3t.h"
#include "rpc/long_poller.h"
#include "rpc/rpc_client.h"

namespace vkn {
namespace {

using Clock = std::chrono::steady_clock;

int64_t whole_seconds(Clock::duration d) { return std::chrono::duration_cast<std::chrono::seconds>(d).count(); }

uint64_t random_extranonce() {
    std::random_device os;  // the OS's random source
    return (uint64_t(os()) << 32) ^ os();
}

CpuPath chosen_cpu_path(const std::string& name) {
    if (name == "auto") return best_cpu_path();
    for (CpuPath p : {CpuPath::scalar, CpuPath::avx2, CpuPath::avx512}) {
        if (name != cpu_path_name(p)) continue;
        if (!cpu_path_supported(p)) throw std::runtime_error("--cpu-path " + name + ": this CPU lacks it");
        return p;
    }
    throw std::runtime_error("--cpu-path must be auto, scalar, avx2 or avx512: " + name);
}

std::vector<Device> make_devices(const MinerOptions& o) {
    std::vector<Device> devices;
    if (o.cpu) {
        const CpuPath path = chosen_cpu_path(o.cpu_path);
        const uint32_t n = o.cpu_devices;
        const uint32_t all = o.cpu_threads != 0 ? o.cpu_threads : std::max(1u, std::thread::hardware_concurrency());
        for (uint32_t k = 0; k < n; ++k)
            devices.push_back({std::to_string(k), "cpu",
                               make_cpu_backend(n == 1 ? o.cpu_threads : std::max(1u, all / n), o.iters_per_thread,
                                                path)});
        return devices;
    }
    for (int32_t d : o.gpu_all ? all_cuda_devices() : o.gpu_devices) {
        auto backend = make_cuda_backend({d, o.threads_per_block, o.grid_blocks, o.oversubscribe, o.iters_per_thread});
        devices.push_back({std::to_string(d), query_device_info(d).name, std::move(backend)});
    }
    return devices;
}

// Blocks of an earlier run that never got a verdict: the node may still take
// those on its current tip; the others can no longer join the chain. True
// when any was handed to the node.
bool resubmit_pending(Journal& journal, Submitter& submitter, std::string tip) {
    bool resubmitted = false;
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
    return resubmitted;
}

// The whole process's "[stat]" line when there are several devices.
std::string total_stat_line(const std::vector<std::unique_ptr<DeviceWorker>>& workers, Clock::time_point now,
                            Clock::time_point run_start) {
    uint64_t total = 0;
    double rates[3] = {};
    for (const auto& w : workers) {
        const WorkerStats s = w->stats(now);
        total += s.total;
        for (int i = 0; i < 3; ++i) rates[i] += s.rates[i];
    }
    const double seconds = std::chrono::duration<double>(now - run_start).count();
    return "[stat] devices=" + std::to_string(workers.size()) + " total=" + std::to_string(total) +
           " avg=" + format_hashrate(seconds > 0 ? double(total) / seconds : 0.0) + rates_text(rates);
}

}  // namespace

int mine(const MinerOptions& o, std::vector<Device>& devices) {
    const Clock::time_point process_start = Clock::now();
    // Bound before anything else, so that a taken port fails the start at once.
    std::optional<StatusApi> api;
    if (!o.api_host.empty()) api.emplace(o.api_host, o.api_port, o.api_token);
    RpcClient client(o.rpc);
    std::string rpc_line = "[rpc] url=" + redact_url(o.rpc.url);
    if (!o.rpc.cookie_file.empty()) rpc_line += " cookie=" + o.rpc.cookie_file;
    else if (!o.rpc.user.empty()) rpc_line += " user=" + o.rpc.user;
    std::cout << rpc_line << "\n";
    const uint64_t extranonce_start = o.extranonce_random ? random_extranonce() : o.extranonce_start;
    if (o.extranonce_random) std::cout << "[work] extranonce start=" << extranonce_start << " (random)\n";

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
    // What the status API reads of the work: written here, read on the server's thread.
    std::mutex shown_mutex;
    BlockTemplate shown_work = work;
    Clock::time_point installed_at = Clock::now();
    std::atomic<uint64_t> longpoll_updates{0};
    auto show = [&](const BlockTemplate& t) {
        std::lock_guard<std::mutex> lock(shown_mutex);
        shown_work = t;
        installed_at = Clock::now();
    };
    Journal journal(o.found_log);
    Submitter submitter(client, journal, stop_requested);

    // The driver's own fetches (periodic refresh, after a submission).
    auto fetch_work = [&] {
        return install_template(client.get_block_template("", -1, nullptr), o.gbt_txids_internal, poller);
    };
    auto refresh_after_submit = [&] {
        try {
            work = fetch_work();
        } catch (const std::exception& e) {
            print_err(std::string("[rpc] getblocktemplate after submit failed: ") + e.what());
        }
    };

    if (resubmit_pending(journal, submitter, hash_to_display_hex(work.prev_hash))) refresh_after_submit();

    WorkBoard board;
    auto publish = [&](const BlockTemplate& t) {
        board.publish(t);
        show(t);
    };
    publish(work);
    WorkerEvents events;
    const bool several = devices.size() > 1;
    std::vector<std::unique_ptr<DeviceWorker>> workers;
    for (size_t k = 0; k < devices.size(); ++k)
        workers.push_back(std::make_unique<DeviceWorker>(k, devices.size(), devices[k].label, *devices[k].backend, o,
                                                         extranonce_start, board, events, stop_requested));

    // The server reads the workers, the submitter and the client: it stops before any of them goes.
    struct ApiStop {
        std::optional<StatusApi>& api;
        ~ApiStop() { api.reset(); }
    } api_stop{api};
    if (api) {
        api->start([&] {
            const Clock::time_point now = Clock::now();
            StatusSnapshot s;
            s.version = version_text();
            s.uptime_seconds = std::chrono::duration<double>(now - process_start).count();
            s.backend = o.cpu ? "cpu" : "cuda";
            for (size_t k = 0; k < devices.size(); ++k)
                s.devices.push_back({devices[k].label, devices[k].name, devices[k].backend->mining_geometry(),
                                     workers[k]->stats(now)});
            {
                std::lock_guard<std::mutex> lock(shown_mutex);
                s.has_work = true;
                s.height = shown_work.height;
                s.transactions = shown_work.transactions.size() + 1;
                s.coinbase_value = shown_work.coinbase_value;
                s.target = shown_work.target;
                s.bits = shown_work.bits;
                s.template_age_seconds = std::chrono::duration<double>(now - installed_at).count();
                s.long_polling = !o.no_longpoll && !shown_work.longpollid.empty();
            }
            s.longpoll_updates = longpoll_updates.load();
            s.node_url = redact_url(o.rpc.url);
            s.node = client.health();
            s.blocks = submitter.status();
            return s;
        });
        const bool v6 = o.api_host.find(':') != std::string::npos;
        std::cout << "[api] listening on http://" << (v6 ? "[" + o.api_host + "]" : o.api_host) << ":" << api->port()
                  << "/\n";
    }

    const Clock::time_point run_start = Clock::now();
    Clock::time_point last_refresh = run_start;
    Clock::time_point last_status = run_start;
    while (!stop_requested.load()) {
        if (std::optional<WorkerEvent> e = events.take(std::chrono::milliseconds(20))) {
            const std::string& label = workers[e->worker]->label();
            switch (e->kind) {
                case WorkerEvent::Kind::build_failed:
                    print_err("[work] candidate build failed: " + e->what);
                    return 2;
                case WorkerEvent::Kind::device_failed:
                    // Never mine on with a dead device: a service manager restarts the whole process.
                    throw std::runtime_error(several ? "device " + label + ": " + e->what : e->what);
                case WorkerEvent::Kind::found:
                    print_out("[found] " + (several ? "device=" + label + " " : std::string()) +
                              "nonce=" + std::to_string(e->nonce) + " hash=" + e->block.hash +
                              " block_bytes=" + std::to_string(e->block_bytes) + " submitting...");
                    submitter.submit(e->block);
                    if (o.mine_one) {
                        // The run's one block: wait for the node's verdict, however long it is out of reach.
                        if (!submitter.wait_idle()) break;  // a stop: the loop ends with the exit line
                        return submitter.abandoned() > 0 ? 1 : 0;
                    }
                    refresh_after_submit();
                    publish(work);  // new work or the same: the finder moves on either way
                    continue;
            }
        }

        if (std::optional<nlohmann::json> reply = poller.take_update()) {
            std::cout << "[work] longpoll update received\n";
            longpoll_updates.fetch_add(1);
            try {
                work = install_template(*reply, o.gbt_txids_internal, poller);
                publish(work);
            } catch (const std::exception& e) {
                print_err(std::string("[longpoll] ") + e.what());  // the old work is kept, as on the other refreshes
            }
        }
        const Clock::time_point now = Clock::now();
        if ((o.no_longpoll || work.longpollid.empty()) && whole_seconds(now - last_refresh) >= o.poll_sec) {
            last_refresh = now;
            std::cout << "[work] periodic GBT refresh\n";
            try {
                work = fetch_work();
                publish(work);
            } catch (const std::exception& e) {
                print_err(std::string("[rpc] periodic getblocktemplate failed: ") + e.what());
            }
        }
        if (several && whole_seconds(now - last_status) >= o.status_sec) {
            print_out(total_stat_line(workers, now, run_start));
            last_status = now;
        }
    }
    api.reset();
    workers.clear();  // their last lines come before the exit line
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
            if (o.cpu) {
                auto cpu = make_cpu_backend(1, 1);
                if (!backend_selftest(*cpu, &error)) error = "selftest failed: " + error;
            }
            const std::vector<int32_t> gpus = o.cpu ? std::vector<int32_t>{} : o.gpu_all ? all_cuda_devices()
                                                                                      : o.gpu_devices;
            for (int32_t d : gpus) {
                select_device(d);
                if (error.empty() && !gpu_selftest(d, &error))
                    error = "selftest failed: " + (gpus.size() > 1 ? "device " + std::to_string(d) + ": " : "") + error;
            }
            if (!error.empty()) {
                print_err(error);
                return 1;
            }
            std::cout << "selftest ok\n";
            return 0;
        }
        std::vector<Device> devices = make_devices(o);
        // The kernel's device code is not the host code the tests run, and a device that misses hits looks
        // just like bad luck: each device proves itself on the self-test's batch before it mines.
        for (Device& d : devices) {
            std::string error;
            if (!backend_selftest(*d.backend, &error))
                throw std::runtime_error("device " + d.label + " failed its known-answer batch: " + error);
        }
        for (size_t k = 0; k < devices.size(); ++k) {
            const std::string line = devices[k].backend->startup_line();
            // Several CPU devices: each line names its device, as the CUDA lines do.
            std::cout << (o.cpu && devices.size() > 1 ? "[cpu] device=" + devices[k].label + line.substr(5) : line)
                      << "\n";
        }
        if (o.benchmark_sec > 0) return run_benchmark(*devices.front().backend, o);
        return mine(o, devices);
    } catch (const std::exception& e) {
        // A stop that interrupted start-up (a cookie read from a FIFO, say) is a stop, not a failure.
        if (stop_requested.load()) {
            std::cout << "[exit] stopped\n";
            return 0;
        }
        std::cout.flush();
        print_err(std::string("error: ") + e.what() + "\ntry --help");
        return 1;
    }
}

}  // namespace vkn
