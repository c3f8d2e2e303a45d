// The Stratum client against a scripted pool on loopback: a refused worker,
// and the devices told to wait once no pool has answered for a while.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "node/stratum_client.h"
#include "support/support.h"

namespace vkn {
namespace {

using namespace std::chrono_literals;

// Answers up to `connections` connections, one after the other, with
// `reply(line)` for each line read ("" closes the connection), then refuses
// any more. Bound at once; listening from open() on.
struct ScriptedPool {
    using Reply = std::function<std::string(const nlohmann::json&)>;
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    std::thread thread;
    explicit ScriptedPool(Reply reply, int connections = 1, bool now = true) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        if (now) open(reply, connections);
    }
    void open(Reply reply, int connections) {
        ::listen(listener, 4);
        thread = std::thread([this, reply, connections] {
            for (int k = 0; k < connections; ++k) {
                const int fd = ::accept(listener, nullptr, nullptr);
                if (fd < 0) break;
                serve(fd, reply);
            }
            ::shutdown(listener, SHUT_RDWR);  // no more: later connections are refused
        });
    }
    static void serve(int fd, const Reply& reply) {
        std::string buffer;
        char chunk[4096];
        for (long got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
            buffer.append(chunk, size_t(got));
            for (size_t nl; (nl = buffer.find('\n')) != std::string::npos; buffer.erase(0, nl + 1)) {
                const std::string out = reply(nlohmann::json::parse(buffer.substr(0, nl)));
                if (out.empty()) return void(::close(fd));
                ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
        ::close(fd);
    }
    ~ScriptedPool() {
        ::shutdown(listener, SHUT_RDWR);  // a connection never made does not hold the test up
        if (thread.joinable()) thread.join();
        ::close(listener);
    }
};

std::string line(const nlohmann::json& j) { return j.dump() + "\n"; }

// mining.notify's params for a clean job `id` on an all-zero parent.
nlohmann::json job(const std::string& id) {
    return {id, std::string(64, '0'), "01", "02", nlohmann::json::array(), "20000000", "1d00ffff", "5f5e1000", true};
}

// Worker w1 on the pools at these loopback ports, in order, retried quickly.
PoolSettings settings_for(std::initializer_list<int> ports) {
    PoolSettings s;
    for (const int port : ports) s.pools.push_back(parse_pool_url("stratum+tcp://127.0.0.1:" + std::to_string(port)));
    s.user = "w1";
    s.backoff_first = 10ms;
    return s;
}

// The work a client hands to the devices, kept in order.
struct Works {
    std::mutex m;
    std::vector<std::shared_ptr<const PoolWork>> all;
    StratumClient::OnWork sink() {
        return [this](std::shared_ptr<const PoolWork> w) {
            std::lock_guard<std::mutex> lock(m);
            all.push_back(std::move(w));
        };
    }
};

TEST(StratumClient, RefusedWorkerAndWaitingWithoutAPool) {
    for (const bool refuse : {true, false}) {
        ScriptedPool pool([&](const nlohmann::json& msg) -> std::string {  // "": close, after the job
            const auto id = msg["id"];
            if (msg["method"] == "mining.subscribe") return line({{"id", id}, {"result", {nullptr, "00000001", 4}}});
            if (msg["method"] != "mining.authorize") return "";
            if (refuse) return line({{"id", id}, {"result", false}, {"error", {24, "unauthorized", nullptr}}});
            return line({{"id", id}, {"result", true}}) +
                   line({{"id", nullptr}, {"method", "mining.notify"}, {"params", job("j1")}});
        });
        PoolSettings s = settings_for({pool.port});
        s.stale_after = 200ms;
        Works works;
        StratumClient client(s, works.sink());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const std::atomic<bool> stop{false};
        const std::string error = error_of([&] { client.start(stop); });
        for (int i = 0; i < 200 && !refuse; ++i) {
            std::this_thread::sleep_for(10ms);
            std::lock_guard<std::mutex> lock(works.m);
            if (!works.all.empty() && works.all.back()->idle) break;
        }
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        std::lock_guard<std::mutex> lock(works.m);
        if (refuse) {
            EXPECT_EQ(error, "the pool refused worker w1: unauthorised");
            continue;
        }
        ASSERT_TRUE(error == "<no error>" && works.all.size() >= 2) << error;
        EXPECT_TRUE(works.all.front()->job.id == "j1" && works.all.front()->extranonce1 == Bytes({0, 0, 0, 1}));
        EXPECT_TRUE(works.all.back()->idle);
    }
}

// A pool that serves `jobs` after authorising, answers every call, and
// keeps the job ids of the shares it receives.
ScriptedPool::Reply serving(const std::string& extranonce1, std::vector<nlohmann::json> jobs,
                            std::vector<std::string>& submitted, std::mutex& m) {
    return [=, &submitted, &m](const nlohmann::json& msg) {
        const auto id = msg["id"];
        if (msg["method"] == "mining.subscribe") return line({{"id", id}, {"result", {nullptr, extranonce1, 4}}});
        if (msg["method"] == "mining.submit") {
            std::lock_guard<std::mutex> lock(m);
            submitted.push_back(msg["params"][1]);
            if (msg["params"][4] == "00000001")  // refused, as pools refuse
                return line({{"id", id}, {"result", nullptr}, {"error", {23, "low difficulty share", nullptr}}});
        }
        std::string out = line({{"id", id}, {"result", true}});
        if (msg["method"] == "mining.authorize") {
            out += line({{"id", 999}, {"result", true}});  // an answer to nothing asked: ignored
            for (const auto& job : jobs) out += line({{"id", nullptr}, {"method", "mining.notify"}, {"params", job}});
        }
        return out;
    };
}

TEST(StratumClient, FailoverBackToTheFirstAndStaleShares) {
    std::mutex m;
    std::vector<std::string> to_first, to_second;
    ScriptedPool first(nullptr, 0, false);  // refuses connections until opened
    ScriptedPool second(serving("00000002", {job("a1"), job("a2")}, to_second, m), 1);
    PoolSettings s = settings_for({first.port, second.port});
    s.primary_retry = 300ms;
    std::vector<std::string> outcomes;
    s.block_outcome = [&](const PoolBlock& b, const std::string& status, const std::string& reason) {
        outcomes.push_back(b.hash + " " + status + (reason.empty() ? "" : " " + reason));
    };
    Works works;
    StratumClient client(s, works.sink());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const std::atomic<bool> stop{false};
    client.start(stop);  // three refusals by the first, then the second
    for (int i = 0; i < 200 && !client.job_valid("a2"); ++i) std::this_thread::sleep_for(10ms);
    // a1 went with the clean a2: its share is dropped, not sent; a2's is sent and answered.
    const Bytes en1 = {0, 0, 0, 2};
    PoolBlock block;
    block.hash = "b1";
    client.submit({"a1", en1, Bytes(4), 0, 0, 0, block});
    block.hash = "b2";
    client.submit({"a2", en1, Bytes(4), 0, 0, 0, block});
    block.hash = "b3";
    client.submit({"a2", en1, Bytes(4), 0, 1, 0, block});
    client.submit({"a2", {0, 0, 0, 9}, Bytes(4), 0, 0, 0, std::nullopt});  // an old session's extranonce1
    first.open(serving("00000001", {job("f1")}, to_first, m), 2);  // the probe, then the session
    for (int i = 0; i < 500 && client.stats().url != s.pools[0].text; ++i) std::this_thread::sleep_for(10ms);
    for (int i = 0; i < 200 && !client.job_valid("f1"); ++i) std::this_thread::sleep_for(10ms);
    const PoolStats stats = client.stats();
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    std::scoped_lock lock(m, works.m);
    EXPECT_EQ(to_second, (std::vector<std::string>{"a2", "a2"}));
    EXPECT_EQ(outcomes,
              (std::vector<std::string>{"b1 pool-stale", "b2 pool-accepted", "b3 pool-rejected low difficulty"}));
    EXPECT_NE(out.find("[share] accepted 1/1\n[share] rejected (low difficulty)\n"), std::string::npos) << out;
    EXPECT_TRUE(stats.stale_dropped == 2 && stats.accepted == 1 && stats.rejected == 1 && stats.connected);
    ASSERT_FALSE(works.all.empty());
    EXPECT_TRUE(works.all.back()->job.id == "f1" && works.all.back()->extranonce1 == Bytes({0, 0, 0, 1}));
}

}  // namespace
}  // namespace vkn
