#pragma once
// --benchmark: hash a synthetic header for a while, with no node.
#include "app/options.h"
#include "search/nvml.h"
#include "search/search_backend.h"

namespace vkn {

// Sweeps the self-test header against the all-zero target (every nonce is
// hashed, none is found) until the time is up or a stop is requested,
// printing "[stat]" lines and the closing "[bench]" line, then, where the
// device has sensors, a "[health]" line with its efficiency at that rate.
// Returns 0.
int run_benchmark(SearchBackend& backend, const MinerOptions& options, const std::string& label,
                  const GpuSensor& sensor);

}  // namespace vkn
