#pragma once
// A Stratum (v1) pool as the work source: newline-delimited JSON-RPC over
// TCP, subscribe and authorize, jobs and difficulty in, shares out, with
// back-off, failover to the next pool and return to the first.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "block/stratum_job.h"
#include "node/journal.h"

namespace vkn {

struct PoolUrl {
    std::string text;  // as given
    std::string host;
    int port = 0;
    bool tls = false;
};
// stratum+tcp://HOST:PORT or stratum+ssl://HOST:PORT; throws naming --pool.
PoolUrl parse_pool_url(const std::string& url);

struct PoolSettings {
    std::vector<PoolUrl> pools;  // the first, then failovers in order
    std::string user;
    std::string password = "x";
    Hash256 diff1{};
    bool insecure = false;  // TLS without certificate checks
    std::string agent;      // "vkn-miner/VERSION"
    std::chrono::milliseconds silence{std::chrono::minutes(2)};  // nothing heard: reconnect
    std::chrono::milliseconds primary_retry{std::chrono::minutes(2)};
    std::chrono::milliseconds stale_after{std::chrono::minutes(2)};  // hashing the last job while disconnected
    std::chrono::milliseconds backoff_first{1000};
    std::chrono::milliseconds backoff_most{30000};
    size_t max_line = 1 << 20;
    // What became of a share that is also a block: "pool-accepted",
    // "pool-rejected" (with the pool's reason) or "pool-stale" (never sent).
    std::function<void(const PoolBlock&, const std::string& status, const std::string& reason)> block_outcome;
};

struct ShareSubmit {
    std::string job_id;
    Bytes extranonce1;  // of the session the header was built for
    Bytes extranonce2;
    uint32_t ntime = 0;
    uint32_t nonce = 0;
    int device = 0;
    std::optional<PoolBlock> block;  // the share meets the network target too
};

struct PoolStats {
    std::string url;  // the pool in use
    bool connected = false;
    double difficulty = 0;
    uint64_t submitted = 0, accepted = 0, rejected = 0, stale_dropped = 0;
    std::map<int, uint64_t> accepted_by_device, rejected_by_device;
};

// The pool refused the worker: an error to end the run with, not to retry.
class PoolRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class StratumClient {
public:
    // Each new job (or difficulty, or extranonce) as the devices mine it.
    using OnWork = std::function<void(std::shared_ptr<const PoolWork>)>;
    StratumClient(PoolSettings settings, OnWork on_work);
    ~StratumClient();
    StratumClient(const StratumClient&) = delete;
    StratumClient& operator=(const StratumClient&) = delete;

    // Returns once a pool has authorised the worker and sent its first job;
    // throws PoolRefused, or RpcCancelled-like std::runtime_error on a stop.
    void start(const std::atomic<bool>& stop);
    // Queued and sent in order; each answer prints one "[share]" line.
    void submit(const ShareSubmit& share);
    // Still the pool's: not dropped by a clean job or a new session.
    bool job_valid(const std::string& job_id) const;
    // A refusal that came after the start: the run must end with it.
    std::optional<std::string> fatal() const;
    PoolStats stats() const;

    struct Connection;  // public so that the TLS helper can name it

private:
    // How a session ended.
    static constexpr int kFailed = 0;       // never authorised: counts towards the failover
    static constexpr int kLost = 1;         // worked, then ended: the same pool again
    static constexpr int kBackToFirst = 2;  // the first pool answers again
    void run();
    int session(size_t pool);
    int read_lines(Connection& c, size_t pool);
    bool handle_line(Connection& c, const std::string& line);
    bool handle_reply(Connection& c, uint64_t id, const nlohmann::json& msg);
    bool handle_call(Connection& c, const std::string& method, const nlohmann::json& params);
    void publish_locked();
    void send(Connection& c, const std::string& method, const nlohmann::json& params, const std::string& kind);
    void flush_shares_locked(Connection& c);
    void drop_stale_locked(const ShareSubmit& s);
    bool current_locked(const ShareSubmit& s) const;

    PoolSettings settings_;
    OnWork on_work_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> closing_{false};
    // The session and its work.
    Connection* live_ = nullptr;
    std::string session_id_;
    Bytes extranonce1_;
    size_t extranonce2_size_ = 4;
    double difficulty_ = 1;
    std::optional<StratumJob> job_;
    std::set<std::string> valid_jobs_;
    bool authorised_ = false;
    bool started_ = false;
    std::optional<std::string> fatal_;
    std::vector<ShareSubmit> queued_;  // found while no session could take them
    std::map<uint64_t, std::pair<std::string, ShareSubmit>> pending_;  // id -> kind, share
    uint64_t next_id_ = 1;
    PoolStats stats_;
    std::thread thread_;
};

}  // namespace vkn
