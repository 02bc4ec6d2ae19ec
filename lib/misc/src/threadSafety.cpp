#include "threadSafety.h"

#include <string>

#include "programAbort.h"

float lockTimeoutSeconds = -1.0f;

namespace {

// A negative setting means no limit; so does one that is not a number.
bool unlimited() {
    return !(lockTimeoutSeconds >= 0.0f);
}

// The setting in milliseconds, truncated toward zero; kept below kInfinite so that a very large
// setting still means a limit.
std::uint32_t timeoutMilliseconds() {
    const double ms = static_cast<double>(lockTimeoutSeconds) * 1000.0;
    constexpr auto kLongest = platform::kInfinite - 1;
    if (ms >= static_cast<double>(kLongest))
        return kLongest;
    return static_cast<std::uint32_t>(ms);
}

// Leaves a section on every way out of a scope (the reader table may throw on growth).
class SectionHold {
  public:
    explicit SectionHold(platform::CriticalSection& section) : section_(section) {
        timedEnterCriticalSection(&section_);
    }
    ~SectionHold() { leaveCriticalSection(&section_); }
    SectionHold(const SectionHold&) = delete;
    SectionHold& operator=(const SectionHold&) = delete;

  private:
    platform::CriticalSection& section_;
};

}  // namespace

void timedEnterCriticalSection(platform::CriticalSection* section) {
    if (unlimited()) {
        section->enter();
        return;
    }
    if (section->tryEnter())
        return;
    const std::uint32_t start = platform::tickCount();
    const std::uint32_t limit = timeoutMilliseconds();
    for (;;) {
        // Unsigned difference: a wrap of the tick counter does no harm.
        const std::uint32_t elapsed = platform::tickCount() - start;
        if (elapsed >= limit) {
            misc::programAbort("EnterCriticalSection() timed out.", __FILE__, __LINE__, nullptr);
            // Only reached while another abort is already ending the process: keep the promise
            // of returning with the section held rather than spinning.
            section->enter();
            return;
        }
        if (section->tryEnter())
            return;
        platform::yieldThread();
    }
}

void leaveCriticalSection(platform::CriticalSection* section) {
    section->leave();
}

std::uint32_t timedWaitForSingleObject(platform::Event* event, std::uint32_t milliseconds) {
    if (milliseconds == platform::kInfinite && !unlimited()) {
        milliseconds = timeoutMilliseconds();
    }
    const std::uint32_t result = event->wait(milliseconds);
    if (result == platform::kWaitSignalled)
        return result;
    if (result == platform::kWaitTimeout) {
        misc::programAbort("WaitForSingleObject() timed out.", __FILE__, __LINE__, nullptr);
    } else {
        const std::string message = "WaitForSingleObject() failed ; rc=" + std::to_string(result);
        misc::programAbort(message.c_str(), __FILE__, __LINE__, nullptr);
    }
    return result;
}

CReadWriteLock::CReadWriteLock() {
    readers_.reserve(100);
}

CReadWriteLock::~CReadWriteLock() = default;

void CReadWriteLock::readLock() {
    const std::uint32_t self = platform::currentThreadId();
    // Passing through the gate makes readers queue behind a writer, who holds it.
    SectionHold gate(gate_);
    SectionHold state(state_);
    ++readers_[self];
}

void CReadWriteLock::readUnlock() {
    const std::uint32_t self = platform::currentThreadId();
    SectionHold state(state_);
    const auto entry = readers_.find(self);
    if (entry != readers_.end() && --entry->second <= 0)
        readers_.erase(entry);
    // Notified under the state section, so a writer between its check and its wait cannot miss it.
    readerLeft_.notifyAll();
}

void CReadWriteLock::writeLock() {
    const std::uint32_t self = platform::currentThreadId();
    const auto mayWrite = [&] {
        return readers_.empty() || (readers_.size() == 1 && readers_.begin()->first == self);
    };
    for (;;) {
        timedEnterCriticalSection(&gate_);
        timedEnterCriticalSection(&state_);
        if (mayWrite()) {
            leaveCriticalSection(&state_);
            return;  // the gate stays held until writeUnlock
        }
        // Let the readers pass (they may need the gate to finish) and sleep on the state section,
        // which the readers' releases notify; lock order stays gate before state.
        leaveCriticalSection(&gate_);
        bool timedOut = false;
        if (unlimited()) {
            readerLeft_.wait(state_);
        } else {
            timedOut = !readerLeft_.waitFor(state_, timeoutMilliseconds());
        }
        const bool nowFree = mayWrite();
        leaveCriticalSection(&state_);
        if (timedOut && !nowFree) {
            misc::programAbort("WaitForSingleObject() timed out.", __FILE__, __LINE__, nullptr);
        }
    }
}

void CReadWriteLock::writeUnlock() {
    leaveCriticalSection(&gate_);
}
