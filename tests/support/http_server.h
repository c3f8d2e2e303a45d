#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for driving the RPC client over real
// sockets. Each connection gets its own thread; the handler decides what is
// answered, and may hold a request open until the server stops.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vkn::test {

struct HttpRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::chrono::steady_clock::time_point received;
};

struct HttpReply {
    int status = 200;
    std::string body;
    bool close_without_reply = false;
};

class HttpServer {
public:
    using Handler = std::function<HttpReply(const HttpRequest&, HttpServer&)>;
    explicit HttpServer(Handler handler);
    ~HttpServer();

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    bool stopping() const { return stopping_.load(); }
    std::vector<HttpRequest> requests() const;
    // Sleeps up to `ms`, returning early (false) when the server stops.
    bool hold(int ms) const;

private:
    void accept_loop();
    void serve(int fd);

    Handler handler_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<HttpRequest> requests_;
};

}  // namespace vkn::test
