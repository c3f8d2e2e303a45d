#include "util/output.h"

#include <iostream>
#include <mutex>

namespace vkn {
namespace {
std::mutex& stream_mutex() {
    static std::mutex m;
    return m;
}
}  // namespace

void print_out(const std::string& line) {
    std::lock_guard<std::mutex> lock(stream_mutex());
    std::cout << (line + "\n") << std::flush;
}

void print_err(const std::string& line) {
    std::lock_guard<std::mutex> lock(stream_mutex());
    std::cerr << (line + "\n");
}

}  // namespace vkn
