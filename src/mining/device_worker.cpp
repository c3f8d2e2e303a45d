#include "mining/device_worker.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "hash/sha3t.h"
#include "mining/reporting.h"
#include "search/geometry.h"
#include "util/endian.h"
#include "util/hex.h"
#include "util/output.h"

namespace vkn {

using Clock = RollingRate::Clock;

namespace {
// A time point as one number, for the watchdog's atomics.
int64_t ns_of(Clock::time_point t) { return std::chrono::nanoseconds(t.time_since_epoch()).count(); }

uint64_t mining_batch_nonces(const Geometry& g) {
    return batch_nonce_count(0, 0xFFFFFFFFu, g.iters_per_thread, g.blocks, g.threads);
}
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

void WorkerEvents::post(WorkerEvent event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
    }
    posted_.notify_all();
}

std::optional<WorkerEvent> WorkerEvents::take(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!posted_.wait_for(lock, wait, [this] { return !events_.empty(); })) return std::nullopt;
    WorkerEvent e = std::move(events_.front());
    events_.pop_front();
    return e;
}

DeviceWorker::DeviceWorker(size_t index, size_t count, std::string label, SearchBackend& backend,
                           const MiningSettings& settings, uint64_t extranonce_start, WorkBoard& board,
                           WorkerEvents& events, const std::atomic<bool>& stop, GpuSensor sensor)
    : index_(index),
      count_(count),
      label_(std::move(label)),
      backend_(backend),
      settings_(settings),
      extranonce_(extranonce_start + index),
      board_(board),
      events_(events),
      stop_(stop),
      sensor_(std::move(sensor)),
      share_bits_(share_bits_for(0, mining_batch_nonces(backend.mining_geometry()))),
      rolling_(Clock::now()),
      tally_(Clock::now()),
      run_start_(Clock::now()),
      last_status_(run_start_),
      thread_([this] { run(); }) {}

DeviceWorker::~DeviceWorker() {
    quit_.store(true);
    thread_.join();
}

WorkerStats DeviceWorker::stats(Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    WorkerStats s;
    s.total = total_;
    for (int w = 0; w < 3; ++w) s.rates[w] = rolling_.rate(RollingRate::kWindows[w], now);
    s.shares = tally_.stats(now);
    s.health = reading_;
    s.paused = paused_;
    return s;
}

std::optional<std::chrono::duration<double>> DeviceWorker::hung(Clock::time_point now) const {
    const int64_t began = batch_started_ns_.load();
    if (began == 0) return std::nullopt;
    const auto running = std::chrono::nanoseconds(ns_of(now) - began);
    const auto limit =
        std::max<std::chrono::nanoseconds>(settings_.hang_floor, 10 * std::chrono::nanoseconds(last_batch_ns_.load()));
    if (running < limit) return std::nullopt;
    return std::chrono::duration<double>(running);
}

void DeviceWorker::post_failure(WorkerEvent::Kind kind, const std::string& what) {
    WorkerEvent e;
    e.kind = kind;
    e.worker = index_;
    e.what = what;
    events_.post(std::move(e));
}

void DeviceWorker::run() {
    try {
        mine();
    } catch (const std::exception& e) {
        post_failure(WorkerEvent::Kind::device_failed, e.what());
    }
}

void DeviceWorker::mine() {
    uint64_t seen = 0;
    std::shared_ptr<const BlockTemplate> work;
    while (!stopping()) {
        if (!work || board_.sequence() != seen) std::tie(seen, work) = board_.current();
        if (work->pool && work->pool->idle) {  // nothing worth hashing until the pool is back
            board_.wait_past(seen, std::chrono::milliseconds(100));
            batches_.fetch_add(1);  // waiting on purpose is progress to the service manager's watchdog
            continue;
        }
        CandidateBlock candidate;
        try {
            candidate = work->pool ? pool_candidate(*work->pool, extranonce_)
                                   : build_candidate(*work, settings_.payouts, extranonce_, settings_.coinbase_tag, true);
        } catch (const std::exception& e) {
            post_failure(WorkerEvent::Kind::build_failed, e.what());
            return;
        }
        // Cut short by new work: the same extranonce on it. Swept whole, or
        // after a find (so that no header is ever searched twice): the next.
        if (sweep(*work, candidate, seen)) extranonce_ += count_;
    }
}

