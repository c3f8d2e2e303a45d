#include "rpc/long_poller.h"

#include <chrono>
#include <iostream>


namespace vkn {

LongPoller::LongPoller(const RpcClient& client, bool enabled, const std::atomic<bool>* stop_requested)
    : LongPoller([&client](const std::string& id,
                           const std::atomic<bool>* cancel) { return client.get_block_template(id, 0, cancel); },
                 enabled, stop_requested) {}

LongPoller::LongPoller(Fetch fetch, bool enabled, const std::atomic<bool>* stop_requested)
    : fetch_(std::move(fetch)), enabled_(enabled), stop_requested_(stop_requested) {
    if (enabled_) thread_ = std::thread([this] { watch(); });
}

LongPoller::~LongPoller() { stop(); }

void LongPoller::stop() {
    if (!enabled_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        cancel_.store(true);
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    enabled_ = false;
}

void LongPoller::offer_longpollid(const std::string& id) {
    if (!enabled_ || id.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (id == longpollid_) return;
        longpollid_ = id;
        cancel_.store(true);
    }
    wake_.notify_all();
}

std::optional<nlohmann::json> LongPoller::take_update() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!has_update_) return std::nullopt;
    has_update_ = false;
    nlohmann::json reply = std::move(latest_);
    latest_ = nullptr;
    return reply;
}

void LongPoller::watch() {
    using Clock = std::chrono::steady_clock;
    auto stopping_process = [this] { return stop_requested_ && stop_requested_->load(); };
    for (;;) {
        std::string id;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // Whatever the node does (answer at once, fail at once) polls start a
            // second apart, or two after a failure; none once the process stops.
            wake_.wait_until(lock, next_poll_, [this] { return stopping_; });
            wake_.wait(lock, [&] { return stopping_ || (!longpollid_.empty() && !stopping_process()); });
            if (stopping_) return;
            id = longpollid_;
            cancel_.store(false);
            next_poll_ = Clock::now() + std::chrono::seconds(1);
        }
        try {
            nlohmann::json reply = fetch_(id, &cancel_);
            std::lock_guard<std::mutex> lock(mutex_);
            // A reply that raced with a new id or a stop is stale.
            if (cancel_.load()) continue;
            latest_ = std::move(reply);
            has_update_ = true;
            if (latest_.is_object()) {
                auto it = latest_.find("longpollid");
                if (it != latest_.end() && it->is_string()) longpollid_ = it->get<std::string>();
            }
        } catch (const RpcCancelled&) {
        } catch (const std::exception& e) {
            // One write, so the line never interleaves with the driver's.
            if (!stopping_process()) std::cerr << ("[longpoll] " + std::string(e.what()) + "\n");
            std::lock_guard<std::mutex> lock(mutex_);
            next_poll_ = Clock::now() + std::chrono::seconds(2);
        }
    }
}

}  // namespace vkn
