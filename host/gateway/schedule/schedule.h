// When a channel, or the plug-in, may be tried again: the gateway's schedule rules as plain
// functions of the times they are given. Nothing here reads a clock, so every rule is tested with
// made-up times and the same rules serve the cache, the plug-in's start and the state.
//
// - After a success the next fetch is allowed the channel's interval later.
// - After the n-th failure in a row it is allowed 30 s later, doubled (n - 1) times, at most the
//   longest interval, and never sooner than the channel's interval after its last success.
// - A fetch claimed in the state is held for its deadline and a margin (leaseLength), so that a
//   fetch that outlasts its deadline a little is not started twice.
// - A time read back from the state is believed only as far as this schedule could have set it:
//   a next fetch at most longestWait after now, a past event at most now (clampRestored). A state
//   file from elsewhere, or one written before the wall clock was stepped back, cannot stall a
//   channel longer than that.
//
// Plain functions without shared state; safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "textDates.h"

namespace host {

using text::TimePoint;

// The first retry of a failed channel; each further failure doubles it.
constexpr std::chrono::seconds kFirstRetry{30};

// The wait after the `failures`-th failure in a row: 30 s doubled (failures - 1) times, at most
// `longest` (and at least 30 s). A failed channel and a failed plug-in start back off alike.
std::chrono::seconds failureBackoff(std::uint32_t failures, std::chrono::seconds longest);

// When a channel may be fetched again after a fetch that started at `started`: the channel's
// interval later after a success; after the `failureStreak`-th failure in a row 30 s doubled
// (streak - 1) times, at most `longest` (and at least 30 s), and never sooner than `interval` after
// `lastSuccess`.
TimePoint nextAllowedFetch(TimePoint started, bool succeeded, std::uint32_t failureStreak,
                           std::optional<TimePoint> lastSuccess, std::chrono::seconds interval,
                           std::chrono::seconds longest);

// Whether a channel may be fetched at `now`: never fetched, or its next fetch has come, and no
// other process holds it until `notBefore`. On any clock: the cache asks it on the steady one.
template <class Time>
bool fetchIsDue(bool fetched, Time nextFetch, Time notBefore, Time now) {
    return (!fetched || now >= nextFetch) && now >= notBefore;
}

// The longest this schedule makes a channel wait for its next fetch: its interval after a
// success; after the `failureStreak`-th failure in a row the backoff, or the interval when that
// is longer (a failure never brings the next fetch before the interval after the last success).
std::chrono::seconds longestWait(std::uint32_t failureStreak, std::chrono::seconds interval,
                                 std::chrono::seconds longest);

// A time read back from the state, at most `limit` after `now`: a later one was not set by this
// schedule (a planted file, a clock stepped back) and becomes now + limit. A limit of 0 bounds a
// past event (a last fetch, a last change) by now.
TimePoint clampRestored(TimePoint restored, TimePoint now, std::chrono::seconds limit);

// How long a fetch's claim in the state lasts: its deadline (rounded up to seconds) and a margin
// of as much again, at most 30 s.
std::chrono::seconds leaseLength(std::chrono::milliseconds fetchTimeout);

}  // namespace host
