#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sync.h"

namespace platform {

void Event::set() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    changed_.notify_all();
}

void Event::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

void Event::pulse() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Waiters compare the pulse count they started with, so each of them wakes even though the
    // event itself never becomes signalled.
    ++pulses_;
    signalled_ = false;
    changed_.notify_all();
}

std::uint32_t Event::wait(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t startPulses = pulses_;
    const auto woken = [&] { return signalled_ || pulses_ != startPulses; };
    if (milliseconds == kInfinite) {
        changed_.wait(lock, woken);
        return kWaitSignalled;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), woken) ? kWaitSignalled
                                                                                   : kWaitTimeout;
}

std::uint32_t tickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void yieldThread() {
    std::this_thread::yield();
}

std::uint32_t currentThreadId() {
    // Numbers are handed out once per thread and never reused while the process has fewer than
    // 2^32 threads in its lifetime, unlike kernel thread ids, which are recycled.
    static std::atomic<std::uint32_t> next{1};
    thread_local const std::uint32_t id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace platform
