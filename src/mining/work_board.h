#pragma once
// The newest work, shared by every device worker: the work source publishes,
// each worker compares sequence numbers once a batch and takes a new
// snapshot when it changed.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "block/template.h"

namespace vkn {

class WorkBoard {
public:
    void publish(const BlockTemplate& work);
    uint64_t sequence() const { return sequence_.load(std::memory_order_acquire); }
    std::pair<uint64_t, std::shared_ptr<const BlockTemplate>> current() const;
    // True once the sequence is past `seen`; false after `most` without.
    bool wait_past(uint64_t seen, std::chrono::milliseconds most) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable published_;
    std::shared_ptr<const BlockTemplate> work_;
    std::atomic<uint64_t> sequence_{0};
};

}  // namespace vkn
