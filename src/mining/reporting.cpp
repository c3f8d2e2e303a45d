#include "mining/reporting.h"

#include <cstdio>

namespace vkn {

std::string format_hashrate(double r) {
    const char* unit = " H/s";
    double v = r;
    if (r >= 1e12) v = r / 1e12, unit = " TH/s";
    else if (r >= 1e9) v = r / 1e9, unit = " GH/s";
    else if (r >= 1e6) v = r / 1e6, unit = " MH/s";
    else if (r >= 1e3) v = r / 1e3, unit = " kH/s";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return std::string(buf) + unit;
}

std::string stat_line(const StatInputs& s) {
    double seconds = double(s.run_ns) / 1e9;
    double avg = seconds > 0 ? double(s.total) / seconds : 0.0;
    double batch = s.batch.elapsed_ms > 0 ? double(s.batch.hashes) * 1000.0 / double(s.batch.elapsed_ms) : 0.0;
    return "[stat] height=" + std::to_string(s.height) + " extranonce=" + std::to_string(s.extranonce) +
           " nonce=" + std::to_string(s.batch_start) + " total=" + std::to_string(s.total) +
           " avg=" + format_hashrate(avg) + " batch=" + format_hashrate(batch);
}

std::string rates_text(const double rates[3]) {
    return " 10s=" + format_hashrate(rates[0]) + " 60s=" + format_hashrate(rates[1]) +
           " 15m=" + format_hashrate(rates[2]);
}

}  // namespace vkn
