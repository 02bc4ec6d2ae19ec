// The channel cache with a test clock and a scripted fetcher: one fetch per channel, readers that
// never wait for a refetch, deadlines, backoff, and the state across restarts; its threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include <pthread.h>
#include <signal.h>

#include "channelAnswer.h"
#include "channelCache.h"
#include "stateStore.h"
#include "support/hostFixtures.h"
#include "support/tempDir.h"
#include "threadGroup.h"

using namespace std::chrono_literals;

namespace host {
namespace {

using namespace testing_fixtures;

// Every job runs with the signals blocked (the engine takes them) and is joined, not left running,
// when the group goes; finished threads are joined as new ones start, so they do not pile up.
TEST(ThreadGroupTest, JobsRunQuietAndAreJoinedWhenTheGroupGoes) {
    std::atomic<int> finished{0};
    std::atomic<int> heard{0};
    {
        ThreadGroup group;
        for (int i = 0; i < 20; ++i) {
            group.spawn([&, i] {
                sigset_t mask;
                pthread_sigmask(SIG_BLOCK, nullptr, &mask);
                heard += sigismember(&mask, SIGTERM) == 1 ? 0 : 1;
                std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
                ++finished;
            });
        }
    }
    EXPECT_EQ(finished.load(), 20);
    EXPECT_EQ(heard.load(), 0);
}

TEST(ChannelCacheTest, RefetchesNoSoonerThanTheIntervalAfterTheLastFetchStarted) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), cacheOptions(600s, clock));
    const Lookup first = cache.getAndWait("lounge");
    ASSERT_TRUE(first.feed);
    EXPECT_EQ(first.feed->text(), "feed v1");
    EXPECT_EQ(first.nextFetch, clock.time() + 600s);
    clock.advance(599s);
    EXPECT_EQ(cache.getAndWait("lounge").feed, first.feed);
    EXPECT_EQ(fetcher.calls, 1);
    clock.advance(1s);
    cache.getAndWait("lounge");
    cache.waitForFetches(std::chrono::steady_clock::now() + 5s);
    EXPECT_EQ(fetcher.calls, 2);
}

TEST(ChannelCacheTest, WhileFetchesMayNotStartReadersGetWhatIsHeldAndNothingIsRecorded) {
    TestClock clock;
    ScriptedFetcher fetcher;
    std::atomic<bool> allowed{true};
    CacheOptions options = cacheOptions(600s, clock);
    options.mayFetch = [&allowed] { return allowed.load(); };
    ChannelCache cache(fetcher.function(), options);
    cache.setChannels({"lounge", "boards"});
    const Lookup held = cache.getAndWait("lounge");
    ASSERT_TRUE(held.feed);
    allowed = false;
    clock.advance(601s);  // both are due now
    EXPECT_EQ(answeredAtOnce(cache, "lounge").feed, held.feed);
    const Lookup none = answeredAtOnce(cache, "boards");
    EXPECT_FALSE(none.feed);
    EXPECT_FALSE(none.refreshing);
    EXPECT_EQ(fetcher.calls, 1);
    for (const ChannelStatus& status : cache.status()) {
        EXPECT_EQ(status.failures, 0u) << status.name;
    }
    // Allowed again: the next reader fetches at once, no backoff was earned meanwhile.
    allowed = true;
    const Lookup boards = cache.getAndWait("boards");
    ASSERT_TRUE(boards.feed);
    EXPECT_EQ(fetcher.calls, 2);
}

