// A stand-in for NVIDIA's management library: the entry points the miner
// loads, over devices and readings a test sets through fake_nvml_add.
#include <strings.h>

#include <atomic>
#include <cstring>

namespace {
struct FakeGpu {
    char bus[32], name[64], uuid[64];
    std::atomic<unsigned> temp;
    unsigned power_mw;
    int fan;  // < 0: the board has no fan reading
    unsigned long long throttle;
};
FakeGpu g_gpus[4];
int g_count = 0, g_init = 0;
FakeGpu* gpu(void* handle) { return static_cast<FakeGpu*>(handle); }
}  // namespace

extern "C" {
void fake_nvml_reset(int init_result) { g_count = 0, g_init = init_result; }
void fake_nvml_add(const char* bus, const char* name, const char* uuid, unsigned temp, unsigned power_mw, int fan,
                   unsigned long long throttle) {
    FakeGpu& g = g_gpus[g_count++];
    std::strncpy(g.bus, bus, sizeof g.bus - 1);
    std::strncpy(g.name, name, sizeof g.name - 1);
    std::strncpy(g.uuid, uuid, sizeof g.uuid - 1);
    g.temp = temp, g.power_mw = power_mw, g.fan = fan, g.throttle = throttle;
}
void fake_nvml_set_temp(int index, unsigned temp) { g_gpus[index].temp = temp; }

int nvmlInit_v2() { return g_init; }
int nvmlShutdown() { return 0; }
const char* nvmlErrorString(int r) { return r == 6 ? "Not Found" : r == 3 ? "Not Supported" : "Driver Not Loaded"; }
int nvmlDeviceGetHandleByPciBusId_v2(const char* bus, void** handle) {
    for (int i = 0; i < g_count; ++i)
        if (strcasecmp(g_gpus[i].bus, bus) == 0) return *handle = &g_gpus[i], 0;
    return 6;
}
int nvmlDeviceGetName(void* h, char* out, unsigned n) { return std::strncpy(out, gpu(h)->name, n), 0; }
int nvmlDeviceGetUUID(void* h, char* out, unsigned n) { return std::strncpy(out, gpu(h)->uuid, n), 0; }
int nvmlDeviceGetTemperature(void* h, int, unsigned* t) { return *t = gpu(h)->temp, 0; }
int nvmlDeviceGetPowerUsage(void* h, unsigned* mw) { return *mw = gpu(h)->power_mw, 0; }
int nvmlDeviceGetFanSpeed(void* h, unsigned* pct) { return gpu(h)->fan < 0 ? 3 : (*pct = unsigned(gpu(h)->fan), 0); }
int nvmlDeviceGetClockInfo(void*, int type, unsigned* mhz) { return *mhz = type == 1 ? 1755 : 2619, 0; }
int nvmlDeviceGetUtilizationRates(void*, unsigned* rates) { return rates[0] = 100, rates[1] = 3, 0; }
int nvmlDeviceGetCurrentClocksThrottleReasons(void* h, unsigned long long* r) { return *r = gpu(h)->throttle, 0; }
}
