#include "mining/mining_loop.h"

#include <stdexcept>

#include "mining/reporting.h"
#include "util/output.h"

namespace vkn {

using Clock = RollingRate::Clock;

std::string total_stat_line(const std::vector<std::unique_ptr<DeviceWorker>>& workers, Clock::time_point now,
                            Clock::time_point run_start) {
    uint64_t total = 0;
    double rates[3] = {};
    for (const auto& w : workers) {
        const WorkerStats s = w->stats(now);
        total += s.total;
        for (int i = 0; i < 3; ++i) rates[i] += s.rates[i];
    }
    const double seconds = std::chrono::duration<double>(now - run_start).count();
    return "[stat] devices=" + std::to_string(workers.size()) + " total=" + std::to_string(total) +
           " avg=" + format_hashrate(seconds > 0 ? double(total) / seconds : 0.0) + rates_text(rates);
}

namespace {

std::string found_line(const WorkerEvent& e, const std::string& label, bool several) {
    return "[found] " + (several ? "device=" + label + " " : std::string()) + "nonce=" + std::to_string(e.nonce) +
           " hash=" + e.block.hash + " block_bytes=" + std::to_string(e.block_bytes) + " submitting...";
}

void check_devices(const std::vector<std::unique_ptr<DeviceWorker>>& workers, Clock::time_point now) {
    for (const auto& w : workers)
        if (const auto running = w->hung(now))
            throw DeviceHung("device " + w->label() + ": batch did not return in " +
                             std::to_string(int64_t(running->count())) + " s");
}

int refuse(const std::string& reason) {
    print_err("error: the node refuses blocks built from this template: " + reason);
    return 2;
}

// True when every device finished a batch since the last call.
bool all_progressed(const std::vector<std::unique_ptr<DeviceWorker>>& workers, std::vector<uint64_t>& done) {
    bool all = true;
    for (size_t k = 0; k < workers.size(); ++k) {
        const uint64_t now = workers[k]->batches();
        all = all && now > done[k];
        done[k] = now;
    }
    return all;
}

}  // namespace

std::optional<int> run_mining_loop(WorkerEvents& events, const std::vector<std::unique_ptr<DeviceWorker>>& workers,
                                   Submitter& submitter, const LoopSettings& settings, const std::atomic<bool>& stop) {
    const bool several = workers.size() > 1;
    const Clock::time_point run_start = Clock::now();
    Clock::time_point last_status = run_start, last_alive = run_start;
    std::vector<uint64_t> done(workers.size(), 0);  // batches at the last "alive"
    while (!stop.load()) {
        if (std::optional<WorkerEvent> e = events.take(std::chrono::milliseconds(20))) {
            const std::string& label = workers.at(e->worker)->label();
            switch (e->kind) {
                case WorkerEvent::Kind::build_failed:
                    print_err("[work] candidate build failed: " + e->what);
                    return 2;
                case WorkerEvent::Kind::device_failed:
                    // Never mine on with a dead device: a service manager restarts the whole process.
                    throw std::runtime_error(several ? "device " + label + ": " + e->what : e->what);
                case WorkerEvent::Kind::share:
                    if (settings.share) settings.share(e->share);
                    continue;
                case WorkerEvent::Kind::found:
                    // A block the node would refuse is not submitted: the run ends as for a bad candidate.
                    if (const auto reason = settings.refused_for ? settings.refused_for(e->work) : std::nullopt)
                        return refuse(*reason);
                    // The run's one block: no new work once it is found (the node's answer to it would
                    // bring some), then wait for the verdict, however long the node is out of reach.
                    if (settings.mine_one && settings.last_block_found) settings.last_block_found();
                    submitter.submit(e->block, found_line(*e, label, several));
                    if (settings.mine_one) {
                        if (!submitter.wait_idle(stop)) return std::nullopt;
                        return submitter.abandoned() > 0 ? 1 : 0;
                    }
                    continue;
            }
        }
        if (const auto reason = settings.refused ? settings.refused() : std::nullopt) return refuse(*reason);
        if (const auto error = settings.failed ? settings.failed() : std::nullopt) throw std::runtime_error(*error);
        const Clock::time_point now = Clock::now();
        check_devices(workers, now);
        if (settings.alive && now - last_alive >= settings.alive_every) {
            if (all_progressed(workers, done)) settings.alive();
            last_alive = now;
        }
        if (std::chrono::duration_cast<std::chrono::seconds>(now - last_status).count() >= settings.status_sec) {
            if (several) {
                for (const auto& w : workers)
                    for (const std::string& line : w->status_lines(now)) print_out(line);
                print_out(total_stat_line(workers, now, run_start));
            }
            if (settings.status) settings.status();
            last_status = now;
        }
    }
    return std::nullopt;
}

}  // namespace vkn
