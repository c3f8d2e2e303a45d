#include "mining/work_board.h"

namespace vkn {

void WorkBoard::publish(const BlockTemplate& work) {
    auto snapshot = std::make_shared<const BlockTemplate>(work);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work_ = std::move(snapshot);
        sequence_.fetch_add(1, std::memory_order_acq_rel);
    }
    published_.notify_all();
}

std::pair<uint64_t, std::shared_ptr<const BlockTemplate>> WorkBoard::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {sequence_.load(), work_};
}

bool WorkBoard::wait_past(uint64_t seen, std::chrono::milliseconds most) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return published_.wait_for(lock, most, [&] { return sequence_.load() != seen; });
}

}  // namespace vkn
