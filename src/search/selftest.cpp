#include "search/selftest.h"

#include <exception>

#include "search/cuda/cuda_miner.h"
#include "hash/keccak.h"
#include "hash/sha256.h"
#include "hash/sha3t.h"
#include "util/endian.h"
#include "util/hex.h"

namespace vkn {
namespace {

bool fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

bool check(const Hash256& got, const char* expected, const char* prefix, std::string* error) {
    std::string hex = bytes_to_hex(got.data(), got.size());
    return hex == expected || fail(error, prefix + hex);
}

}  // namespace

bool cpu_selftest(std::string* error) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    return check(sha3_256(nullptr, 0), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a",
                 "SHA3-256 empty vector mismatch: ", error) &&
           check(sha3_256(abc, 3), "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532",
                 "SHA3-256 abc vector mismatch: ", error) &&
           check(sha256(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                 "SHA256 empty vector mismatch: ", error);
}

bool backend_selftest(SearchBackend& backend, std::string* error) {
    try {
        if (!cpu_selftest(error)) return false;
        constexpr uint32_t kNonce = 1234567;
        Header80 header{};
        header[0] = 0x01;
        Hash256 target;
        target.fill(0xff);
        BatchResult r = backend.run_batch(header, target, target, kNonce, kNonce, Geometry{1, 1, 1});
        if (!r.found || r.nonce != kNonce) return fail(error, "GPU did not find a nonce under max target");
        store_le32(header.data() + 76, kNonce);
        if (sha3_256t(header.data(), header.size()) != r.hash)
            return fail(error, "GPU SHA3-256t does not match CPU SHA3-256t");
        return true;
    } catch (const std::exception& e) {
        return fail(error, e.what());
    }
}

bool gpu_selftest(int32_t device, std::string* error) {
    try {
        auto backend = make_cuda_selftest_backend(device);
        return backend_selftest(*backend, error);
    } catch (const std::exception& e) {
        return fail(error, e.what());
    }
}

}  // namespace vkn
