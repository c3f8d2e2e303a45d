#include "app/pool_run.h"

#include "api/status_api.h"
#include "app/version.h"
#include "block/template.h"
#include "hash/sha3t.h"
#include "mining/mining_loop.h"
#include "node/journal.h"
#include "node/rpc_client.h"
#include "node/stratum_client.h"
#include "node/submitter.h"
#include "util/hex.h"
#include "util/output.h"

namespace vkn {
namespace {

PoolSettings pool_settings(const MinerOptions& o) {
    PoolSettings s;
    for (const std::string& url : o.pools) s.pools.push_back(parse_pool_url(url));
    s.user = o.pool_user;
    s.password = o.pool_pass;
    const Bytes diff1 = hex_to_bytes(o.pool_diff1);
    std::copy(diff1.rbegin(), diff1.rend(), s.diff1.begin());  // display order to the header's
    s.insecure = o.pool_insecure;
    std::string version = version_text();
    s.agent = "vkn-miner/" + version.substr(0, version.find(' '));
    return s;
}

// A pool's job as the board's work: the devices build its header themselves.
BlockTemplate pool_template(const std::shared_ptr<const PoolWork>& w) {
    BlockTemplate t;
    t.pool = w;
    t.version = int32_t(w->job.version);
    t.prev_hash = w->job.prev_hash;
    t.bits = w->job.nbits;
    t.target = compact_to_target(w->job.nbits);
    t.curtime = t.mintime = w->job.ntime;
    return t;
}

std::string totals_text(const PoolStats& s) {
    return "accepted=" + std::to_string(s.accepted) + " rejected=" + std::to_string(s.rejected) +
           " stale_dropped=" + std::to_string(s.stale_dropped);
}

// The pool's answers, by device and in all.
void print_share_lines(const std::vector<Device>& devices, const PoolStats& s) {
    const auto of = [](const std::map<int, uint64_t>& by, size_t k) {
        const auto it = by.find(int(k));
        return std::to_string(it == by.end() ? 0 : it->second);
    };
    for (size_t k = 0; k < devices.size(); ++k)
        print_out("[share] device=" + devices[k].label + " accepted=" + of(s.accepted_by_device, k) +
                  " rejected=" + of(s.rejected_by_device, k));
    print_out("[share] total " + totals_text(s));
}

StatusSnapshot pool_snapshot(const MinerOptions& o, const std::vector<Device>& devices,
                             const std::vector<std::unique_ptr<DeviceWorker>>& workers, const StratumClient& client,
                             std::chrono::steady_clock::time_point started) {
    const auto now = std::chrono::steady_clock::now();
    StatusSnapshot s;
    s.version = version_text();
    s.backend = o.cpu ? "cpu" : "cuda";
    s.uptime_seconds = std::chrono::duration<double>(now - started).count();
    for (size_t k = 0; k < devices.size(); ++k)
        s.devices.push_back({devices[k].label, devices[k].name, devices[k].backend->mining_geometry(),
                             workers[k]->stats(now), devices[k].identity.uuid, devices[k].identity.pci_bus_id});
    s.pool = client.stats();
    return s;
}

}  // namespace

int mine_pool(const MinerOptions& o, std::vector<Device>& devices, const std::atomic<bool>& stop) {
    // Blocks found for the pool are journaled (never resubmitted: the pool has their transactions).
    Journal journal(o.found_log);
    PoolSettings settings = pool_settings(o);
    settings.block_outcome = [&](const PoolBlock& b, const std::string& status, const std::string& reason) {
        journal.record_pool(b, status, reason);
    };
    WorkBoard board;
    WorkerEvents events;
    std::string last_job;
    Hash256 last_target{};
    StratumClient client(std::move(settings), [&](std::shared_ptr<const PoolWork> w) {
        // A new job, or the pool's new difficulty for it.
        if (!w->idle && (w->job.id != last_job || w->share_target != last_target))
            print_out("[job] id=" + w->job.id + (w->job.clean && w->job.id != last_job ? " clean" : "") +
                      " target=" + hash_to_display_hex(w->share_target));
        last_job = w->job.id;
        last_target = w->share_target;
        board.publish(pool_template(w));
    });
    print_out("[pool] url=" + o.pools.front() + " user=" + o.pool_user);
    client.start(stop);
    // Found blocks go to the pool as shares: nothing is ever submitted to a node.
    Submitter unused([](const FoundBlock&, const std::atomic<bool>*) -> nlohmann::json { return nullptr; }, journal);
    MiningSettings mining;
    mining.status_sec = o.status_sec;
    mining.temp_limit = o.temp_limit;
    std::vector<std::unique_ptr<DeviceWorker>> workers;
    for (size_t k = 0; k < devices.size(); ++k)
        workers.push_back(std::make_unique<DeviceWorker>(k, devices.size(), devices[k].label, *devices[k].backend,
                                                         mining, o.extranonce_start, board, events, stop,
                                                         devices[k].sensor));
    std::optional<StatusApi> api;
    const auto started = std::chrono::steady_clock::now();
    if (!o.api_host.empty()) {
        api.emplace(o.api_host, o.api_port, o.api_token);
        api->start([&] { return pool_snapshot(o, devices, workers, client, started); });
        print_out("[api] listening on http://" + o.api_host + ":" + std::to_string(api->port()) + "/");
    }
    LoopSettings loop;
    loop.status_sec = o.status_sec;
    loop.share = [&](ShareSubmit s) {
        if (s.block) {
            s.block->pool = redact_url(client.stats().url);
            journal.record_pool(*s.block, "pool");
        }
        client.submit(s);
    };
    loop.failed = [&] { return client.fatal(); };
    loop.status = [&] { print_share_lines(devices, client.stats()); };
    const std::optional<int> status = run_mining_loop(events, workers, unused, loop, stop);
    api.reset();
    workers.clear();
    print_out("[share] totals " + totals_text(client.stats()));
    if (status) return *status;
    print_out("[exit] stopped");
    return 0;
}

}  // namespace vkn