TEST(ChannelCacheTest, OnlyTheConfiguredNamesHaveEntriesAndFetches) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), cacheOptions(600s, clock));
    cache.setChannels({"lounge", "boards"});
    for (const std::string& alias :
         {std::string("Lounge"), std::string(" lounge"), std::string("lounge\v"),
          std::string("lounge\0x", 8), std::string("loungeX"), std::string("")}) {
        const Lookup lookup = cache.getAndWait(alias);
        EXPECT_EQ(lookup.status, DOVETRAIL_STATUS_UNKNOWN_CHANNEL);
        EXPECT_FALSE(lookup.feed);
    }
    EXPECT_EQ(fetcher.calls, 0);
    EXPECT_TRUE(cache.status().empty());

    cache.getAndWait("lounge");
    cache.getAndWait("boards");
    EXPECT_EQ(cache.status().size(), 2u);
    // A channel taken out of the INI file loses its entry.
    cache.setChannels({"boards"});
    ASSERT_EQ(cache.status().size(), 1u);
    EXPECT_EQ(cache.status()[0].name, "boards");
    EXPECT_EQ(cache.getAndWait("lounge").status, DOVETRAIL_STATUS_UNKNOWN_CHANNEL);
    EXPECT_EQ(fetcher.calls, 2);
}

TEST(ChannelCacheTest, ConcurrentReadersOfAColdChannelShareOneFetch) {
    TestClock clock;
    ScriptedFetcher fetcher;
    fetcher.answer(FetchOutcome{0, "shared", ""});
    fetcher.hold();
    ChannelCache cache(fetcher.function(), cacheOptions(600s, clock));
    std::vector<std::thread> readers;
    std::vector<std::string> texts(20);
    for (int i = 0; i < 20; ++i) {
        readers.emplace_back([&, i] {
            const Lookup lookup = cache.getAndWait("lounge");
            texts[static_cast<std::size_t>(i)] = lookup.feed ? lookup.feed->text() : "none";
        });
    }
    // Let every reader arrive while the first fetch is still held.
    std::this_thread::sleep_for(200ms);
    fetcher.release();
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(fetcher.calls, 1);
    for (const std::string& text : texts) {
        EXPECT_EQ(text, "shared");
    }
}

TEST(ChannelCacheTest, AReaderWithAFeedNeverWaitsForTheRefetch) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), cacheOptions(60s, clock));
    const Lookup good = cache.getAndWait("lounge");
    clock.advance(60s);
    fetcher.answer(FetchOutcome{0, "feed v2", ""});
    fetcher.hold();
    // The due reader starts the refetch and, like every reader meanwhile, gets the last feed.
    for (int i = 0; i < 3; ++i) {
        const Lookup lookup = answeredAtOnce(cache, "lounge");
        ASSERT_TRUE(lookup.feed);
        EXPECT_EQ(lookup.feed->text(), "feed v1");
        EXPECT_TRUE(lookup.refreshing);
        EXPECT_LE(lookup.nextFetch, clock.time());  // served as already due: max-age 0
    }
    EXPECT_EQ(fetcher.callsOnceStarted(2), 2);
    fetcher.release();
    cache.waitForFetches(std::chrono::steady_clock::now() + 5s);
    EXPECT_EQ(cache.getAndWait("lounge").feed->text(), "feed v2");
    EXPECT_EQ(fetcher.calls, 2);
}

// The deadline is watched by the cache's own thread, or by the timers it is given (serve gives
// its engine's): readers are released alike.
class DeadlineTest : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(WatchedBy, DeadlineTest, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "timer" : "ownThread"; });

