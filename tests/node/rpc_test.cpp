#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>

#include "node/rpc_client.h"
#include "support/support.h"

namespace vkn {
namespace {

using nlohmann::json;
using Answer = std::function<void(httplib::Response&)>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A node stand-in on 127.0.0.1 served by cpp-httplib. It keeps every
// request; an answer may hold its request until the node stops.
struct StubNode {
    explicit StubNode(Answer answer) {
        server.Post("/", [this, answer](const httplib::Request& req, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(mutex);
            requests.push_back(req);
            lock.unlock();
            answer(res);
        });
        config.url = "http://127.0.0.1:" + std::to_string(server.bind_to_any_port("127.0.0.1")) + "/";
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();  // a stop before the listen would be lost
    }
    ~StubNode() {
        stopping = true;
        server.stop();
        thread.join();
    }
    void hold() const {
        while (!stopping) std::this_thread::sleep_for(10ms);
    }
    std::vector<httplib::Request> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    httplib::Request last() { return all().empty() ? httplib::Request{} : all().back(); }
    httplib::Server server;
    RpcConfig config;
    std::thread thread;
    std::mutex mutex;
    std::vector<httplib::Request> requests;
    std::atomic<bool> stopping{false};
};

Answer answer(int status, std::string body) {
    return [status, body](httplib::Response& res) {
        res.status = status;
        res.set_content(body, "application/json");
    };
}

TEST(RpcClient, RequestsAreExact) {
    StubNode s(answer(200, R"({"result":"duplicate","error":null,"id":1})"));
    RpcClient client(s.config);
    client.get_block_template("");
    httplib::Request first = s.last();
    json body = json::parse(first.body);
    body.erase("id");
    EXPECT_EQ(body.dump(), R"({"jsonrpc":"1.0","method":"getblocktemplate","params":[{"capabilities":)"
                           R"(["longpoll","coinbasevalue","proposal","workid"],"rules":["segwit"]}]})");
    EXPECT_EQ(first.get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(client.submit_block("00ff"), json("duplicate"));
    EXPECT_EQ(json::parse(s.last().body)["params"], json::array({"00ff"}));
    client.submit_block("00ff", "w7");  // BIP22: the template's workid comes back with its block
    EXPECT_EQ(json::parse(s.last().body)["params"], json::parse(R"(["00ff",{"workid":"w7"}])"));
    client.get_block_template("lp1");
    EXPECT_EQ(json::parse(s.last().body)["params"][0]["longpollid"], "lp1");
    client.call("x", json());
    EXPECT_EQ(json::parse(s.last().body)["params"], json::array());
    // Ids differ across threads and increase in the order requests are built.
    std::thread a([&] { for (int i = 0; i < 20; ++i) client.call("m", json()); });
    for (int i = 0; i < 20; ++i) client.call("m", json());
    a.join();
    std::set<uint64_t> ids;
    for (const auto& r : s.all()) ids.insert(json::parse(r.body)["id"].get<uint64_t>());
    client.call("m", json());
    EXPECT_EQ(ids.size(), 45u);
    EXPECT_GT(json::parse(s.last().body)["id"].get<uint64_t>(), *ids.rbegin());
}

TEST(RpcClient, RepliesAndFailures) {
    auto deep = [](size_t n) { return std::string(n, '[') + std::string(n, ']'); };
    const std::string e500 = R"({"result":null,"error":{"code":-1,"message":"x"},"id":1})";
    // status 0: no answer until the client gives up; expected: the result as JSON, or the error
    const struct { int status; std::string body, expected; } rows[] = {
        {200, R"({"result":null,"error":null,"id":1})", "null"},
        {200, "  {\"result\":[1,\"é\"]}\n", R"([1,"é"])"},
        {299, R"({"result":1})", "1"},
        {300, "x", "RPC HTTP 300 calling m: x"},
        {500, e500, "RPC HTTP 500 calling m: " + e500},
        {500, std::string(300, 'x'), "RPC HTTP 500 calling m: " + std::string(200, 'x')},  // quoted in part
        {200, R"({"result":)" + deep(127) + "}", deep(127)},  // 128 levels with the reply object
        {200, R"({"result":)" + deep(128) + "}", "JSON-RPC reply to m nested deeper than 128 levels"},
        {200, std::string((64 << 20) + 1, ' '), "JSON-RPC reply to m exceeds 64 MiB"},
        {200, "[1,2]", "JSON-RPC response missing result for m"},
        {200, R"({"result":5,"error":{"message":"bad","code":-8},"id":1})",
         R"(JSON-RPC error calling m: {"code":-8,"message":"bad"})"},
        {0, "", "RPC curl failure calling m: Timeout was reached"},
    };
    for (const auto& row : rows) {
        StubNode s(row.status ? answer(row.status, row.body) : [&s](httplib::Response&) { s.hold(); });
        RpcConfig c = s.config;
        c.timeout_ms = row.status ? 60000 : 300;  // only the silent node should time out
        EXPECT_EQ(text_of([&] { return RpcClient(c).call("m", json()).dump(); }), row.expected);
    }
    StubNode garbage(answer(200, "{oops"));
    const std::string e = error_of([&] { RpcClient(garbage.config).call("m", json()); });
    EXPECT_TRUE(e.starts_with("invalid JSON-RPC response: [json.exception.parse_error.101]") &&
                e.ends_with(" body={oops"))
        << e;
    // The submitter reads the status: a refused login never reached the block's validation.
    StubNode refused(answer(401, ""));
    try {
        RpcClient(refused.config).call("m", json());
        ADD_FAILURE() << "a 401 must throw";
    } catch (const RpcHttpError& e) {
        EXPECT_EQ(e.status(), 401);
    }
}

TEST(RpcClient, CancelledIsNotAnRpcError) {
    StubNode held([&held](httplib::Response&) { held.hold(); });
    std::atomic<bool> cancel{false};
    std::thread setter([&] {
        while (held.last().body.empty()) std::this_thread::sleep_for(10ms);
        cancel.store(true);
    });
    const std::string got = error_of([&] {
        try {
            RpcClient(held.config).get_block_template("lp", 0, &cancel);
        } catch (const RpcError& e) {
            throw std::logic_error(std::string("an RpcError: ") + e.what());
        }
    });
    setter.join();
    EXPECT_EQ(got, "RPC cancelled");
}

TEST(RpcCredentials, CommandLineAndCookie) {
    StubNode s(answer(200, R"({"result":0})"));
    TempHome home;
    for (auto [name, text] : {std::pair{"cookie", "__cookie__:a:b c\n"}, {"colon", ":"}, {"nocolon", "x\n"}})
        std::ofstream(home.path + "/" + name) << text;
    const std::string bad = "RPC cookie file does not contain user:password: ";
    // expected: the Authorization header sent, or the error
    const struct { std::string user, password, cookie, expected; } rows[] = {
        {"", "ignored", "", ""},  // no user: no credentials at all
        {"u", "", "", "Basic dTo="},
        {"u", "p", "~/cookie", "Basic X19jb29raWVfXzphOmIgYw=="},  // the cookie wins: __cookie__:a:b c
        {"", "", home.path + "/colon", ""},
        {"", "", "~/nocolon", bad + "~/nocolon"},
    };
    for (const auto& row : rows) {
        RpcConfig c = s.config;
        c.user = row.user;
        c.password = row.password;
        c.cookie_file = row.cookie;
        const std::string got = text_of([&] {
            RpcClient(c).call("m", json());
            return s.last().get_header_value("Authorization");
        });
        EXPECT_EQ(got, row.expected) << row.user << " " << row.cookie;
    }
}



}  // namespace
}  // namespace vkn