void DeviceWorker::count_batch(const BlockTemplate& work, uint32_t start, const BatchResult& r) {
    const Clock::time_point now = Clock::now();
    uint64_t total;
    {
        std::lock_guard<std::mutex> lock(stats_mutex_);
        total = total_ += r.hashes;
        rolling_.add(r.hashes, now);
        // The next share target, from the last minute's rate; many shares lost to the slots ask for a harder one.
        share_bits_ = share_bits_for(rolling_.rate(RollingRate::kWindows[1], now), r.hashes) +
                      (r.shares_lost > 0 ? 1 : 0);
        tally_.set_difficulty(std::ldexp(1.0, share_bits_));
    }
    read_sensor(false);
    const double ms = r.elapsed_ms;
    print_verbose("[batch] device=" + label_ + " nonces=" + std::to_string(r.hashes) + " ms=" +
                  std::to_string(int64_t(ms)) + " rate=" + format_hashrate(ms > 0 ? r.hashes * 1000.0 / ms : 0) +
                  " shares=" + std::to_string(r.shares.size()));
    const StatInputs in{.height = work.height,
                        .extranonce = extranonce_,
                        .batch_start = start,
                        .total = total,
                        .run_ns = std::chrono::nanoseconds(now - run_start_).count(),
                        .batch = r};
    if (count_ > 1) {  // the mining loop prints every device's lines together, in order
        std::lock_guard<std::mutex> lock(stats_mutex_);
        last_stat_ = in;
        return;
    }
    if (std::chrono::duration_cast<std::chrono::seconds>(now - last_status_).count() < settings_.status_sec) return;
    const WorkerStats st = stats(now);
    print_out(stat_line(in));
    print_out(health_line(label_, st.health, st.shares, st.paused));
    last_status_ = now;
}

std::vector<std::string> DeviceWorker::status_lines(Clock::time_point now) const {
    std::optional<StatInputs> in;
    {
        std::lock_guard<std::mutex> lock(stats_mutex_);
        in = last_stat_;
    }
    if (!in) return {};
    const WorkerStats st = stats(now);
    return {"[stat] device=" + label_ + stat_line(*in).substr(6) + rates_text(st.rates),
            health_line(label_, st.health, st.shares, st.paused)};
}

// True when the range is used up or a block was found; false when new work
// or a stop cut it short.
bool DeviceWorker::sweep(const BlockTemplate& work, const CandidateBlock& candidate, uint64_t seen) {
    const Geometry geometry = backend_.mining_geometry();
    uint32_t start = work.nonce_min;
    while (!stopping()) {
        if (board_.sequence() != seen) return false;
        hold_while_hot();
        if (stopping() || board_.sequence() != seen) return false;
        // Never harder than the block target, so that every block is a share too.
        // A pool's own difficulty, or one from the device's rate.
        const Hash256 t = work.pool ? work.pool->share_target : share_target_of(share_bits_);
        const Hash256& share = hash_meets_target(t, work.target) ? work.target : t;
        const int64_t began = ns_of(Clock::now());
        batch_started_ns_.store(began);
        const BatchResult r =
            backend_.run_batch(candidate.header, work.target, share, start, work.nonce_max, geometry);
        last_batch_ns_.store(ns_of(Clock::now()) - began);
        batch_started_ns_.store(0);
        batches_.fetch_add(1);
        check_shares(work, candidate, share, r);
        count_batch(work, start, r);
        if (r.found && handle_hit(work, seen, candidate, share, r)) {
            // Resume only on work installed after the find was posted (the
            // node's answer to it), or after a short wait go on beside it. A
            // pool's job stays good until the pool says otherwise.
            const uint64_t posted_at = board_.sequence();
            for (auto waited = std::chrono::milliseconds(0); !work.pool && waited < settings_.resume_wait && !stopping();
                 waited += std::chrono::milliseconds(50))
                if (board_.wait_past(posted_at, std::chrono::milliseconds(50))) break;
            return true;
        }
        const uint64_t next = uint64_t(start) + r.hashes;
        if (r.hashes == 0 || next > work.nonce_max) return true;
        start = uint32_t(next);
    }
    return false;
}

// A pool's job: the header from its coinbase parts, with this device's extranonce2.
CandidateBlock pool_candidate(const PoolWork& w, uint64_t extranonce) {
    CandidateBlock c;
    c.extranonce = extranonce;
    c.coinbase = stratum_coinbase(w.job, w.extranonce1, extranonce2_bytes(extranonce, w.extranonce2_size));
    c.merkle_root = stratum_merkle_root(c.coinbase, w.job.merkle_branch);
    c.header = stratum_header(w.job, c.merkle_root);
    c.time = w.job.ntime;
    return c;
}

void DeviceWorker::check_shares(const BlockTemplate& work, const CandidateBlock& candidate, const Hash256& share,
                                const BatchResult& r) {
    const double hashes = expected_hashes(share);
    for (const uint32_t nonce : r.shares) {
        Header80 h = candidate.header;
        store_le32(h.data() + 76, nonce);
        const bool valid = hash_meets_target(sha3_256t(h.data(), h.size()), share);
        tally(valid, hashes, nonce);
        if (valid && work.pool) post_share(work, candidate, nonce);
    }
    std::lock_guard<std::mutex> lock(stats_mutex_);
    tally_.add_lost(r.shares_lost);
}