TEST_P(DeadlineTest, AReaderWithoutAFeedWaitsAtMostTheFetchDeadline) {
    TestClock clock;
    ScriptedFetcher fetcher;
    CacheOptions options = cacheOptions(60s, clock);
    options.fetchTimeout = 300ms;
    ThreadGroup timers;  // outlives the cache: a timer's task may still be running
    std::atomic<int> armed{0};
    if (GetParam()) {
        options.timer = [&](std::chrono::milliseconds delay, std::function<void()> task) {
            EXPECT_LE(delay, 300ms);
            ++armed;
            timers.spawn([delay, task = std::move(task)] {
                std::this_thread::sleep_for(delay);
                task();
            });
        };
    }
    ChannelCache cache(fetcher.function(), options);
    std::vector<ChannelStatus> observed;
    std::mutex observedMutex;
    cache.setFetchObserver([&](const ChannelStatus& s) {
        std::lock_guard<std::mutex> lock(observedMutex);
        observed.push_back(s);
    });
    fetcher.hold();
    const Lookup first = cache.getAndWait("lounge");  // released by the deadline, not the fetch
    EXPECT_EQ(first.answer, CacheAnswer::timedOut);
    EXPECT_FALSE(first.feed);
    // Later readers learn at once; no second fetch starts while the first one hangs.
    EXPECT_EQ(answeredAtOnce(cache, "lounge").answer, CacheAnswer::timedOut);
    EXPECT_EQ(fetcher.calls, 1);
    ASSERT_EQ(cache.status().size(), 1u);
    EXPECT_TRUE(cache.status()[0].overdue);
    EXPECT_EQ(cache.waitForFetches(std::chrono::steady_clock::now() + 100ms),
              std::vector<std::string>{"lounge"});

    // A late answer still counts.
    fetcher.release();
    EXPECT_TRUE(cache.waitForFetches(std::chrono::steady_clock::now() + 5s).empty());
    const Lookup late = cache.getAndWait("lounge");
    ASSERT_TRUE(late.feed);
    EXPECT_EQ(late.feed->text(), "feed v1");
    std::lock_guard<std::mutex> lock(observedMutex);
    ASSERT_EQ(observed.size(), 2u);
    EXPECT_TRUE(observed[0].fetching && observed[0].overdue);
    EXPECT_TRUE(observed[1].fetched && !observed[1].fetching);
    EXPECT_EQ(armed.load(), GetParam() ? 1 : 0);
}

TEST(ChannelCacheTest, StoppingAnswersTheWaitingReadersAndStartsNoFetch) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), cacheOptions(60s, clock));
    fetcher.hold();
    std::promise<Lookup> waiting;
    cache.get("lounge", [&](Lookup lookup) { waiting.set_value(std::move(lookup)); });
    ASSERT_EQ(fetcher.callsOnceStarted(1), 1);  // held inside the plug-in
    cache.stopWaiting();
    EXPECT_EQ(waiting.get_future().get().answer, CacheAnswer::stopping);
    EXPECT_EQ(answeredAtOnce(cache, "boards").answer, CacheAnswer::stopping);
    fetcher.release();
    cache.waitForFetches(std::chrono::steady_clock::now() + 5s);
    EXPECT_EQ(fetcher.calls, 1);
}

TEST(ChannelCacheTest, AFailedRefetchKeepsTheLastGoodFeedAndReportsTheFailure) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), cacheOptions(60s, clock));
    const Lookup good = cache.getAndWait("lounge");
    const std::string failure =
        "Bad HTTP response: 500 Internal Server Error: http://service/lounge.xml";
    fetcher.answer(FetchOutcome{1, "", failure});
    clock.advance(60s);
    cache.getAndWait("lounge");  // starts the refetch, answered with the last feed
    cache.waitForFetches(std::chrono::steady_clock::now() + 5s);
    const Lookup stale = cache.getAndWait("lounge");
    ASSERT_TRUE(stale.feed);
    EXPECT_EQ(stale.feed->text(), "feed v1");
    EXPECT_EQ(stale.feed->lastModified(), good.feed->lastModified());
    EXPECT_TRUE(stale.stale());
    EXPECT_EQ(stale.error, failure);
    // A failed channel is tried again 30 s later, not sooner.
    clock.advance(29s);
    cache.getAndWait("lounge");
    EXPECT_EQ(fetcher.calls, 2);

    const std::vector<ChannelStatus> status = cache.status();
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].lastStatus, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(status[0].lastError, failure);
    EXPECT_EQ(status[0].fetches, 2u);
    EXPECT_EQ(status[0].failures, 1u);
    EXPECT_EQ(status[0].lastSuccess, good.feed->fetchedAt());
}

