#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <thread>

#include "rpc/rpc_client.h"
#include "support/error_of.h"
#include "support/http_server.h"
#include "support/temp_home.h"

namespace vkn {
namespace {

using nlohmann::json;
using test::HttpReply;
using test::HttpRequest;
using test::HttpServer;

HttpServer::Handler answer(int status, std::string body) {
    return [status, body](const HttpRequest&, HttpServer&) { return HttpReply{status, body, false}; };
}

RpcConfig config_for(const HttpServer& s) {
    RpcConfig c;
    c.url = s.url();
    return c;
}

std::string call_error(const RpcConfig& c, const std::string& method = "getblocktemplate",
                       int64_t timeout_ms = -1) {
    try {
        RpcClient(c).call(method, json(), timeout_ms);
    } catch (const RpcError& e) {
        return e.what();
    }
    return "<no RpcError>";
}

TEST(RpcClient, FirstRequestBodyIsExact) {
    HttpServer s(answer(200, R"({"result":{},"error":null,"id":1})"));
    RpcClient(config_for(s)).get_block_template("");
    const std::vector<HttpRequest> reqs = s.requests();
    ASSERT_EQ(reqs.size(), 1u);
    const HttpRequest& r = reqs[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/");
    EXPECT_EQ(r.headers.at("content-type"), "application/json");
    EXPECT_EQ(r.body,
              R"({"id":1,"jsonrpc":"1.0","method":"getblocktemplate","params":[{"capabilities":["longpoll","coinbasevalue","proposal","workid"],"rules":["segwit"]}]})");
    EXPECT_EQ(r.headers.count("authorization"), 0u);
}

TEST(RpcClient, NodeCallParameters) {
    HttpServer s(answer(200, R"({"result":"duplicate","error":null,"id":1})"));
    RpcClient client(config_for(s));
    EXPECT_EQ(client.submit_block("00ff"), json("duplicate"));
    client.get_block_template("lp1");
    client.call("x", json());
    auto reqs = s.requests();
    EXPECT_EQ(json::parse(reqs[0].body)["params"], json::array({"00ff"}));
    EXPECT_EQ(json::parse(reqs[1].body)["params"][0]["longpollid"], "lp1");
    EXPECT_EQ(json::parse(reqs[2].body)["params"], json::array());
}

TEST(RpcClient, ResultsReturnedAsSent) {
    HttpServer s(answer(200, R"({"result":null,"error":null,"id":1})"));
    EXPECT_TRUE(RpcClient(config_for(s)).call("submitblock", json()).is_null());
    HttpServer t(answer(200, "  {\"result\":[1,\"é\"]}\n"));
    EXPECT_EQ(RpcClient(config_for(t)).call("m", json()), json::parse(R"([1,"é"])"));
}

TEST(RpcClient, EveryFailureRow) {
    // A port nothing listens on.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    RpcConfig refused;
    refused.url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    EXPECT_EQ(call_error(refused), "RPC curl failure calling getblocktemplate: Couldn't connect to server");

    HttpServer silent([](const HttpRequest&, HttpServer& s) {
        s.hold(5000);
        return HttpReply{200, "{}", false};
    });
    RpcConfig slow = config_for(silent);
    slow.timeout_ms = 300;
    EXPECT_EQ(call_error(slow, "submitblock"), "RPC curl failure calling submitblock: Timeout was reached");

    HttpServer closes([](const HttpRequest&, HttpServer&) { return HttpReply{200, "", true}; });
    EXPECT_EQ(call_error(config_for(closes)), "RPC curl failure calling getblocktemplate: Server returned nothing (no headers, no data)");

    HttpServer unauthorized(answer(401, ""));
    EXPECT_EQ(call_error(config_for(unauthorized)), "RPC HTTP 401 calling getblocktemplate: ");
    HttpServer error500(answer(500, R"({"result":null,"error":{"code":-1,"message":"x"},"id":1})"));
    EXPECT_EQ(call_error(config_for(error500), "submitblock"),
              R"(RPC HTTP 500 calling submitblock: {"result":null,"error":{"code":-1,"message":"x"},"id":1})");
    HttpServer empty500(answer(500, ""));
    EXPECT_EQ(call_error(config_for(empty500)), "RPC HTTP 500 calling getblocktemplate: ");

    HttpServer empty(answer(200, ""));
    std::string e = call_error(config_for(empty));
    EXPECT_EQ(e.rfind("invalid JSON-RPC response: [json.exception.parse_error.101]", 0), 0u) << e;
    EXPECT_EQ(e.substr(e.size() - 6), " body=");
    HttpServer garbage(answer(200, "{oops"));
    e = call_error(config_for(garbage));
    EXPECT_EQ(e.substr(e.size() - 11), " body={oops");

    HttpServer array(answer(200, "[1,2]"));
    EXPECT_EQ(call_error(config_for(array)), "JSON-RPC response missing result for getblocktemplate");
    HttpServer no_result(answer(200, R"({"error":null,"id":1})"));
    EXPECT_EQ(call_error(config_for(no_result)), "JSON-RPC response missing result for getblocktemplate");
    HttpServer both(answer(200, R"({"result":5,"error":{"message":"bad","code":-8},"id":1})"));
    EXPECT_EQ(call_error(config_for(both)), R"(JSON-RPC error calling getblocktemplate: {"code":-8,"message":"bad"})");
}

TEST(RpcClient, CancelledIsNotAnRpcError) {
    HttpServer held([](const HttpRequest&, HttpServer& s) {
        s.hold(20000);
        return HttpReply{200, R"({"result":null})", false};
    });
    RpcClient client(config_for(held));
    std::atomic<bool> cancel{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.store(true);
    });
    auto start = std::chrono::steady_clock::now();
    try {
        client.get_block_template("lp", 0, &cancel);
        ADD_FAILURE() << "returned";
    } catch (const RpcError&) {
        ADD_FAILURE() << "RpcCancelled must not be an RpcError";
    } catch (const RpcCancelled& e) {
        EXPECT_STREQ(e.what(), "RPC cancelled");
    }
    setter.join();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(1800));
    static_assert(std::is_base_of_v<std::runtime_error, RpcCancelled>);
}

TEST(RpcClient, IdsDistinctAndIncreasingAcrossThreads) {
    HttpServer s(answer(200, R"({"result":0})"));
    RpcClient client(config_for(s));
    auto work = [&] {
        for (int i = 0; i < 20; ++i) client.call("m", json());
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    std::set<uint64_t> ids;
    for (const auto& r : s.requests()) ids.insert(json::parse(r.body)["id"].get<uint64_t>());
    EXPECT_EQ(ids.size(), 40u);
    // Ids increase in the order requests are built.
    uint64_t last = 0;
    RpcClient seq(config_for(s));
    for (int i = 0; i < 3; ++i) {
        seq.call("m", json());
        uint64_t id = json::parse(s.requests().back().body)["id"].get<uint64_t>();
        EXPECT_GT(id, last);
        last = id;
    }
}

std::string auth_header(const RpcConfig& c, const HttpServer& s) {
    size_t before = s.requests().size();
    RpcClient(c).call("m", json());
    auto reqs = s.requests();
    if (reqs.size() != before + 1) return "<no request>";
    auto it = reqs.back().headers.find("authorization");
    return it == reqs.back().headers.end() ? "" : it->second;
}

TEST(RpcCredentials, CommandLineAndCookie) {
    HttpServer s(answer(200, R"({"result":0})"));
    TempHome home;
    RpcConfig c = config_for(s);
    c.password = "ignored";
    EXPECT_EQ(auth_header(c, s), "");  // no user: no credentials at all
    c.user = "u";
    c.password = "";
    EXPECT_EQ(auth_header(c, s), "Basic dTo=");  // u:
    c.password = "p";
    EXPECT_EQ(auth_header(c, s), "Basic dTpw");  // u:p

    std::ofstream(home.path() + "/cookie") << "__cookie__:a:b c\n";
    c.cookie_file = "~/cookie";  // wins over --rpc-user
    RpcClient client(c);
    EXPECT_EQ(client.user(), "__cookie__");
    EXPECT_EQ(client.password(), "a:b c");
    EXPECT_EQ(auth_header(c, s), "Basic X19jb29raWVfXzphOmIgYw==");

    std::ofstream(home.path() + "/colon") << ":";
    RpcConfig only_colon = config_for(s);
    only_colon.cookie_file = home.path() + "/colon";
    EXPECT_EQ(auth_header(only_colon, s), "");

    for (const char* content : {"", "nocolon\n"}) {
        std::ofstream(home.path() + "/bad") << content;
        RpcConfig bad = config_for(s);
        bad.cookie_file = "~/bad";
        EXPECT_EQ(error_of([&] { RpcClient client2(bad); }), "RPC cookie file does not contain user:password: ~/bad");
    }
    RpcConfig missing = config_for(s);
    missing.cookie_file = "~/none";
    EXPECT_EQ(error_of([&] { RpcClient client3(missing); }), "cannot open file: " + home.path() + "/none");
}

}  // namespace
}  // namespace vkn
