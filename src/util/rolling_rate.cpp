#include "util/rolling_rate.h"

#include <algorithm>

namespace vkn {

RollingRate::RollingRate(Clock::time_point start) : start_(start) { stamps_.fill(-1); }

int64_t RollingRate::second_of(Clock::time_point t) const {
    return std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::seconds>(t - start_).count());
}

void RollingRate::add(uint64_t hashes, Clock::time_point now) {
    const int64_t s = second_of(now);
    const size_t i = size_t(s % kBuckets);
    if (stamps_[i] != s) {  // a bucket last used a lap ago starts over
        stamps_[i] = s;
        counts_[i] = 0;
    }
    counts_[i] += hashes;
}

double RollingRate::rate(std::chrono::seconds window, Clock::time_point now) const {
    const int64_t last = second_of(now);
    const int64_t first = std::max<int64_t>(0, last - std::min<int64_t>(window.count(), kBuckets) + 1);
    uint64_t sum = 0;
    for (int64_t s = first; s <= last; ++s)
        if (stamps_[size_t(s % kBuckets)] == s) sum += counts_[size_t(s % kBuckets)];
    // From the start of the oldest bucket counted to now: the current second counts only as far as it went.
    const double span = std::chrono::duration<double>(now - (start_ + std::chrono::seconds(first))).count();
    return span > 0 ? double(sum) / span : 0.0;
}

}  // namespace vkn
