#pragma once
// Node-connection settings, filled by the command line and handed whole to
// the RPC client.
#include <cstdint>
#include <string>

namespace vkn {

inline constexpr const char* kDefaultRpcUrl = "http://127.0.0.1:8332/";

struct RpcConfig {
    std::string url = kDefaultRpcUrl;
    std::string user;
    std::string password;
    std::string cookie_file;     // as given or as found; "~" expanded only on read
    int64_t timeout_ms = 30000;  // default limit of calls that pass none
};

}  // namespace vkn
