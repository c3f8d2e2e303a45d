#include "driver/reporting.h"

#include <cstdio>
#include <iostream>

#include "hash/sha3t.h"
#include "rpc/long_poller.h"

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

std::string work_line(const BlockTemplate& t) {
    return "[work] height=" + std::to_string(t.height) + " txs=" + std::to_string(t.transactions.size() + 1) +
           " coinbasevalue=" + std::to_string(t.coinbase_value) + " target=" + hash_to_display_hex(t.target) +
           " nonces=" + std::to_string(t.nonce_min) + ".." + std::to_string(t.nonce_max) +
           " longpoll=" + (t.longpollid.empty() ? "no" : "yes");
}

BlockTemplate install_template(const nlohmann::json& reply, bool gbt_txids_internal, LongPoller& poller) {
    BlockTemplate t = parse_block_template(reply, gbt_txids_internal);
    poller.offer_longpollid(t.longpollid);
    std::cout << work_line(t) << "\n";
    return t;
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

void print_out(const std::string& line) { std::cout << (line + "\n") << std::flush; }
void print_err(const std::string& line) { std::cerr << (line + "\n"); }

}  // namespace vkn
