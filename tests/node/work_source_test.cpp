// The work source against a scripted node: order, staleness, repeats and
// the long poll's limit.
#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "node/rpc_client.h"
#include "node/work_source.h"

namespace vkn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A chain whose tip is a number v: its template has height v and long-poll
// id "v<v>". A long poll with the current id is held until the tip moves or
// the call is cancelled; `late` makes the next long poll ignore its cancel
// flag and answer, when released, with the tip it was asked about.
struct ScriptedNode {
    std::mutex m;
    std::condition_variable cv;
    int tip = 1;
    bool late = false, release = false, hold_plain = false;
    bool deaf = false;  // long polls hold until their time limit, whatever the tip
    std::vector<std::string> calls;  // "" for an ordinary request, else the long-poll id

    static std::string id(int v) { return std::string(1, 'v') += std::to_string(v); }  // "v" + ... trips GCC 12
    static json tpl(int v, int time = 1700000000) {
        return json{{"version", 536870912}, {"previousblockhash", std::string(62, '0') + std::to_string(10 + v)},
                    {"curtime", time}, {"coinbasevalue", 5000000000ull}, {"height", v}, {"bits", "207fffff"},
                    {"longpollid", id(v)}};
    }
    WorkSource::Fetch fetch() {
        return [this](const std::string& id, int64_t timeout_ms, const std::atomic<bool>* cancel) {
            std::unique_lock<std::mutex> lock(m);
            calls.push_back(id);
            cv.notify_all();
            const int asked = tip;
            const bool ignore = late && !id.empty();
            late = late && id.empty();
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 60000);
            while ((!id.empty() && (id == ScriptedNode::id(tip) || deaf) && !ignore) || (ignore && !release) ||
                   (id.empty() && hold_plain)) {
                if (!ignore && cancel && cancel->load()) throw RpcCancelled("RPC cancelled");
                if (std::chrono::steady_clock::now() > until) throw RpcTransportError("timed out");
                cv.wait_for(lock, 2ms);
            }
            return ignore ? tpl(asked, 1700000001) : tpl(tip);
        };
    }
    template <class T>
    void set(T& field, T v) {
        std::lock_guard<std::mutex> lock(m);
        field = v;
        cv.notify_all();
    }
    size_t await_calls(size_t n) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, 20s, [&] { return calls.size() >= n; });
        return calls.size();
    }
};

// The templates installed, as (height, curtime), in order.
struct Installed {
    std::mutex m;
    std::vector<std::pair<uint32_t, uint32_t>> work;
    WorkSource::Publish publish() {
        return [this](const BlockTemplate& t) {
            std::lock_guard<std::mutex> lock(m);
            work.emplace_back(t.height, t.curtime);
        };
    }
    std::vector<std::pair<uint32_t, uint32_t>> await(size_t n) {
        for (int i = 0;; ++i) {
            std::lock_guard<std::mutex> lock(m);
            if (work.size() >= n || i == 4000) return work;
            std::this_thread::sleep_for(5ms);
        }
    }
};

const std::atomic<bool> kNoStop{false};

TEST(WorkSource, InstallsEachTemplateOnceAndInOrder) {
    ScriptedNode node;
    Installed got;
    testing::internal::CaptureStdout();
    {
        WorkSource source(node.fetch(), WorkSettings{}, got.publish());
        source.start(kNoStop);
        node.await_calls(2);  // the first template, then the long poll with its id
        EXPECT_EQ(node.calls, (std::vector<std::string>{"", "v1"}));
        node.set(node.tip, 2);  // the long poll answers
        got.await(2);
        source.refresh();  // the same template again: not installed
        node.await_calls(4);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(source.installed(), 2u);
        EXPECT_EQ(source.longpoll_updates(), 1u);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got.await(2), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1700000000}, {2, 1700000000}}));
    EXPECT_EQ(out.substr(0, 15), "[work] height=1");
    EXPECT_NE(out.find("longpoll=yes\n[work] longpoll update received\n[work] height=2 "), std::string::npos);
    EXPECT_EQ(out.find("[work] height=2", out.find("[work] height=2") + 1), std::string::npos) << out;
}

// The reply to a long poll made on tip 1 arrives after a refresh installed
// tip 2: it describes the chain before, and is dropped.
TEST(WorkSource, DropsAReplyToARequestOlderThanTheInstalledWork) {
    ScriptedNode node;
    node.late = true;
    Installed got;
    testing::internal::CaptureStdout();
    {
        WorkSource source(node.fetch(), WorkSettings{}, got.publish());
        source.start(kNoStop);
        node.await_calls(2);
        node.set(node.tip, 2);
        source.refresh();
        got.await(2);
        node.set(node.release, true);  // the old poll's answer comes in now
        node.await_calls(4);
        EXPECT_EQ(node.calls.back(), "v2");
        std::this_thread::sleep_for(50ms);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(got.await(2), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1700000000}, {2, 1700000000}}));
}

TEST(WorkSource, AnUnansweredLongPollGivesWayToAFreshTemplate) {
    ScriptedNode node;
    Installed got;
    WorkSettings settings;
    settings.longpoll_limit = 300ms;
    settings.longpoll_gap = 10ms;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        WorkSource source(node.fetch(), settings, got.publish());
        source.start(kNoStop);
        node.await_calls(2);
        {
            std::lock_guard<std::mutex> lock(node.m);
            node.deaf = true;
            node.tip = 2;  // a tip the held poll is never told about
        }
        got.await(2);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr().substr(0, 21), "[longpoll] timed out\n");
    EXPECT_EQ(got.await(2).back().first, 2u);
}

// A node that fails every long poll: polls twice the gap apart, never in a burst.
TEST(WorkSource, LongPollsArePaced) {
    std::mutex m;
    std::vector<std::chrono::steady_clock::time_point> polls;
    auto fetch = [&](const std::string& id, int64_t, const std::atomic<bool>*) -> json {
        std::lock_guard<std::mutex> lock(m);
        if (id.empty()) return ScriptedNode::tpl(1);
        polls.push_back(std::chrono::steady_clock::now());
        throw RpcError("RPC HTTP 500 calling getblocktemplate: down");
    };
    WorkSettings settings;
    settings.longpoll_gap = 50ms;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        WorkSource source(fetch, settings, [](const BlockTemplate&) {});
        source.start(kNoStop);
        std::this_thread::sleep_for(400ms);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[longpoll] RPC HTTP 500 calling getblocktemplate: down\n"),
              std::string::npos);
    ASSERT_GE(polls.size(), 2u);
    for (size_t i = 1; i < polls.size(); ++i) EXPECT_GE(polls[i] - polls[i - 1], 100ms);
}

// Every test above ends with calls held at the node: the source cancels them as it goes, or the test hangs.
TEST(WorkSource, AStopCancelsTheFirstFetch) {
    ScriptedNode node;
    node.hold_plain = true;
    Installed got;
    std::atomic<bool> stop{false};
    WorkSource source(node.fetch(), WorkSettings{}, got.publish());
    std::thread stopper([&] {
        node.await_calls(1);
        stop = true;
    });
    EXPECT_THROW(source.start(stop), RpcCancelled);
    stopper.join();
}

}  // namespace
}  // namespace vkn
