#include "mining/shares.h"

#include <algorithm>
#include <cmath>

namespace vkn {

namespace {
constexpr double kShareSeconds = 5.0;  // the longest interval between shares
}  // namespace

int share_bits_for(double rate, uint64_t batch_nonces) {
    const double per_share = rate > 0 ? rate * kShareSeconds : double(batch_nonces);
    // At most 2^62 hashes a share, so that its worth is a whole number of hashes.
    return std::clamp(int(std::floor(std::log2(std::max(per_share, 2.0)))), 1, 62);
}

Hash256 share_target_of(int bits) {
    Hash256 t{};
    // Little-endian: the top `bits` bits clear, every bit below them set.
    for (int bit = 0; bit < 256 - bits; ++bit) t[size_t(bit / 8)] |= uint8_t(1u << (bit % 8));
    return t;
}

void ShareTally::add(bool valid, double work, RollingRate::Clock::time_point now) {
    if (valid) {
        ++shares_;
        verified_.add(uint64_t(std::llround(work)), now);
    } else {
        ++hw_errors_;
    }
    wrong_[next_] = !valid;
    next_ = (next_ + 1) % kRecent;
}

ShareStats ShareTally::stats(RollingRate::Clock::time_point now) const {
    ShareStats s;
    s.shares = shares_;
    s.hw_errors = hw_errors_;
    s.lost = lost_;
    for (int w = 0; w < 3; ++w) s.verified[w] = verified_.rate(RollingRate::kWindows[w], now);
    s.difficulty = difficulty_;
    s.unreliable = wrong_.count() > kWrongAllowed;
    return s;
}

}  // namespace vkn