void DeviceWorker::tally(bool valid, double work, uint32_t nonce) {
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(stats_mutex_);
        tally_.add(valid, work, now);
    }
    // A failing device may be wrong thousands of times a minute: one line a minute, the count in the status.
    if (valid || (last_hw_line_ && now - *last_hw_line_ < std::chrono::minutes(1))) return;
    print_warn("[health] device " + label_ + ": hardware error at nonce " + std::to_string(nonce));
    last_hw_line_ = now;
}

// The sensors at most once per interval, unless `now_please`.
std::optional<GpuReading> DeviceWorker::read_sensor(bool now_please) {
    if (!sensor_) return std::nullopt;
    const Clock::time_point now = Clock::now();
    if (!now_please && now - last_read_ < settings_.sensor_every) {
        std::lock_guard<std::mutex> lock(stats_mutex_);
        return reading_;
    }
    last_read_ = now;
    std::optional<GpuReading> reading = sensor_();
    std::lock_guard<std::mutex> lock(stats_mutex_);
    return reading_ = std::move(reading);
}

// Waits while the device is at or above the limit, until it is 5 C below it
// (or its temperature cannot be read).
void DeviceWorker::hold_while_hot() {
    const int64_t limit = settings_.temp_limit;
    if (limit <= 0) return;
    std::optional<GpuReading> g = read_sensor(false);
    if (!g || !g->temp_c || *g->temp_c < limit) return;
    print_out("[health] device " + label_ + ": " + std::to_string(*g->temp_c) + "C >= " + std::to_string(limit) +
              "C, paused");
    set_paused(true);
    while (!stopping()) {
        for (auto t = Clock::now(); Clock::now() - t < settings_.sensor_every && !stopping();)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        batches_.fetch_add(1);  // a pause on purpose is progress to the service manager's watchdog
        g = read_sensor(true);
        if (!g || !g->temp_c || *g->temp_c + 5 <= limit) break;
    }
    set_paused(false);
    if (!stopping())
        print_out("[health] device " + label_ + ": " + (g && g->temp_c ? std::to_string(*g->temp_c) + "C" : "?") +
                  ", resumed");
}

void DeviceWorker::set_paused(bool paused) {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    paused_ = paused;
}

void DeviceWorker::post_share(const BlockTemplate& work, const CandidateBlock& candidate, uint32_t nonce,
                              std::optional<PoolBlock> block) {
    WorkerEvent e;
    e.kind = WorkerEvent::Kind::share;
    e.worker = index_;
    e.share = {work.pool->job.id, work.pool->extranonce1,
               extranonce2_bytes(candidate.extranonce, work.pool->extranonce2_size), work.pool->job.ntime, nonce,
               int(index_), std::move(block)};
    events_.post(std::move(e));
}

// True when the hit was a block, handed to the loop.
bool DeviceWorker::handle_hit(const BlockTemplate& work, uint64_t seen, const CandidateBlock& candidate,
                              const Hash256& share, const BatchResult& r) {
    Hash256 cpu_hash;
    const std::string at = " at nonce=" + std::to_string(r.nonce);
    const FoundCheck check = verify_found(candidate.header, work.target, r.nonce, r.hash, cpu_hash);
    tally(check == FoundCheck::valid, expected_hashes(share), r.nonce);
    switch (check) {
        case FoundCheck::mismatch:
            print_warn("[found] GPU/CPU hash mismatch" + at + "; ignoring");
            return false;
        case FoundCheck::above_target:
            print_warn("[found] CPU hash is above target" + at + "; ignoring");
            return false;
        case FoundCheck::valid:
            break;
    }
    if (work.pool) {  // the pool's block: a share like any other, which the pool turns into the block
        print_out("[found] device=" + label_ + " nonce=" + std::to_string(r.nonce) + " hash=" +
                  hash_to_display_hex(cpu_hash) + " meets the network target: a block for the pool");
        Header80 header = candidate.header;
        store_le32(header.data() + 76, r.nonce);
        PoolBlock b;
        b.height = coinbase_height(candidate.coinbase);
        b.hash = hash_to_display_hex(cpu_hash);
        b.prevhash = hash_to_display_hex(work.prev_hash);
        b.header = bytes_to_hex(Bytes(header.begin(), header.end()));
        b.coinbase = bytes_to_hex(candidate.coinbase);
        b.job = work.pool->job.id;
        b.extranonce2 = bytes_to_hex(extranonce2_bytes(candidate.extranonce, work.pool->extranonce2_size));
        post_share(work, candidate, r.nonce, std::move(b));
        return true;
    }
    const Bytes block = serialize_block(candidate, r.nonce);
    WorkerEvent found;
    found.worker = index_;
    found.block = {work.height, hash_to_display_hex(cpu_hash), hash_to_display_hex(work.prev_hash),
                   bytes_to_hex(block), work.workid};
    found.nonce = r.nonce;
    found.block_bytes = block.size();
    found.work = seen;
    events_.post(std::move(found));
    return true;
}

}  // namespace vkn
