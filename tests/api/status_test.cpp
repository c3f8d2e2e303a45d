// The status API's two renderings of a snapshot: a GPU with sensors (read
// through the stand-in management library) beside a device without.
#include <gtest/gtest.h>

#include "api/status.h"
#include "support/support.h"

namespace vkn {
namespace {

TEST(Status, DeviceHealthInTheSummaryAndTheMetrics) {
    const FakeNvml fake;
    fake.reset(0);
    fake.add("0000:01:00.0", "GPU \"A\"", "GPU-a", 91, 250000, -1, 0x4);
    Nvml nvml(VKN_FAKE_NVML);
    const Nvml::Device found = nvml.find("0000:01:00.0");
    StatusSnapshot s;
    DeviceStatus gpu{"0", found.identity.name, {}, {}, found.identity.uuid, found.identity.pci_bus_id};
    gpu.stats.health = nvml.read(found);
    gpu.stats.paused = true;
    gpu.stats.shares = {.shares = 7, .hw_errors = 3, .verified = {1, 2, 1e9}, .difficulty = 1024, .unreliable = true};
    s.devices = {gpu, DeviceStatus{"1", "cpu", {}, {}, "", ""}};
    s.version = "1.2.3 (commit abc)";
    s.blocks.rejected = {{"h1", "bad-prevblk"}, {"h2", "a reason of its own"}, {"h3", {{"code", -1}}}, {"h4", "bad-prevblk"}};

    const nlohmann::json summary = summary_json(s);
    const nlohmann::json& g = summary["devices"][0];
    EXPECT_EQ(g["health"]["temperature_c"], 91);
    EXPECT_EQ(g["health"]["fan_percent"], nullptr);  // a board without a fan reading
    EXPECT_EQ(g["health"]["throttle_reasons"], nlohmann::json::array({"sw_power_cap"}));
    EXPECT_EQ(g["health"]["hashes_per_joule"], 4e6);
    EXPECT_TRUE(g["paused"] && g["unreliable"] && g["shares"] == 7 && g["hardware_errors"] == 3);
    EXPECT_TRUE(g["uuid"] == "GPU-a" && g["pci_bus_id"] == "0000:01:00.0" && g["verified_hashrate"]["15m"] == 1e9);
    EXPECT_TRUE(summary["devices"][1]["health"].is_null() && summary["devices"][1]["uuid"].is_null());

    const std::string metrics = metrics_text(s);
    const std::string labels = R"(device="0",name="GPU \"A\"",uuid="GPU-a",pci_bus_id="0000:01:00.0")";
    const std::string lines[] = {
        "vkn_device_info{" + labels + "} 1\n",
        R"(vkn_device_info{device="1",name="cpu",uuid="",pci_bus_id=""} 1)" "\n",
        "vkn_gpu_temperature_celsius{" + labels + "} 91\n",
        "vkn_gpu_power_watts{" + labels + "} 250\n",
        "vkn_gpu_efficiency_hashes_per_joule{" + labels + "} 4000000\n",
        "vkn_gpu_throttle_active{" + labels + ",reason=\"sw_power_cap\"} 1\n",
        "vkn_gpu_throttle_active{" + labels + ",reason=\"hw_thermal\"} 0\n",
        "vkn_shares_total{device=\"0\"} 7\n",
        "vkn_hardware_errors_total{device=\"0\"} 3\n",
        "vkn_device_paused{device=\"0\"} 1\n",
        "vkn_device_unreliable{device=\"1\"} 0\n",
        "vkn_verified_hashrate_hashes_per_second{device=\"0\",window=\"15m\"} 1000000000\n",
        "vkn_build_info{version=\"1.2.3\",commit=\"abc\"} 1\n",
        "vkn_blocks_rejected_total{reason=\"bad-prevblk\"} 2\n",  // the node's reasons, bounded
        "vkn_blocks_rejected_total{reason=\"high-hash\"} 0\n",
        "vkn_blocks_rejected_total{reason=\"error\"} 1\n",
        "vkn_blocks_rejected_total{reason=\"other\"} 1\n",
    };
    for (const std::string& line : lines)
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    EXPECT_EQ(metrics.find("vkn_gpu_fan_speed_ratio{"), std::string::npos);
    EXPECT_EQ(metrics.find("vkn_gpu_temperature_celsius{device=\"1\""), std::string::npos);
}

}  // namespace
}  // namespace vkn
