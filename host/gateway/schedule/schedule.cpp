#include "schedule.h"

#include <algorithm>

namespace host {

std::chrono::seconds failureBackoff(std::uint32_t failures, std::chrono::seconds longest) {
    const std::chrono::seconds cap = std::max(longest, kFirstRetry);
    std::chrono::seconds delay = kFirstRetry;
    for (std::uint32_t i = 1; i < failures && delay < cap; ++i) {
        delay *= 2;
    }
    return std::min(delay, cap);
}

TimePoint nextAllowedFetch(TimePoint started, bool succeeded, std::uint32_t failureStreak,
                           std::optional<TimePoint> lastSuccess, std::chrono::seconds interval,
                           std::chrono::seconds longest) {
    interval = std::max(interval, std::chrono::seconds(0));
    if (succeeded) {
        return started + interval;
    }
    TimePoint next = started + failureBackoff(failureStreak, longest);
    if (lastSuccess) {
        next = std::max(next, *lastSuccess + interval);
    }
    return next;
}

std::chrono::seconds longestWait(std::uint32_t failureStreak, std::chrono::seconds interval,
                                 std::chrono::seconds longest) {
    interval = std::max(interval, std::chrono::seconds(0));
    if (failureStreak == 0) {
        return interval;
    }
    return std::max(interval, failureBackoff(failureStreak, longest));
}

TimePoint clampRestored(TimePoint restored, TimePoint now, std::chrono::seconds limit) {
    return std::min(restored, now + std::max(limit, std::chrono::seconds(0)));
}

std::chrono::seconds leaseLength(std::chrono::milliseconds fetchTimeout) {
    const auto deadline = std::chrono::ceil<std::chrono::seconds>(fetchTimeout);
    return deadline + std::min(deadline, std::chrono::seconds(30));
}

}  // namespace host
