// Faults a test build of the plug-in injects, so tests that load the DLL as a host does can reach
// the status-2 and status-4 paths. The product never installs a source: its plugin_init behaves the
// same whatever the host's environment holds. The test build's source is compiled into that build
// of the DLL alone (tests/support/pluginTestSwitches.cpp).
#pragma once

namespace plugin::seams {

struct Faults {
    // Allocations allowed after plugin_init before every further one fails; negative: no limit.
    long long allocationsAllowed = -1;
    // Non-zero: opening the internet session fails with this as the system's last error.
    unsigned long internetOpenError = 0;
};

using FaultSource = Faults (*)();

// Installs the source that plugin_init asks on every call. Call before the first plugin_init
// (a static initialiser of the test build does).
void setFaultSource(FaultSource source) noexcept;

// The faults to inject now: none without a source.
Faults currentFaults() noexcept;

}  // namespace plugin::seams
