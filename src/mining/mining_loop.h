#pragma once
// The mining loop: takes what the device workers report, hands found blocks
// to the submitter and prints the whole rig's status line. It never calls
// the node and never waits on it, except for --mine-one's verdict.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "mining/device_worker.h"
#include "node/submitter.h"

namespace vkn {

struct LoopSettings {
    bool mine_one = false;
    int32_t status_sec = 5;  // the total line, with several devices
    // With --mine-one, once its block is handed over: no new work is wanted.
    std::function<void()> last_block_found;
    // Called every `alive_every` while the loop and every device make
    // progress (each device finished a batch since the last call).
    std::chrono::milliseconds alive_every{0};
    std::function<void()> alive;
    // The node's reason when it refused, as a proposal, the block of the
    // template with this work sequence (waiting for an answer still out);
    // and any refusal as it comes.
    std::function<std::optional<std::string>(uint64_t work)> refused_for;
    std::function<std::optional<std::string>()> refused;
    // A pool's verified share, to submit; and an error that ends the run (status 1).
    std::function<void(const ShareSubmit&)> share;
    std::function<std::optional<std::string>()> failed;
    // Called at each status interval, after the devices' lines.
    std::function<void()> status;
};

// A device whose batch does not return: its context cannot be recovered in
// the process, and its thread cannot be joined.
class DeviceHung : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Runs until `stop` (nothing), --mine-one's verdict (0; 1 when the block got
// none), a candidate that cannot be built or a template whose blocks the
// node refuses (2). A device failure throws,
// naming the device when there are several; a hung batch throws DeviceHung.
std::optional<int> run_mining_loop(WorkerEvents& events, const std::vector<std::unique_ptr<DeviceWorker>>& workers,
                                   Submitter& submitter, const LoopSettings& settings, const std::atomic<bool>& stop);

// "[stat] devices=N total=... avg=... 10s=... 60s=... 15m=..."
std::string total_stat_line(const std::vector<std::unique_ptr<DeviceWorker>>& workers,
                            RollingRate::Clock::time_point now, RollingRate::Clock::time_point run_start);

}  // namespace vkn
