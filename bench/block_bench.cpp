// The cost of new work on the host: parsing the 2,499-transaction template
// and building a candidate for it (paid at every new extranonce).
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>

#include "block/candidate.h"
#include "block/template.h"

namespace {

nlohmann::json load_template() {
    std::ifstream in(VKN_SOURCE_DIR "/tests/data/mainnet-702861.gbt.json");
    std::stringstream s;
    s << in.rdbuf();
    return nlohmann::json::parse(s.str());
}

void parse_template(benchmark::State& state) {
    const nlohmann::json reply = load_template();
    for (auto _ : state) benchmark::DoNotOptimize(vkn::parse_block_template(reply, false));
}
BENCHMARK(parse_template)->Unit(benchmark::kMillisecond);

void build_candidate(benchmark::State& state) {
    const vkn::BlockTemplate t = vkn::parse_block_template(load_template(), false);
    const std::vector<vkn::PayoutSpec> payouts{vkn::parse_payout("76a914aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa88ac")};
    uint64_t extranonce = 0;
    for (auto _ : state) benchmark::DoNotOptimize(vkn::build_candidate(t, payouts, ++extranonce, "/vkncuda/", true));
}
BENCHMARK(build_candidate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
