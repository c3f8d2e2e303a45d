#include "node/stratum_client.h"

#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "node/rpc_client.h"
#include "util/hex.h"
#include "util/output.h"

namespace vkn {

PoolUrl parse_pool_url(const std::string& url) {
    PoolUrl u;
    u.text = url;
    std::string rest;
    if (url.starts_with("stratum+tcp://")) rest = url.substr(14);
    else if (url.starts_with("stratum+ssl://")) rest = url.substr(14), u.tls = true;
    const size_t colon = rest.rfind(':');
    const std::string port = colon == std::string::npos ? "" : rest.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (rest.empty() || colon == 0 || !digits || std::stoi(port) == 0 || std::stoi(port) > 65535 ||
        rest.find_first_of("/@ ") != std::string::npos)
        throw std::runtime_error("--pool must be stratum+tcp://HOST:PORT or stratum+ssl://HOST:PORT: " + url);
    u.host = rest.substr(0, colon);
    if (u.host.size() > 2 && u.host.front() == '[' && u.host.back() == ']') u.host = u.host.substr(1, u.host.size() - 2);
    u.port = std::stoi(port);
    return u;
}

// One TCP (or TLS) connection to a pool, and its unread bytes.
struct StratumClient::Connection {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::string buffer;
    std::mutex write_mutex;
    ~Connection() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) ::close(fd);
    }
    bool write_line(const std::string& line) {
        std::lock_guard<std::mutex> lock(write_mutex);
        const std::string data = line + "\n";
        for (size_t sent = 0; sent < data.size();) {
            const long n = ssl ? SSL_write(ssl, data.data() + sent, int(data.size() - sent))
                               : ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += size_t(n);
        }
        return true;
    }
    // Bytes read into the buffer; 0 at the end, < 0 on an error.
    long read_some() {
        char chunk[1 << 14];
        const long n = ssl ? SSL_read(ssl, chunk, sizeof chunk) : ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) buffer.append(chunk, size_t(n));
        return n;
    }
};

namespace {

int connect_tcp(const PoolUrl& url) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(url.host.c_str(), std::to_string(url.port).c_str(), &hints, &found) != 0 || !found)
        throw std::runtime_error("cannot resolve " + url.host);
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) throw std::runtime_error("cannot connect to " + url.text + ": " + std::strerror(errno));
    return fd;
}

std::string tls_error() {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return text;
}

// Lines from a pool go to our output: no control characters, and not too long.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text.substr(0, 200)) out += (uint8_t(c) < 0x20 || c == 0x7f) ? '?' : c;
    return out;
}

// Stratum's error: [code, message, ...] or an object; the codes pools share by name.
std::string reject_reason(const nlohmann::json& error) {
    const int code = error.is_array() && !error.empty() && error[0].is_number_integer() ? error[0].get<int>()
                     : error.is_object() ? error.value("code", 0)
                                         : 0;
    switch (code) {
        case 21: return "stale";
        case 22: return "duplicate";
        case 23: return "low difficulty";
        case 24: return "unauthorised";
        default: break;
    }
    if (error.is_array() && error.size() > 1 && error[1].is_string()) return printable(error[1].get<std::string>());
    if (error.is_object() && error.contains("message") && error["message"].is_string())
        return printable(error["message"].get<std::string>());
    return printable(error.dump());
}

}  // namespace

static void start_tls(StratumClient::Connection& c, const PoolUrl& url, bool insecure) {
    c.ctx = SSL_CTX_new(TLS_client_method());
    if (!c.ctx) throw std::runtime_error("TLS: " + tls_error());
    if (!insecure) {
        // The server's certificate against the system's store, and its name against the URL's host.
        SSL_CTX_set_default_verify_paths(c.ctx);
        SSL_CTX_set_verify(c.ctx, SSL_VERIFY_PEER, nullptr);
    }
    c.ssl = SSL_new(c.ctx);
    if (!c.ssl || SSL_set_fd(c.ssl, c.fd) != 1) throw std::runtime_error("TLS: " + tls_error());
    SSL_set_tlsext_host_name(c.ssl, url.host.c_str());
    if (!insecure) SSL_set1_host(c.ssl, url.host.c_str());
    if (SSL_connect(c.ssl) != 1) throw std::runtime_error("TLS handshake with " + url.text + ": " + tls_error());
}

