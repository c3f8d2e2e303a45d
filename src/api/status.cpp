#include "api/status.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "block/template.h"
#include "hash/sha3t.h"

namespace vkn {
namespace {

using nlohmann::json;

double as_double(const Hash256& h) {
    double v = 0;
    for (int i = 31; i >= 0; --i) v = v * 256.0 + h[size_t(i)];
    return v;
}

const char* const kWindowNames[3] = {"10s", "60s", "15m"};

json rates_json(const double rates[3]) {
    return {{kWindowNames[0], rates[0]}, {kWindowNames[1], rates[1]}, {kWindowNames[2], rates[2]}};
}

double total_rate(const StatusSnapshot& s, int window) {
    double sum = 0;
    for (const DeviceStatus& d : s.devices) sum += d.stats.rates[window];
    return sum;
}

// At the 15-minute rate; infinite while nothing was hashed.
double expected_seconds(const StatusSnapshot& s) {
    const double rate = total_rate(s, 2);
    return rate > 0 && s.has_work ? expected_hashes(s.target) / rate : std::numeric_limits<double>::infinity();
}

std::string number(double v) {
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    if (std::isnan(v)) return "NaN";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

}  // namespace

double expected_hashes(const Hash256& target) { return std::ldexp(1.0, 256) / (as_double(target) + 1.0); }

double difficulty_of(uint32_t bits) {
    const double target = as_double(compact_to_target(bits));
    return target > 0 ? as_double(compact_to_target(0x1d00ffff)) / target : 0.0;
}

json summary_json(const StatusSnapshot& s) {
    json devices = json::array();
    uint64_t total = 0;
    for (const DeviceStatus& d : s.devices) {
        devices.push_back({{"index", std::stoi(d.label)},
                           {"name", d.name},
                           {"hashrate", rates_json(d.stats.rates)},
                           {"total_hashes", d.stats.total},
                           {"geometry",
                            {{"blocks", d.geometry.blocks},
                             {"threads", d.geometry.threads},
                             {"iters_per_thread", d.geometry.iters_per_thread}}}});
        total += d.stats.total;
    }
    const double totals[3] = {total_rate(s, 0), total_rate(s, 1), total_rate(s, 2)};
    json rejected = json::array();
    for (const auto& [hash, verdict] : s.blocks.rejected) rejected.push_back({{"hash", hash}, {"verdict", verdict}});
    const double expected = expected_seconds(s);
    return {
        {"version", s.version},
        {"uptime_seconds", s.uptime_seconds},
        {"backend", s.backend},
        {"devices", devices},
        {"hashrate", rates_json(totals)},
        {"total_hashes", total},
        {"work",
         s.has_work ? json{{"height", s.height},
                           {"transactions", s.transactions},
                           {"coinbase_value", s.coinbase_value},
                           {"target", hash_to_display_hex(s.target)},
                           {"difficulty", difficulty_of(s.bits)},
                           {"template_age_seconds", s.template_age_seconds},
                           {"long_polling", s.long_polling}}
                    : json(nullptr)},
        {"node",
         {{"url", s.node_url},
          {"reachable", s.node.reachable},
          {"last_error", s.node.last_error.empty() ? json(nullptr) : json(s.node.last_error)},
          {"last_error_time", s.node.last_error.empty() ? json(nullptr) : json(s.node.last_error_time)}}},
        {"blocks",
         {{"found", s.blocks.found},
          {"accepted", s.blocks.accepted},
          {"rejected", rejected},
          {"pending", s.blocks.pending}}},
        {"expected_seconds_to_block", std::isfinite(expected) ? json(expected) : json(nullptr)},
    };
}

std::string metrics_text(const StatusSnapshot& s) {
    std::ostringstream out;
    auto family = [&](const char* name, const char* type, const char* help) {
        out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
    };
    family("vkn_hashes_total", "counter", "Hashes computed, by device.");
    for (const DeviceStatus& d : s.devices)
        out << "vkn_hashes_total{device=\"" << d.label << "\"} " << d.stats.total << "\n";
    family("vkn_hashrate_hashes_per_second", "gauge", "Rolling hash rate, by device and window.");
    for (const DeviceStatus& d : s.devices)
        for (int w = 0; w < 3; ++w)
            out << "vkn_hashrate_hashes_per_second{device=\"" << d.label << "\",window=\"" << kWindowNames[w] << "\"} "
                << number(d.stats.rates[w]) << "\n";
    family("vkn_blocks_found_total", "counter", "Blocks that passed the CPU re-check in this run.");
    out << "vkn_blocks_found_total " << s.blocks.found << "\n";
    family("vkn_blocks_accepted_total", "counter", "Blocks the node accepted.");
    out << "vkn_blocks_accepted_total " << s.blocks.accepted << "\n";
    family("vkn_blocks_rejected_total", "counter", "Blocks the node rejected.");
    out << "vkn_blocks_rejected_total " << s.blocks.rejected.size() << "\n";
    family("vkn_blocks_pending", "gauge", "Found blocks still without the node's answer.");
    out << "vkn_blocks_pending " << s.blocks.pending.size() << "\n";
    family("vkn_work_height", "gauge", "Height of the block being mined.");
    out << "vkn_work_height " << s.height << "\n";
    family("vkn_template_age_seconds", "gauge", "Seconds since the current template was installed.");
    out << "vkn_template_age_seconds " << number(s.template_age_seconds) << "\n";
    family("vkn_node_up", "gauge", "1 when the node answered the last call.");
    out << "vkn_node_up " << (s.node.reachable ? 1 : 0) << "\n";
    family("vkn_rpc_errors_total", "counter", "Failed calls to the node, by call.");
    for (const char* call : {"getblocktemplate", "submitblock"}) {
        const auto it = s.node.errors.find(call);
        out << "vkn_rpc_errors_total{call=\"" << call << "\"} " << (it == s.node.errors.end() ? 0 : it->second)
            << "\n";
    }
    family("vkn_longpoll_updates_total", "counter", "New work delivered by the node's long poll.");
    out << "vkn_longpoll_updates_total " << s.longpoll_updates << "\n";
    family("vkn_uptime_seconds", "gauge", "Seconds since the miner started.");
    out << "vkn_uptime_seconds " << number(s.uptime_seconds) << "\n";
    family("vkn_expected_block_time_seconds", "gauge", "Expected seconds to a block at the 15-minute rate.");
    out << "vkn_expected_block_time_seconds " << number(expected_seconds(s)) << "\n";
    return out.str();
}

}  // namespace vkn
