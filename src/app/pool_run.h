#pragma once
// A run for a Stratum pool: the pool's jobs on every device, each verified
// share submitted to the pool; no node is contacted and nothing is paid here.
#include <atomic>
#include <vector>

#include "app/options.h"
#include "app/run.h"

namespace vkn {

// Mines until a stop (0); a refused worker or a device failure throws.
int mine_pool(const MinerOptions& options, std::vector<Device>& devices, const std::atomic<bool>& stop);

}  // namespace vkn
