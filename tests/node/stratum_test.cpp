// The Stratum client against a scripted pool on loopback: a refused worker,
// and the devices told to wait once no pool has answered for a while.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "node/stratum_client.h"
#include "support/support.h"

namespace vkn {
namespace {

using namespace std::chrono_literals;

// Answers one connection with `reply(line)` for each line read, then closes
// it and stops listening.
struct ScriptedPool {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    std::thread thread;
    template <class Reply>
    explicit ScriptedPool(Reply reply) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener, 4);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        thread = std::thread([this, reply] {
            const int fd = ::accept(listener, nullptr, nullptr);
            ::close(listener);
            std::string buffer;
            char chunk[4096];
            for (long got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
                buffer.append(chunk, size_t(got));
                for (size_t nl; (nl = buffer.find('\n')) != std::string::npos; buffer.erase(0, nl + 1)) {
                    const std::string out = reply(nlohmann::json::parse(buffer.substr(0, nl)));
                    if (out.empty()) goto done;
                    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                }
            }
        done:
            ::close(fd);
        });
    }
    ~ScriptedPool() { thread.join(); }
};

std::string line(const nlohmann::json& j) { return j.dump() + "\n"; }

TEST(StratumClient, RefusedWorkerAndWaitingWithoutAPool) {
    const nlohmann::json notify = {"j1", std::string(64, '0'), "01", "02", nlohmann::json::array(), "20000000",
                                   "1d00ffff", "5f5e1000", true};
    for (const bool refuse : {true, false}) {
        ScriptedPool pool([&](const nlohmann::json& msg) -> std::string {  // "": close, after the job
            const auto id = msg["id"];
            if (msg["method"] == "mining.subscribe") return line({{"id", id}, {"result", {nullptr, "00000001", 4}}});
            if (msg["method"] != "mining.authorize") return "";
            if (refuse) return line({{"id", id}, {"result", false}, {"error", {24, "unauthorized", nullptr}}});
            return line({{"id", id}, {"result", true}}) +
                   line({{"id", nullptr}, {"method", "mining.notify"}, {"params", notify}});
        });
        PoolSettings s;
        s.pools = {parse_pool_url("stratum+tcp://127.0.0.1:" + std::to_string(pool.port))};
        s.user = "w1";
        s.backoff_first = 10ms;
        s.stale_after = 200ms;
        std::vector<std::shared_ptr<const PoolWork>> works;
        std::mutex m;
        StratumClient client(s, [&](std::shared_ptr<const PoolWork> w) {
            std::lock_guard<std::mutex> lock(m);
            works.push_back(w);
        });
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const std::atomic<bool> stop{false};
        const std::string error = error_of([&] { client.start(stop); });
        if (!refuse) ::shutdown(pool.listener, SHUT_RDWR);  // no second connection
        for (int i = 0; i < 200 && !refuse; ++i) {
            std::this_thread::sleep_for(10ms);
            std::lock_guard<std::mutex> lock(m);
            if (!works.empty() && works.back()->idle) break;
        }
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        std::lock_guard<std::mutex> lock(m);
        if (refuse) {
            EXPECT_EQ(error, "the pool refused worker w1: unauthorised");
            continue;
        }
        ASSERT_TRUE(error == "<no error>" && works.size() >= 2) << error;
        EXPECT_TRUE(works.front()->job.id == "j1" && works.front()->extranonce1 == Bytes({0, 0, 0, 1}));
        EXPECT_TRUE(works.back()->idle);
    }
}

}  // namespace
}  // namespace vkn
