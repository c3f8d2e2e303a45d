#include "mining/reporting.h"

#include <cmath>
#include <cstdio>

namespace vkn {

namespace {

// "1.23 MH/s", "4.4MH/J": the value scaled to k, M, G or T (the unit chosen
// before rounding), `decimals` digits, then `space`, the prefix and `unit`.
std::string scaled(double v, int decimals, const char* space, const char* unit) {
    const char* prefix = "";
    if (v >= 1e12) v /= 1e12, prefix = "T";
    else if (v >= 1e9) v /= 1e9, prefix = "G";
    else if (v >= 1e6) v /= 1e6, prefix = "M";
    else if (v >= 1e3) v /= 1e3, prefix = "k";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return std::string(buf) + space + prefix + unit;
}

}  // namespace

std::string format_hashrate(double r) { return scaled(r, 2, " ", "H/s"); }

std::string stat_line(const StatInputs& s) {
    double seconds = double(s.run_ns) / 1e9;
    double avg = seconds > 0 ? double(s.total) / seconds : 0.0;
    double batch = s.batch.elapsed_ms > 0 ? double(s.batch.hashes) * 1000.0 / double(s.batch.elapsed_ms) : 0.0;
    return "[stat] height=" + std::to_string(s.height) + " extranonce=" + std::to_string(s.extranonce) +
           " nonce=" + std::to_string(s.batch_start) + " total=" + std::to_string(s.total) +
           " avg=" + format_hashrate(avg) + " batch=" + format_hashrate(batch);
}

std::string format_efficiency(double e) { return scaled(e, 1, "", "H/J"); }

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
