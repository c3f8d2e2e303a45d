#pragma once
// The service manager's readiness and watchdog messages (systemd's
// sd_notify); nothing is sent when the process was not started by one
// (NOTIFY_SOCKET unset).
#include <chrono>
#include <string>

namespace vkn {

class ServiceNotifier {
public:
    ServiceNotifier();
    // Half the watchdog interval the manager asked for; zero when it asked for none.
    std::chrono::milliseconds alive_every() const { return alive_every_; }
    // The first work is installed: READY=1, with a one-line STATUS=.
    void ready(const std::string& status) const;
    // WATCHDOG=1 with a fresh STATUS=: the loop and every device make progress.
    void alive(const std::string& status) const;

private:
    std::chrono::milliseconds alive_every_{0};
};

}  // namespace vkn
