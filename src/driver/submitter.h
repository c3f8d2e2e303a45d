#pragma once
// Hands found blocks to the node one at a time and keeps each until the node
// gives a verdict: a node that restarts, is overloaded or is out of reach for
// a while must not cost a block.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "driver/journal.h"
#include "rpc/rpc_client.h"

namespace vkn {

// The blocks of this run, for the status API.
struct SubmitterStatus {
    uint64_t found = 0;  // passed the CPU re-check in this run
    uint64_t accepted = 0;
    std::vector<std::pair<std::string, nlohmann::json>> rejected;  // hash, the node's verdict
    std::vector<std::string> pending;                              // hashes still without an answer
};

class Submitter {
public:
    enum class Outcome { accepted, rejected, waiting };

    // A set stop flag ends the first attempts early (the block then waits).
    Submitter(const RpcClient& client, Journal& journal, const std::atomic<bool>& stop);
    ~Submitter();  // cancels an attempt in flight; blocks still waiting stay pending in the journal
    Submitter(const Submitter&) = delete;
    Submitter& operator=(const Submitter&) = delete;

    // Journals the block as pending, then makes up to three attempts a second
    // apart. Without a verdict the block waits, and a thread of its own
    // retries it with a growing back-off for up to ten minutes while mining
    // goes on; a block found while others wait joins them at once.
    // from_journal: a pending block of an earlier run, already journaled,
    // whose attempts may have reached the node ("duplicate" then means the
    // node has it).
    Outcome submit(const FoundBlock& block, bool from_journal = false);

    // Until no block waits (true) or a stop (false).
    bool wait_idle();

    // Blocks given up after ten minutes without a verdict.
    int abandoned() const { return abandoned_.load(); }

    SubmitterStatus status() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Waiting {
        FoundBlock block;
        bool maybe_delivered = false;
        Clock::time_point give_up_at{};
        Clock::time_point next_try{};
        std::chrono::seconds backoff{1};
    };

    Outcome attempt(Waiting& w, const std::atomic<bool>* cancel);
    void settle(const std::string& hash, Outcome outcome, const nlohmann::json& verdict = nullptr);
    void retry_waiting();

    const RpcClient& client_;
    Journal& journal_;
    const std::atomic<bool>& stop_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Waiting> waiting_;  // the front is the one being tried
    std::atomic<bool> closing_{false};
    std::atomic<int> abandoned_{0};
    mutable std::mutex status_mutex_;
    SubmitterStatus status_;
    std::thread thread_;
};

}  // namespace vkn
