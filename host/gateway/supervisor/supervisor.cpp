#include "supervisor.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>

#include "httpServer.h"

namespace host {

SupervisorNotifier::SupervisorNotifier() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        watchdog_ = std::chrono::microseconds(usec);
    }
}

void SupervisorNotifier::ready(const std::string& status) const {
    // A failed notification is no reason to stop serving: systemd then says the start timed out.
    (void)sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void SupervisorNotifier::stopping() const {
    (void)sd_notify(0, "STOPPING=1");
}

void SupervisorNotifier::watchdog() const {
    (void)sd_notify(0, "WATCHDOG=1");
}

void superviseEngine(HttpServer& server, const SupervisorNotifier& notifier) {
    const std::optional<std::chrono::microseconds> interval = notifier.watchdogInterval();
    if (!interval) {
        return;
    }
    const auto period =
        std::max(std::chrono::duration_cast<std::chrono::milliseconds>(*interval / 2),
                 std::chrono::milliseconds(1));
    server.every(period, [&notifier] { notifier.watchdog(); });
}

}  // namespace host
