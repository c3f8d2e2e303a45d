#pragma once
// A search device's thread: it builds its own candidates from the shared work
// in its own extranonce lane, re-checks its hits on the CPU and hands found
// blocks to the mining loop; it never calls the node.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "block/candidate.h"
#include "block/payout.h"
#include "mining/reporting.h"
#include "mining/shares.h"
#include "mining/work_board.h"
#include "node/journal.h"
#include "node/stratum_client.h"
#include "search/nvml.h"
#include "search/search_backend.h"
#include "util/rolling_rate.h"

namespace vkn {

// The outcome of re-hashing a reported nonce on the CPU.
enum class FoundCheck { valid, mismatch, above_target };
FoundCheck verify_found(const Header80& header, const Hash256& target, uint32_t nonce, const Hash256& reported,
                        Hash256& cpu_hash);

// What the workers tell the mining loop, in the order it happened.
struct WorkerEvent {
    enum class Kind { found, build_failed, device_failed, share } kind = Kind::found;
    size_t worker = 0;
    std::string what;    // the failure
    FoundBlock block;    // passed the CPU re-check
    uint32_t nonce = 0;
    size_t block_bytes = 0;
    uint64_t work = 0;  // the work board's sequence of the template it was built from
    ShareSubmit share;  // a verified share of a pool's job
};

// The header a device searches for a pool's job and its extranonce2.
CandidateBlock pool_candidate(const PoolWork& work, uint64_t extranonce);

class WorkerEvents {
public:
    void post(WorkerEvent event);
    // The oldest event, waiting for one at most `wait`.
    std::optional<WorkerEvent> take(std::chrono::milliseconds wait);

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<WorkerEvent> events_;
};

struct WorkerStats {
    uint64_t total = 0;
    double rates[3] = {};  // over RollingRate::kWindows
    ShareStats shares;
    std::optional<GpuReading> health;  // the latest, where the device has sensors
    bool paused = false;               // too hot to mine
};

// What a worker needs of the run configuration.
struct MiningSettings {
    std::vector<PayoutSpec> payouts;
    std::string coinbase_tag = "/vkncuda/";
    int32_t status_sec = 5;
    // After a find, how long a worker waits for the work installed after it
    // before it goes on with its next extranonce.
    std::chrono::milliseconds resume_wait{1000};
    // A batch is hung once it runs this long, or ten times its predecessor if that is longer.
    std::chrono::milliseconds hang_floor{std::chrono::seconds(10)};
    // At or above this temperature (C) a device stops until 5 C below it; 0: no limit.
    int32_t temp_limit = 0;
    // How often a device's sensors are read.
    std::chrono::milliseconds sensor_every{1000};
};

class DeviceWorker {
public:
    // Worker `index` of `count` takes the extranonces start + index + i * count.
    // `label` names the device in lines and errors ("0", or a CUDA index);
    // `sensor` reads its health, where it has sensors.
    DeviceWorker(size_t index, size_t count, std::string label, SearchBackend& backend, const MiningSettings& settings,
                 uint64_t extranonce_start, WorkBoard& board, WorkerEvents& events, const std::atomic<bool>& stop,
                 GpuSensor sensor = {});
    ~DeviceWorker();  // stops the thread after its batch and joins it
    DeviceWorker(const DeviceWorker&) = delete;
    DeviceWorker& operator=(const DeviceWorker&) = delete;

    const std::string& label() const { return label_; }
    WorkerStats stats(RollingRate::Clock::time_point now) const;
    // With several devices: this device's "[stat] device=K ..." and
    // "[health]" lines from its latest batch, none before its first.
    std::vector<std::string> status_lines(RollingRate::Clock::time_point now) const;
    // Batches finished so far: progress, for the service manager's watchdog.
    uint64_t batches() const { return batches_.load(); }
    // How long the batch in progress has run when that is past its limit
    // (a device that will not return), else nothing.
    std::optional<std::chrono::duration<double>> hung(RollingRate::Clock::time_point now) const;

private:
    bool stopping() const { return stop_.load() || quit_.load(); }
    void run();
    void mine();
    bool sweep(const BlockTemplate& work, const CandidateBlock& candidate, uint64_t seen);
    void count_batch(const BlockTemplate& work, uint32_t start, const BatchResult& r);
    void check_shares(const BlockTemplate& work, const CandidateBlock& candidate, const Hash256& share,
                      const BatchResult& r);
    void post_share(const BlockTemplate& work, const CandidateBlock& candidate, uint32_t nonce,
                    std::optional<PoolBlock> block = std::nullopt);
    void tally(bool valid, double work, uint32_t nonce);
    bool handle_hit(const BlockTemplate& work, uint64_t seen, const CandidateBlock& candidate, const Hash256& share,
                    const BatchResult& r);
    std::optional<GpuReading> read_sensor(bool now_please);
    void hold_while_hot();
    void set_paused(bool paused);
    void post_failure(WorkerEvent::Kind kind, const std::string& what);

    size_t index_;
    size_t count_;
    std::string label_;
    SearchBackend& backend_;
    const MiningSettings& settings_;
    uint64_t extranonce_;
    WorkBoard& board_;
    WorkerEvents& events_;
    const std::atomic<bool>& stop_;
    std::atomic<bool> quit_{false};
    std::atomic<int64_t> batch_started_ns_{0};  // steady clock; 0 between batches
    std::atomic<int64_t> last_batch_ns_{0};
    std::atomic<uint64_t> batches_{0};
    GpuSensor sensor_;
    int share_bits_;  // the worker thread's alone
    std::optional<RollingRate::Clock::time_point> last_hw_line_;
    RollingRate::Clock::time_point last_read_{};
    mutable std::mutex stats_mutex_;
    uint64_t total_ = 0;
    RollingRate rolling_;
    ShareTally tally_;
    std::optional<GpuReading> reading_;
    std::optional<StatInputs> last_stat_;  // with several devices
    bool paused_ = false;
    RollingRate::Clock::time_point run_start_;
    RollingRate::Clock::time_point last_status_;
    std::thread thread_;
};

}  // namespace vkn
