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

bool fetchIsDue(bool fetched, TimePoint nextFetch, TimePoint notBefore, TimePoint now) {
    return (!fetched || now >= nextFetch) && now >= notBefore;
}

std::chrono::seconds leaseLength(std::chrono::milliseconds fetchTimeout) {
    const auto deadline = std::chrono::ceil<std::chrono::seconds>(fetchTimeout);
    return deadline + std::min(deadline, std::chrono::seconds(30));
}

}  // namespace host
