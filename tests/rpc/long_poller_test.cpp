#include <gtest/gtest.h>

#include <thread>

#include "rpc/long_poller.h"
#include "support/http_server.h"

namespace vkn {
namespace {

using nlohmann::json;
using test::HttpReply;
using test::HttpRequest;
using test::HttpServer;
using namespace std::chrono_literals;

std::string poll_id(const HttpRequest& r) {
    json p = json::parse(r.body)["params"][0];
    return p.value("longpollid", "");
}

// (Built up with += to dodge a false -Wrestrict in GCC 12.)
std::string vid(int v) {
    std::string s = "v";
    s += std::to_string(v);
    return s;
}

// A node whose template changes when `version` is bumped: a long poll with
// the current id is held until then.
struct FakeNode {
    std::atomic<int> version{1};
    std::atomic<int> answered{0};
    HttpServer server{[this](const HttpRequest& r, HttpServer& s) {
        const int seen = version.load();
        if (poll_id(r) == vid(seen)) {
            while (version.load() == seen)
                if (!s.hold(20)) return HttpReply{200, "", true};
        }
        ++answered;
        int v = version.load();
        return HttpReply{200, json{{"result", {{"longpollid", vid(v)}, {"n", v}}}}.dump(), false};
    }};
    RpcClient client{[this] {
        RpcConfig c;
        c.url = server.url();
        return c;
    }()};
};

template <class F>
bool eventually(F f, std::chrono::milliseconds limit = 5000ms) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (f()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return f();
}

TEST(LongPoller, DisabledHasNoThread) {
    FakeNode node;
    LongPoller p(node.client, false);
    EXPECT_FALSE(p.has_thread());
    p.offer_longpollid("v1");
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(p.take_update());
    EXPECT_TRUE(node.server.requests().empty());
}

TEST(LongPoller, IdleWithoutIdThenDeliversHeldReplyAndAdoptsItsId) {
    FakeNode node;
    LongPoller p(node.client, true);
    EXPECT_TRUE(p.has_thread());
    p.offer_longpollid("");  // empty: stays idle
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(node.server.requests().empty());
    p.offer_longpollid("v1");
    ASSERT_TRUE(eventually([&] { return node.server.requests().size() == 1; }));
    EXPECT_FALSE(p.take_update());  // held
    node.version = 2;
    std::optional<json> got;
    ASSERT_TRUE(eventually([&] { return bool(got = p.take_update()); }));
    EXPECT_EQ((*got)["n"], 2);
    EXPECT_FALSE(p.take_update());
    // The next poll already carries the reply's id.
    ASSERT_TRUE(eventually([&] { return node.server.requests().size() == 2; }));
    EXPECT_EQ(poll_id(node.server.requests()[1]), "v2");
    p.offer_longpollid("v2");  // the driver installing that reply cancels nothing
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(node.server.requests().size(), 2u);
}

TEST(LongPoller, NewIdCancelsAndRestarts) {
    FakeNode node;
    LongPoller p(node.client, true);
    p.offer_longpollid("v1");
    ASSERT_TRUE(eventually([&] { return node.server.requests().size() == 1; }));
    p.offer_longpollid("v1");  // same id: nothing happens
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(node.server.requests().size(), 1u);
    node.version = 5;  // the driver fetched v5 itself; the held poll (v1) is stale
    p.offer_longpollid("v5");
    ASSERT_TRUE(eventually([&] {
        auto r = node.server.requests();
        return !r.empty() && poll_id(r.back()) == "v5";
    }));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(p.take_update());  // a reply that raced with the new id is dropped
}

TEST(LongPoller, OnlyTheNewestUntakenReplyIsKept) {
    FakeNode node;
    LongPoller p(node.client, true);
    p.offer_longpollid("v1");
    ASSERT_TRUE(eventually([&] { return node.server.requests().size() == 1; }));
    node.version = 2;
    ASSERT_TRUE(eventually([&] { return node.server.requests().size() == 2; }));
    node.version = 3;
    ASSERT_TRUE(eventually([&] { return node.server.requests().size() == 3; }));
    auto got = p.take_update();
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["n"], 3);
}

TEST(LongPoller, DestructionDuringHeldPollIsPrompt) {
    FakeNode node;
    auto p = std::make_unique<LongPoller>(node.client, true);
    p->offer_longpollid("v1");
    ASSERT_TRUE(eventually([&] { return node.server.requests().size() == 1; }));
    auto start = std::chrono::steady_clock::now();
    p.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST(LongPoller, FailingNodeBacksOffAboutTwoSeconds) {
    HttpServer failing([](const HttpRequest&, HttpServer&) { return HttpReply{500, "down", false}; });
    RpcConfig c;
    c.url = failing.url();
    RpcClient client(c);
    testing::internal::CaptureStderr();
    {
        LongPoller p(client, true);
        p.offer_longpollid("x");
        std::this_thread::sleep_for(4500ms);
    }
    std::string err = testing::internal::GetCapturedStderr();
    auto reqs = failing.requests();
    ASSERT_GE(reqs.size(), 2u);
    EXPECT_LE(reqs.size(), 3u);
    EXPECT_GE(reqs[1].received - reqs[0].received, 1900ms);
    size_t lines = 0;
    for (size_t pos = 0; (pos = err.find("[longpoll] RPC HTTP 500 calling getblocktemplate: down\n", pos)) !=
                         std::string::npos;
         ++pos)
        ++lines;
    EXPECT_EQ(lines, reqs.size());
}

}  // namespace
}  // namespace vkn
