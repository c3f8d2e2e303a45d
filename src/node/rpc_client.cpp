#include "node/rpc_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>

#include "util/files.h"
#include "util/hex.h"
#include "util/output.h"

namespace vkn {
namespace {

std::atomic<uint64_t> g_next_id{1};
std::once_flag g_curl_init;

// What the node may send: far above a full block's template, far below what
// would hurt the process; nesting is a few levels in any real reply, and the
// parser and the printer of the library recurse per level.
constexpr size_t kMaxReplyBytes = size_t(64) << 20;
constexpr int kMaxReplyDepth = 128;
constexpr size_t kQuotedBodyChars = 200;  // of a body quoted in an error

size_t append_body(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    if (body->size() + size * count > kMaxReplyBytes) return 0;  // aborts the transfer
    body->append(data, size * count);
    return size * count;
}

int check_cancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

std::pair<std::string, std::string> read_cookie(const std::string& path) {
    const std::string cookie = trim_ws(read_file(path));
    const size_t colon = cookie.find(':');
    if (colon == std::string::npos) throw std::runtime_error("RPC cookie file does not contain user:password: " + path);
    return {cookie.substr(0, colon), cookie.substr(colon + 1)};
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};


// One HTTP POST of a request: the reply's status and body.
std::pair<long, std::string> post(const std::string& url, const std::string& method, const std::string& body,
                                  const std::string& user, const std::string& password, int64_t limit_ms,
                                  const std::atomic<bool>* cancel) {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) throw RpcTransportError("curl_easy_init failed");
    std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    std::string response;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // several threads call; no SIGALRM tricks
    // A held long poll is silent for as long as the node likes; keep-alive
    // probes find a connection whose other end is gone within about two minutes.
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_TCP_KEEPIDLE, 30L);
    curl_easy_setopt(c, CURLOPT_TCP_KEEPINTVL, 10L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 0L);
    // The node is reached directly: a proxy from the environment would see every request, credentials included.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    if (limit_ms > 0) curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limit_ms));
    if (!user.empty()) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
    }
    if (cancel != nullptr) {
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, check_cancel);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
    }
    const CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_ABORTED_BY_CALLBACK) throw RpcCancelled("RPC cancelled");
    if (rc == CURLE_WRITE_ERROR) throw RpcReplyError("JSON-RPC reply to " + method + " exceeds 64 MiB");
    if (rc != CURLE_OK) throw RpcTransportError("RPC curl failure calling " + method + ": " + curl_easy_strerror(rc));
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    return {status, std::move(response)};
}

}  // namespace

std::string redact_url(const std::string& url) {
    // Every spelling the transport accepts (no scheme, "http:/", "http:///", a "@" in the query, ...) is
    // masked by asking the transport's own parser; a URL without a password is shown as given.
    std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
    if (u && curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) ==
                 CURLUE_OK) {
        char* password = nullptr;
        char* masked = nullptr;
        std::string shown = url;
        if (curl_url_get(u.get(), CURLUPART_PASSWORD, &password, 0) == CURLUE_OK &&
            curl_url_set(u.get(), CURLUPART_PASSWORD, "***", 0) == CURLUE_OK &&
            curl_url_get(u.get(), CURLUPART_URL, &masked, 0) == CURLUE_OK)
            shown = masked;
        curl_free(password);
        curl_free(masked);
        return shown;
    }
    // Not a URL the transport would use: mask whatever stands between the first ':' and the last '@'
    // before the path.
    const size_t scheme = url.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t end = std::min(url.find_first_of("/?#", start), url.size());
    const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < start) return url;
    const size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at) return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

nlohmann::json read_reply(const std::string& method, long status, const std::string& body) {
    const std::string quoted = body.substr(0, kQuotedBodyChars);
    if (status < 200 || status > 299)
        throw RpcHttpError(status, "RPC HTTP " + std::to_string(status) + " calling " + method + ": " + quoted);

    nlohmann::json reply;
    try {
        reply = nlohmann::json::parse(body, [&](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (depth >= kMaxReplyDepth)  // depth counts from 0
                throw RpcReplyError("JSON-RPC reply to " + method + " nested deeper than 128 levels");
            return true;
        });
    } catch (const nlohmann::json::exception& e) {
        throw RpcReplyError(std::string("invalid JSON-RPC response: ") + e.what() + " body=" + quoted);
    }
    if (reply.is_object() && reply.contains("error") && !reply["error"].is_null())
        throw RpcNodeError(reply["error"], "JSON-RPC error calling " + method + ": " + reply["error"].dump());
    if (!reply.is_object() || !reply.contains("result"))
        throw RpcReplyError("JSON-RPC response missing result for " + method);
    return reply["result"];
}

RpcClient::RpcClient(RpcConfig config)
    : url_(std::move(config.url)),
      cookie_file_(std::move(config.cookie_file)),
      timeout_ms_(config.timeout_ms),
      user_(std::move(config.user)),
      password_(std::move(config.password)) {
    std::call_once(g_curl_init, [] { curl_global_init(CURL_GLOBAL_ALL); });
    if (!cookie_file_.empty()) std::tie(user_, password_) = read_cookie(cookie_file_);
}

