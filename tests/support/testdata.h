#pragma once
// The real Bitcoin blocks and templates under tests/data.
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace vkn {

inline std::string testdata_path(const std::string& name) {
    return std::string(VKN_SOURCE_DIR) + "/tests/data/" + name;
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("missing test data: " + path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline nlohmann::json testdata_json(const std::string& name) { return nlohmann::json::parse(slurp(testdata_path(name))); }

}  // namespace vkn
