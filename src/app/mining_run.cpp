#include "app/mining_run.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#include "app/version.h"
#include "hash/sha3t.h"
#include "mining/mining_loop.h"
#include "mining/reporting.h"
#include "node/payout_addresses.h"
#include "node/recovery.h"
#include "util/hex.h"
#include "util/output.h"

namespace vkn {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t random_extranonce() {
    std::random_device os;  // the OS's random source
    return (uint64_t(os()) << 32) ^ os();
}

WorkSettings work_settings(const MinerOptions& o) {
    WorkSettings s;
    s.longpoll = !o.no_longpoll;
    s.poll_sec = o.poll_sec;
    s.gbt_txids_internal = o.gbt_txids_internal;
    return s;
}

std::string rpc_line(const MinerOptions& o) {
    std::string line = "[rpc] url=" + redact_url(o.rpc.url);
    if (!o.rpc.cookie_file.empty()) line += " cookie=" + o.rpc.cookie_file;
    else if (!o.rpc.user.empty()) line += " user=" + o.rpc.user;
    return line;
}

}  // namespace

MiningRun::MiningRun(const MinerOptions& o, std::vector<Device>& devices)
    : o_(o),
      devices_(devices),
      process_start_(Clock::now()),
      process_start_wall_(std::chrono::system_clock::now()),
      mining_{.payouts = o.payouts, .coinbase_tag = o.coinbase_tag, .status_sec = o.status_sec,
              .temp_limit = o.temp_limit},
      client_(o.rpc),
      journal_(o.found_log),
      source_([this](const std::string& id, int64_t timeout_ms,
                     const std::atomic<bool>* cancel) { return client_.get_block_template(id, timeout_ms, cancel); },
              work_settings(o),
              [this](const BlockTemplate& t) {
                  board_.publish(t);
                  propose(t);
              }),
      submitter_([this](const FoundBlock& b,
                        const std::atomic<bool>* cancel) { return client_.submit_block(b.block, b.workid, cancel); },
                 journal_, SubmitterSettings{}, [this](const FoundBlock&, Submitter::Outcome) { source_.refresh(); }) {
    if (!o.api_host.empty()) api_.emplace(o.api_host, o.api_port, o.api_token);
    if (!o.no_proposal)
        proposals_.emplace([this](const std::string& hex, const std::string& workid,
                                  const std::atomic<bool>* cancel) { return client_.propose_block(hex, workid, cancel); });
}

// The new template's block (nonce 0) to the node as a proposal; a candidate
// that cannot be built is the workers' to report.
void MiningRun::propose(const BlockTemplate& t) {
    if (!proposals_) return;
    try {
        const CandidateBlock c = build_candidate(t, mining_.payouts, extranonce_start_, mining_.coinbase_tag, true);
        proposals_->check(board_.sequence(), bytes_to_hex(serialize_block(c, 0)), t.workid);
    } catch (const std::exception&) {
    }
}

MiningRun::~MiningRun() {
    api_.reset();
    source_.close();  // its calls end while the workers and the submitter wind down
}

StatusSnapshot MiningRun::snapshot() const {
    const Clock::time_point now = Clock::now();
    StatusSnapshot s;
    s.version = version_text();
    s.uptime_seconds = std::chrono::duration<double>(now - process_start_).count();
    s.start_time_seconds = std::chrono::duration<double>(process_start_wall_.time_since_epoch()).count();
    s.backend = o_.cpu ? "cpu" : "cuda";
    for (size_t k = 0; k < devices_.size(); ++k)
        s.devices.push_back({devices_[k].label, devices_[k].name, devices_[k].backend->mining_geometry(),
                             workers_[k]->stats(now), devices_[k].identity.uuid, devices_[k].identity.pci_bus_id});
    if (const std::optional<BlockTemplate> work = source_.current()) {
        s.has_work = true;
        s.height = work->height;
        s.transactions = work->transactions.size() + 1;
        s.coinbase_value = work->coinbase_value;
        s.target = work->target;
        s.bits = work->bits;
        s.template_age_seconds = std::chrono::duration<double>(now - source_.installed_at()).count();
        s.long_polling = !o_.no_longpoll && !work->longpollid.empty();
    }
    s.longpoll_updates = source_.longpoll_updates();
    s.temp_limit = o_.temp_limit;
    s.payouts = mining_.payouts;
    s.node_url = redact_url(o_.rpc.url);
    s.node = client_.health();
    s.blocks = submitter_.status();
    return s;
}

