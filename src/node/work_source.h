#pragma once
// The one owner of every getblocktemplate call: the first template, the long
// poll, periodic refreshes and the fetch asked for after a submission. It
// installs templates strictly in order, each once, and hands each installed
// template to the mining side.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "block/template.h"

namespace vkn {

struct WorkSettings {
    bool longpoll = true;
    int32_t poll_sec = 15;  // periodic refresh, when there is no long poll
    bool gbt_txids_internal = false;
    // A long poll held longer than this is abandoned for a fresh template.
    std::chrono::milliseconds longpoll_limit{std::chrono::minutes(5)};
    // The shortest gap between two long polls (twice that after a failure).
    std::chrono::milliseconds longpoll_gap{std::chrono::seconds(1)};
};

// "[work] height=... longpoll=yes|no"
std::string work_line(const BlockTemplate& t);

// Same previous block, time, value, target and transactions: installing it
// again would change nothing.
bool same_work(const BlockTemplate& a, const BlockTemplate& b);

class WorkSource {
public:
    // One getblocktemplate call: the long-poll id ("" for an ordinary
    // request), a time limit in ms (< 0: the client's default, 0: none) and
    // a cancel flag that aborts it with RpcCancelled.
    using Fetch = std::function<nlohmann::json(const std::string& longpollid, int64_t timeout_ms,
                                               const std::atomic<bool>* cancel)>;
    // Receives each installed template, in order, before the next one.
    using Publish = std::function<void(const BlockTemplate&)>;

    WorkSource(Fetch fetch, WorkSettings settings, Publish publish);
    ~WorkSource();  // cancels every call in flight and joins
    WorkSource(const WorkSource&) = delete;
    WorkSource& operator=(const WorkSource&) = delete;

    // Fetches and installs the first template on the caller's thread (a set
    // `stop` cancels it: RpcCancelled), then starts the long poll and the
    // refreshes. Fetch and parse errors propagate.
    void start(const std::atomic<bool>& stop);

    // Cancels every call in flight and ends the threads' loops (joined by
    // the destructor): nothing is installed after it.
    void close();

    // A fresh template as soon as possible (after a submission's verdict).
    void refresh();

    uint64_t installed() const { return sequence_.load(); }
    uint64_t longpoll_updates() const { return longpoll_updates_.load(); }
    std::optional<BlockTemplate> current() const;
    std::chrono::steady_clock::time_point installed_at() const;

private:
    enum class Origin { none, first, longpoll, periodic, after_submit, after_longpoll };
    // Parses and installs unless newer work came in since `began`, or it is
    // the work already installed. True when installed.
    bool offer(const nlohmann::json& reply, uint64_t began, Origin origin);
    void ask_refresh(Origin why);
    void refresh_loop();
    void longpoll_loop();
    bool periodic_due_locked() const;

    Fetch fetch_;
    WorkSettings settings_;
    Publish publish_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<BlockTemplate> current_;
    std::chrono::steady_clock::time_point installed_at_{};
    std::atomic<uint64_t> sequence_{0};
    std::atomic<uint64_t> longpoll_updates_{0};
    std::string longpollid_;  // of the installed template
    Origin refresh_wanted_ = Origin::none;  // a refresh asked for, and why
    std::chrono::steady_clock::time_point next_periodic_{};
    std::atomic<bool> closing_{false};          // set under the mutex; also cancels the refresh in flight
    std::atomic<bool> longpoll_cancel_{false};  // a new id or closing
    std::thread refresher_;
    std::thread longpoller_;
};

}  // namespace vkn
