#pragma once
// What the status API shows: one snapshot of the miner's state, and its two
// renderings (the JSON summary and the Prometheus text format).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "node/submitter.h"
#include "mining/device_worker.h"
#include "node/rpc_client.h"
#include "node/stratum_client.h"

namespace vkn {

struct DeviceStatus {
    std::string label;  // the device index as given ("0", "2", ...)
    std::string name;
    Geometry geometry;
    WorkerStats stats;
    std::string uuid;        // a GPU's, where its management library knows it
    std::string pci_bus_id;  // a GPU's
};

struct StatusSnapshot {
    std::string version;
    double uptime_seconds = 0;
    double start_time_seconds = 0;  // since the epoch
    std::string backend;  // "cuda" or "cpu"
    std::vector<DeviceStatus> devices;
    bool has_work = false;
    uint32_t height = 0;
    size_t transactions = 0;  // the coinbase included, as on the "[work]" line
    uint64_t coinbase_value = 0;
    Hash256 target{};
    uint32_t bits = 0;
    double template_age_seconds = 0;
    bool long_polling = false;
    int32_t temp_limit = 0;  // degrees Celsius; 0: none
    uint64_t longpoll_updates = 0;
    std::string node_url;  // the password masked
    RpcHealth node;
    SubmitterStatus blocks;
    std::vector<PayoutSpec> payouts;
    std::optional<PoolStats> pool;  // mining for a pool
};

// The difficulty of the compact bits, against the 0x1d00ffff target.
double difficulty_of(uint32_t bits);

nlohmann::json summary_json(const StatusSnapshot& s);
std::string metrics_text(const StatusSnapshot& s);

}  // namespace vkn
