#include "api/status_api.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "util/parse.h"

namespace vkn {

std::pair<std::string, int> parse_api_address(const std::string& text) {
    const size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find_first_of("[]") != std::string::npos)
        throw std::runtime_error("invalid --api address, want ADDR:PORT: " + text);
    const uint64_t port = parse_u64(text.substr(colon + 1), "--api port");
    if (port > 65535) throw std::runtime_error("--api port out of range: " + text);
    return {host, int(port)};
}

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

namespace {

// Compares in time that does not depend on where the texts differ.
bool same_secret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) diff |= uint8_t(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

}  // namespace

struct StatusApi::Impl {
    httplib::Server server;
    std::string host;
    int port = 0;
    std::string token;
    std::function<StatusSnapshot()> snapshot;
    std::thread thread;
    std::atomic<bool> listen_returned{false};
};

StatusApi::StatusApi(const std::string& host, int port, std::string token) : impl_(std::make_unique<Impl>()) {
    impl_->host = host;
    impl_->token = std::move(token);
    httplib::Server& server = impl_->server;
    impl_->port = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (impl_->port < 0)
        throw std::runtime_error("cannot bind the status API to " + host + ":" + std::to_string(port));
}

StatusApi::~StatusApi() {
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

int StatusApi::port() const { return impl_->port; }

void StatusApi::start(std::function<StatusSnapshot()> snapshot) {
    Impl& api = *impl_;
    api.snapshot = std::move(snapshot);
    // Refusals first, with no detail: a missing token, then a method, then a path.
    api.server.set_pre_routing_handler([&api](const httplib::Request& req, httplib::Response& res) {
        if (!api.token.empty() && !same_secret(req.get_header_value("Authorization"), "Bearer " + api.token))
            res.status = 401;
        else if (req.method != "GET") res.status = 405;
        else if (req.path != "/api/v1/summary" && req.path != "/metrics") res.status = 404;
        else return httplib::Server::HandlerResponse::Unhandled;
        return httplib::Server::HandlerResponse::Handled;
    });
    api.server.Get("/api/v1/summary", [&api](const httplib::Request&, httplib::Response& res) {
        res.set_content(summary_json(api.snapshot()).dump(2) + "\n", "application/json");
    });
    api.server.Get("/metrics", [&api](const httplib::Request&, httplib::Response& res) {
        res.set_content(metrics_text(api.snapshot()), "text/plain; version=0.0.4");
    });
    api.thread = std::thread([&api] {
        api.server.listen_after_bind();
        api.listen_returned.store(true);
    });
    // A stop before the server listens would do nothing and leave it serving
    // for ever: start returns only once it listens (or gave up).
    while (!api.server.is_running() && !api.listen_returned.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace vkn
