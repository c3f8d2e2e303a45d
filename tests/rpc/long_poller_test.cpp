#include <gtest/gtest.h>

#include <condition_variable>

#include "rpc/long_poller.h"

namespace vkn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string vid(int v) { return std::string(1, 'v') += std::to_string(v); }  // "v" + ... trips GCC 12's -Wrestrict

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
            ignore_cancel = ignore_cancel && polls.size() == 1;
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
    ASSERT_EQ(node.await_polls(2).back(), "v2");  // the reply's id, as soon as it came
    std::optional<json> got = p.take_update();
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["n"], 2);
    EXPECT_FALSE(p.take_update());
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
    std::vector<Clock::time_point> calls;  // written by the watcher alone until it is joined
    std::atomic<size_t> count{0};
    testing::internal::CaptureStderr();
    {
        LongPoller p([&](const std::string&, const std::atomic<bool>*) -> json {
            calls.push_back(Clock::now());
            ++count;
            throw RpcError("RPC HTTP 500 calling getblocktemplate: down");
        }, true);
        p.offer_longpollid("x");
        for (auto until = Clock::now() + 30s; count < 2 && Clock::now() < until;) std::this_thread::sleep_for(10ms);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_GE(calls[1] - calls[0], 1900ms);
    std::string expected;
    for (size_t i = 0; i < calls.size(); ++i) expected += "[longpoll] RPC HTTP 500 calling getblocktemplate: down\n";
    EXPECT_EQ(err, expected);
}

}  // namespace
}  // namespace vkn
