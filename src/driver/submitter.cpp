#include "driver/submitter.h"

#include <algorithm>
#include <iostream>

#include "driver/reporting.h"

namespace vkn {
namespace {

constexpr int kFirstAttempts = 3;
constexpr auto kGiveUpAfter = std::chrono::minutes(10);
constexpr auto kLongestBackoff = std::chrono::seconds(30);


}  // namespace

Submitter::Submitter(const RpcClient& client, Journal& journal, const std::atomic<bool>& stop)
    : client_(client), journal_(journal), stop_(stop), thread_([this] { retry_waiting(); }) {}

Submitter::~Submitter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_.store(true);
    }
    wake_.notify_all();
    thread_.join();
}

SubmitterStatus Submitter::status() const {
    std::lock_guard<std::mutex> lock(status_mutex_);
    return status_;
}

// The block leaves the pending list with its outcome (waiting: abandoned).
void Submitter::settle(const std::string& hash, Outcome outcome, const nlohmann::json& verdict) {
    std::lock_guard<std::mutex> lock(status_mutex_);
    std::erase(status_.pending, hash);
    if (outcome == Outcome::accepted) ++status_.accepted;
    if (outcome == Outcome::rejected) status_.rejected.emplace_back(hash, verdict);
}

Submitter::Outcome Submitter::attempt(Waiting& w, const std::atomic<bool>* cancel) {
    nlohmann::json verdict;
    try {
        verdict = client_.submit_block(w.block.block, cancel);
    } catch (const RpcNodeError& e) {  // the node's error object is an answer
        print_err(std::string("[submit] submitblock failed: ") + e.what());
        journal_.record(w.block, "rejected", e.error());
        settle(w.block.hash, Outcome::rejected, e.error());
        return Outcome::rejected;
    } catch (const RpcCancelled&) {
        return Outcome::waiting;
    } catch (const std::exception& e) {
        // No answer: a refused login never reached the block's validation; anything else may have.
        const auto* http = dynamic_cast<const RpcHttpError*>(&e);
        if (!http || http->status() != 401) w.maybe_delivered = true;
        print_err(std::string("[submit] submitblock failed: ") + e.what());
        return Outcome::waiting;
    }
    if (verdict.is_null()) {
        print_out("[submit] accepted by node");
        journal_.record(w.block, "accepted");
        settle(w.block.hash, Outcome::accepted);
        return Outcome::accepted;
    }
    print_out("[submit] node returned: " + verdict.dump());
    if (verdict == "duplicate" && w.maybe_delivered) {
        print_out("[submit] an earlier attempt reached the node: counted as accepted");
        journal_.record(w.block, "accepted");
        settle(w.block.hash, Outcome::accepted);
        return Outcome::accepted;
    }
    journal_.record(w.block, "rejected", verdict);
    settle(w.block.hash, Outcome::rejected, verdict);
    return Outcome::rejected;
}

Submitter::Outcome Submitter::submit(const FoundBlock& block, bool from_journal) {
    if (!from_journal) journal_.record(block, "pending");
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        status_.found += from_journal ? 0 : 1;
        status_.pending.push_back(block.hash);
    }
    Waiting w{block, from_journal, Clock::now() + kGiveUpAfter, {}, std::chrono::seconds(1)};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!waiting_.empty()) {
            // Its hex goes out at once too: a journal that cannot be written must not be its only copy.
            print_out("[submit] queued behind a block that waits for the node");
            print_err("[submit] unsent block hex=" + block.block);
            waiting_.push_back(std::move(w));
            wake_.notify_all();
            return Outcome::waiting;
        }
    }
    // A found block gets its first attempt even during a stop; the retries then wait for the next run.
    for (int n = 1; n <= kFirstAttempts; ++n) {
        const Outcome o = attempt(w, nullptr);
        if (o != Outcome::waiting) return o;
        for (int tick = 0; tick < 10 && n < kFirstAttempts && !stop_.load(); ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (stop_.load()) break;
    }
    print_err("[submit] unsent block hex=" + block.block);
    if (!stop_.load()) print_err("[submit] the node gave no verdict; retrying in the background for up to 10 minutes");
    w.backoff = std::chrono::seconds(2);
    w.next_try = Clock::now() + w.backoff;
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back(std::move(w));
    wake_.notify_all();
    return Outcome::waiting;
}

bool Submitter::wait_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!waiting_.empty()) {
        if (stop_.load()) return false;
        wake_.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}

void Submitter::retry_waiting() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_.load() || !waiting_.empty(); });
        if (closing_.load()) return;
        if (Clock::now() < waiting_.front().next_try) {
            wake_.wait_until(lock, waiting_.front().next_try, [this] { return closing_.load(); });
            continue;
        }
        if (Clock::now() >= waiting_.front().give_up_at) {
            const FoundBlock b = waiting_.front().block;
            waiting_.pop_front();
            print_err("[submit] no verdict for block hash=" + b.hash + " in 10 minutes: abandoned");
            journal_.record(b, "abandoned");
            settle(b.hash, Outcome::waiting);
            abandoned_.fetch_add(1);
            wake_.notify_all();
            continue;
        }
        Waiting w = waiting_.front();  // submit() only appends: the front stays this block
        lock.unlock();
        const Outcome o = attempt(w, &closing_);
        lock.lock();
        if (closing_.load()) return;
        if (o == Outcome::waiting) {
            w.backoff = std::min(w.backoff * 2, std::chrono::duration_cast<std::chrono::seconds>(kLongestBackoff));
            w.next_try = Clock::now() + w.backoff;
            waiting_.front() = std::move(w);
            continue;
        }
        waiting_.pop_front();
        if (o == Outcome::accepted) {
            // Its siblings on the same parent can no longer join the chain.
            std::erase_if(waiting_, [&](const Waiting& s) {
                if (s.block.prevhash != w.block.prevhash) return false;
                print_out("[submit] block hash=" + s.block.hash + " abandoned: a block on its parent was accepted");
                journal_.record(s.block, "abandoned");
                settle(s.block.hash, Outcome::waiting);
                return true;
            });
        }
        wake_.notify_all();
    }
}

}  // namespace vkn
