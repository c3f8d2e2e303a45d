#include "driver/stop.h"

#include <csignal>

namespace vkn {

std::atomic<bool> stop_requested{false};

namespace {
extern "C" void on_stop_signal(int) { stop_requested.store(true); }
}  // namespace

void install_stop_handlers() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
}

}  // namespace vkn
