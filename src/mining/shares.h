#pragma once
// A device's verified shares: the share target chosen from its rate, the
// CPU's verdict on every share, and the hash rate the shares prove.
#include <bitset>
#include <cstdint>

#include "util/bytes.h"
#include "util/rolling_rate.h"

namespace vkn {

// Zero bits a share needs so that a device of this rate finds one every 2.5
// to 5 s; before a rate is known, about one per batch of `batch_nonces`.
int share_bits_for(double rate, uint64_t batch_nonces);
// The difficulty-2^bits target: 2^(256 - bits) - 1.
Hash256 share_target_of(int bits);

struct ShareStats {
    uint64_t shares = 0;     // verified on the CPU
    uint64_t hw_errors = 0;  // reported by the device, refused by the CPU
    uint64_t lost = 0;       // past a batch's slots, never seen
    double verified[3] = {};  // hashes per second the shares prove, over RollingRate::kWindows
    double difficulty = 0;    // hashes per share at the current target
    bool unreliable = false;  // more than 2 of the last 100 shares were wrong
};

class ShareTally {
public:
    explicit ShareTally(RollingRate::Clock::time_point start) : verified_(start) {}
    // The CPU's verdict on one share worth `work` hashes.
    void add(bool valid, double work, RollingRate::Clock::time_point now);
    void add_lost(uint64_t n) { lost_ += n; }
    void set_difficulty(double d) { difficulty_ = d; }
    ShareStats stats(RollingRate::Clock::time_point now) const;

private:
    static constexpr size_t kRecent = 100;
    static constexpr size_t kWrongAllowed = 2;
    RollingRate verified_;
    uint64_t shares_ = 0;
    uint64_t hw_errors_ = 0;
    uint64_t lost_ = 0;
    double difficulty_ = 0;
    std::bitset<kRecent> wrong_;  // a ring over the last kRecent verdicts
    size_t next_ = 0;
};

}  // namespace vkn
