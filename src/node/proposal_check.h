#pragma once
// Each new template's block proposed to the node (BIP 23) on a thread of its
// own, so that the search starts at once: a node that would refuse every
// block built from the template says so before one is found.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace vkn {

class ProposalCheck {
public:
    // The node's answer to a proposal of this block hex with this workid.
    using Propose = std::function<nlohmann::json(const std::string& block_hex, const std::string& workid,
                                                 const std::atomic<bool>* cancel)>;
    explicit ProposalCheck(Propose propose);
    ~ProposalCheck();  // cancels a proposal in flight and joins
    ProposalCheck(const ProposalCheck&) = delete;
    ProposalCheck& operator=(const ProposalCheck&) = delete;

    // Proposes the block (any nonce) of template `work`, the work board's
    // sequence; a newer template replaces one not yet sent.
    void check(uint64_t work, std::string block_hex, std::string workid);
    // The node's reason when it refused the block of template `work`,
    // waiting at most `wait` for an answer still out; nothing otherwise.
    std::optional<std::string> refused_for(uint64_t work, std::chrono::milliseconds wait);
    // A refusal of any template, once.
    std::optional<std::string> refused();

private:
    void run();
    void judge(uint64_t work, const nlohmann::json& answer);

    Propose propose_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::tuple<uint64_t, std::string, std::string>> next_;
    std::map<uint64_t, std::optional<std::string>> answers_;  // work -> the refusal, if any
    uint64_t in_flight_ = 0;
    std::optional<std::string> unreported_;
    bool supported_ = true;
    std::atomic<bool> closing_{false};
    std::thread thread_;
};

}  // namespace vkn
