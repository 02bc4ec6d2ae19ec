// Thread primitives: recursive critical sections, a manual-reset event, a condition variable tied
// to a critical section, the tick count and the calling thread's identifier.
//
// All objects are non-copyable and must outlive every thread that uses them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

// A recursive mutual-exclusion section: the owning thread may enter it again, and must leave it
// as often as it entered.
class CriticalSection {
  public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter() { mutex_.lock(); }
    bool tryEnter() { return mutex_.try_lock(); }
    void leave() { mutex_.unlock(); }

    // Satisfies BasicLockable so that a ConditionVariable can wait on the section.
    void lock() { enter(); }
    void unlock() { leave(); }

  private:
    std::recursive_mutex mutex_;
};

// Wait results, with the values the lock primitives report.
constexpr std::uint32_t kWaitSignalled = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// A manual-reset event.
class Event {
  public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // Wakes every thread waiting now and leaves the event non-signalled.
    void pulse();
    // Waits until the event is signalled or pulsed, at most `milliseconds` (kInfinite: no limit).
    std::uint32_t wait(std::uint32_t milliseconds);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
    std::uint64_t pulses_ = 0;
};

// A condition variable whose waiters hold a CriticalSection entered exactly once.
class ConditionVariable {
  public:
    ConditionVariable() = default;
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    void wait(CriticalSection& section) { cv_.wait(section); }
    // As wait, for at most `milliseconds`; false when the time ran out without a notification.
    bool waitFor(CriticalSection& section, std::uint32_t milliseconds) {
        return cv_.wait_for(section, std::chrono::milliseconds(milliseconds)) ==
               std::cv_status::no_timeout;
    }
    void notifyAll() { cv_.notify_all(); }

  private:
    std::condition_variable_any cv_;
};

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t tickCount();
// Gives up the rest of the calling thread's time slice.
void yieldThread();
// A number identifying the calling thread while it lives.
std::uint32_t currentThreadId();

}  // namespace platform
