#include "api/status.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "block/script_type.h"
#include "block/template.h"
#include "util/hex.h"
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

double difficulty_of(uint32_t bits) {
    const double target = as_double(compact_to_target(bits));
    return target > 0 ? as_double(compact_to_target(0x1d00ffff)) / target : 0.0;
}

namespace {

json optional_json(const auto& v) { return v ? json(*v) : json(nullptr); }

json health_json(const std::optional<GpuReading>& g, double verified) {
    if (!g) return nullptr;
    json reasons = json::array();
    for (const ThrottleReason& r : throttle_reasons())
        if (g->throttle & r.bit) reasons.push_back(r.name);
    return {{"temperature_c", optional_json(g->temp_c)},
            {"power_w", optional_json(g->power_w)},
            {"fan_percent", optional_json(g->fan_pct)},
            {"sm_clock_mhz", optional_json(g->sm_mhz)},
            {"memory_clock_mhz", optional_json(g->mem_mhz)},
            {"utilization_percent", optional_json(g->util_pct)},
            {"throttle_reasons", reasons},
            {"hashes_per_joule", g->power_w && *g->power_w > 0 ? json(verified / *g->power_w) : json(nullptr)}};
}

json payouts_json(const std::vector<PayoutSpec>& payouts) {
    json list = json::array();
    for (const PayoutSpec& p : payouts)
        list.push_back({{"script", bytes_to_hex(p.script)},
                        {"type", script_type_name(p.script)},
                        {"address", p.address.empty() ? json(nullptr) : json(p.address)},
                        {"weight", p.absolute ? json(nullptr) : json(p.weight)},
                        {"sats", p.absolute ? json(p.sats) : json(nullptr)}});
    return list;
}

json device_json(const DeviceStatus& d) {
    const ShareStats& sh = d.stats.shares;
    return {{"index", std::stoi(d.label)},
            {"name", d.name},
            {"uuid", d.uuid.empty() ? json(nullptr) : json(d.uuid)},
            {"pci_bus_id", d.pci_bus_id.empty() ? json(nullptr) : json(d.pci_bus_id)},
            {"hashrate", rates_json(d.stats.rates)},
            {"total_hashes", d.stats.total},
            {"shares", sh.shares},
            {"hardware_errors", sh.hw_errors},
            {"shares_lost", sh.lost},
            {"share_difficulty", sh.difficulty},
            {"verified_hashrate", rates_json(sh.verified)},
            {"unreliable", sh.unreliable},
            {"paused", d.stats.paused},
            {"health", health_json(d.stats.health, sh.verified[2])},
            {"geometry",
             {{"blocks", d.geometry.blocks},
              {"threads", d.geometry.threads},
              {"iters_per_thread", d.geometry.iters_per_thread}}}};
}

}  // namespace

json summary_json(const StatusSnapshot& s) {
    json devices = json::array();
    uint64_t total = 0;
    for (const DeviceStatus& d : s.devices) {
        devices.push_back(device_json(d));
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
        {"payouts", payouts_json(s.payouts)},
        {"pool", s.pool ? json{{"url", redact_url(s.pool->url)},
                               {"connected", s.pool->connected},
                               {"difficulty", s.pool->difficulty},
                               {"submitted", s.pool->submitted},
                               {"accepted", s.pool->accepted},
                               {"rejected", s.pool->rejected},
                               {"stale_dropped", s.pool->stale_dropped}}
                        : json(nullptr)},
    };
}

