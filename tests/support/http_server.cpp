#include "support/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace vkn::test {
namespace {

void send_all(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += size_t(n);
    }
}

const char* reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 401: return "Unauthorized";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

}  // namespace

HttpServer::HttpServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_fd_, 64) != 0)
        throw std::runtime_error("test server cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

HttpServer::~HttpServer() {
    stopping_.store(true);
    ::shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    ::close(listen_fd_);
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
}

std::vector<HttpRequest> HttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool HttpServer::hold(int ms) const {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (stopping_.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void HttpServer::accept_loop() {
    while (!stopping_.load()) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void HttpServer::serve(int fd) {
    std::string data;
    char buf[65536];
    size_t header_end;
    while ((header_end = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            ::close(fd);
            return;
        }
        data.append(buf, size_t(n));
    }
    HttpRequest req;
    req.received = std::chrono::steady_clock::now();
    std::string head = data.substr(0, header_end);
    size_t line_end = head.find("\r\n");
    std::string first = head.substr(0, line_end);
    req.method = first.substr(0, first.find(' '));
    req.path = first.substr(first.find(' ') + 1, first.rfind(' ') - first.find(' ') - 1);
    size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(pos, end - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            req.headers[name] = line.substr(v);
        }
        pos = end + 2;
    }
    size_t length = req.headers.count("content-length") ? std::stoul(req.headers["content-length"]) : 0;
    req.body = data.substr(header_end + 4);
    while (req.body.size() < length) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        req.body.append(buf, size_t(n));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
    }
    HttpReply reply = handler_(req, *this);
    if (!reply.close_without_reply) {
        send_all(fd, "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                         "\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" + reply.body);
    }
    ::close(fd);
}

}  // namespace vkn::test
