#pragma once
// The one process-wide stop request, set only by the SIGINT/SIGTERM handler.
#include <atomic>

namespace vkn {

extern std::atomic<bool> stop_requested;
static_assert(std::atomic<bool>::is_always_lock_free, "written from a signal handler");

// Installs the handler for SIGINT, then SIGTERM, the log reopening on
// SIGHUP, and ignores SIGPIPE.
void install_stop_handlers();

}  // namespace vkn