std::string MiningRun::service_status() const {
    const StatusSnapshot s = snapshot();
    double rate = 0;  // over the last minute
    for (const DeviceStatus& d : s.devices) rate += d.stats.rates[1];
    return "height=" + std::to_string(s.height) + " rate=" + format_hashrate(rate) +
           " blocks=" + std::to_string(s.blocks.accepted);
}

void MiningRun::start_workers(uint64_t extranonce_start, const std::atomic<bool>& stop) {
    for (size_t k = 0; k < devices_.size(); ++k)
        workers_.push_back(std::make_unique<DeviceWorker>(k, devices_.size(), devices_[k].label,
                                                          *devices_[k].backend, mining_, extranonce_start, board_,
                                                          events_, stop, devices_[k].sensor));
}

int MiningRun::run(const std::atomic<bool>& stop) {
    print_out(rpc_line(o_));
    const uint64_t extranonce_start = o_.extranonce_random ? random_extranonce() : o_.extranonce_start;
    extranonce_start_ = extranonce_start;
    if (o_.extranonce_random) print_out("[work] extranonce start=" + std::to_string(extranonce_start) + " (random)");
    try {
        // The payouts are fixed before the first template is asked for.
        resolve_payout_addresses(mining_.payouts,
                                 [this, &stop](const std::string& a) { return client_.validate_address(a, &stop); });
        for (const std::string& line : payout_lines(mining_.payouts)) print_out(line);
        for (const std::string& line : payout_warnings(mining_.payouts)) print_warn(line);
        // A node that is slow to answer (or never does, with --rpc-timeout-ms 0) must not hold a stop back.
        source_.start(stop);
    } catch (const RpcCancelled&) {
        print_out("[exit] stopped");
        return 0;
    }
    recover_pending(
        journal_, submitter_, [this, &stop](const std::string& hash) { return client_.get_block_header(hash, &stop); },
        hash_to_display_hex(source_.current()->prev_hash));
    start_workers(extranonce_start, stop);
    if (api_) {
        api_->start([this] { return snapshot(); });
        const bool v6 = o_.api_host.find(':') != std::string::npos;
        print_out("[api] listening on http://" + (v6 ? "[" + o_.api_host + "]" : o_.api_host) + ":" +
                  std::to_string(api_->port()) + "/");
    }
    notifier_.ready(service_status());
    const LoopSettings loop{.mine_one = o_.mine_one,
                            .status_sec = o_.status_sec,
                            .last_block_found = [this] { source_.close(); },
                            .alive_every = notifier_.alive_every(),
                            .alive = [this] { notifier_.alive(service_status()); },
                            .refused_for =
                                [this](uint64_t work) {
                                    return proposals_ ? proposals_->refused_for(work, std::chrono::seconds(10))
                                                      : std::nullopt;
                                },
                            .refused = [this] { return proposals_ ? proposals_->refused() : std::nullopt; },
                            .share = {},
                            .failed = {},
                            .status = {}};
    std::optional<int> status;
    try {
        status = run_mining_loop(events_, workers_, submitter_, loop, stop);
    } catch (const DeviceHung& e) {
        // Its thread cannot be joined: end here, the journal holds every block found.
        print_fatal(e.what());
        std::fflush(stdout);
        std::_Exit(1);
    }
    if (status) return *status;
    api_.reset();
    source_.close();
    workers_.clear();  // their last lines, and the submitter's, come before the exit line
    submitter_.close();
    print_out("[exit] stopped");
    return 0;
}

}  // namespace vkn
