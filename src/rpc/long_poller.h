#pragma once
// Holds the node's getblocktemplate long poll open on a thread of its own
// and keeps the latest reply for the mining loop to take.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "rpc/rpc_client.h"

namespace vkn {

class LongPoller {
public:
    // One held getblocktemplate call with the given long-poll id; a set
    // cancel flag may abort it with RpcCancelled.
    using Fetch = std::function<nlohmann::json(const std::string& longpollid, const std::atomic<bool>* cancel)>;

    // The thread starts only when enabled; disabled, every call does nothing.
    // Once *stop_requested is set (the process is stopping) no poll starts.
    LongPoller(const RpcClient& client, bool enabled, const std::atomic<bool>* stop_requested);
    LongPoller(Fetch fetch, bool enabled, const std::atomic<bool>* stop_requested);
    ~LongPoller();  // stops: cancels a held poll and joins the thread
    LongPoller(const LongPoller&) = delete;
    LongPoller& operator=(const LongPoller&) = delete;

    // The id of a template just installed; a new non-empty id cancels the
    // held poll so that the watcher starts over with it.
    void offer_longpollid(const std::string& id);

    // The reply received since the last take, if any (only the newest).
    std::optional<nlohmann::json> take_update();

private:
    void watch();
    void stop();

    Fetch fetch_;
    bool enabled_;
    const std::atomic<bool>* stop_requested_;
    std::chrono::steady_clock::time_point next_poll_{};  // polls start at least a second apart
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string longpollid_;
    nlohmann::json latest_;
    bool has_update_ = false;
    bool stopping_ = false;
    std::atomic<bool> cancel_{false};
};

}  // namespace vkn
