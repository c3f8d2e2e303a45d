#include "mining/reporting.h"

#include <cmath>
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

std::string format_efficiency(double e) {
    const char* unit = "H/J";
    double v = e;
    if (e >= 1e9) v = e / 1e9, unit = "GH/J";
    else if (e >= 1e6) v = e / 1e6, unit = "MH/J";
    else if (e >= 1e3) v = e / 1e3, unit = "kH/J";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return std::string(buf) + unit;
}

std::string sensor_text(const GpuReading& g, double rate) {
    std::string text;
    auto field = [&](const char* name, const std::optional<uint32_t>& v, const char* unit) {
        if (v) text += std::string(" ") + name + "=" + std::to_string(*v) + unit;
    };
    field("temp", g.temp_c, "C");
    if (g.power_w) field("power", uint32_t(std::lround(*g.power_w)), "W");
    field("fan", g.fan_pct, "%");
    field("sm", g.sm_mhz, "MHz");
    field("mem", g.mem_mhz, "MHz");
    field("util", g.util_pct, "%");
    if (g.power_w && *g.power_w > 0) text += " eff=" + format_efficiency(rate / *g.power_w);
    const char* sep = " throttle=";
    for (const ThrottleReason& r : throttle_reasons())
        if (g.throttle & r.bit) text += sep + std::string(r.name), sep = ",";
    return text;
}

std::string health_line(const std::string& label, const std::optional<GpuReading>& g, const ShareStats& s,
                        bool paused) {
    std::string line = "[health] device=" + label + (g ? sensor_text(*g, s.verified[2]) : "");
    line += " shares=" + std::to_string(s.shares) + " hw_errors=" + std::to_string(s.hw_errors) +
            " verified=" + format_hashrate(s.verified[2]);
    if (paused) line += " paused";
    if (s.unreliable) line += " unreliable";
    return line;
}

std::string rates_text(const double rates[3]) {
    return " 10s=" + format_hashrate(rates[0]) + " 60s=" + format_hashrate(rates[1]) +
           " 15m=" + format_hashrate(rates[2]);
}

}  // namespace vkn
