#pragma once
// How the search core is compiled: the host/device function marker, the
// unrolling pragmas, and the layout (unrolling and the 32-bit-halves rounds),
// each layout in an inline namespace of its own so that a test may build
// another beside the library's without two definitions sharing a name.
// Plain C++; nothing CUDA-specific is included.
#include <cstdint>

#if defined(__CUDACC__)
#define VKN_HD __host__ __device__ __forceinline__
#else
#define VKN_HD inline
#endif

#if defined(__CUDA_ARCH__)
#define VKN_UNROLL _Pragma("unroll")
#define VKN_NO_UNROLL _Pragma("unroll 1")
#elif defined(__GNUC__) && !defined(__CUDACC__)
#define VKN_UNROLL _Pragma("GCC unroll 32")
#define VKN_NO_UNROLL _Pragma("GCC unroll 1")
#else
#define VKN_UNROLL
#define VKN_NO_UNROLL
#endif

// How the three permutations are laid out:
//   2: all 72 rounds unrolled (one straight-line body);
//   1: one unrolled permutation body run three times (a smaller body for the
//      instruction cache);
//   0: rounds in a loop (what suits x86 hosts with sixteen registers).
#ifndef VKN_SEARCH_UNROLL
#if defined(__CUDA_ARCH__)
#define VKN_SEARCH_UNROLL 2
#else
#define VKN_SEARCH_UNROLL 0
#endif
#endif

// Each layout gets its own inline namespace, so that a test may build
// another layout beside the library's without two different definitions
// sharing one name.
// Lanes as 32-bit halves with three-input instructions (see keccak_halves.h):
// what the device runs in the fully unrolled layout (rolled, the halves cost
// registers); the host runs it only in a test build of its own.
#ifndef VKN_KECCAK_HALVES
#if defined(__CUDA_ARCH__) && VKN_SEARCH_UNROLL == 2
#define VKN_KECCAK_HALVES 1
#else
#define VKN_KECCAK_HALVES 0
#endif
#endif

#if VKN_SEARCH_UNROLL == 2 && VKN_KECCAK_HALVES
#define VKN_CORE_LAYOUT unrolled_all_halves
#elif VKN_SEARCH_UNROLL == 2
#define VKN_CORE_LAYOUT unrolled_all
#elif VKN_SEARCH_UNROLL == 1 && VKN_KECCAK_HALVES
#define VKN_CORE_LAYOUT unrolled_body_halves
#elif VKN_SEARCH_UNROLL == 1
#define VKN_CORE_LAYOUT unrolled_body
#elif VKN_KECCAK_HALVES
#define VKN_CORE_LAYOUT rolled_halves
#else
#define VKN_CORE_LAYOUT rolled
#endif
// A test may plant a fault in the core: VKN_TEST_NONCE_HOOK(n) rewrites the
// nonce before it enters the header, in a layout namespace of its own.
#if defined(VKN_TEST_NONCE_HOOK)
#undef VKN_CORE_LAYOUT
#define VKN_CORE_LAYOUT test_nonce_hook
#endif