bool RpcClient::reload_cookie(const std::string& refused_user, const std::string& refused_password) const {
    if (cookie_file_.empty()) return false;
    std::pair<std::string, std::string> fresh;
    try {
        fresh = read_cookie(cookie_file_);
    } catch (const std::exception&) {
        return false;  // the 401 stands
    }
    if (fresh == std::pair(refused_user, refused_password)) return false;
    std::lock_guard<std::mutex> lock(credentials_mutex_);
    if (std::pair(user_, password_) != fresh) {  // another thread may have re-read it already
        std::tie(user_, password_) = fresh;
        print_warn("[rpc] HTTP 401: credentials re-read from cookie file " + cookie_file_);  // never the secret
    }
    return true;
}

nlohmann::json RpcClient::call(const std::string& method, const nlohmann::json& params, int64_t timeout_ms,
                               const std::atomic<bool>* cancel) const {
    const auto start = std::chrono::steady_clock::now();
    const auto took = [&] {
        return "[rpc] " + method + " " +
               std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count()) +
               " ms: ";
    };
    try {
        nlohmann::json result = call_once(method, params, timeout_ms, cancel);
        print_verbose(took() + "ok");
        std::lock_guard<std::mutex> lock(health_mutex_);
        health_.reachable = true;
        return result;
    } catch (const RpcError& e) {
        print_verbose(took() + e.what());
        std::lock_guard<std::mutex> lock(health_mutex_);
        health_.reachable = dynamic_cast<const RpcNodeError*>(&e) != nullptr;  // the node answered
        health_.last_error = e.what();
        health_.last_error_time = int64_t(std::time(nullptr));
        ++health_.errors[method];
        throw;
    }
}

RpcHealth RpcClient::health() const {
    std::lock_guard<std::mutex> lock(health_mutex_);
    return health_;
}

nlohmann::json RpcClient::call_once(const std::string& method, const nlohmann::json& params, int64_t timeout_ms,
                                    const std::atomic<bool>* cancel) const {
    nlohmann::json request = {{"id", g_next_id.fetch_add(1)},
                              {"jsonrpc", "1.0"},
                              {"method", method},
                              {"params", params.is_null() ? nlohmann::json::array() : params}};
    const std::string body = request.dump();
    const int64_t limit = timeout_ms < 0 ? timeout_ms_ : timeout_ms;

    auto credentials = [this] {
        std::lock_guard<std::mutex> lock(credentials_mutex_);
        return std::pair(user_, password_);
    };
    const auto [user, password] = credentials();
    auto [status, response] = post(url_, method, body, user, password, limit, cancel);
    if (status == 401 && reload_cookie(user, password)) {
        const auto [fresh_user, fresh_password] = credentials();
        std::tie(status, response) = post(url_, method, body, fresh_user, fresh_password, limit, cancel);
    }
    return read_reply(method, status, response);
}

nlohmann::json RpcClient::get_block_template(const std::string& longpollid, int64_t timeout_ms,
                                             const std::atomic<bool>* cancel) const {
    nlohmann::json request = {{"capabilities", {"longpoll", "coinbasevalue", "proposal", "workid"}},
                              {"rules", {"segwit"}}};
    if (!longpollid.empty()) request["longpollid"] = longpollid;
    return call("getblocktemplate", nlohmann::json::array({request}), timeout_ms, cancel);
}

nlohmann::json RpcClient::submit_block(const std::string& block_hex, const std::string& workid,
                                       const std::atomic<bool>* cancel) const {
    nlohmann::json params = nlohmann::json::array({block_hex});
    if (!workid.empty()) params.push_back({{"workid", workid}});  // BIP22: the template's id comes back
    return call("submitblock", params, timeout_ms_, cancel);
}

nlohmann::json RpcClient::validate_address(const std::string& address, const std::atomic<bool>* cancel) const {
    return call("validateaddress", nlohmann::json::array({address}), timeout_ms_, cancel);
}

nlohmann::json RpcClient::propose_block(const std::string& block_hex, const std::string& workid,
                                        const std::atomic<bool>* cancel) const {
    nlohmann::json request = {{"mode", "proposal"}, {"data", block_hex}};
    if (!workid.empty()) request["workid"] = workid;
    return call("getblocktemplate", nlohmann::json::array({request}), timeout_ms_, cancel);
}

std::optional<nlohmann::json> RpcClient::get_block_header(const std::string& hash,
                                                          const std::atomic<bool>* cancel) const {
    try {
        return call("getblockheader", nlohmann::json::array({hash, true}), timeout_ms_, cancel);
    } catch (const RpcNodeError& e) {
        // -5: "Block not found"
        if (e.error().is_object() && e.error().value("code", 0) == -5) return std::nullopt;
        throw;
    }
}

}  // namespace vkn
