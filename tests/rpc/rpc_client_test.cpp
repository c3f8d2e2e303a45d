#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <set>
#include <thread>

#include "rpc/rpc_client.h"
#include "support/error_of.h"
#include "support/temp_home.h"

namespace vkn {
namespace {

using nlohmann::json;
using Answer = std::function<void(const httplib::Request&, httplib::Response&)>;

// A node stand-in on 127.0.0.1, served by cpp-httplib; it keeps every
// request for the test to read.
class StubNode {
public:
    explicit StubNode(Answer answer) {
        server_.Post("/", [this, answer](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(req);
            }
            answer(req, res);
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~StubNode() {
        stopping = true;
        server_.stop();
        thread_.join();
    }
    RpcConfig config() const {
        RpcConfig c;
        c.url = "http://127.0.0.1:" + std::to_string(port_) + "/";
        return c;
    }
    std::vector<httplib::Request> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // Holds the calling handler until the server stops or `ms` pass.
    void hold(int ms) const {
        for (int i = 0; i < ms / 10 && !stopping; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::atomic<bool> stopping{false};

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<httplib::Request> requests_;
};

Answer answer(int status, std::string body) {
    return [status, body](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        res.set_content(body, "application/json");
    };
}

TEST(RpcClient, RequestsAreExact) {
    StubNode s(answer(200, R"({"result":"duplicate","error":null,"id":1})"));
    RpcClient client(s.config());
    client.get_block_template("");
    EXPECT_EQ(client.submit_block("00ff"), json("duplicate"));
    client.get_block_template("lp1");
    client.call("x", json());
    const auto reqs = s.requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[0].path, "/");
    EXPECT_EQ(reqs[0].get_header_value("Content-Type"), "application/json");
    EXPECT_FALSE(reqs[0].has_header("Authorization"));
    json first = json::parse(reqs[0].body);
    first.erase("id");
    EXPECT_EQ(first.dump(),
              R"({"jsonrpc":"1.0","method":"getblocktemplate","params":[{"capabilities":["longpoll","coinbasevalue","proposal","workid"],"rules":["segwit"]}]})");
    EXPECT_EQ(json::parse(reqs[1].body)["params"], json::array({"00ff"}));
    EXPECT_EQ(json::parse(reqs[2].body)["params"][0]["longpollid"], "lp1");
    EXPECT_EQ(json::parse(reqs[3].body)["params"], json::array());
}

TEST(RpcClient, RepliesAndFailures) {
    struct Row {
        Answer answer;
        std::string expected;  // the result as compact JSON, or the error's text (a prefix when it ends in "...")
    };
    const std::string big_error = R"({"result":null,"error":{"code":-1,"message":"x"},"id":1})";
    const Row rows[] = {
        {answer(200, R"({"result":null,"error":null,"id":1})"), "null"},
        {answer(200, "  {\"result\":[1,\"é\"]}\n"), R"([1,"é"])"},
        {answer(401, ""), "RPC HTTP 401 calling getblocktemplate: "},
        {answer(500, big_error), "RPC HTTP 500 calling getblocktemplate: " + big_error},
        {answer(299, R"({"result":1})"), "1"},
        {answer(300, "x"), "RPC HTTP 300 calling getblocktemplate: x"},
        {answer(200, ""), "invalid JSON-RPC response: [json.exception.parse_error.101]..."},
        {answer(200, "{oops"), "invalid JSON-RPC response: [json.exception.parse_error.101] parse error at line 1, "
                               "column 2: syntax error while parsing object key - invalid literal; last read: '{o'; "
                               "expected string literal body={oops"},
        {answer(200, "[1,2]"), "JSON-RPC response missing result for getblocktemplate"},
        {answer(200, R"({"error":null,"id":1})"), "JSON-RPC response missing result for getblocktemplate"},
        {answer(200, R"({"result":5,"error":{"message":"bad","code":-8},"id":1})"),
         R"(JSON-RPC error calling getblocktemplate: {"code":-8,"message":"bad"})"},
        {[](const httplib::Request&, httplib::Response& res) {  // the connection drops mid-reply
             res.set_content_provider(100, "application/json", [](size_t, size_t, httplib::DataSink&) { return false; });
         },
         "RPC curl failure calling getblocktemplate: ..."},
    };
    for (const Row& row : rows) {
        StubNode s(row.answer);
        std::string got;
        try {
            got = RpcClient(s.config()).call("getblocktemplate", json()).dump();
        } catch (const RpcError& e) {
            got = e.what();
        }
        if (row.expected.ends_with("...")) EXPECT_TRUE(got.starts_with(row.expected.substr(0, row.expected.size() - 3))) << got;
        else EXPECT_EQ(got, row.expected);
    }
}

TEST(RpcClient, TransportFailures) {
    RpcConfig nothing_listens;
    nothing_listens.url = "http://127.0.0.1:1/";
    StubNode slow([&](const httplib::Request&, httplib::Response& res) {
        slow.hold(30000);
        res.set_content("{}", "application/json");
    });
    RpcConfig timed = slow.config();
    timed.timeout_ms = 300;
    EXPECT_EQ(error_of([&] { RpcClient(nothing_listens).call("getblocktemplate", json()); }),
              "RPC curl failure calling getblocktemplate: Couldn't connect to server");
    EXPECT_EQ(error_of([&] { RpcClient(timed).submit_block("00"); }),
              "RPC curl failure calling submitblock: Timeout was reached");
}

TEST(RpcClient, CancelledIsNotAnRpcError) {
    StubNode held([&](const httplib::Request&, httplib::Response& res) {
        held.hold(60000);
        res.set_content(R"({"result":null})", "application/json");
    });
    RpcClient client(held.config());
    std::atomic<bool> cancel{false};
    std::thread setter([&] {
        while (held.requests().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        cancel.store(true);
    });
    try {
        client.get_block_template("lp", 0, &cancel);
        ADD_FAILURE() << "a cancelled call returned";
    } catch (const RpcError&) {
        ADD_FAILURE() << "RpcCancelled must not be an RpcError";
    } catch (const RpcCancelled& e) {
        EXPECT_STREQ(e.what(), "RPC cancelled");
    }
    setter.join();
}

TEST(RpcClient, IdsDistinctAndIncreasingAcrossThreads) {
    StubNode s(answer(200, R"({"result":0})"));
    RpcClient client(s.config());
    auto work = [&] {
        for (int i = 0; i < 20; ++i) client.call("m", json());
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    std::set<uint64_t> ids;
    for (const auto& r : s.requests()) ids.insert(json::parse(r.body)["id"].get<uint64_t>());
    EXPECT_EQ(ids.size(), 40u);
    client.call("m", json());
    EXPECT_GT(json::parse(s.requests().back().body)["id"].get<uint64_t>(), *ids.rbegin());
}

TEST(RpcCredentials, CommandLineAndCookie) {
    StubNode s(answer(200, R"({"result":0})"));
    TempHome home;
    std::ofstream(home.path() + "/cookie") << "__cookie__:a:b c\n";
    std::ofstream(home.path() + "/colon") << ":";
    struct Row {
        std::string user, password, cookie, header;  // header: the Authorization sent, or the error
    };
    const Row rows[] = {
        {"", "ignored", "", ""},  // no user: no credentials at all
        {"u", "", "", "Basic dTo="},
        {"u", "p", "", "Basic dTpw"},
        {"u", "p", "~/cookie", "Basic X19jb29raWVfXzphOmIgYw=="},  // the cookie wins: __cookie__:a:b c
        {"", "", home.path() + "/colon", ""},
        {"", "", "~/missing", "cannot open file: " + home.path() + "/missing"},
    };
    for (const Row& row : rows) {
        RpcConfig c = s.config();
        c.user = row.user;
        c.password = row.password;
        c.cookie_file = row.cookie;
        const size_t before = s.requests().size();
        std::string got = error_of([&] { RpcClient(c).call("m", json()); });
        if (got == "<no error>") {
            ASSERT_EQ(s.requests().size(), before + 1);
            got = s.requests().back().get_header_value("Authorization");
        }
        EXPECT_EQ(got, row.header) << row.user << " " << row.cookie;
    }
    for (const char* content : {"", "nocolon\n"}) {
        std::ofstream(home.path() + "/bad") << content;
        RpcConfig bad = s.config();
        bad.cookie_file = "~/bad";
        EXPECT_EQ(error_of([&] { RpcClient client(bad); }), "RPC cookie file does not contain user:password: ~/bad");
    }
}

}  // namespace
}  // namespace vkn
