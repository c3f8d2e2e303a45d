#include "rpc/long_poller.h"

#include <chrono>
#include <iostream>

#include "driver/stop.h"

namespace vkn {

LongPoller::LongPoller(const RpcClient& client, bool enabled)
    : LongPoller([&client](const std::string& id,
                           const std::atomic<bool>* cancel) { return client.get_block_template(id, 0, cancel); },
                 enabled) {}

LongPoller::LongPoller(Fetch fetch, bool enabled) : fetch_(std::move(fetch)), enabled_(enabled) {
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
    for (;;) {
        std::string id;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !longpollid_.empty(); });
            if (stopping_) return;
            id = longpollid_;
            cancel_.store(false);
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
            if (!stop_requested.load()) std::cerr << ("[longpoll] " + std::string(e.what()) + "\n");
            for (int i = 0; i < 20 && !stop_requested.load(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

}  // namespace vkn
