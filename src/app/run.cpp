#include "app/run.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <random>
#include <thread>

#include "app/benchmark.h"
#include "app/mining_run.h"
#include "app/options.h"
#include "app/pool_run.h"
#include "app/stop.h"
#include "search/cpu/cpu_backend.h"
#include "search/cuda/cuda_miner.h"
#include "search/selftest.h"
#include "util/output.h"

namespace vkn {
namespace {

CpuPath chosen_cpu_path(const std::string& name) {
    if (name == "auto") return best_cpu_path();
    for (CpuPath p : {CpuPath::scalar, CpuPath::avx2, CpuPath::avx512}) {
        if (name != cpu_path_name(p)) continue;
        if (!cpu_path_supported(p)) throw std::runtime_error("--cpu-path " + name + ": this CPU lacks it");
        return p;
    }
    throw std::runtime_error("--cpu-path must be auto, scalar, avx2 or avx512: " + name);
}

std::vector<Device> make_devices(const MinerOptions& o) {
    std::vector<Device> devices;
    if (o.cpu) {
        const CpuPath path = chosen_cpu_path(o.cpu_path);
        const uint32_t n = o.cpu_devices;
        const uint32_t all = o.cpu_threads != 0 ? o.cpu_threads : std::max(1u, std::thread::hardware_concurrency());
        for (uint32_t k = 0; k < n; ++k)
            devices.push_back({std::to_string(k), "cpu",
                               make_cpu_backend(n == 1 ? o.cpu_threads : std::max(1u, all / n), o.iters_per_thread,
                                                path)});
        return devices;
    }
    for (int32_t d : o.gpu_all ? all_cuda_devices() : o.gpu_devices) {
        auto backend = make_cuda_backend({d, o.threads_per_block, o.grid_blocks, o.oversubscribe, o.iters_per_thread});
        const CudaDeviceInfo info = query_device_info(d);
        devices.push_back({std::to_string(d), info.name, std::move(backend), {info.name, "", info.pci_bus_id}});
    }
    return devices;
}

// Each GPU's sensors, found by its PCI bus id. Without the library the GPUs
// mine unwatched, unless a temperature limit was asked for.
std::unique_ptr<Nvml> attach_sensors(const MinerOptions& o, std::vector<Device>& devices) {
    if (o.cpu) return nullptr;
    std::unique_ptr<Nvml> nvml;
    try {
        nvml = std::make_unique<Nvml>();
    } catch (const NvmlUnavailable& e) {
        if (o.temp_limit > 0) throw std::runtime_error(std::string("--temp-limit needs NVML: ") + e.what());
        print_out(std::string("[health] NVML not available (") + e.what() + ")");
        return nullptr;
    }
    for (Device& d : devices) {
        try {
            const Nvml::Device found = nvml->find(d.identity.pci_bus_id);
            d.identity.uuid = found.identity.uuid;
            d.sensor = [n = nvml.get(), found]() -> std::optional<GpuReading> { return n->read(found); };
        } catch (const NvmlUnavailable& e) {
            if (o.temp_limit > 0) throw std::runtime_error("--temp-limit: device " + d.label + ": " + e.what());
            print_out("[health] device " + d.label + ": NVML not available (" + e.what() + ")");
        }
    }
    return nvml;
}

int run_selftest(const MinerOptions& o) {
    std::string error;
    if (o.cpu) {
        auto cpu = make_cpu_backend(1, 1);
        if (!backend_selftest(*cpu, &error)) error = "selftest failed: " + error;
    }
    const std::vector<int32_t> gpus = o.cpu ? std::vector<int32_t>{} : o.gpu_all ? all_cuda_devices() : o.gpu_devices;
    for (int32_t d : gpus) {
        select_device(d);
        if (error.empty() && !gpu_selftest(d, &error))
            error = "selftest failed: " + (gpus.size() > 1 ? "device " + std::to_string(d) + ": " : "") + error;
    }
    if (!error.empty()) {
        print_err(error);
        return 1;
    }
    print_out("selftest ok");
    return 0;
}

// Descriptors are the miner's working stock (node calls, the journal, API
// clients): take all the system allows a process, not only the soft default.
void raise_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int run_devices(const MinerOptions& o) {
    std::vector<Device> devices = make_devices(o);
    const std::unique_ptr<Nvml> nvml = attach_sensors(o, devices);  // read only by workers that end first
    // The kernel's device code is not the host code the tests run, and a device that misses hits looks
    // just like bad luck: each device proves itself on the self-test's batch before it mines.
    for (Device& d : devices) {
        std::string error;
        if (!backend_selftest(*d.backend, &error))
            throw std::runtime_error("device " + d.label + " failed its known-answer batch: " + error);
    }
    for (size_t k = 0; k < devices.size(); ++k) {
        const std::string line = devices[k].backend->startup_line();
        // Several CPU devices: each line names its device, as the CUDA lines do.
        print_out(o.cpu && devices.size() > 1 ? "[cpu] device=" + devices[k].label + line.substr(5) : line);
    }
    if (o.benchmark_sec > 0)
        return run_benchmark(*devices.front().backend, o, devices.front().label, devices.front().sensor);
    return mine(o, devices);
}

}  // namespace

void print_fatal(const std::string& what) { print_err("error: " + what + "\ntry --help"); }

int mine(const MinerOptions& o, std::vector<Device>& devices) {
    if (!o.pools.empty()) return mine_pool(o, devices, stop_requested);
    return MiningRun(o, devices).run(stop_requested);
}

int run_main(int argc, char** argv) {
    // Under a service manager or "> log" standard output is not a terminal:
    // each line must still leave at once, so that none is lost in a crash.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    install_stop_handlers();
    raise_descriptor_limit();
    OutputSettings out;
    out.journal_out = is_journal_stream(1, std::getenv("JOURNAL_STREAM"));
    out.journal_err = is_journal_stream(2, std::getenv("JOURNAL_STREAM"));
    configure_output(out);  // an option error, too, reaches the journal with its priority
    try {
        const ParsedOptions parsed = parse_options(argc, argv);
        hide_secrets(argc, argv);
        const MinerOptions& o = parsed.options;
        out.level = o.quiet     ? OutputSettings::Level::quiet
                    : o.verbose ? OutputSettings::Level::verbose
                                : OutputSettings::Level::normal;
        out.time = o.log_time;
        out.file = parsed.early_exit ? "" : o.log_file;
        configure_output(out);
        for (const std::string& w : parsed.warnings) print_warn(w);
        if (parsed.early_exit) {
            std::cout << parsed.text << std::flush;
            return 0;
        }
        return o.selftest ? run_selftest(o) : run_devices(o);
    } catch (const std::exception& e) {
        // A stop that interrupted start-up (a cookie read from a FIFO, say) is a stop, not a failure.
        if (stop_requested.load()) {
            print_out("[exit] stopped");
            return 0;
        }
        std::cout.flush();
        print_fatal(e.what());
        return 1;
    }
}

}  // namespace vkn
