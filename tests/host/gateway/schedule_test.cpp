// The schedule rules as plain functions of made-up times.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include "schedule.h"
#include "support/hostFixtures.h"

using namespace std::chrono_literals;

namespace host {
namespace {

using namespace testing_fixtures;

TEST(FailureBackoff, ThirtySecondsDoublingUpToTheLongestInterval) {
    const struct {
        std::uint32_t failures;
        std::chrono::seconds longest;
        std::chrono::seconds delay;
    } cases[] = {
        {1, 3600s, 30s},   {2, 3600s, 60s},           {3, 3600s, 120s}, {7, 3600s, 1920s},
        {8, 3600s, 3600s}, {60, 3600s, 3600s},        {1, 10s, 30s},    {3, 45s, 45s},
        {0, 3600s, 30s},   {4000000000u, 900s, 900s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureBackoff(c.failures, c.longest), c.delay)
            << c.failures << " failures, longest " << c.longest.count() << " s";
    }
}

struct ScheduleCase {
    bool succeeded;
    std::uint32_t streak;
    std::optional<std::int64_t> lastSuccessAgo;  // seconds before the fetch started
    std::int64_t interval;
    std::int64_t longest;
    std::int64_t expected;  // seconds after the fetch started
};

class ScheduleTest : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(ScheduleTest, FailedChannelsAreRetriedWithADoublingBackoff) {
    const ScheduleCase& c = GetParam();
    const TimePoint started(std::chrono::seconds(1'800'000'000));
    const std::optional<TimePoint> lastSuccess =
        c.lastSuccessAgo
            ? std::optional<TimePoint>(started - std::chrono::seconds(*c.lastSuccessAgo))
            : std::nullopt;
    EXPECT_EQ(nextAllowedFetch(started, c.succeeded, c.streak, lastSuccess,
                               std::chrono::seconds(c.interval), std::chrono::seconds(c.longest)),
              started + std::chrono::seconds(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Backoff, ScheduleTest,
    ::testing::Values(ScheduleCase{true, 0, std::nullopt, 300, 3600, 300},
                      // 30 s, then doubling with each failure in a row, up to the longest interval.
                      ScheduleCase{false, 1, std::nullopt, 300, 3600, 30},
                      ScheduleCase{false, 2, std::nullopt, 300, 3600, 60},
                      ScheduleCase{false, 3, std::nullopt, 300, 3600, 120},
                      ScheduleCase{false, 7, std::nullopt, 300, 3600, 1920},
                      ScheduleCase{false, 8, std::nullopt, 300, 3600, 3600},
                      ScheduleCase{false, 4000000000u, std::nullopt, 300, 3600, 3600},
                      // Never sooner than 30 s, whatever the intervals say.
                      ScheduleCase{false, 5, std::nullopt, 0, 0, 30},
                      ScheduleCase{true, 0, std::nullopt, 0, 0, 0},
                      // Never sooner than the interval after the last success.
                      ScheduleCase{false, 1, 10, 300, 3600, 290},
                      ScheduleCase{false, 1, 400, 300, 3600, 30}));

// What a stored time is believed as: a next fetch at most the longest wait after now, a past
// event at most now; a time within the bound is kept as it is.
TEST(ScheduleRulesTest, RestoredTimesAreBoundedByTheLongestWait) {
    const TimePoint now(std::chrono::seconds(1'800'000'000));
    const TimePoint year2100(std::chrono::seconds(4'102'444'800));
    const struct {
        std::uint32_t streak;
        std::chrono::seconds interval;
        std::chrono::seconds longest;
        std::chrono::seconds wait;
    } waits[] = {
        {0, 600s, 3600s, 600s}, {1, 600s, 3600s, 600s}, {5, 60s, 3600s, 480s},
        {9, 60s, 3600s, 3600s}, {0, -5s, 3600s, 0s},    {3, 0s, 45s, 45s},
    };
    for (const auto& c : waits) {
        EXPECT_EQ(longestWait(c.streak, c.interval, c.longest), c.wait)
            << "streak " << c.streak << ", interval " << c.interval.count() << " s";
    }
    const struct {
        TimePoint restored;
        std::chrono::seconds limit;
        TimePoint believed;
    } times[] = {
        {year2100, 600s, now + 600s},   {now + 601s, 600s, now + 600s},
        {now + 600s, 600s, now + 600s}, {now + 5s, 600s, now + 5s},
        {now - 5s, 600s, now - 5s},     {now + 1s, 0s, now},
        {year2100, -1s, now},           {now - 3600s, 0s, now - 3600s},
    };
    for (const auto& c : times) {
        EXPECT_EQ(clampRestored(c.restored, now, c.limit), c.believed)
            << text::isoDate(c.restored) << ", limit " << c.limit.count() << " s";
    }
}

// Due: never fetched or its time has come, and never while another process holds the channel.
TEST(ScheduleRulesTest, DueAndLease) {
    const TimePoint now(std::chrono::seconds(1'800'000'000));
    struct Case {
        bool fetched;
        std::int64_t nextIn;       // seconds from now
        std::int64_t notBeforeIn;  // seconds from now
        bool due;
    };
    for (const Case& c :
         {Case{false, 100, -1, true}, Case{true, 1, -1, false}, Case{true, 0, -1, true},
          Case{true, -5, 0, true}, Case{false, 0, 1, false}, Case{true, -5, 3, false}}) {
        EXPECT_EQ(fetchIsDue(c.fetched, now + std::chrono::seconds(c.nextIn),
                             now + std::chrono::seconds(c.notBeforeIn), now),
                  c.due)
            << c.fetched << " " << c.nextIn << " " << c.notBeforeIn;
    }
    // The deadline rounded up to seconds, and as much again, at most 30 s more.
    EXPECT_EQ(leaseLength(300ms), 2s);
    EXPECT_EQ(leaseLength(10s), 20s);
    EXPECT_EQ(leaseLength(120s), 150s);
}

}  // namespace
}  // namespace host
