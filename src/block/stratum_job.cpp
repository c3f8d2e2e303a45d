#include "block/stratum_job.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "hash/sha256.h"
#include "util/endian.h"
#include "util/hex.h"
#include "util/parse.h"

namespace vkn {
namespace {

const nlohmann::json& member(const nlohmann::json& params, size_t k, const char* name) {
    if (!params.is_array() || params.size() <= k) throw std::runtime_error(std::string("mining.notify lacks ") + name);
    return params[k];
}

std::string text_of(const nlohmann::json& params, size_t k, const char* name) {
    const nlohmann::json& v = member(params, k, name);
    if (!v.is_string()) throw std::runtime_error(std::string("mining.notify ") + name + " is not a string: " + v.dump());
    return v.get<std::string>();
}

Hash256 hash_of(const std::string& hex, const char* name) {
    const Bytes b = hex_to_bytes(hex);
    if (b.size() != 32) throw std::runtime_error(std::string("mining.notify ") + name + " is not 32 bytes: " + hex);
    Hash256 h;
    std::copy(b.begin(), b.end(), h.begin());
    return h;
}

// Stratum sends the previous hash as eight 4-byte words, each byte-swapped.
Hash256 from_stratum_words(const Hash256& h) {
    Hash256 out;
    for (size_t w = 0; w < 32; w += 4)
        for (size_t k = 0; k < 4; ++k) out[w + k] = h[w + 3 - k];
    return out;
}

}  // namespace

StratumJob parse_notify(const nlohmann::json& params) {
    StratumJob job;
    job.id = text_of(params, 0, "job id");
    job.prev_hash = from_stratum_words(hash_of(text_of(params, 1, "previous hash"), "previous hash"));
    job.coinbase1 = hex_to_bytes(text_of(params, 2, "coinbase1"));
    job.coinbase2 = hex_to_bytes(text_of(params, 3, "coinbase2"));
    const nlohmann::json& branch = member(params, 4, "merkle branch");
    if (!branch.is_array()) throw std::runtime_error("mining.notify merkle branch is not a list: " + branch.dump());
    for (const auto& b : branch) {
        if (!b.is_string()) throw std::runtime_error("mining.notify merkle branch holds a non-string: " + b.dump());
        job.merkle_branch.push_back(hash_of(b.get<std::string>(), "merkle branch"));
    }
    job.version = parse_hex_u32(text_of(params, 5, "version"), "mining.notify version");
    job.nbits = parse_hex_u32(text_of(params, 6, "nbits"), "mining.notify nbits");
    job.ntime = parse_hex_u32(text_of(params, 7, "ntime"), "mining.notify ntime");
    const nlohmann::json& clean = member(params, 8, "clean-jobs flag");
    if (!clean.is_boolean()) throw std::runtime_error("mining.notify clean-jobs flag is not true or false: " + clean.dump());
    job.clean = clean.get<bool>();
    return job;
}

Bytes stratum_coinbase(const StratumJob& job, const Bytes& extranonce1, const Bytes& extranonce2) {
    Bytes cb = job.coinbase1;
    cb.insert(cb.end(), extranonce1.begin(), extranonce1.end());
    cb.insert(cb.end(), extranonce2.begin(), extranonce2.end());
    cb.insert(cb.end(), job.coinbase2.begin(), job.coinbase2.end());
    return cb;
}

Hash256 stratum_merkle_root(const Bytes& coinbase, const std::vector<Hash256>& branch) {
    Hash256 root = sha256d(coinbase);
    for (const Hash256& b : branch) {
        uint8_t pair[64];
        std::copy(root.begin(), root.end(), pair);
        std::copy(b.begin(), b.end(), pair + 32);
        root = sha256d(pair, sizeof pair);
    }
    return root;
}

std::array<uint8_t, 80> stratum_header(const StratumJob& job, const Hash256& merkle_root) {
    std::array<uint8_t, 80> h{};
    store_le32(h.data(), job.version);
    std::copy(job.prev_hash.begin(), job.prev_hash.end(), h.begin() + 4);
    std::copy(merkle_root.begin(), merkle_root.end(), h.begin() + 36);
    store_le32(h.data() + 68, job.ntime);
    store_le32(h.data() + 72, job.nbits);
    return h;
}

uint32_t coinbase_height(const Bytes& coinbase) {
    // version, one input (a compact size of 1), its outpoint, the script's length, then the push.
    constexpr size_t push = 4 + 1 + 36 + 1;
    if (coinbase.size() <= push || coinbase[4] != 1 || coinbase[push] < 1 || coinbase[push] > 4 ||
        coinbase.size() <= push + coinbase[push])
        return 0;
    uint32_t height = 0;
    for (size_t i = coinbase[push]; i > 0; --i) height = height << 8 | coinbase[push + i];
    return height;
}

Bytes extranonce2_bytes(uint64_t n, size_t size) {
    Bytes b(size, 0);
    for (size_t k = 0; k < size && k < 8; ++k) b[size - 1 - k] = uint8_t(n >> (8 * k));
    return b;
}

Hash256 difficulty_target(double difficulty, const Hash256& diff1) {
    if (!(difficulty > 0) || !std::isfinite(difficulty))
        throw std::runtime_error("pool difficulty must be positive and finite: " + std::to_string(difficulty));
    // difficulty = m x 2^(e - 53) exactly, m < 2^53: target = diff1 x 2^(53 - e) / m.
    int e = 0;
    const uint64_t m = uint64_t(std::ldexp(std::frexp(difficulty, &e), 53));
    const int shift = 53 - e;
    Hash256 all_ones;
    all_ones.fill(0xff);
    const bool zero = std::all_of(diff1.begin(), diff1.end(), [](uint8_t b) { return b == 0; });
    if (shift > 320) return zero ? diff1 : all_ones;
    // Ten 64-bit limbs, least significant first: room for diff1 shifted left by 320.
    uint64_t n[10] = {};
    for (int k = 0; k < 4; ++k) n[k] = load_le64(diff1.data() + 8 * k);
    auto bit_shift = [&](int s) {  // positive: left
        uint64_t out[10] = {};
        for (int bit = 0; bit < 640; ++bit) {
            const int from = bit - s;
            if (from >= 0 && from < 640 && (n[from / 64] >> (from % 64) & 1))
                out[bit / 64] |= uint64_t(1) << (bit % 64);
        }
        std::copy(out, out + 10, n);
    };
    bit_shift(std::max(shift, -640));
    unsigned __int128 rest = 0;
    for (int k = 9; k >= 0; --k) {
        const unsigned __int128 cur = rest << 64 | n[k];
        n[k] = uint64_t(cur / m);
        rest = cur % m;
    }
    for (int k = 4; k < 10; ++k)
        if (n[k]) return all_ones;
    Hash256 t;
    for (int i = 0; i < 32; ++i) t[size_t(i)] = uint8_t(n[i / 8] >> (8 * (i % 8)));
    return t;
}

}  // namespace vkn
