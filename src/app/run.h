#pragma once
// The process entry: options, self-test, benchmark or a mining run.
#include <memory>
#include <string>
#include <vector>

#include "search/nvml.h"
#include "search/search_backend.h"

namespace vkn {

struct MinerOptions;

// Everything main does; returns the exit status.
int run_main(int argc, char** argv);

// The report of an error that ends the run (status 1), on standard error.
void print_fatal(const std::string& what);

// One search device: its index in lines and errors, its name, its backend,
// and a GPU's identity and sensors where its management library knows it.
struct Device {
    std::string label;
    std::string name;
    std::unique_ptr<SearchBackend> backend;
    GpuIdentity identity{};
    GpuSensor sensor{};
};

// Mines on every device until a stop request (status 0), --mine-one (0; 1
// when its block got no answer) or a candidate that cannot be built (2); a
// device failure and other errors propagate.
int mine(const MinerOptions& options, std::vector<Device>& devices);

}  // namespace vkn
