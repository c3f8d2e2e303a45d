#pragma once
// The "[stat]" line and the hash-rate text.
#include <cstdint>
#include <string>

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

// " 10s=R 60s=R 15m=R": rolling rates over the three windows.
std::string rates_text(const double rates[3]);

}  // namespace vkn