StratumClient::StratumClient(PoolSettings settings, OnWork on_work)
    : settings_(std::move(settings)), on_work_(std::move(on_work)) {
    stats_.url = settings_.pools.empty() ? "" : settings_.pools.front().text;
}

StratumClient::~StratumClient() {
    closing_.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_) ::shutdown(live_->fd, SHUT_RDWR);
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void StratumClient::start(const std::atomic<bool>& stop) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock<std::mutex> lock(mutex_);
    while (!started_ && !fatal_ && !stop.load()) changed_.wait_for(lock, std::chrono::milliseconds(100));
    if (fatal_) throw PoolRefused(*fatal_);
    if (!started_) throw RpcCancelled("stopped before the pool answered");
}

void StratumClient::submit(const ShareSubmit& share) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_locked(share)) return drop_stale_locked(share);  // the pool would only call it stale
    queued_.push_back(share);
    if (live_ && authorised_) flush_shares_locked(*live_);
}

void StratumClient::drop_stale_locked(const ShareSubmit& s) {
    ++stats_.stale_dropped;
    if (s.block && settings_.block_outcome) settings_.block_outcome(*s.block, "pool-stale", "");
}

// Its job is still the pool's, and it was built on this session's extranonce1.
bool StratumClient::current_locked(const ShareSubmit& s) const {
    return valid_jobs_.count(s.job_id) && s.extranonce1 == extranonce1_;
}

bool StratumClient::job_valid(const std::string& job_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return valid_jobs_.count(job_id) > 0;
}

std::optional<std::string> StratumClient::fatal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fatal_;
}

PoolStats StratumClient::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    PoolStats s = stats_;
    s.connected = live_ != nullptr && authorised_;
    s.difficulty = difficulty_;
    return s;
}

void StratumClient::send(Connection& c, const std::string& method, const nlohmann::json& params,
                         const std::string& kind) {
    const uint64_t id = next_id_++;
    pending_[id] = {kind, {}};
    c.write_line(nlohmann::json({{"id", id}, {"method", method}, {"params", params}}).dump());
}

void StratumClient::flush_shares_locked(Connection& c) {
    for (const ShareSubmit& s : queued_) {
        if (!current_locked(s)) {
            drop_stale_locked(s);
            continue;
        }
        const uint64_t id = next_id_++;
        pending_[id] = {"submit", s};
        char ntime[9], nonce[9];
        std::snprintf(ntime, sizeof ntime, "%08x", s.ntime);
        std::snprintf(nonce, sizeof nonce, "%08x", s.nonce);
        ++stats_.submitted;
        c.write_line(nlohmann::json({{"id", id},
                                     {"method", "mining.submit"},
                                     {"params", {settings_.user, s.job_id, bytes_to_hex(s.extranonce2), ntime, nonce}}})
                         .dump());
    }
    queued_.clear();
}

void StratumClient::publish_locked() {
    if (!job_) return;
    auto w = std::make_shared<PoolWork>();
    w->job = *job_;
    w->extranonce1 = extranonce1_;
    w->extranonce2_size = extranonce2_size_;
    w->share_target = difficulty_target(difficulty_, settings_.diff1);
    on_work_(w);
}

