#pragma once
// The "[work]" and "[stat]" lines and the installation of new work.
#include <cstdint>
#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

#include "block/template.h"
#include "gpu/search_backend.h"

namespace vkn {

class LongPoller;

// "1.23 MH/s": two decimals, unit chosen before rounding.
std::string format_hashrate(double rate);

// Parses the reply, offers its long-poll id to the watcher and prints the
// "[work]" line; a reply that fails to parse throws and prints nothing.
BlockTemplate install_template(const nlohmann::json& reply, bool gbt_txids_internal, LongPoller& poller);

std::string work_line(const BlockTemplate& t);

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

// One line in one write: the driver, the device threads, the submitter and
// the watcher all print.
void print_out(const std::string& line);
void print_err(const std::string& line);

}  // namespace vkn
