#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "rpc/long_poller.h"

namespace vkn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string vid(int v) {
    std::string s = "v";
    s += std::to_string(v);  // not "v" + ...: GCC 12 warns falsely (-Wrestrict)
    return s;
}

// A node whose template changes when bump() is called: a poll with the
// current id is held until then, or until its cancel flag is set. With
// ignore_cancel the first poll answers regardless, as a reply already on
// the wire would.
struct ScriptedNode {
    std::mutex m;
    std::condition_variable cv;
    int version = 1;
    bool ignore_cancel = false;
    std::vector<std::string> polls;

    LongPoller::Fetch fetch() {
        return [this](const std::string& id, const std::atomic<bool>* cancel) {
            std::unique_lock<std::mutex> lock(m);
            polls.push_back(id);
            cv.notify_all();
            const int seen = version;
            ignore_cancel = ignore_cancel && polls.size() == 1;  // only the first poll races
            while (id == vid(seen) && version == seen) {
                if (!ignore_cancel && cancel->load()) throw RpcCancelled("RPC cancelled");
                cv.wait_for(lock, 5ms);
            }
            return json{{"longpollid", vid(version)}, {"n", version}};
        };
    }
    void bump(int v) {
        std::lock_guard<std::mutex> lock(m);
        version = v;
        cv.notify_all();
    }
    // The ids polled so far, once there are at least n of them.
    std::vector<std::string> await_polls(size_t n) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, 30s, [&] { return polls.size() >= n; });
        return polls;
    }
};

std::optional<json> await_update(LongPoller& p) {
    for (auto until = Clock::now() + 30s; Clock::now() < until; std::this_thread::sleep_for(5ms))
        if (auto got = p.take_update()) return got;
    return std::nullopt;
}

TEST(LongPoller, DeliversTheNewestReplyOnceAndPollsWithItsId) {
    ScriptedNode off;
    LongPoller disabled(off.fetch(), false);
    disabled.offer_longpollid("v1");
    EXPECT_FALSE(disabled.has_thread() || disabled.take_update() || !off.polls.empty());

    ScriptedNode node;
    LongPoller p(node.fetch(), true);
    p.offer_longpollid("");  // no id: nothing to poll with
    p.offer_longpollid("v1");
    ASSERT_EQ(node.await_polls(1), std::vector<std::string>{"v1"});
    EXPECT_FALSE(p.take_update());  // held
    node.bump(2);
    std::optional<json> got = await_update(p);
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["n"], 2);
    EXPECT_FALSE(p.take_update());
    ASSERT_EQ(node.await_polls(2).back(), "v2");
    p.offer_longpollid("v2");  // installing that reply's id cancels nothing
    for (int v = 3; v <= 4; ++v) {
        node.bump(v);
        node.await_polls(v);
    }
    EXPECT_EQ(node.await_polls(4), (std::vector<std::string>{"v1", "v2", "v3", "v4"}));
    got = p.take_update();  // only the newest untaken reply is kept
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["n"], 4);
}  // destroyed while a poll is held: cancelled and joined, or the test hangs

TEST(LongPoller, NewIdRestartsThePollAndDropsAReplyThatRacedWithIt) {
    ScriptedNode node;
    node.ignore_cancel = true;
    LongPoller p(node.fetch(), true);
    p.offer_longpollid("v1");
    node.await_polls(1);
    p.offer_longpollid("v5");  // the driver fetched v5 itself
    node.bump(5);              // the held v1 poll answers anyway: stale
    ASSERT_EQ(node.await_polls(2).back(), "v5");
    EXPECT_FALSE(p.take_update());
}

TEST(LongPoller, FailingNodeIsAskedAgainOnlyAfterTwoSeconds) {
    std::mutex m;
    std::vector<Clock::time_point> calls;
    auto failing = [&](const std::string&, const std::atomic<bool>*) -> json {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back(Clock::now());
        throw RpcError("RPC HTTP 500 calling getblocktemplate: down");
    };
    testing::internal::CaptureStderr();
    {
        LongPoller p(failing, true);
        p.offer_longpollid("x");
        for (auto until = Clock::now() + 30s; Clock::now() < until; std::this_thread::sleep_for(10ms)) {
            std::lock_guard<std::mutex> lock(m);
            if (calls.size() >= 2) break;
        }
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_GE(calls[1] - calls[0], 1900ms);
    size_t lines = 0;
    for (size_t at = 0; (at = err.find("[longpoll] RPC HTTP 500 calling getblocktemplate: down\n", at)) !=
                        std::string::npos;
         ++at)
        ++lines;
    EXPECT_EQ(lines, calls.size());
}

}  // namespace
}  // namespace vkn
