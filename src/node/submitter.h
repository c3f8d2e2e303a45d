#pragma once
// Hands found blocks to the node on a thread of its own, one at a time and in
// order, and keeps each until the node gives a verdict: a node that restarts,
// is overloaded or is out of reach for a while must cost neither a block nor
// a moment of the mining loop.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "node/journal.h"

namespace vkn {

// The blocks of this run, for the status API.
struct SubmitterStatus {
    uint64_t found = 0;  // passed the CPU re-check in this run
    uint64_t accepted = 0;
    std::vector<std::pair<std::string, nlohmann::json>> rejected;  // hash, the node's verdict
    std::vector<std::string> pending;                              // hashes still without an answer
};

struct SubmitterSettings {
    using Clock = std::chrono::steady_clock;
    int first_attempts = 3;  // a second apart, before the block is said to wait
    std::chrono::milliseconds first_gap{1000};
    std::chrono::milliseconds give_up_after{std::chrono::minutes(10)};
    std::chrono::milliseconds longest_backoff{std::chrono::seconds(30)};
    // How long a stop lets the attempt in flight run before cancelling it.
    std::chrono::milliseconds stop_grace{500};
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
};

class Submitter {
public:
    enum class Outcome { accepted, rejected, waiting };
    // One submitblock call: the node's verdict (null: accepted); throws what
    // the RPC client throws. A set cancel flag aborts it (RpcCancelled).
    using Send = std::function<nlohmann::json(const FoundBlock&, const std::atomic<bool>* cancel)>;
    // After each verdict, or a block given up (waiting).
    using Settled = std::function<void(const FoundBlock&, Outcome)>;

    Submitter(Send send, Journal& journal, SubmitterSettings settings = {}, Settled settled = nullptr);
    // Both give every block not yet tried its first attempt (cancelled after the
    // stop grace); blocks still waiting stay pending in the journal.
    ~Submitter() { close(); }
    // The same, at once; nothing is sent after it.
    void close();
    Submitter(const Submitter&) = delete;
    Submitter& operator=(const Submitter&) = delete;

    // Journals the block as pending, prints `found_line`, and queues it;
    // returns at once. A block handed over before is not queued again, and
    // one whose parent already has an accepted block of ours is abandoned.
    void submit(const FoundBlock& block, const std::string& found_line);
    // A pending block of an earlier run, already journaled: its attempts may
    // have reached the node ("duplicate" then means the node has it).
    void resubmit(const FoundBlock& block);

    // Until no block waits (true) or `stop` is set (false).
    bool wait_idle(const std::atomic<bool>& stop);

    // Blocks given up after the give-up time without a verdict.
    int abandoned() const { return abandoned_.load(); }

    SubmitterStatus status() const;

private:
    using Clock = SubmitterSettings::Clock;
    struct Waiting {
        FoundBlock block;
        bool maybe_delivered = false;
        int tries = 0;
        Clock::time_point give_up_at{};
        Clock::time_point next_try{};
        std::chrono::milliseconds backoff{2000};
    };

    void enqueue_locked(const FoundBlock& block, bool maybe_delivered);
    void run();
    bool close_untried(std::unique_lock<std::mutex>& lock);
    Outcome attempt(Waiting& w);
    void conclude(Waiting w, Outcome o);
    void abandon(const FoundBlock& b);  // journaled and counted so; the caller says why
    void abandon_sibling(const FoundBlock& b);
    void settle(const std::string& hash, Outcome outcome, const nlohmann::json& verdict = nullptr);

    Send send_;
    Journal& journal_;
    SubmitterSettings settings_;
    Settled settled_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Waiting> queue_;  // the front is the one being tried
    std::set<std::string> handed_over_;       // hashes of this run
    std::set<std::string> accepted_parents_;  // parents of our accepted blocks
    bool closing_ = false;
    bool done_ = false;
    std::atomic<bool> abort_{false};
    std::atomic<int> abandoned_{0};
    mutable std::mutex status_mutex_;
    SubmitterStatus status_;
    std::thread thread_;
};

}  // namespace vkn
