// Whether the host a URL names can be reached, without asking it for anything: its name is
// resolved and a connection opened (through the proxy a download would use, and with the TLS
// handshake for https), then closed. A download's own error says only that it failed; this says
// why (no such host, connection refused, timed out).
//
// Plain function without shared state; safe from any thread. Blocks for at most about
// `timeoutMilliseconds`.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct ReachResult {
    bool reached = false;
    // When not reached: the reason in one line, for example "no such host: nosuch.invalid" or
    // "can't connect to 127.0.0.1 port 9: Connection refused".
    std::string reason;
};

// `url` is an http or https URL; anything else is not reached, with a reason saying so.
ReachResult probeReach(const std::string& url, std::uint32_t timeoutMilliseconds);

}  // namespace platform
