#pragma once
// GPU health from NVIDIA's management library, loaded at run time so that
// the miner needs no driver to build or to mine on the CPU.
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vkn {

// One reading of a GPU's sensors; a sensor the board lacks (a passively
// cooled card's fan, say) is left empty.
struct GpuReading {
    std::optional<uint32_t> temp_c;
    std::optional<double> power_w;
    std::optional<uint32_t> fan_pct;
    std::optional<uint32_t> sm_mhz;
    std::optional<uint32_t> mem_mhz;
    std::optional<uint32_t> util_pct;
    uint64_t throttle = 0;  // NVML's clock event reason bits
};

// Reads one device's sensors; nothing when it cannot.
using GpuSensor = std::function<std::optional<GpuReading>()>;

// Every throttle reason by name ("sw_power_cap", ...) with its bit.
struct ThrottleReason {
    uint64_t bit;
    const char* name;
};
const std::vector<ThrottleReason>& throttle_reasons();

struct GpuIdentity {
    std::string name;
    std::string uuid;
    std::string pci_bus_id;
};

class NvmlUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Nvml {
public:
    struct Device {
        void* handle = nullptr;
        GpuIdentity identity;
    };

    // Loads and initialises the library; throws NvmlUnavailable with the reason.
    explicit Nvml(const std::string& library = "libnvidia-ml.so.1");
    ~Nvml();
    Nvml(const Nvml&) = delete;
    Nvml& operator=(const Nvml&) = delete;

    // The device at a PCI bus id as CUDA gives it ("0000:01:00.0"): CUDA's
    // and NVML's device orders differ. Throws NvmlUnavailable.
    Device find(const std::string& pci_bus_id) const;
    GpuReading read(const Device& device) const;

private:
    struct Api;
    void* library_ = nullptr;
    Api* api_ = nullptr;
};

}  // namespace vkn
