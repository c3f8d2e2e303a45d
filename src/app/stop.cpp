#include "app/stop.h"

#include <csignal>

#include "util/output.h"

namespace vkn {

std::atomic<bool> stop_requested{false};

namespace {
extern "C" void on_stop_signal(int) { stop_requested.store(true); }
extern "C" void on_hangup(int) { request_log_reopen(); }
}  // namespace

void install_stop_handlers() {
    // Without SA_RESTART: a call blocked in the kernel (opening a cookie that
    // is a FIFO with no writer) returns EINTR, so that a stop is not held back.
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A hangup (logrotate's signal) opens the log file again; it never ends the run.
    action.sa_handler = on_hangup;
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
    // A closed standard output (a pager or "head" that went away) must not end
    // the run: writes fail with EPIPE and are dropped, found blocks still
    // reach the journal and the node.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace vkn
