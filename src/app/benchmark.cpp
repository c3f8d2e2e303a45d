#include "app/benchmark.h"

#include <chrono>
#include <cstdio>

#include "mining/reporting.h"
#include "app/stop.h"
#include "util/output.h"

namespace vkn {

int run_benchmark(SearchBackend& backend, const MinerOptions& options, const std::string& label,
                  const GpuSensor& sensor) {
    using Clock = std::chrono::steady_clock;
    const Geometry g = backend.mining_geometry();
    Header80 header{};
    header[0] = 0x01;
    const Hash256 zero_target{};
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(options.benchmark_sec);
    auto last_status = start;
    uint64_t total = 0;
    uint64_t next = 0;
    while (!stop_requested.load() && Clock::now() < deadline) {
        if (next > 0xFFFFFFFFull) {  // the nonce space is used up: a new header
            next = 0;
            ++header[0];
        }
        const uint32_t batch_start = uint32_t(next);
        BatchResult r = backend.run_batch(header, zero_target, zero_target, batch_start, 0xFFFFFFFFu, g);
        total += r.hashes;
        next += r.hashes;
        const auto now = Clock::now();
        if (std::chrono::duration_cast<std::chrono::seconds>(now - last_status).count() >= options.status_sec) {
            print_out(stat_line({.batch_start = batch_start,
                                 .total = total,
                                 .run_ns = std::chrono::nanoseconds(now - start).count(),
                                 .batch = r}));
            last_status = now;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double rate = seconds > 0 ? double(total) / seconds : 0.0;
    const std::optional<GpuReading> reading = sensor ? sensor() : std::nullopt;  // the device still warm
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.2f", seconds);
    print_out("[bench] hashes=" + std::to_string(total) + " seconds=" + secs + " rate=" + format_hashrate(rate));
    if (reading) print_out("[health] device=" + label + sensor_text(*reading, rate));
    return 0;
}

}  // namespace vkn