void StratumClient::run() {
    size_t pool = 0;
    int failures = 0;
    auto backoff = settings_.backoff_first;
    auto lost_at = std::chrono::steady_clock::now();
    bool idle = false;
    while (!closing_.load()) {
        const int ended = session(pool);
        if (closing_.load() || fatal()) return;
        if (ended != kFailed) lost_at = std::chrono::steady_clock::now(), idle = false;
        // The last job goes stale while no pool answers: after a while the devices stop hashing it.
        if (!idle && std::chrono::steady_clock::now() - lost_at >= settings_.stale_after) {
            idle = true;
            print_warn("[pool] no pool has answered for " +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(settings_.stale_after).count()) +
                       " s: the devices wait for one");
            std::lock_guard<std::mutex> lock(mutex_);
            auto w = std::make_shared<PoolWork>();
            w->idle = true;
            on_work_(w);
        }
        if (ended == kBackToFirst) {
            pool = 0;
            continue;
        }
        if (ended == kLost) failures = 0, backoff = settings_.backoff_first;  // it worked: the same pool again
        else if (++failures >= 3 && settings_.pools.size() > 1) {
            pool = (pool + 1) % settings_.pools.size();
            failures = 0;
            backoff = settings_.backoff_first;
            print_warn("[pool] switching to " + settings_.pools[pool].text);
            continue;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, backoff, [this] { return closing_.load(); });
        backoff = std::min(backoff * 2, settings_.backoff_most);
    }
}

// Whether the first pool answers a connection again.
static bool first_pool_answers(const PoolUrl& url) {
    try {
        ::close(connect_tcp(url));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

int StratumClient::session(size_t pool) {
    const PoolUrl& url = settings_.pools[pool];
    auto c = std::make_unique<Connection>();
    try {
        c->fd = connect_tcp(url);
        if (url.tls) start_tls(*c, url, settings_.insecure);
    } catch (const std::exception& e) {
        print_warn("[pool] " + std::string(e.what()));
        return kFailed;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        live_ = c.get();
        authorised_ = false;
        pending_.clear();
        stats_.url = url.text;
        nlohmann::json subscribe = {settings_.agent};
        if (!session_id_.empty()) subscribe.push_back(session_id_);  // resume the session, where the pool can
        send(*c, "mining.subscribe", subscribe, "subscribe");
        send(*c, "mining.authorize", {settings_.user, settings_.password}, "authorize");
    }
    print_out("[pool] connected to " + url.text);
    const int ended = read_lines(*c, pool);
    std::lock_guard<std::mutex> lock(mutex_);
    const bool worked = authorised_;
    live_ = nullptr;
    authorised_ = false;
    return ended == kLost && !worked ? kFailed : ended;
}

int StratumClient::read_lines(Connection& c, size_t pool) {
    const PoolUrl& url = settings_.pools[pool];
    auto heard = std::chrono::steady_clock::now(), started = heard;
    for (;;) {
        if (closing_.load()) return kLost;
        const auto now = std::chrono::steady_clock::now();
        if (now - heard > settings_.silence) {
            print_warn("[pool] " + url.text + ": nothing heard for " +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(settings_.silence).count()) +
                       " s; reconnecting");
            return kLost;
        }
        if (pool != 0 && now - started > settings_.primary_retry) {
            started = now;
            if (first_pool_answers(settings_.pools[0])) {
                print_out("[pool] " + settings_.pools[0].text + " answers again; going back to it");
                return kBackToFirst;
            }
        }
        pollfd p{c.fd, POLLIN, 0};
        if (!(c.ssl && SSL_pending(c.ssl) > 0) && ::poll(&p, 1, 200) <= 0) continue;
        if (c.read_some() <= 0) {
            if (!closing_.load()) print_warn("[pool] " + url.text + ": connection closed");
            return kLost;
        }
        heard = now;
        for (size_t nl; (nl = c.buffer.find('\n')) != std::string::npos;) {
            const std::string line = c.buffer.substr(0, nl);
            c.buffer.erase(0, nl + 1);
            if (!handle_line(c, line)) return kLost;
        }
        if (c.buffer.size() > settings_.max_line) {
            print_warn("[pool] " + url.text + ": a line over " + std::to_string(settings_.max_line) +
                       " bytes; reconnecting");
            return kLost;
        }
    }
}

// False when the connection must end (garbage, a refusal, a reconnect request).
bool StratumClient::handle_line(Connection& c, const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return true;
    nlohmann::json msg;
    try {
        msg = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception&) {
        print_warn("[pool] not a JSON-RPC line: " + printable(line) + "; reconnecting");
        return false;
    }
    if (!msg.is_object()) {
        print_warn("[pool] not a JSON-RPC line: " + printable(line) + "; reconnecting");
        return false;
    }
    if (msg.contains("method") && msg["method"].is_string())
        return handle_call(c, msg["method"].get<std::string>(), msg.value("params", nlohmann::json::array()));
    if (msg.contains("id") && msg["id"].is_number_unsigned()) return handle_reply(c, msg["id"].get<uint64_t>(), msg);
    return true;
}

bool StratumClient::handle_reply(Connection& c, uint64_t id, const nlohmann::json& msg) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = pending_.find(id);
    if (it == pending_.end()) return true;
    const auto [kind, share] = it->second;
    pending_.erase(it);
    const nlohmann::json result = msg.value("result", nlohmann::json());
    const nlohmann::json error = msg.value("error", nlohmann::json());
    if (kind == "subscribe") {
        if (!result.is_array() || result.size() < 3 || !result[1].is_string() || !result[2].is_number_unsigned()) {
            print_warn("[pool] mining.subscribe failed: " + printable(msg.dump()));
            return false;
        }
        if (result[0].is_array())
            for (const auto& sub : result[0])
                if (sub.is_array() && sub.size() > 1 && sub[1].is_string()) session_id_ = sub[1].get<std::string>();
        const Bytes extranonce1 = hex_to_bytes(result[1].get<std::string>());
        if (extranonce1 != extranonce1_) valid_jobs_.clear();  // a new session: the old jobs are not ours now
        extranonce1_ = extranonce1;
        extranonce2_size_ = std::min<size_t>(result[2].get<size_t>(), 16);
        send(c, "mining.extranonce.subscribe", nlohmann::json::array(), "extranonce");
    } else if (kind == "authorize") {
        if (result != true) {
            fatal_ = "the pool refused worker " + settings_.user + (error.is_null() ? "" : ": " + reject_reason(error));
            changed_.notify_all();
            return false;
        }
        authorised_ = true;
        flush_shares_locked(c);
    } else if (kind == "submit") {
        const bool accepted = result == true;
        ++(accepted ? stats_.accepted : stats_.rejected);
        ++(accepted ? stats_.accepted_by_device : stats_.rejected_by_device)[share.device];
        const std::string reason = accepted ? "" : reject_reason(error);
        print_out(accepted ? "[share] accepted " + std::to_string(stats_.accepted) + "/" +
                                 std::to_string(stats_.accepted + stats_.rejected)
                           : "[share] rejected (" + reason + ")");
        if (share.block && settings_.block_outcome)
            settings_.block_outcome(*share.block, accepted ? "pool-accepted" : "pool-rejected", reason);
    }
    return true;
}

