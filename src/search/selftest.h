#pragma once
// Known-answer checks of the host hashes and one search batch compared with
// the host SHA3-256t. Failures come back as false with a message.
#include <cstdint>
#include <string>

#include "search/search_backend.h"

namespace vkn {

bool cpu_selftest(std::string* error);

// The CPU checks, then one batch on `backend`: the fixed header (byte 0 =
// 0x01), the maximum target, nonce 1234567, one block, thread, iteration.
bool backend_selftest(SearchBackend& backend, std::string* error);

// backend_selftest on the CUDA device.
bool gpu_selftest(int32_t device, std::string* error);

}  // namespace vkn
