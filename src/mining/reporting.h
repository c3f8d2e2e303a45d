#pragma once
// The "[stat]" line and the hash-rate text.
#include <cstdint>
#include <string>

#include <optional>

#include "mining/shares.h"
#include "search/nvml.h"
#include "search/search_backend.h"

namespace vkn {

// "1.23 MH/s": two decimals, unit chosen before rounding.
std::string format_hashrate(double rate);

struct StatInputs {
    uint32_t height = 0;
    uint64_t extranonce = 0;
    uint32_t batch_start = 0;
    uint64_t total = 0;
    int64_t run_ns = 0;  // steady-clock time since the run started
    BatchResult batch;
};
std::string stat_line(const StatInputs& s);

// "4.4MH/J": one decimal, unit chosen before rounding.
std::string format_efficiency(double hashes_per_joule);

// " temp=67C power=285W fan=60% sm=1755MHz mem=2619MHz util=100%
// eff=4.4MH/J throttle=sw_power_cap": the sensors the device has, and the
// hash rate per watt.
std::string sensor_text(const GpuReading& g, double rate);

// "[health] device=0 temp=67C power=285W ... shares=412 hw_errors=0
// verified=1.31 GH/s": the sensors the device has, then its shares and the
// rate they prove over the longest window; "paused" and "unreliable" when so.
std::string health_line(const std::string& label, const std::optional<GpuReading>& g, const ShareStats& s,
                        bool paused);

// " 10s=R 60s=R 15m=R": rolling rates over the three windows.
std::string rates_text(const double rates[3]);

}  // namespace vkn