TEST(ChannelCacheTest, AFeedAboveTheLimitIsNotKept) {
    TestClock clock;
    ScriptedFetcher fetcher;
    CacheOptions options = cacheOptions(0s, clock);
    options.maxFeedBytes = 7;
    ChannelCache cache(fetcher.function(), options);
    ASSERT_TRUE(cache.getAndWait("lounge").feed);  // "feed v1": 7 bytes
    fetcher.answer(FetchOutcome{0, "feed v22", ""});
    clock.advance(1s);
    cache.getAndWait("lounge");
    cache.waitForFetches(std::chrono::steady_clock::now() + 5s);
    const Lookup kept = cache.getAndWait("lounge");
    ASSERT_TRUE(kept.feed);
    EXPECT_EQ(kept.feed->text(), "feed v1");
    EXPECT_EQ(kept.error, "Can't keep the feed: 8 bytes is more than the limit of 7 bytes");
}

TEST(ChannelCacheTest, LastModifiedMovesOnlyWhenTheTextChanges) {
    TestClock clock;
    ScriptedFetcher fetcher;
    CacheOptions options = cacheOptions(0s, clock);
    // Inline fetches: each due get() completes its fetch before it answers.
    options.launch = [](std::function<void()> job) { job(); };
    ChannelCache cache(fetcher.function(), options);
    const Lookup first = cache.getAndWait("c");
    EXPECT_EQ(first.feed->lastModifiedHttp(), text::httpDate(clock.time()));
    clock.advance(10s);
    const Lookup same = cache.getAndWait("c");
    EXPECT_EQ(same.feed->lastModified(), first.feed->lastModified());
    EXPECT_EQ(same.feed->etag(), first.feed->etag());
    fetcher.answer(FetchOutcome{0, "feed v2", ""});
    clock.advance(10s);
    const Lookup changed = cache.getAndWait("c");
    EXPECT_EQ(changed.feed->lastModified(), clock.time());
    EXPECT_NE(changed.feed->etag(), first.feed->etag());
    EXPECT_EQ(fetcher.calls, 3);
}

