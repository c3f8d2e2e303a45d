#pragma once
// The CPU search's vector paths: SHA3-256t of 4 (AVX2) or 8 (AVX-512)
// consecutive nonces per call, each built only for its instruction set and
// chosen at run time, so that the binary runs on any x86-64.
#include <cstdint>

#include "search/core/sha3t_nonce.h"

namespace vkn {

enum class CpuPath { scalar, avx2, avx512 };

const char* cpu_path_name(CpuPath path);
bool cpu_path_supported(CpuPath path);
CpuPath best_cpu_path();
int cpu_path_lanes(CpuPath path);  // nonces per call: 1, 4 or 8

// p: the header as the core precomputes it (core::precompute of its ten
// little-endian words; the nonce's half of word 9 is replaced). out[4 * l + k]
// is word k of the digest of nonce first + l (wrapping at 2^32). Call only
// on a CPU that has the set.
void sha3t_nonces_avx2(const core::Precomp& p, uint32_t first, uint64_t out[16]);
void sha3t_nonces_avx2_arrays(const core::Precomp& p, uint32_t first, uint64_t out[16]);  // same hashes
void sha3t_nonces_avx512(const core::Precomp& p, uint32_t first, uint64_t out[32]);

using LanesFunction = void (*)(const core::Precomp& p, uint32_t first, uint64_t* out);
// The vector path's function (nullptr for scalar); for AVX2 the faster of
// its two forms on this CPU, timed on first use.
LanesFunction cpu_path_function(CpuPath path);

}  // namespace vkn
