#pragma once
// Hash rates over the last 10 s, 60 s and 15 min, from batch counts and a
// steady clock the caller reads: one-second buckets over the longest window.
#include <array>
#include <chrono>
#include <cstdint>

namespace vkn {

class RollingRate {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kWindows[3] = {std::chrono::seconds(10), std::chrono::seconds(60),
                                                         std::chrono::seconds(900)};

    explicit RollingRate(Clock::time_point start);

    // A batch of `hashes` that ended at `now` (not before the last one).
    void add(uint64_t hashes, Clock::time_point now);

    // Hashes per second over the window ending at `now`; a window longer
    // than the time since the start covers only that time.
    double rate(std::chrono::seconds window, Clock::time_point now) const;

private:
    static constexpr int64_t kBuckets = 900;
    int64_t second_of(Clock::time_point t) const;

    Clock::time_point start_;
    std::array<uint64_t, kBuckets> counts_{};
    std::array<int64_t, kBuckets> stamps_{};  // the second each bucket holds
};

}  // namespace vkn
