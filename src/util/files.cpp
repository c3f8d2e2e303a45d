#include "util/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

std::string read_file(const std::string& path, size_t limit) {
    std::string expanded = expand_home(path);
    errno = 0;
    std::ifstream in(expanded, std::ios::binary);
    // The system's reason (not found, permission denied) is what the operator needs to fix it.
    if (!in) {
        const std::string why = errno ? " (" + std::string(std::strerror(errno)) + ")" : "";
        throw std::runtime_error("cannot open file: " + expanded + why);
    }
    // In pieces, so that a huge file (or a device that never ends) stops at the limit.
    std::string text;
    char buf[1 << 16];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        if (text.size() + size_t(in.gcount()) > limit)
            throw std::runtime_error(expanded + " is larger than " + std::to_string(limit) + " bytes");
        text.append(buf, size_t(in.gcount()));
    }
    return text;
}

std::string read_secret(const std::string& path, bool& shared) {
    std::string text = read_file(path, 64 * 1024);
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    struct stat st {};
    shared = ::stat(expand_home(path).c_str(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    return text;
}

}  // namespace vkn
