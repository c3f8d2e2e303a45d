#include "util/files.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vkn {

std::string expand_home(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') throw std::runtime_error("HOME is not set, cannot expand path: " + path);
    if (path.size() == 1) return home;
    if (path[1] == '/') return std::string(home) + path.substr(1);
    return path;
}

std::string read_file(const std::string& path) {
    std::string expanded = expand_home(path);
    std::ifstream in(expanded, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open file: " + expanded);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vkn
