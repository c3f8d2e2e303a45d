#pragma once
// The read-only HTTP status API: GET /api/v1/summary (JSON) and GET /metrics
// (Prometheus text), served on a thread of its own from snapshots, so that
// it never waits on the mining loop, a device or the node.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "api/status.h"

namespace vkn {

class StatusApi {
public:
    // Binds at once (a failure throws, naming the address); port 0 takes a
    // free one. A non-empty token is required as "Authorization: Bearer".
    StatusApi(const std::string& host, int port, std::string token);
    ~StatusApi();  // stops serving and joins the thread
    StatusApi(const StatusApi&) = delete;
    StatusApi& operator=(const StatusApi&) = delete;

    int port() const;
    // Starts answering on the server's thread.
    void start(std::function<StatusSnapshot()> snapshot);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// "HOST:PORT" or "[V6]:PORT" split, with the port checked; throws naming the text.
std::pair<std::string, int> parse_api_address(const std::string& text);
bool is_loopback(const std::string& host);

}  // namespace vkn