namespace {

void family_head(std::ostream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

std::string label_value(const std::string& v) {
    std::string out;
    for (const char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

// The node's reasons (BIP 22) a block may be rejected for: each is always
// present, so that a first rejection is an increase; any other verdict
// counts as "other", so that the label stays bounded.
const char* const kRejectReasons[] = {
    "duplicate",     "duplicate-invalid", "duplicate-inconclusive", "inconclusive",   "rejected",
    "bad-prevblk",   "high-hash",         "time-too-old",           "time-too-new",   "bad-diffbits",
    "bad-txnmrklroot", "bad-cb-missing",  "bad-cb-multiple",        "bad-cb-height",  "bad-cb-amount",
    "bad-txns",      "bad-blk-length",    "bad-blk-weight",         "bad-blk-sigops", "bad-version",
    "bad-witness-merkle-match", "bad-witness-nonce-size", "unexpected-witness", "error", "other"};

std::vector<std::pair<std::string, uint64_t>> rejections(const SubmitterStatus& blocks) {
    std::vector<std::pair<std::string, uint64_t>> counts;
    for (const char* r : kRejectReasons) counts.emplace_back(r, 0);
    for (const auto& [hash, verdict] : blocks.rejected) {
        // An error object (a JSON-RPC error rather than a verdict) is "error".
        const std::string reason = verdict.is_string() ? verdict.get<std::string>() : "error";
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == reason; });
        ++(it == counts.end() ? counts.back() : *it).second;
    }
    return counts;
}

// device, name, uuid and pci_bus_id: what ties a series to a card in the rack.
std::string device_labels(const DeviceStatus& d) {
    return "device=\"" + d.label + "\",name=\"" + label_value(d.name) + "\",uuid=\"" + label_value(d.uuid) +
           "\",pci_bus_id=\"" + label_value(d.pci_bus_id) + "\"";
}

// The sensors' gauges, for the devices that have them.
void gpu_metrics(std::ostream& out, const StatusSnapshot& s) {
    auto gauge = [&](const char* name, const char* help, auto value_of) {
        family_head(out, name, "gauge", help);
        for (const DeviceStatus& d : s.devices)
            if (d.stats.health)
                if (const std::optional<double> v = value_of(*d.stats.health, d))
                    out << name << "{" << device_labels(d) << "} " << number(*v) << "\n";
    };
    auto as_double = [](const auto& v) { return v ? std::optional<double>(double(*v)) : std::nullopt; };
    gauge("vkn_gpu_temperature_celsius", "GPU temperature.",
          [&](const GpuReading& g, const DeviceStatus&) { return as_double(g.temp_c); });
    gauge("vkn_gpu_power_watts", "GPU power draw.",
          [&](const GpuReading& g, const DeviceStatus&) { return g.power_w; });
    gauge("vkn_gpu_fan_speed_ratio", "GPU fan speed, 0 to 1.", [&](const GpuReading& g, const DeviceStatus&) {
        return g.fan_pct ? std::optional<double>(*g.fan_pct / 100.0) : std::nullopt;
    });
    gauge("vkn_gpu_sm_clock_hertz", "GPU SM clock.", [&](const GpuReading& g, const DeviceStatus&) {
        return g.sm_mhz ? std::optional<double>(*g.sm_mhz * 1e6) : std::nullopt;
    });
    gauge("vkn_gpu_memory_clock_hertz", "GPU memory clock.", [&](const GpuReading& g, const DeviceStatus&) {
        return g.mem_mhz ? std::optional<double>(*g.mem_mhz * 1e6) : std::nullopt;
    });
    gauge("vkn_gpu_utilization_ratio", "GPU utilisation, 0 to 1.", [&](const GpuReading& g, const DeviceStatus&) {
        return g.util_pct ? std::optional<double>(*g.util_pct / 100.0) : std::nullopt;
    });
    gauge("vkn_gpu_efficiency_hashes_per_joule", "Verified hashes (15-minute rate) per joule.",
          [&](const GpuReading& g, const DeviceStatus& d) {
              return g.power_w && *g.power_w > 0 ? std::optional<double>(d.stats.shares.verified[2] / *g.power_w)
                                                 : std::nullopt;
          });
    family_head(out, "vkn_gpu_throttle_active", "gauge", "1 while the GPU's clocks are held down for this reason.");
    for (const DeviceStatus& d : s.devices)
        if (d.stats.health)
            for (const ThrottleReason& r : throttle_reasons())
                out << "vkn_gpu_throttle_active{" << device_labels(d) << ",reason=\"" << r.name << "\"} "
                    << ((d.stats.health->throttle & r.bit) ? 1 : 0) << "\n";
}

void device_metrics(std::ostream& out, const StatusSnapshot& s) {
    auto each = [&](const char* name, const char* type, const char* help, auto value_of) {
        family_head(out, name, type, help);
        for (const DeviceStatus& d : s.devices) out << name << "{device=\"" << d.label << "\"} " << value_of(d) << "\n";
    };
    family_head(out, "vkn_device_info", "gauge", "1 for each mining device, with its name, UUID and PCI bus id.");
    for (const DeviceStatus& d : s.devices) out << "vkn_device_info{" << device_labels(d) << "} 1\n";
    each("vkn_shares_total", "counter", "Shares the CPU verified, by device.",
         [](const DeviceStatus& d) { return d.stats.shares.shares; });
    each("vkn_hardware_errors_total", "counter", "Shares the device reported and the CPU refused, by device.",
         [](const DeviceStatus& d) { return d.stats.shares.hw_errors; });
    each("vkn_shares_lost_total", "counter", "Shares past a batch's slots, never verified, by device.",
         [](const DeviceStatus& d) { return d.stats.shares.lost; });
    each("vkn_share_difficulty", "gauge", "Hashes per share at the device's share target.",
         [](const DeviceStatus& d) { return number(d.stats.shares.difficulty); });
    family_head(out, "vkn_verified_hashrate_hashes_per_second", "gauge",
                "Hash rate the verified shares prove, by device and window.");
    for (const DeviceStatus& d : s.devices)
        for (int w = 0; w < 3; ++w)
            out << "vkn_verified_hashrate_hashes_per_second{device=\"" << d.label << "\",window=\"" << kWindowNames[w]
                << "\"} " << number(d.stats.shares.verified[w]) << "\n";
    each("vkn_device_unreliable", "gauge", "1 when more than 2 of the device's last 100 shares were wrong.",
         [](const DeviceStatus& d) { return d.stats.shares.unreliable ? 1 : 0; });
    each("vkn_device_paused", "gauge", "1 while the device is paused at its temperature limit.",
         [](const DeviceStatus& d) { return d.stats.paused ? 1 : 0; });
    if (std::any_of(s.devices.begin(), s.devices.end(), [](const DeviceStatus& d) { return d.stats.health; }))
        gpu_metrics(out, s);
}

}  // namespace

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
    device_metrics(out, s);
    family("vkn_blocks_found_total", "counter", "Blocks that passed the CPU re-check in this run.");
    out << "vkn_blocks_found_total " << s.blocks.found << "\n";
    family("vkn_blocks_accepted_total", "counter", "Blocks the node accepted.");
    out << "vkn_blocks_accepted_total " << s.blocks.accepted << "\n";
    family("vkn_blocks_rejected_total", "counter", "Blocks the node rejected, by the node's reason.");
    for (const auto& [reason, n] : rejections(s.blocks))
        out << "vkn_blocks_rejected_total{reason=\"" << reason << "\"} " << n << "\n";
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
    family("vkn_work_long_polling", "gauge", "1 while the node holds a long poll for the next template.");
    out << "vkn_work_long_polling " << (s.long_polling ? 1 : 0) << "\n";
    family("vkn_temp_limit_celsius", "gauge", "The GPUs' temperature limit (--temp-limit); 0 when none.");
    out << "vkn_temp_limit_celsius " << s.temp_limit << "\n";
    family("vkn_longpoll_updates_total", "counter", "New work delivered by the node's long poll.");
    out << "vkn_longpoll_updates_total " << s.longpoll_updates << "\n";
    if (s.pool) {
        const std::string url = "url=\"" + label_value(redact_url(s.pool->url)) + "\"";
        family("vkn_pool_up", "gauge", "1 while the pool has the worker authorised.");
        out << "vkn_pool_up{" << url << "} " << (s.pool->connected ? 1 : 0) << "\n";
        family("vkn_pool_difficulty", "gauge", "The pool's share difficulty.");
        out << "vkn_pool_difficulty{" << url << "} " << number(s.pool->difficulty) << "\n";
        family("vkn_pool_shares_total", "counter", "Shares by the pool's answer; stale: dropped before sending.");
        for (const auto& [result, n] : {std::pair<const char*, uint64_t>{"accepted", s.pool->accepted},
                                        {"rejected", s.pool->rejected},
                                        {"stale", s.pool->stale_dropped}})
            out << "vkn_pool_shares_total{" << url << ",result=\"" << result << "\"} " << n << "\n";
    }
    family("vkn_uptime_seconds", "gauge", "Seconds since the miner started.");
    out << "vkn_uptime_seconds " << number(s.uptime_seconds) << "\n";
    family("vkn_expected_block_time_seconds", "gauge", "Expected seconds to a block at the 15-minute rate.");
    out << "vkn_expected_block_time_seconds " << number(expected_seconds(s)) << "\n";
    // "1.0.0 (commit abc)": the two parts as labels.
    const size_t paren = s.version.find(" (commit ");
    const std::string commit =
        paren == std::string::npos ? "unknown" : s.version.substr(paren + 9, s.version.size() - paren - 10);
    family("vkn_build_info", "gauge", "1, labelled with the version and the commit it was built from.");
    out << "vkn_build_info{version=\"" << label_value(s.version.substr(0, paren)) << "\",commit=\""
        << label_value(commit) << "\"} 1\n";
    family("process_start_time_seconds", "gauge", "Start time of the process since the epoch, in seconds.");
    out << "process_start_time_seconds " << number(s.start_time_seconds) << "\n";
    return out.str();
}

}  // namespace vkn
