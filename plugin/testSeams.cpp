#include "testSeams.h"

#include <atomic>

namespace plugin::seams {

namespace {

std::atomic<FaultSource> installed{nullptr};

}  // namespace

void setFaultSource(FaultSource source) noexcept {
    installed.store(source);
}

Faults currentFaults() noexcept {
    const FaultSource source = installed.load();
    return source != nullptr ? source() : Faults{};
}

}  // namespace plugin::seams
