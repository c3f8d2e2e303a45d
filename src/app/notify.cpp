#include "app/notify.h"

#include <systemd/sd-daemon.h>

namespace vkn {

ServiceNotifier::ServiceNotifier() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) alive_every_ = std::chrono::milliseconds(usec / 2000);
}

void ServiceNotifier::ready(const std::string& status) const {
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void ServiceNotifier::alive(const std::string& status) const {
    sd_notify(0, ("WATCHDOG=1\nSTATUS=" + status).c_str());
}

}  // namespace vkn
