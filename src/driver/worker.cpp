#include "driver/worker.h"

#include <optional>

#include "block/candidate.h"
#include "driver/options.h"
#include "driver/reporting.h"
#include "hash/sha3t.h"
#include "util/endian.h"
#include "util/hex.h"

namespace vkn {

using Clock = RollingRate::Clock;

FoundCheck verify_found(const Header80& header, const Hash256& target, uint32_t nonce, const Hash256& reported,
                        Hash256& cpu_hash) {
    Header80 h = header;
    store_le32(h.data() + 76, nonce);
    cpu_hash = sha3_256t(h.data(), h.size());
    if (cpu_hash != reported) return FoundCheck::mismatch;
    if (!hash_meets_target(cpu_hash, target)) return FoundCheck::above_target;
    return FoundCheck::valid;
}

void WorkBoard::publish(const BlockTemplate& work) {
    auto snapshot = std::make_shared<const BlockTemplate>(work);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work_ = std::move(snapshot);
        sequence_.fetch_add(1, std::memory_order_acq_rel);
    }
    published_.notify_all();
}

std::pair<uint64_t, std::shared_ptr<const BlockTemplate>> WorkBoard::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {sequence_.load(), work_};
}

bool WorkBoard::wait_past(uint64_t seen, std::chrono::milliseconds most) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return published_.wait_for(lock, most, [&] { return sequence_.load() != seen; });
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
                           const MinerOptions& options, uint64_t extranonce_start, WorkBoard& board,
                           WorkerEvents& events, const std::atomic<bool>& stop)
    : index_(index),
      count_(count),
      label_(std::move(label)),
      backend_(backend),
      options_(options),
      extranonce_(extranonce_start + index),
      board_(board),
      events_(events),
      stop_(stop),
      rolling_(Clock::now()),
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
    const Geometry geometry = backend_.mining_geometry();
    const Clock::time_point run_start = Clock::now();
    Clock::time_point last_status = run_start;
    std::optional<Header80> submitted;  // the header of this device's last found block
    uint64_t seen = 0;
    std::shared_ptr<const BlockTemplate> work;

    while (!stopping()) {
        if (board_.sequence() != seen) std::tie(seen, work) = board_.current();
        std::optional<CandidateBlock> candidate;
        try {
            candidate = build_candidate(*work, options_.payouts, extranonce_, options_.coinbase_tag, true);
            // Work that did not move on after a submission (a failed refresh, a node that kept its tip)
            // would find and submit the very same block again.
            if (submitted && candidate->header == *submitted) {
                extranonce_ += count_;
                candidate = build_candidate(*work, options_.payouts, extranonce_, options_.coinbase_tag, true);
            }
        } catch (const std::exception& e) {
            post_failure(WorkerEvent::Kind::build_failed, e.what());
            return;
        }

        bool new_work = false;  // leave the sweep for a new outer pass, same extranonce
        uint32_t start = work->nonce_min;
        while (!stopping() && start <= work->nonce_max) {
            if (board_.sequence() != seen) {
                new_work = true;
                break;
            }
            const BatchResult r = backend_.run_batch(candidate->header, work->target, start, work->nonce_max, geometry);
            const Clock::time_point now = Clock::now();
            uint64_t total;
            {
                std::lock_guard<std::mutex> lock(stats_mutex_);
                total = total_ += r.hashes;
                rolling_.add(r.hashes, now);
            }
            if (std::chrono::duration_cast<std::chrono::seconds>(now - last_status).count() >= options_.status_sec) {
                std::string line = stat_line({.height = work->height,
                                              .extranonce = extranonce_,
                                              .batch_start = start,
                                              .total = total,
                                              .run_ns = std::chrono::nanoseconds(now - run_start).count(),
                                              .batch = r});
                if (count_ > 1) line = "[stat] device=" + label_ + line.substr(6) + rates_text(stats(now).rates);
                print_out(line);
                last_status = now;
            }

            if (r.found) {
                Hash256 cpu_hash;
                const std::string at = " at nonce=" + std::to_string(r.nonce);
                switch (verify_found(candidate->header, work->target, r.nonce, r.hash, cpu_hash)) {
                    case FoundCheck::mismatch:
                        print_err("[found] GPU/CPU hash mismatch" + at + "; ignoring");
                        break;
                    case FoundCheck::above_target:
                        print_err("[found] CPU hash is above target" + at + "; ignoring");
                        break;
                    case FoundCheck::valid: {
                        const Bytes block = serialize_block(*candidate, r.nonce);
                        WorkerEvent found;
                        found.worker = index_;
                        found.block = {work->height, hash_to_display_hex(cpu_hash),
                                       hash_to_display_hex(work->prev_hash), bytes_to_hex(block)};
                        found.nonce = r.nonce;
                        found.block_bytes = block.size();
                        events_.post(std::move(found));
                        submitted = candidate->header;
                        // The driver answers every found block with a publication, new work or not.
                        while (!stopping() && !board_.wait_past(seen, std::chrono::milliseconds(100))) {
                        }
                        new_work = true;
                        break;
                    }
                }
                if (new_work) break;
            }
            if (r.hashes == 0) break;
            const uint64_t next = uint64_t(start) + r.hashes;
            if (next > work->nonce_max) break;
            start = uint32_t(next);
        }
        if (!new_work) extranonce_ += count_;
    }
}

}  // namespace vkn
