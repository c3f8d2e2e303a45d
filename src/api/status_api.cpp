#include "api/status_api.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
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

// What a client may take of the API: a few connections, each for a few
// seconds, with a small request head. Beyond that it is closed at once, so
// that no client can hold the API, memory or the process's descriptors.
constexpr unsigned kConnections = 32;        // more: the oldest is closed
constexpr unsigned kHardConnections = 64;    // more: refused on accept
constexpr auto kConnectionLife = std::chrono::seconds(5);
constexpr size_t kRequestBytes = 16 * 1024;  // request line and headers together
constexpr int kHeaders = 64;

// A listening socket bound to host:port (0: any free port), or -1.
int listen_on(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        const int one = 1;
        if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (fd >= 0 && (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 16) != 0)) ::close(fd), fd = -1;
    }
    ::freeaddrinfo(found);
    return fd;
}

int bound_port(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

}  // namespace

struct StatusApi::Impl {
    std::string host;
    int port = 0;
    std::string token;
    std::function<StatusSnapshot()> snapshot;
    int listen_fd = -1;
    MHD_Daemon* daemon = nullptr;
    // Open connections: their sockets and when each was accepted.
    std::mutex mutex;
    std::condition_variable stopping;
    bool stop = false;
    std::map<MHD_Connection*, std::pair<int, std::chrono::steady_clock::time_point>> open;
    std::thread reaper;

    static MHD_Result answer(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                             const char*, size_t* upload_size, void** request);
    static void track(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code);
    void close_oldest_locked();
    void reap();
};

// Called once the request head is in: a missing token is refused before anything else is read.
MHD_Result StatusApi::Impl::answer(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                                   const char*, size_t* upload_size, void** request) {
    Impl& api = *static_cast<Impl*>(cls);
    *upload_size = 0;  // a body is never read
    if (*request != nullptr) return MHD_YES;
    *request = &api;
    unsigned status = MHD_HTTP_OK;
    std::string body, type = "text/plain";
    const char* auth = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    const std::string path = url;
    if (MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr) > kHeaders)
        status = MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE;
    else if (!api.token.empty() && !same_secret(auth ? auth : "", "Bearer " + api.token))
        status = MHD_HTTP_UNAUTHORIZED;
    else if (std::strcmp(method, "GET") != 0) status = MHD_HTTP_METHOD_NOT_ALLOWED;
    else if (path == "/api/v1/summary") body = summary_json(api.snapshot()).dump(2) + "\n", type = "application/json";
    else if (path == "/metrics") body = metrics_text(api.snapshot()), type = "text/plain; version=0.0.4";
    else status = MHD_HTTP_NOT_FOUND;
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) return MHD_NO;
    if (status == MHD_HTTP_OK) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type.c_str());
    const MHD_Result queued = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return queued;
}

void StatusApi::Impl::track(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
    Impl& api = *static_cast<Impl*>(cls);
    std::lock_guard<std::mutex> lock(api.mutex);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) return void(api.open.erase(c));
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    api.open[c] = {info ? info->connect_fd : -1, std::chrono::steady_clock::now()};
    // A new client always gets in: the longest-held connection makes room.
    if (api.open.size() > kConnections) api.close_oldest_locked();
}

void StatusApi::Impl::close_oldest_locked() {
    auto oldest = open.end();
    for (auto it = open.begin(); it != open.end(); ++it)  // of those not being closed already
        if (it->second.first >= 0 && (oldest == open.end() || it->second.second < oldest->second.second)) oldest = it;
    if (oldest == open.end()) return;
    // The library owns the socket; shutting it down makes the library close it.
    ::shutdown(oldest->second.first, SHUT_RDWR);
    oldest->second.first = -1;
}

void StatusApi::Impl::reap() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop; })) {
        const auto now = std::chrono::steady_clock::now();
        for (auto& [connection, entry] : open)
            if (entry.first >= 0 && now - entry.second > kConnectionLife) {
                ::shutdown(entry.first, SHUT_RDWR);
                entry.first = -1;
            }
    }
}

StatusApi::StatusApi(const std::string& host, int port, std::string token) : impl_(std::make_unique<Impl>()) {
    impl_->host = host;
    impl_->token = std::move(token);
    impl_->listen_fd = listen_on(host, port);
    impl_->port = impl_->listen_fd < 0 ? -1 : bound_port(impl_->listen_fd);
    if (impl_->port < 0) {
        if (impl_->listen_fd >= 0) ::close(impl_->listen_fd);
        throw std::runtime_error("cannot bind the status API to " + host + ":" + std::to_string(port));
    }
}

StatusApi::~StatusApi() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stop = true;
    }
    impl_->stopping.notify_all();
    if (impl_->reaper.joinable()) impl_->reaper.join();
    if (impl_->daemon) MHD_stop_daemon(impl_->daemon);  // closes the listening socket too
    else ::close(impl_->listen_fd);
}

int StatusApi::port() const { return impl_->port; }

void StatusApi::start(std::function<StatusSnapshot()> snapshot) {
    Impl& api = *impl_;
    api.snapshot = std::move(snapshot);
    api.daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, 0, nullptr, nullptr, &Impl::answer, &api,
        MHD_OPTION_LISTEN_SOCKET, api.listen_fd, MHD_OPTION_CONNECTION_LIMIT, kHardConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, unsigned(kConnectionLife.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kRequestBytes, MHD_OPTION_NOTIFY_CONNECTION, &Impl::track, &api, MHD_OPTION_END);
    if (api.daemon == nullptr) throw std::runtime_error("cannot start the status API on " + api.host);
    api.reaper = std::thread([&api] { api.reap(); });
}

}  // namespace vkn
