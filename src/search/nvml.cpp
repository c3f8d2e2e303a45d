#include "search/nvml.h"

#include <dlfcn.h>

#include <memory>

namespace vkn {
namespace {

// The few declarations used, after NVIDIA's public NVML reference: every
// entry point returns 0 on success.
using Ret = int;
using Handle = void*;
struct Utilization {
    unsigned gpu;
    unsigned memory;
};
constexpr int kTemperatureGpu = 0;
constexpr int kClockSm = 1;
constexpr int kClockMem = 2;
constexpr unsigned kTextBuffer = 96;  // the v2 name and UUID buffer size

}  // namespace

struct Nvml::Api {
    Ret (*init)();
    Ret (*shutdown)();
    const char* (*error_string)(Ret);
    Ret (*by_pci_bus_id)(const char*, Handle*);
    Ret (*name)(Handle, char*, unsigned);
    Ret (*uuid)(Handle, char*, unsigned);
    Ret (*temperature)(Handle, int, unsigned*);
    Ret (*power)(Handle, unsigned*);
    Ret (*fan)(Handle, unsigned*);
    Ret (*clock)(Handle, int, unsigned*);
    Ret (*utilization)(Handle, Utilization*);
    Ret (*throttle)(Handle, unsigned long long*);
};

const std::vector<ThrottleReason>& throttle_reasons() {
    static const std::vector<ThrottleReason> reasons = {
        {0x1, "gpu_idle"},    {0x2, "applications_clocks"}, {0x4, "sw_power_cap"},
        {0x8, "hw_slowdown"}, {0x10, "sync_boost"},         {0x20, "sw_thermal"},
        {0x40, "hw_thermal"}, {0x80, "hw_power_brake"},     {0x100, "display_clocks"},
    };
    return reasons;
}

namespace {

template <class F>
void bind(void* library, const char* symbol, F& out) {
    void* p = dlsym(library, symbol);
    if (!p) throw NvmlUnavailable(std::string("no ") + symbol + " in the library");
    out = reinterpret_cast<F>(p);
}

}  // namespace

Nvml::Nvml(const std::string& library) {
    library_ = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_) {
        const char* why = dlerror();
        throw NvmlUnavailable(why ? why : "cannot load " + library);
    }
    auto api = std::make_unique<Api>();
    try {
        bind(library_, "nvmlInit_v2", api->init);
        bind(library_, "nvmlShutdown", api->shutdown);
        bind(library_, "nvmlErrorString", api->error_string);
        bind(library_, "nvmlDeviceGetHandleByPciBusId_v2", api->by_pci_bus_id);
        bind(library_, "nvmlDeviceGetName", api->name);
        bind(library_, "nvmlDeviceGetUUID", api->uuid);
        bind(library_, "nvmlDeviceGetTemperature", api->temperature);
        bind(library_, "nvmlDeviceGetPowerUsage", api->power);
        bind(library_, "nvmlDeviceGetFanSpeed", api->fan);
        bind(library_, "nvmlDeviceGetClockInfo", api->clock);
        bind(library_, "nvmlDeviceGetUtilizationRates", api->utilization);
        bind(library_, "nvmlDeviceGetCurrentClocksThrottleReasons", api->throttle);
        if (const Ret r = api->init(); r != 0)
            throw NvmlUnavailable(std::string("nvmlInit: ") + api->error_string(r));
    } catch (...) {
        dlclose(library_);
        throw;
    }
    api_ = api.release();
}

Nvml::~Nvml() {
    api_->shutdown();
    delete api_;
    dlclose(library_);
}

Nvml::Device Nvml::find(const std::string& pci_bus_id) const {
    Device d;
    if (const Ret r = api_->by_pci_bus_id(pci_bus_id.c_str(), &d.handle); r != 0)
        throw NvmlUnavailable("no device at PCI bus id " + pci_bus_id + ": " + api_->error_string(r));
    char text[kTextBuffer] = {};
    if (api_->name(d.handle, text, kTextBuffer) == 0) d.identity.name = text;
    text[0] = '\0';
    if (api_->uuid(d.handle, text, kTextBuffer) == 0) d.identity.uuid = text;
    d.identity.pci_bus_id = pci_bus_id;
    return d;
}

GpuReading Nvml::read(const Device& d) const {
    GpuReading g;
    unsigned v = 0;
    if (api_->temperature(d.handle, kTemperatureGpu, &v) == 0) g.temp_c = v;
    if (api_->power(d.handle, &v) == 0) g.power_w = v / 1000.0;  // milliwatts
    if (api_->fan(d.handle, &v) == 0) g.fan_pct = v;
    if (api_->clock(d.handle, kClockSm, &v) == 0) g.sm_mhz = v;
    if (api_->clock(d.handle, kClockMem, &v) == 0) g.mem_mhz = v;
    Utilization u{};
    if (api_->utilization(d.handle, &u) == 0) g.util_pct = u.gpu;
    unsigned long long reasons = 0;
    if (api_->throttle(d.handle, &reasons) == 0) g.throttle = reasons;
    return g;
}

}  // namespace vkn
