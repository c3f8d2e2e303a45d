#include "node/proposal_check.h"

#include "node/rpc_client.h"
#include "util/output.h"

namespace vkn {

namespace {

constexpr size_t kAnswersKept = 32;

// The node's answer; {"unsupported": why} for an error object, {"unknown":
// why} when no answer came. A stop's cancellation goes through.
nlohmann::json answer_of(const ProposalCheck::Propose& propose, const std::string& hex, const std::string& workid,
                         const std::atomic<bool>* cancel) {
    try {
        return propose(hex, workid, cancel);
    } catch (const RpcCancelled&) {
        throw;
    } catch (const RpcNodeError& e) {
        return {{"unsupported", e.what()}};
    } catch (const RpcHttpError& e) {
        // Some nodes send their error objects with HTTP 404 or 500.
        if (e.status() == 404 || e.status() == 500) return {{"unsupported", e.what()}};
        return {{"unknown", e.what()}};
    } catch (const std::exception& e) {
        return {{"unknown", e.what()}};
    }
}

}  // namespace

ProposalCheck::ProposalCheck(Propose propose) : propose_(std::move(propose)), thread_([this] { run(); }) {}

ProposalCheck::~ProposalCheck() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_.store(true);
    }
    changed_.notify_all();
    thread_.join();
}

void ProposalCheck::check(uint64_t work, std::string block_hex, std::string workid) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!supported_) return;
        next_.emplace(work, std::move(block_hex), std::move(workid));
    }
    changed_.notify_all();
}

std::optional<std::string> ProposalCheck::refused_for(uint64_t work, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Only a proposal queued or in flight for this template is worth the wait.
    const auto outstanding = [&] {
        return supported_ && !answers_.count(work) &&
               (in_flight_ == work || (next_ && std::get<0>(*next_) == work));
    };
    changed_.wait_for(lock, wait, [&] { return !outstanding(); });
    const auto it = answers_.find(work);
    if (it == answers_.end() || !it->second) return std::nullopt;
    unreported_.reset();
    return it->second;
}

std::optional<std::string> ProposalCheck::refused() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(unreported_, std::nullopt);
}

void ProposalCheck::run() {
    for (;;) {
        std::tuple<uint64_t, std::string, std::string> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return closing_.load() || next_; });
            if (closing_.load()) return;
            job = std::move(*next_);
            next_.reset();
            in_flight_ = std::get<0>(job);
        }
        try {
            judge(std::get<0>(job), answer_of(propose_, std::get<1>(job), std::get<2>(job), &closing_));
        } catch (const RpcCancelled&) {
            return;
        }
    }
}

// null: accepted; "inconclusive..." or "duplicate...": noted; any other
// reason: refused; an error or an answer that is no verdict: the node does
// not take proposals.
void ProposalCheck::judge(uint64_t work, const nlohmann::json& answer) {
    std::optional<std::string> refusal;
    if (answer.is_null()) {
        print_verbose("[proposal] the node accepts blocks built from the template");
    } else if (answer.is_string()) {
        const std::string reason = answer.get<std::string>();
        if (reason.starts_with("inconclusive") || reason.starts_with("duplicate"))
            print_out("[proposal] the node could not judge the template (" + reason + "); mining goes on");
        else
            refusal = reason;
    } else if (answer.contains("unknown")) {
        // The node out of reach: nothing is known, and the search never waits on it.
        print_warn("[proposal] the template could not be checked: " + answer["unknown"].get<std::string>());
    } else {
        const std::string why = answer.contains("unsupported") ? answer["unsupported"].get<std::string>()
                                                               : "its answer is no verdict: " + answer.dump().substr(0, 200);
        print_out("[proposal] the node does not check block proposals (" + why + "); mining goes on without them");
        std::lock_guard<std::mutex> lock(mutex_);
        supported_ = false;
        next_.reset();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        in_flight_ = 0;
        answers_[work] = refusal;
        if (answers_.size() > kAnswersKept) answers_.erase(answers_.begin());
        if (refusal) unreported_ = refusal;
    }
    changed_.notify_all();
}

}  // namespace vkn