TEST(ChannelCacheTest, FailuresOfAChannelThatNeverSucceeded) {
    TestClock clock;
    ScriptedFetcher fetcher;
    fetcher.answer(FetchOutcome{1, "", "XML parse error"});
    ChannelCache cache(fetcher.function(), cacheOptions(600s, clock));
    const Lookup failed = cache.getAndWait("broken");
    EXPECT_FALSE(failed.feed);
    EXPECT_FALSE(failed.stale());
    EXPECT_EQ(failed.error, "XML parse error");
    cache.getAndWait("broken");
    EXPECT_EQ(fetcher.calls, 1);

    ChannelCache throwing(
        [](const std::string&, std::size_t) -> FetchOutcome { throw std::runtime_error("boom"); },
        cacheOptions(60s, clock));
    const Lookup lookup = throwing.getAndWait("x");
    EXPECT_EQ(lookup.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(lookup.error, "Can't fetch channel x: boom");
}

TEST(ChannelCacheTest, EachChannelKeepsItsOwnIntervalAndAFailingOneBacksOff) {
    TestClock clock;
    std::atomic<int> loungeCalls{0};
    std::atomic<int> articleCalls{0};
    std::atomic<bool> failing{false};
    CacheOptions options = cacheOptions(3600s, clock);
    options.launch = [](std::function<void()> job) { job(); };
    ChannelCache cache(
        [&](const std::string& name, std::size_t) {
            ++(name == "lounge" ? loungeCalls : articleCalls);
            return failing ? FetchOutcome{1, "", "down"} : FetchOutcome{0, "text of " + name, ""};
        },
        options);
    cache.setChannels({{"lounge", 300s}, {"articles", 3600s}}, 3600s);
    cache.getAndWait("lounge");
    cache.getAndWait("articles");
    clock.advance(300s);
    cache.getAndWait("lounge");
    cache.getAndWait("articles");
    EXPECT_EQ(loungeCalls, 2);
    EXPECT_EQ(articleCalls, 1);

    // The lounge fails from now on: tried again after 30, 60, 120 s..., and a reader in between
    // asks nothing of the service.
    failing = true;
    clock.advance(300s);
    cache.getAndWait("lounge");
    EXPECT_EQ(loungeCalls, 3);
    int retries = 0;
    for (const int wait : {30, 60, 120, 240}) {
        clock.advance(std::chrono::seconds(wait - 1));
        const Lookup early = cache.getAndWait("lounge");
        EXPECT_EQ(loungeCalls, 3 + retries) << "a retry before " << wait << " s";
        EXPECT_TRUE(early.stale());
        clock.advance(1s);
        cache.getAndWait("lounge");
        EXPECT_EQ(loungeCalls, 3 + ++retries) << "no retry after " << wait << " s";
    }
    EXPECT_EQ(loungeCalls, 7);
    const ChannelStatus lounge = cache.status()[1];
    ASSERT_EQ(lounge.name, "lounge");
    EXPECT_EQ(lounge.failureStreak, 5u);
    EXPECT_EQ(lounge.interval, 300s);
    // Once it works again, the channel's own interval applies.
    failing = false;
    clock.advance(480s);
    cache.getAndWait("lounge");
    EXPECT_EQ(cache.status()[1].nextFetch, clock.time() + 300s);
    EXPECT_EQ(cache.status()[1].failureStreak, 0u);
}

// Two gateways, or one restarted, on one state file.
class CacheStateTest : public ::testing::Test {
  protected:
    std::unique_ptr<ChannelCache> open(ScriptedFetcher& fetcher,
                                       const std::string& file = "state.sqlite3") {
        CacheOptions options = cacheOptions(600s, clock_);
        options.state = std::make_shared<state::StateStore>(dir_.file(file));
        options.elsewherePoll = 20ms;
        options.fetchTimeout = 5s;
        auto cache = std::make_unique<ChannelCache>(fetcher.function(), options);
        cache->setBaseUrl("http://gw");
        return cache;
    }
    static std::string rss(const Lookup& lookup) {
        return lookup.feed->forms()->form(feeds::FeedFormat::rss).identity;
    }

    testing_support::TempDir dir_;
    TestClock clock_;
};

std::string channelText(const std::vector<std::string>& ids) {
    std::string text = "<RSS><CHANNEL><TITLE>T</TITLE>";
    for (const std::string& id : ids) {
        text += "<ITEM><TITLE><![CDATA[" + id + "]]></TITLE><LINK><![CDATA[https://h/" + id +
                "]]></LINK></ITEM>";
    }
    return text + "</CHANNEL></RSS>";
}

TEST_F(CacheStateTest, ARestartServesTheStoredFeedWithItsTagsAndDatesWithoutAFetch) {
    ScriptedFetcher fetcher;
    fetcher.answer(FetchOutcome{0, channelText({"a", "b"}), ""});
    const TimePoint t0 = clock_.time();
    std::string firstRss;
    std::string firstEtag;
    {
        auto cache = open(fetcher);
        cache->getAndWait("lounge");
        clock_.advance(600s);
        fetcher.answer(FetchOutcome{0, channelText({"c", "a", "b"}), ""});
        cache->getAndWait("lounge");
        cache->waitForFetches(std::chrono::steady_clock::now() + 5s);
        const Lookup second = cache->getAndWait("lounge");
        firstRss = rss(second);
        firstEtag = second.feed->forms()->form(feeds::FeedFormat::rss).etag;
        // The new item is dated when it was first seen, the others keep their dates.
        const auto& items = second.feed->model()->items;
        ASSERT_EQ(items.size(), 3u);
        EXPECT_EQ(items[0].published, clock_.time());
        EXPECT_EQ(items[1].published, t0);
        EXPECT_EQ(items[2].published, t0);
    }
    EXPECT_EQ(fetcher.calls, 2);
    clock_.advance(100s);  // inside the interval
    auto restarted = open(fetcher);
    const Lookup lookup = restarted->getAndWait("lounge");
    EXPECT_EQ(fetcher.calls, 2);
    ASSERT_TRUE(lookup.feed);
    EXPECT_EQ(rss(lookup), firstRss);
    EXPECT_EQ(lookup.feed->forms()->form(feeds::FeedFormat::rss).etag, firstEtag);
    EXPECT_EQ(lookup.feed->lastModified(), t0 + 600s);
    EXPECT_EQ(lookup.nextFetch, t0 + 1200s);
    const ChannelStatus status = restarted->status()[0];
    EXPECT_EQ(status.origin, Origin::restored);
    EXPECT_EQ(status.fetches, 2u);
    // Once the interval is over it is fetched again.
    clock_.advance(500s);
    restarted->getAndWait("lounge");
    restarted->waitForFetches(std::chrono::steady_clock::now() + 5s);
    EXPECT_EQ(fetcher.calls, 3);
}

TEST_F(CacheStateTest, AFailingChannelKeepsItsBackoffOverARestart) {
    ScriptedFetcher fetcher;
    fetcher.answer(FetchOutcome{1, "", "down"});
    {
        auto cache = open(fetcher);
        for (int i = 0; i < 3; ++i) {  // failures at 0, 30 and 90 s: the next try at 210 s
            if (i > 0) {
                clock_.advance(std::chrono::seconds(30 << (i - 1)));
            }
            cache->getAndWait("lounge");
        }
        EXPECT_EQ(fetcher.calls, 3);
    }
    auto restarted = open(fetcher);
    const Lookup lookup = restarted->getAndWait("lounge");
    EXPECT_EQ(fetcher.calls, 3);  // not at once after the restart
    EXPECT_EQ(lookup.error, "down");
    EXPECT_EQ(restarted->status()[0].failureStreak, 3u);
    clock_.advance(119s);
    restarted->getAndWait("lounge");
    EXPECT_EQ(fetcher.calls, 3);
    clock_.advance(1s);
    restarted->getAndWait("lounge");
    restarted->waitForFetches(std::chrono::steady_clock::now() + 5s);
    EXPECT_EQ(fetcher.calls, 4);
    EXPECT_EQ(restarted->status()[0].failureStreak, 4u);
}

TEST_F(CacheStateTest, TwoGatewaysOnOneStateFetchOnceAndShareTheFeed) {
    ScriptedFetcher first;
    ScriptedFetcher second;
    first.answer(FetchOutcome{0, channelText({"a"}), ""});
    auto a = open(first);
    auto b = open(second);
    std::atomic<int> elsewhere{0};
    b->setFetchObserver(
        [&](const ChannelStatus& s) { elsewhere += s.origin == Origin::elsewhere; });
    first.hold();
    std::promise<Lookup> fromA;
    a->get("lounge", [&](Lookup l) { fromA.set_value(std::move(l)); });
    ASSERT_EQ(first.callsOnceStarted(1), 1);  // a holds the lease
    // b has no feed: it waits for a's fetch instead of fetching itself.
    std::promise<Lookup> fromB;
    b->get("lounge", [&](Lookup l) { fromB.set_value(std::move(l)); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(second.calls, 0);
    first.release();
    const Lookup lookupB = fromB.get_future().get();
    ASSERT_TRUE(lookupB.feed);
    EXPECT_EQ(lookupB.feed->text(), channelText({"a"}));
    EXPECT_EQ(second.calls, 0);
    EXPECT_EQ(fromA.get_future().get().feed->etag(), lookupB.feed->etag());
    b->waitForFetches(std::chrono::steady_clock::now() + 5s);
    EXPECT_EQ(b->status()[0].origin, Origin::restored);

    // A gateway that exits during a fetch gives its lease up: the other need not wait for it.
    clock_.advance(600s);
    first.hold();
    a->get("lounge", [](Lookup) {});
    ASSERT_EQ(first.callsOnceStarted(2), 2);
    // Meanwhile b serves what it has, as due, and asks the state again only after a while.
    const int before = elsewhere;
    for (int i = 0; i < 5; ++i) {
        const Lookup served = b->getAndWait("lounge");
        ASSERT_TRUE(served.feed);
        EXPECT_EQ(served.nextFetch, clock_.time());  // due: max-age 0
        b->waitForFetches(std::chrono::steady_clock::now() + 5s);
    }
    EXPECT_EQ(elsewhere - before, 1);
    EXPECT_EQ(second.calls, 0);
    a->abandonFetches();
    clock_.advance(1s);
    second.answer(FetchOutcome{0, channelText({"b"}), ""});
    b->getAndWait("lounge");
    b->waitForFetches(std::chrono::steady_clock::now() + 5s);
    EXPECT_EQ(second.calls, 1);
    first.release();
}

// A next fetch far off, from a planted state or from before the wall clock was stepped back,
// holds a channel at most its interval: then it is fetched again, and max-age never says more.
TEST_F(CacheStateTest, AFarNextFetchOrAClockSteppedBackHoldsAChannelAtMostItsInterval) {
    const TimePoint year2100(std::chrono::seconds(4'102'444'800));
    const struct {
        const char* what;
        bool planted;                   // the state says 2100 before the cache starts
        std::chrono::seconds wallStep;  // after the first fetch
    } cases[] = {{"state says 2100", true, 0s},
                 {"wall clock back a year", false, -std::chrono::seconds(365 * 86400)},
                 {"wall clock back an hour", false, -3600s}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = std::string(c.what) + ".sqlite3";
        ScriptedFetcher fetcher;
        int expected = 0;
        if (c.planted) {
            state::StateStore planted(dir_.file(file));
            planted.recordFetch(
                "lounge", state::FetchResult{
                              clock_.time() - 10s, year2100, 0, "", "feed v0", "\"v0\"", {}, 0});
        }
        auto cache = open(fetcher, file);
        const Lookup first = cache->getAndWait("lounge");
        ASSERT_TRUE(first.feed);
        expected += c.planted ? 0 : 1;
        EXPECT_EQ(fetcher.calls, expected);
        EXPECT_LE(first.nextFetch, clock_.time() + 600s);
        clock_.step(c.wallStep);
        clock_.advance(599s);
        cache->getAndWait("lounge");
        EXPECT_EQ(fetcher.calls, expected);
        clock_.advance(1s);
        cache->getAndWait("lounge");
        cache->waitForFetches(std::chrono::steady_clock::now() + 5s);
        EXPECT_EQ(fetcher.calls, expected + 1);
    }
}

// max-age is the time to the next fetch, never more than the schedule can wait (here the
// interval: the last fetch succeeded).
TEST(ChannelAnswerTest, MaxAgeIsAtMostTheInterval) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), cacheOptions(600s, clock));
    const struct {
        std::chrono::seconds nextIn;
        std::string maxAge;
    } cases[] = {{120s, "max-age=120"},
                 {600s, "max-age=600"},
                 {601s, "max-age=600"},
                 {std::chrono::seconds(2'305'573'421), "max-age=600"},
                 {-5s, "max-age=0"}};
    Lookup lookup = cache.getAndWait("lounge");
    ASSERT_TRUE(lookup.feed);
    for (const auto& c : cases) {
        lookup.nextFetch = clock.time() + c.nextIn;
        const HttpResponse answer =
            channelAnswer(ChannelRequest{"lounge", feeds::FeedFormat::plugin, FormRequest{}}, lookup,
                          ChannelAnswerContext{clock.time(), 1s, {}});
        ASSERT_NE(answer.header("Cache-Control"), nullptr);
        EXPECT_EQ(*answer.header("Cache-Control"), c.maxAge) << c.nextIn.count() << " s";
    }
}

}  // namespace
}  // namespace host
