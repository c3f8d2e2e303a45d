#include "mining/device_worker.h"

#include <algorithm>

#include "hash/sha3t.h"
#include "mining/reporting.h"
#include "util/endian.h"
#include "util/hex.h"
#include "util/output.h"

namespace vkn {

using Clock = RollingRate::Clock;

namespace {
// A time point as one number, for the watchdog's atomics.
int64_t ns_of(Clock::time_point t) { return std::chrono::nanoseconds(t.time_since_epoch()).count(); }
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
                           WorkerEvents& events, const std::atomic<bool>& stop)
    : index_(index),
      count_(count),
      label_(std::move(label)),
      backend_(backend),
      settings_(settings),
      extranonce_(extranonce_start + index),
      board_(board),
      events_(events),
      stop_(stop),
      rolling_(Clock::now()),
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
        CandidateBlock candidate;
        try {
            candidate = build_candidate(*work, settings_.payouts, extranonce_, settings_.coinbase_tag, true);
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
    }
    if (std::chrono::duration_cast<std::chrono::seconds>(now - last_status_).count() < settings_.status_sec) return;
    std::string line = stat_line({.height = work.height,
                                  .extranonce = extranonce_,
                                  .batch_start = start,
                                  .total = total,
                                  .run_ns = std::chrono::nanoseconds(now - run_start_).count(),
                                  .batch = r});
    if (count_ > 1) line = "[stat] device=" + label_ + line.substr(6) + rates_text(stats(now).rates);
    print_out(line);
    last_status_ = now;
}

// True when the range is used up or a block was found; false when new work
// or a stop cut it short.
bool DeviceWorker::sweep(const BlockTemplate& work, const CandidateBlock& candidate, uint64_t seen) {
    const Geometry geometry = backend_.mining_geometry();
    uint32_t start = work.nonce_min;
    while (!stopping()) {
        if (board_.sequence() != seen) return false;
        const int64_t began = ns_of(Clock::now());
        batch_started_ns_.store(began);
        const BatchResult r = backend_.run_batch(candidate.header, work.target, start, work.nonce_max, geometry);
        last_batch_ns_.store(ns_of(Clock::now()) - began);
        batch_started_ns_.store(0);
        batches_.fetch_add(1);
        count_batch(work, start, r);
        if (r.found && handle_hit(work, candidate, r)) {
            // Resume only on work installed after the find was posted (the
            // node's answer to it), or after a short wait go on beside it.
            const uint64_t posted_at = board_.sequence();
            for (auto waited = std::chrono::milliseconds(0); waited < settings_.resume_wait && !stopping();
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

// True when the hit was a block, handed to the loop.
bool DeviceWorker::handle_hit(const BlockTemplate& work, const CandidateBlock& candidate, const BatchResult& r) {
    Hash256 cpu_hash;
    const std::string at = " at nonce=" + std::to_string(r.nonce);
    switch (verify_found(candidate.header, work.target, r.nonce, r.hash, cpu_hash)) {
        case FoundCheck::mismatch:
            print_err("[found] GPU/CPU hash mismatch" + at + "; ignoring");
            return false;
        case FoundCheck::above_target:
            print_err("[found] CPU hash is above target" + at + "; ignoring");
            return false;
        case FoundCheck::valid:
            break;
    }
    const Bytes block = serialize_block(candidate, r.nonce);
    WorkerEvent found;
    found.worker = index_;
    found.block = {work.height, hash_to_display_hex(cpu_hash), hash_to_display_hex(work.prev_hash),
                   bytes_to_hex(block), work.workid};
    found.nonce = r.nonce;
    found.block_bytes = block.size();
    events_.post(std::move(found));
    return true;
}

}  // namespace vkn
