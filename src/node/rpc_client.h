#pragma once
// JSON-RPC 1.0 over HTTP POST with libcurl: one fresh transfer per call, so
// that the driver and the long-poll thread may call at the same time.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "node/rpc_config.h"

namespace vkn {

// Any failure of the transport or of the node's reply. Callers that decide
// what to do next (retry or not) catch the kinds below, never the text.
class RpcError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// No HTTP reply at all (refused, timed out, dropped): the request may or may
// not have reached the node.
class RpcTransportError : public RpcError {
public:
    using RpcError::RpcError;
};

// An HTTP status outside 2xx.
class RpcHttpError : public RpcError {
public:
    RpcHttpError(long status, const std::string& what) : RpcError(what), status_(status) {}
    long status() const { return status_; }

private:
    long status_;
};

// A body that is not a JSON-RPC reply.
class RpcReplyError : public RpcError {
public:
    using RpcError::RpcError;
};

// The node's own JSON-RPC error object: an answer, not a failure to get one.
class RpcNodeError : public RpcError {
public:
    RpcNodeError(nlohmann::json error, const std::string& what) : RpcError(what), error_(std::move(error)) {}
    const nlohmann::json& error() const { return error_; }

private:
    nlohmann::json error_;
};

// The transfer was aborted because its cancel flag was set. Not an RpcError.
class RpcCancelled : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The URL with any password written inside it replaced by "***", the
// password found the way the transport reads the URL.
std::string redact_url(const std::string& url);

// The `result` of a reply to `method` with this HTTP status and body, or the
// error (of the kinds above) that the reply stands for.
nlohmann::json read_reply(const std::string& method, long status, const std::string& body);

// What the calls so far say about the node, for the status API.
struct RpcHealth {
    bool reachable = false;  // the last call got an answer (a result or the node's error object)
    std::string last_error;  // the last failure's message, "" when none yet
    int64_t last_error_time = 0;            // unix seconds
    std::map<std::string, uint64_t> errors;  // failed calls by method
};

class RpcClient {
public:
    // Loads the cookie credentials when a cookie file is configured; they
    // then replace any user and password given. A call refused with HTTP 401
    // re-reads the cookie file and, when it holds new credentials, is made
    // once more with them (a node writes a new cookie on every start).
    explicit RpcClient(RpcConfig config);
    RpcClient(const RpcClient&) = delete;
    RpcClient& operator=(const RpcClient&) = delete;

    // Returns the reply's `result`. timeout_ms < 0: the client's default;
    // 0: no limit. A set cancel flag aborts the transfer within about a second.
    nlohmann::json call(const std::string& method, const nlohmann::json& params, int64_t timeout_ms = -1,
                        const std::atomic<bool>* cancel = nullptr) const;

    nlohmann::json get_block_template(const std::string& longpollid, int64_t timeout_ms = -1,
                                      const std::atomic<bool>* cancel = nullptr) const;
    // null when accepted, otherwise the node's verdict. A non-empty workid
    // (the template's) goes with the block.
    nlohmann::json submit_block(const std::string& block_hex, const std::string& workid = "",
                                const std::atomic<bool>* cancel = nullptr) const;
    // The node's header record of a block (its "confirmations" is -1 off the
    // main chain); nothing when the node does not know the block.
    std::optional<nlohmann::json> get_block_header(const std::string& hash,
                                                   const std::atomic<bool>* cancel = nullptr) const;

    // The node's record of an address (BIP 23-era `validateaddress`):
    // "isvalid", and "scriptPubKey" when valid.
    nlohmann::json validate_address(const std::string& address, const std::atomic<bool>* cancel = nullptr) const;
    // A block proposal (BIP 23): null when the node would accept the block
    // but for its proof of work, otherwise the node's reason.
    nlohmann::json propose_block(const std::string& block_hex, const std::string& workid = "",
                                 const std::atomic<bool>* cancel = nullptr) const;

    RpcHealth health() const;

private:
    nlohmann::json call_once(const std::string& method, const nlohmann::json& params, int64_t timeout_ms,
                             const std::atomic<bool>* cancel) const;
    bool reload_cookie(const std::string& refused_user, const std::string& refused_password) const;

    std::string url_;
    std::string cookie_file_;
    int64_t timeout_ms_;
    // A node that restarts writes a new cookie: re-read after a 401, by any thread.
    mutable std::mutex credentials_mutex_;
    mutable std::string user_;
    mutable std::string password_;
    mutable std::mutex health_mutex_;
    mutable RpcHealth health_;
};

}  // namespace vkn
