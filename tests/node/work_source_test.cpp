// The work source against a scripted node: order, staleness, repeats and
// the long poll's limit.
#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "node/rpc_client.h"
#include "node/work_source.h"
#include "support/support.h"

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
    bool deaf = false;        // long polls hold until their time limit, whatever the tip
    bool fail_polls = false;  // long polls fail at once
    std::vector<std::chrono::steady_clock::time_point> times;  // of the calls
    std::vector<std::string> calls;  // "" for an ordinary request, else the long-poll id

    static std::string id(int v) { return std::string(1, 'v') += std::to_string(v); }  // "v" + ... trips GCC 12
    int same_id = 0;  // when set, every template carries the id of that tip
    json tpl(int v, const std::string& lpid = "") const {
        json t = minimal_template(v, v);
        t["longpollid"] = !lpid.empty() ? lpid : id(same_id ? same_id : v);
        return t;
    }
    WorkSource::Fetch fetch() {
        return [this](const std::string& id, int64_t timeout_ms, const std::atomic<bool>* cancel) {
            std::unique_lock<std::mutex> lock(m);
            calls.push_back(id);
            times.push_back(std::chrono::steady_clock::now());
            cv.notify_all();
            if (fail_polls && !id.empty()) throw RpcError("down");
            const int asked = tip;
            const bool ignore = late && !id.empty();
            late = late && id.empty();
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 60000);
            while ((!id.empty() && (id == tpl(tip)["longpollid"] || deaf) && !ignore) || (ignore && !release) ||
                   (id.empty() && hold_plain)) {
                if (!ignore && cancel && cancel->load()) throw RpcCancelled("RPC cancelled");
                if (std::chrono::steady_clock::now() > until) throw RpcTransportError("timed out");
                cv.wait_for(lock, 2ms);
            }
            return ignore ? tpl(asked, "late") : tpl(tip);
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

// The heights of the "[work] height=" lines printed, in order: one per installed template.
std::vector<int> heights(const std::string& out) {
    std::vector<int> found;
    for (size_t at = 0; (at = out.find("[work] height=", at)) != std::string::npos; at += 14)
        found.push_back(std::stoi(out.substr(at + 14)));
    return found;
}

void await_installed(const WorkSource& source, uint64_t n) {
    for (int i = 0; i < 4000 && source.installed() < n; ++i) std::this_thread::sleep_for(5ms);
}

const WorkSource::Publish kNoBoard = [](const BlockTemplate&) {};
const std::atomic<bool> kNoStop{false};

TEST(WorkSource, InstallsEachTemplateOnceAndInOrder) {
    ScriptedNode node;
    std::vector<int> published;  // by the work source's threads, one at a time
    testing::internal::CaptureStdout();
    {
        WorkSource source(node.fetch(), WorkSettings{}, [&](const BlockTemplate& t) { published.push_back(t.height); });
        source.start(kNoStop);
        node.await_calls(2);  // the first template, then the long poll with its id
        EXPECT_EQ(node.calls, (std::vector<std::string>{"", "v1"}));
        node.set(node.tip, 2);  // the long poll answers
        await_installed(source, 2);
        source.refresh();  // the same template again: not installed
        node.await_calls(4);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(source.installed(), 2u);
        EXPECT_EQ(source.longpoll_updates(), 1u);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(heights(out), (std::vector<int>{1, 2}));
    EXPECT_EQ(published, heights(out));
    EXPECT_NE(out.find("longpoll=yes\n[work] longpoll update received\n[work] height=2 "), std::string::npos);
}

// The reply to a long poll made on tip 1 arrives after a refresh installed
// tip 2 (whose id did not cancel the poll): it describes the chain before,
// and is dropped.
TEST(WorkSource, DropsAReplyToARequestOlderThanTheInstalledWork) {
    ScriptedNode node;
    node.late = true;
    node.same_id = 1;
    testing::internal::CaptureStdout();
    {
        WorkSource source(node.fetch(), WorkSettings{}, kNoBoard);
        source.start(kNoStop);
        node.await_calls(2);
        node.set(node.tip, 2);
        source.refresh();
        await_installed(source, 2);
        node.set(node.release, true);  // the old poll's answer comes in now
        node.await_calls(4);
        EXPECT_EQ(node.calls.back(), "v1");  // the installed template's id
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(heights(testing::internal::GetCapturedStdout()), (std::vector<int>{1, 2}));
}

TEST(WorkSource, AnUnansweredLongPollGivesWayToAFreshTemplate) {
    ScriptedNode node;
    WorkSettings settings;
    settings.longpoll_limit = 300ms;
    settings.longpoll_gap = 10ms;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        WorkSource source(node.fetch(), settings, kNoBoard);
        source.start(kNoStop);
        node.await_calls(2);
        {
            std::lock_guard<std::mutex> lock(node.m);
            node.deaf = true;
            node.tip = 2;  // a tip the held poll is never told about
        }
        await_installed(source, 2);
    }
    EXPECT_EQ(heights(testing::internal::GetCapturedStdout()), (std::vector<int>{1, 2}));
    EXPECT_EQ(testing::internal::GetCapturedStderr().substr(0, 21), "[longpoll] timed out\n");
}

// A node that fails every long poll: polls twice the gap apart, never in a burst.
TEST(WorkSource, LongPollsArePaced) {
    ScriptedNode node;
    node.fail_polls = true;
    WorkSettings settings;
    settings.longpoll_gap = 50ms;
    testing::internal::CaptureStderr();
    {
        WorkSource source(node.fetch(), settings, kNoBoard);
        source.start(kNoStop);
        node.await_calls(5);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr().substr(0, 17), "[longpoll] down\n[");
    for (size_t i = 2; i < node.times.size(); ++i) EXPECT_GE(node.times[i] - node.times[i - 1], 100ms);
}

}  // namespace
}  // namespace vkn