bool StratumClient::handle_call(Connection& c, const std::string& method, const nlohmann::json& params) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        if (method == "mining.notify") {
            StratumJob job = parse_notify(params);
            if (job.clean) valid_jobs_.clear();
            valid_jobs_.insert(job.id);
            job_ = std::move(job);
        } else if (method == "mining.set_difficulty") {
            const double d = params.at(0).get<double>();
            difficulty_target(d, settings_.diff1);  // refuses a difficulty that is no number above 0
            difficulty_ = d;
        } else if (method == "mining.set_extranonce") {
            extranonce1_ = hex_to_bytes(params.at(0).get<std::string>());
            valid_jobs_.clear();  // shares on the old extranonce1 would be the pool's wrong hashes
            extranonce2_size_ = std::min<size_t>(params.at(1).get<size_t>(), 16);
        } else if (method == "client.reconnect") {
            print_out("[pool] the pool asks for a new connection");
            return false;
        } else if (method == "client.show_message") {
            print_out("[pool] message: " + printable(params.at(0).get<std::string>()));
            return true;
        } else {
            return true;
        }
    } catch (const std::exception& e) {
        print_warn("[pool] " + method + " ignored: " + e.what());
        return true;
    }
    (void)c;
    publish_locked();
    if (job_ && authorised_) started_ = true;
    changed_.notify_all();
    return true;
}

}  // namespace vkn
