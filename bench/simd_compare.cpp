// The CPU search's vector paths against the comparison implementation in
// simd_reference.h, one thread, timed in the same run on CPU time, turn and
// turn about: the miner's path through its backend (what --benchmark --cpu
// --cpu-threads 1 --cpu-path P times), the comparison over the same number
// of nonces. Before timing, the comparison's hashes are checked against the
// scalar reference. Prints, per path the CPU has, both rates and their ratio.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hash/sha3t.h"
#include "search/cpu/cpu_backend.h"
#include "search/cpu/cpu_simd.h"
#include "util/endian.h"

uint64_t reference_search_avx2(const uint64_t w[10], uint32_t first, uint32_t count, const uint64_t target[4]);
void reference_hash_avx2(const uint64_t w[10], uint32_t first, uint64_t out[16]);
uint64_t reference_search_avx512(const uint64_t w[10], uint32_t first, uint32_t count, const uint64_t target[4]);
void reference_hash_avx512(const uint64_t w[10], uint32_t first, uint64_t out[32]);

namespace {

constexpr uint32_t kIters = 2048;  // nonces per batch: 512 lanes x kIters, as the backend mines
constexpr uint32_t kBatch = 512 * kIters;
volatile uint64_t kept;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool reference_agrees(vkn::CpuPath path, const vkn::Header80& header, const uint64_t w[10]) {
    const int width = vkn::cpu_path_lanes(path);
    for (uint32_t first : {0u, 1000u, 0xFFFFFFF8u}) {
        uint64_t out[32];
        if (path == vkn::CpuPath::avx512) reference_hash_avx512(w, first, out);
        else reference_hash_avx2(w, first, out);
        for (int l = 0; l < width; ++l) {
            vkn::Header80 h = header;
            vkn::store_le32(h.data() + 76, first + uint32_t(l));
            const vkn::Hash256 d = vkn::sha3_256t(h.data(), h.size());
            for (int k = 0; k < 4; ++k)
                if (vkn::load_le64(d.data() + 8 * k) != out[4 * l + k]) return false;
        }
    }
    return true;
}

double form_seconds(vkn::LanesFunction f, const uint64_t w[10], int turns) {
    const vkn::core::Precomp p = vkn::core::precompute(w);
    double best = 1e9;
    uint64_t out[32];
    for (int t = 0; t < turns; ++t) {
        const double s = cpu_seconds();
        for (uint32_t n = 0; n < kBatch; n += 4) f(p, n, out);
        best = std::min(best, cpu_seconds() - s);
        kept = out[0];
    }
    return best;
}

void compare(vkn::CpuPath path, int turns) {
    vkn::Header80 header{};
    for (size_t i = 0; i < header.size(); ++i) header[i] = uint8_t(i * 37 + 11);
    uint64_t w[10];
    for (int k = 0; k < 10; ++k) w[k] = vkn::load_le64(header.data() + 8 * k);
    if (!reference_agrees(path, header, w)) {
        std::printf("%-7s the comparison implementation disagrees with the scalar reference\n",
                    vkn::cpu_path_name(path));
        std::exit(1);
    }
    const auto backend = vkn::make_cpu_backend(1, kIters, path);
    const vkn::Geometry g = backend->mining_geometry();
    const vkn::Hash256 none{};  // no hash meets a zero target: every nonce is hashed
    const uint64_t zero[4] = {};
    double miner = 1e9, reference = 1e9;
    uint64_t sink = 0;
    for (int t = 0; t < turns; ++t) {
        double s = cpu_seconds();
        sink += backend->run_batch(header, none, none, t * kBatch, t * kBatch + kBatch - 1, g).hashes;
        miner = std::min(miner, cpu_seconds() - s);
        s = cpu_seconds();
        sink += path == vkn::CpuPath::avx512 ? reference_search_avx512(w, t * kBatch, kBatch, zero)
                                             : reference_search_avx2(w, t * kBatch, kBatch, zero);
        reference = std::min(reference, cpu_seconds() - s);
    }
    kept = sink;  // so that neither loop is optimised away
    std::printf("%-7s miner %.2f MH/s, comparison %.2f MH/s, ratio %.3f (best of %d batches of %u nonces)\n",
                vkn::cpu_path_name(path), kBatch / miner / 1e6, kBatch / reference / 1e6, reference / miner, turns,
                kBatch);
    if (path == vkn::CpuPath::avx2) {
        const double registers = form_seconds(vkn::sha3t_nonces_avx2, w, turns),
                     arrays = form_seconds(vkn::sha3t_nonces_avx2_arrays, w, turns);
        std::printf("avx2    its two forms, without the backend: rounds inlined %.2f MH/s, rounds called on arrays "
                    "%.2f MH/s; the miner uses %s\n",
                    kBatch / registers / 1e6, kBatch / arrays / 1e6,
                    vkn::cpu_path_function(path) == vkn::sha3t_nonces_avx2 ? "the first" : "the second");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int turns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    for (const vkn::CpuPath path : {vkn::CpuPath::avx512, vkn::CpuPath::avx2}) {
        if (vkn::cpu_path_supported(path)) compare(path, turns);
        else std::printf("%-7s not supported by this CPU\n", vkn::cpu_path_name(path));
    }
}
