#pragma once
// One mining run's parts, wired: the status API, the node client, the work
// source, the journal and submitter, the work board and a worker per device.
// Members are declared so that they go in the safe order: the API first
// (it reads all the others), then the workers, the submitter (which asks
// the work source for a refresh after each verdict), the work source.
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "api/status_api.h"
#include "app/notify.h"
#include "app/options.h"
#include "app/run.h"
#include "mining/device_worker.h"
#include "mining/work_board.h"
#include "node/journal.h"
#include "node/proposal_check.h"
#include "node/rpc_client.h"
#include "node/submitter.h"
#include "node/work_source.h"

namespace vkn {

class MiningRun {
public:
    // Binds the status API at once, so that a taken port fails the start.
    MiningRun(const MinerOptions& options, std::vector<Device>& devices);
    ~MiningRun();
    MiningRun(const MiningRun&) = delete;
    MiningRun& operator=(const MiningRun&) = delete;

    // The exit status: 0 after a stop, or what the mining loop returns.
    int run(const std::atomic<bool>& stop);

private:
    StatusSnapshot snapshot() const;
    std::string service_status() const;  // one line for the service manager
    void start_workers(uint64_t extranonce_start, const std::atomic<bool>& stop);
    void propose(const BlockTemplate& t);

    const MinerOptions& o_;
    std::vector<Device>& devices_;
    const std::chrono::steady_clock::time_point process_start_;
    const std::chrono::system_clock::time_point process_start_wall_;
    MiningSettings mining_;
    RpcClient client_;
    Journal journal_;
    WorkBoard board_;
    uint64_t extranonce_start_ = 0;
    // Before the work source, whose installs send it proposals; after the client it calls.
    std::optional<ProposalCheck> proposals_;
    WorkSource source_;
    Submitter submitter_;
    WorkerEvents events_;
    std::vector<std::unique_ptr<DeviceWorker>> workers_;
    std::optional<StatusApi> api_;
    ServiceNotifier notifier_;
};

}  // namespace vkn
