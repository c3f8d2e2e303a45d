#include "node/submitter.h"

#include <algorithm>

#include "node/rpc_client.h"
#include "util/output.h"

namespace vkn {

Submitter::Submitter(Send send, Journal& journal, SubmitterSettings settings, Settled settled)
    : send_(std::move(send)),
      journal_(journal),
      settings_(std::move(settings)),
      settled_(std::move(settled)),
      thread_([this] { run(); }) {}

void Submitter::close() {
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    wake_.notify_all();
    if (!wake_.wait_for(lock, settings_.stop_grace, [this] { return done_; })) abort_.store(true);
    lock.unlock();
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

void Submitter::abandon(const FoundBlock& b) {
    journal_.record(b, "abandoned");
    settle(b.hash, Outcome::waiting);
}

// A block whose parent already has our accepted block: it can no longer join the chain.
void Submitter::abandon_sibling(const FoundBlock& b) {
    print_out("[submit] block hash=" + b.hash + " abandoned: a block on its parent was accepted");
    abandon(b);
}

void Submitter::submit(const FoundBlock& block, const std::string& found_line) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!handed_over_.insert(block.hash).second) {
        print_warn("[submit] block hash=" + block.hash + " was handed over before: not submitted again");
        return;
    }
    // Journaled before anything is printed: a closed output must not be its end.
    journal_.record(block, "pending");
    {
        std::lock_guard<std::mutex> status_lock(status_mutex_);
        ++status_.found;
        status_.pending.push_back(block.hash);
    }
    print_out(found_line);
    if (accepted_parents_.count(block.prevhash)) return abandon_sibling(block);
    if (!queue_.empty()) {
        // Its hex goes out at once too: a journal that cannot be written must not be its only copy.
        print_out("[submit] queued behind a block that waits for the node");
        print_warn("[submit] unsent block hex=" + block.block);
    }
    enqueue_locked(block, false);
}

void Submitter::resubmit(const FoundBlock& block) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!handed_over_.insert(block.hash).second) return;
    {
        std::lock_guard<std::mutex> status_lock(status_mutex_);
        status_.pending.push_back(block.hash);
    }
    enqueue_locked(block, true);
}

void Submitter::enqueue_locked(const FoundBlock& block, bool maybe_delivered) {
    const Clock::time_point now = settings_.now();
    queue_.push_back({block, maybe_delivered, 0, now + settings_.give_up_after, now, std::chrono::milliseconds(2000)});
    wake_.notify_all();
}

bool Submitter::wait_idle(const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!queue_.empty()) {
        if (stop.load()) return false;
        wake_.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

Submitter::Outcome Submitter::attempt(Waiting& w) {
    nlohmann::json verdict;
    try {
        verdict = send_(w.block, &abort_);
    } catch (const RpcNodeError& e) {  // the node's error object is an answer
        print_warn(std::string("[submit] submitblock failed: ") + e.what());
        journal_.record(w.block, "rejected", e.error());
        settle(w.block.hash, Outcome::rejected, e.error());
        return Outcome::rejected;
    } catch (const RpcCancelled&) {
        return Outcome::waiting;
    } catch (const std::exception& e) {
        // No answer: a refused login never reached the block's validation; anything else may have.
        const auto* http = dynamic_cast<const RpcHttpError*>(&e);
        if (!http || http->status() != 401) w.maybe_delivered = true;
        print_warn(std::string("[submit] submitblock failed: ") + e.what());
        return Outcome::waiting;
    }
    const bool accepted = verdict.is_null() || (verdict == "duplicate" && w.maybe_delivered);
    if (verdict.is_null()) print_out("[submit] accepted by node");
    else print_out("[submit] node returned: " + verdict.dump());
    if (accepted && !verdict.is_null()) print_out("[submit] an earlier attempt reached the node: counted as accepted");
    journal_.record(w.block, accepted ? "accepted" : "rejected", verdict);
    settle(w.block.hash, accepted ? Outcome::accepted : Outcome::rejected, verdict);
    return accepted ? Outcome::accepted : Outcome::rejected;
}

// Called with the lock held; `w` was the front.
void Submitter::conclude(Waiting w, Outcome o) {
    if (o == Outcome::waiting) {
        ++w.tries;
        const Clock::time_point now = settings_.now();
        if (w.tries < settings_.first_attempts) {
            w.next_try = now + settings_.first_gap;
        } else {
            if (w.tries == settings_.first_attempts) {
                w.backoff = std::min(w.backoff, settings_.longest_backoff);
                print_warn("[submit] unsent block hex=" + w.block.block);
                print_warn("[submit] the node gave no verdict; retrying in the background for up to 10 minutes");
            } else {
                w.backoff = std::min(w.backoff * 2, settings_.longest_backoff);
            }
            w.next_try = now + w.backoff;
        }
        queue_.front() = std::move(w);
        return;
    }
    queue_.pop_front();
    if (o == Outcome::accepted) {
        accepted_parents_.insert(w.block.prevhash);
        std::erase_if(queue_, [&](const Waiting& s) {
            if (s.block.prevhash != w.block.prevhash) return false;
            abandon_sibling(s.block);
            return true;
        });
    }
    if (settled_) settled_(w.block, o);
}

// During a stop: the first attempt of each block not yet tried, in order.
// False when none is left.
bool Submitter::close_untried(std::unique_lock<std::mutex>& lock) {
    auto untried = std::find_if(queue_.begin(), queue_.end(), [](const Waiting& w) { return w.tries == 0; });
    if (untried == queue_.end() || abort_.load()) return false;
    Waiting w = *untried;
    lock.unlock();
    const Outcome o = attempt(w);
    lock.lock();
    // The queue may have grown meanwhile: find the block again.
    auto it =
        std::find_if(queue_.begin(), queue_.end(), [&](const Waiting& q) { return q.block.hash == w.block.hash; });
    if (o == Outcome::waiting) it->tries = 1;  // stays pending for the next run
    else queue_.erase(it);
    return true;
}

void Submitter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (closing_) {
            if (close_untried(lock)) continue;
            done_ = true;
            wake_.notify_all();
            return;
        }
        Waiting& front = queue_.front();
        const Clock::time_point now = settings_.now();
        if (now >= front.give_up_at) {
            const FoundBlock b = front.block;
            queue_.pop_front();
            print_err("[submit] no verdict for block hash=" + b.hash + " in 10 minutes: abandoned");
            abandon(b);
            abandoned_.fetch_add(1);
            if (settled_) settled_(b, Outcome::waiting);
            wake_.notify_all();
            continue;
        }
        if (now < front.next_try) {
            // In short steps: the clock may be a test's.
            wake_.wait_for(lock, std::min<Clock::duration>(front.next_try - now, std::chrono::milliseconds(50)));
            continue;
        }
        Waiting w = front;  // submit() only appends: the front stays this block
        lock.unlock();
        const Outcome o = attempt(w);
        lock.lock();
        conclude(std::move(w), o);
        wake_.notify_all();
    }
}

}  // namespace vkn
