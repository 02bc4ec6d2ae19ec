// Tells a supervising systemd how serve is doing, through sd_notify:
//
// - READY=1 once the port is taken and the gateway started (the unit's Type=notify), with a
//   STATUS= line; STOPPING=1 when serve begins to stop.
// - WATCHDOG=1 every half of the unit's WatchdogSec, sent from a timer of the HTTP engine itself:
//   when the engine's threads are wedged the pings stop, and systemd restarts the service. A
//   thread of its own would go on pinging for a gateway that answers no one.
//
// Not under systemd (no NOTIFY_SOCKET), every call does nothing.
//
// Thread-safety: the members may be called from any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace host {

class HttpServer;

class SupervisorNotifier {
  public:
    // Reads the watchdog's settings (WATCHDOG_USEC, WATCHDOG_PID) once.
    SupervisorNotifier();

    void ready(const std::string& status) const;
    void stopping() const;
    void watchdog() const;
    // The period systemd expects pings within; nothing when its watchdog is off for this process.
    std::optional<std::chrono::microseconds> watchdogInterval() const { return watchdog_; }

  private:
    std::optional<std::chrono::microseconds> watchdog_;
};

// Pings `notifier`'s watchdog from `server`'s timers, every half of its interval; nothing when the
// watchdog is off. The pings last as long as the engine runs.
void superviseEngine(HttpServer& server, const SupervisorNotifier& notifier);

}  // namespace host
