// The host's pieces in process: plug-in loading against a fake plug-in, the channel cache with a
// test clock, the configured channels, the HTTP service on the gateway's engine over loopback,
// and the small parsers it relies on.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include "channelCache.h"
#include "channelDirectory.h"
#include "channelList.h"
#include "fakeplugin/fakePlugin.h"
#include "feedSet.h"
#include "hostError.h"
#include "httpService.h"
#include "httpText.h"
#include "pluginHost.h"
#include "pluginLibrary.h"
#include "stateStore.h"
#include "support/rawHttp.h"
#include "support/runningServer.h"
#include "support/tempDir.h"
#include "textDates.h"
#include "threadGroup.h"

using namespace std::chrono_literals;

// Debian's cpp-httplib is not built with ThreadSanitizer; see host_tsan.supp. Only a
// ThreadSanitizer build calls this.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}

namespace host {
namespace {

// Keeps the fake plug-in loaded for the whole test and resets its behaviour.
class FakePluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(FAKE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        auto get = reinterpret_cast<fake_plugin_control_fn>(dlsym(handle_, "fake_plugin_control"));
        ASSERT_NE(get, nullptr);
        fake_ = get();
        fake_->reset();
    }
    void TearDown() override { dlclose(handle_); }

    void* handle_ = nullptr;
    FakePluginControl* fake_ = nullptr;
};

TEST_F(FakePluginTest, SessionInitialisesReportsIntervalsAndTerminatesOnce) {
    {
        PluginLibrary library(FAKE_PLUGIN_PATH);
        PluginSession session(library, "/some/dir/dovetrail.ini");
        EXPECT_EQ(fake_->lastConfigPath, "/some/dir/dovetrail.ini");
        EXPECT_EQ(session.intervals().lounge, 60);
        EXPECT_EQ(session.intervals().messageBoards, 120);
        EXPECT_EQ(session.intervals().articles, 180);
        EXPECT_EQ(session.intervals().longest(), 180);
        EXPECT_EQ(fake_->termCalls, 0);
    }
    EXPECT_EQ(fake_->initCalls, 1);
    EXPECT_EQ(fake_->termCalls, 1);
}

TEST_F(FakePluginTest, FailedInitThrowsWithStatusAndTextAndStillTerminates) {
    fake_->initStatus = DOVETRAIL_STATUS_NO_INTERNET;
    fake_->initError = "Can't open an internet connection: no network";
    PluginLibrary library(FAKE_PLUGIN_PATH);
    try {
        PluginSession session(library, "cfg.ini");
        FAIL() << "init succeeded";
    } catch (const PluginInitError& e) {
        EXPECT_EQ(e.status(), DOVETRAIL_STATUS_NO_INTERNET);
        EXPECT_NE(std::string(e.what()).find("cfg.ini"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("no network"), std::string::npos);
    }
    EXPECT_EQ(fake_->termCalls, 1);
}

TEST_F(FakePluginTest, ContentCallsCopyTheTextAndFreeEveryBuffer) {
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult channel = session.channel("lounge");
    ASSERT_TRUE(channel.ok());
    EXPECT_EQ(channel.text, "<RSS>lounge#1");
    const CallResult page = session.mainPage();
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page.text, "<html>main page</html>");
    EXPECT_EQ(fake_->buffersHandedOut, 2);
    EXPECT_EQ(fake_->buffersFreed, 2);
    // A text above the caller's limit is released without being copied.
    const CallResult large = session.channel("lounge", 12);
    EXPECT_EQ(large.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(large.error, "Can't keep the feed: 13 bytes is more than the limit of 12 bytes");
    EXPECT_TRUE(large.text.empty());
    EXPECT_EQ(fake_->buffersFreed, 3);
}

struct FailureCase {
    int32_t status;
    std::string error;
    bool fillsBuffer;
    std::string expected;
};

class FailureTextTest : public FakePluginTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTextTest, FailuresCarryStatusAndABoundedText) {
    const FailureCase& c = GetParam();
    fake_->channelStatus = c.status;
    fake_->channelError = c.error;
    fake_->errorFillsBuffer = c.fillsBuffer;
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult result = session.channel("lounge");
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.error, c.expected);
    EXPECT_TRUE(result.text.empty());
    EXPECT_EQ(fake_->buffersHandedOut, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FailureTextTest,
    ::testing::Values(
        FailureCase{1, "Can't open file: service/x.xml", false, "Can't open file: service/x.xml"},
        // Status 2 leaves the error text alone: the host supplies its own.
        FailureCase{2, "", false, "The plug-in could not allocate the output buffer."},
        FailureCase{1, "", false, "The plug-in reported a failure without a message."},
        // An unterminated buffer is read to its end and no further.
        FailureCase{1, "", true, std::string(1024, 'E')}));

TEST_F(FakePluginTest, UnknownChannelKeepsThePluginText) {
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult result = session.channel("unknown-one");
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_UNKNOWN_CHANNEL);
    EXPECT_EQ(result.error, "Unknown channel: unknown-one");
}

TEST_F(FakePluginTest, LoadingFailuresNameTheLibraryAndExitWithTheLoaderCode) {
    testing_support::TempDir dir;
    const std::string notALibrary = dir.write("libnot.so", "plain text");
    for (const std::string& path : {std::string("/nonexistent/libdovetrail.so"), notALibrary}) {
        try {
            PluginLibrary library(path);
            FAIL() << "loaded " << path;
        } catch (const HostError& e) {
            EXPECT_EQ(e.exitCode(), kExitNoPlugin);
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    fake_->version = 2;
    try {
        PluginLibrary library(FAKE_PLUGIN_PATH);
        FAIL() << "accepted interface version 2";
    } catch (const HostError& e) {
        EXPECT_NE(std::string(e.what()).find("interface version 2"), std::string::npos);
    }
}

// --- Channel cache -------------------------------------------------------------------------------

// A clock that moves only when told; readable from the cache's and the engine's threads.
struct TestClock {
    std::atomic<std::int64_t> seconds{1'800'000'000};
    TimePoint time() const { return TimePoint(std::chrono::seconds(seconds.load())); }
    void advance(std::chrono::seconds by) { seconds += by.count(); }
    NowFunction function() {
        return [this] { return time(); };
    }
};

// --- Background threads ----------------------------------------------------------------------------

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

// --- The plug-in as serve keeps it ---------------------------------------------------------------

TEST(FailureBackoff, ThirtySecondsDoublingUpToTheLongestInterval) {
    const struct {
        std::uint32_t failures;
        std::chrono::seconds longest;
        std::chrono::seconds delay;
    } cases[] = {
        {1, 3600s, 30s},  {2, 3600s, 60s},  {3, 3600s, 120s},     {7, 3600s, 1920s},
        {8, 3600s, 3600s}, {60, 3600s, 3600s}, {1, 10s, 30s},      {3, 45s, 45s},
        {0, 3600s, 30s},  {4000000000u, 900s, 900s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureBackoff(c.failures, c.longest), c.delay)
            << c.failures << " failures, longest " << c.longest.count() << " s";
    }
}

class PluginHostTest : public FakePluginTest {
  protected:
    // Waits (polling) until `done` holds; false after 10 s.
    template <typename Condition>
    static bool eventually(Condition done) {
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    TestClock clock_;
};

TEST_F(PluginHostTest, AFailedStartIsTriedAgainAfterItsBackoffWithoutARestart) {
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->initStatus = DOVETRAIL_STATUS_NO_INTERNET;
        fake_->initError = "Can't send the HTTP request: http://127.0.0.1:9/i.xml";
    }
    PluginLibrary library(FAKE_PLUGIN_PATH);
    std::atomic<int> hints{0};
    std::atomic<int> readyCalls{0};
    Intervals reported;
    std::mutex reportedMutex;
    PluginHost::Callbacks callbacks;
    callbacks.now = clock_.function();
    callbacks.hint = [&hints](const PluginInitError& e) {
        ++hints;
        return "hint for status " + std::to_string(e.status());
    };
    callbacks.onReady = [&](const Intervals& intervals) {
        std::lock_guard<std::mutex> lock(reportedMutex);
        reported = intervals;
        ++readyCalls;
    };
    PluginHost host(library, "/etc/x.ini", callbacks);

    EXPECT_FALSE(host.start());
    std::optional<PluginProblem> problem = host.problem();
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(problem->message, "Can't initialise the plug-in with /etc/x.ini: Can't send the HTTP "
                                "request: http://127.0.0.1:9/i.xml");
    EXPECT_EQ(problem->hint, "hint for status 4");
    EXPECT_EQ(problem->failures, 1u);
    EXPECT_EQ(problem->nextAttempt, clock_.time() + 30s);
    // plugin_term after the failed plugin_init; content calls fail without reaching the plug-in.
    EXPECT_EQ(fake_->termCalls, 1);
    const CallResult refused = host.channel("lounge", 1000);
    EXPECT_EQ(refused.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(refused.error, problem->message);
    EXPECT_EQ(fake_->channelCalls, 0);

    // Not before the backoff: the second failure doubles it.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(fake_->initCalls, 1);
    clock_.advance(30s);
    ASSERT_TRUE(eventually([&] { return fake_->initCalls == 2 && host.problem(); }));
    ASSERT_TRUE(eventually([&] { return host.problem()->failures == 2; }));
    EXPECT_EQ(host.problem()->nextAttempt, clock_.time() + 60s);

    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->initStatus = DOVETRAIL_STATUS_OK;
    }
    clock_.advance(60s);
    ASSERT_TRUE(eventually([&] { return host.ready(); }));
    EXPECT_FALSE(host.problem().has_value());
    ASSERT_TRUE(eventually([&] { return readyCalls == 1; }));
    {
        std::lock_guard<std::mutex> lock(reportedMutex);
        EXPECT_EQ(reported.articles, 180);
    }
    EXPECT_EQ(host.intervals().lounge, 60);
    EXPECT_EQ(host.channel("lounge", 1000).status, DOVETRAIL_STATUS_OK);
    EXPECT_EQ(hints, 2);
}

TEST_F(PluginHostTest, AReloadWaitsForTheCallsInsideThePluginAndHoldsNewOnes) {
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginHost host(library, "/etc/x.ini", PluginHost::Callbacks{});
    ASSERT_TRUE(host.start());
    fake_->delayMilliseconds = 300;
    std::vector<std::future<CallResult>> calls;
    for (int i = 0; i < 3; ++i) {
        calls.push_back(
            std::async(std::launch::async, [&host] { return host.channel("a", 1000); }));
    }
    ASSERT_TRUE(eventually([&] { return fake_->inFlight == 3; }));
    std::future<bool> reload = std::async(std::launch::async, [&host] { return host.reload(); });
    // A call that comes during the reload waits for the new session rather than failing.
    ASSERT_TRUE(eventually([&] { return host.problem().has_value(); }));
    std::future<CallResult> late =
        std::async(std::launch::async, [&host] { return host.channel("b", 1000); });
    EXPECT_TRUE(reload.get());
    EXPECT_EQ(fake_->inFlightAtTerm, 0);
    EXPECT_EQ(fake_->initCalls, 2);
    for (auto& call : calls) {
        EXPECT_EQ(call.get().status, DOVETRAIL_STATUS_OK);
    }
    EXPECT_EQ(late.get().status, DOVETRAIL_STATUS_OK);
    EXPECT_FALSE(host.problem().has_value());
    EXPECT_TRUE(host.finish(std::chrono::steady_clock::now() + 5s));
}

TEST_F(PluginHostTest, AReloadThatFailsLeavesTheProblemAndTheRetries) {
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginHost::Callbacks callbacks;
    callbacks.now = clock_.function();
    PluginHost host(library, "/etc/x.ini", callbacks);
    ASSERT_TRUE(host.start());
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->initStatus = DOVETRAIL_STATUS_FAILED;
        fake_->initError = "broken";
    }
    EXPECT_FALSE(host.reload());
    ASSERT_TRUE(host.problem().has_value());
    // The longest interval the service reported (180 s) caps the backoff now.
    EXPECT_EQ(host.problem()->nextAttempt, clock_.time() + 30s);
    EXPECT_EQ(failureBackoff(4, std::chrono::seconds(host.intervals().longest())), 180s);
    EXPECT_EQ(host.mainPage().status, DOVETRAIL_STATUS_FAILED);
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->initStatus = DOVETRAIL_STATUS_OK;
    }
    EXPECT_TRUE(host.attempt());
    EXPECT_EQ(host.mainPage().status, DOVETRAIL_STATUS_OK);
}

// A fetcher that counts and answers from a script; it can be held until released.
struct ScriptedFetcher {
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::condition_variable released;
    bool holding = false;
    FetchOutcome next{0, "feed v1", ""};

    Fetcher function() {
        return [this](const std::string&, std::size_t) {
            ++calls;
            std::unique_lock<std::mutex> lock(mutex);
            released.wait(lock, [this] { return !holding; });
            return next;
        };
    }
    void hold() {
        std::lock_guard<std::mutex> lock(mutex);
        holding = true;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            holding = false;
        }
        released.notify_all();
    }
    void answer(FetchOutcome outcome) {
        std::lock_guard<std::mutex> lock(mutex);
        next = std::move(outcome);
    }
    // The count once the fetch threads started so far have called in (at most 5 s).
    int callsOnceStarted(int expected) {
        for (int i = 0; i < 500 && calls < expected; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return calls;
    }
};

CacheOptions cacheOptions(std::chrono::seconds interval, TestClock& clock) {
    CacheOptions options;
    options.minInterval = interval;
    options.now = clock.function();
    return options;
}

// The answer of a get() that must come without waiting for a fetch: a get that waited would
// block on the held fetcher until the test gives up.
Lookup answeredAtOnce(ChannelCache& cache, const std::string& channel) {
    auto promise = std::make_shared<std::promise<Lookup>>();
    std::future<Lookup> answer = promise->get_future();
    cache.get(channel, [promise](Lookup lookup) { promise->set_value(std::move(lookup)); });
    if (answer.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "the reader of " << channel << " waited for the fetch";
        return Lookup{};
    }
    return answer.get();
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
    std::unique_ptr<ChannelCache> open(ScriptedFetcher& fetcher) {
        CacheOptions options = cacheOptions(600s, clock_);
        options.state = std::make_shared<state::StateStore>(dir_.file("state.sqlite3"));
        options.elsewherePoll = 20ms;
        options.fetchTimeout = 5s;
        auto cache = std::make_unique<ChannelCache>(fetcher.function(), options);
        cache->setBaseUrl("http://gw");
        return cache;
    }
    static std::string rss(const Lookup& lookup) {
        return lookup.feed->forms("http://gw")->form(feeds::FeedFormat::rss).identity;
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
        firstEtag = second.feed->forms("http://gw")->form(feeds::FeedFormat::rss).etag;
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
    EXPECT_EQ(lookup.feed->forms("http://gw")->form(feeds::FeedFormat::rss).etag, firstEtag);
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

// --- Configured channels -------------------------------------------------------------------------

TEST(ChannelDirectoryTest, FollowsTheIniFileAndKeepsTheLastGoodList) {
    testing_support::TempDir dir;
    const std::string ini =
        dir.write("dovetrail.ini", "[lounge]\nChannelUrl=l.xml\n[ba\x01d]\nChannelUrl=b.xml\n");
    std::vector<std::vector<std::string>> changes;
    ChannelDirectory directory(ini,
                               [&](const ChannelSet& set) { changes.push_back(set.names()); });
    // A name with a control byte can never be requested cleanly: it is not served.
    EXPECT_EQ(directory.current()->names(), std::vector<std::string>{"lounge"});
    EXPECT_NE(directory.current()->find("lounge"), nullptr);
    EXPECT_EQ(directory.current()->find("Lounge"), nullptr);

    dir.write("dovetrail.ini", "[boards]\nChannelUrl=b.xml\nChannelName=Boards\n");
    EXPECT_EQ(directory.current()->names(), std::vector<std::string>{"lounge"})
        << "only check() looks at the file";
    EXPECT_EQ(directory.check()->names(), std::vector<std::string>{"boards"});
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], std::vector<std::string>{"boards"});

    std::filesystem::remove(ini);
    const auto kept = directory.check();
    EXPECT_EQ(kept->names(), std::vector<std::string>{"boards"});
    EXPECT_NE(kept->readError.find(ini), std::string::npos) << kept->readError;
    EXPECT_EQ(changes.size(), 1u);
}

// --- HTTP service --------------------------------------------------------------------------------

class HttpServiceTest : public FakePluginTest {
  protected:
    void SetUp() override {
        FakePluginTest::SetUp();
        fake_->intervals[0] = 60;
        fake_->intervals[1] = 300;
        fake_->intervals[2] = 120;
        library_ = std::make_unique<PluginLibrary>(FAKE_PLUGIN_PATH);
        session_ = std::make_unique<PluginSession>(*library_, "cfg.ini");
        CacheOptions options;
        options.minInterval = std::chrono::seconds(session_->intervals().longest());
        options.now = clock_.function();
        options.fetchTimeout = 1s;
        options.maxFeedBytes = 512;
        cache_ = std::make_unique<ChannelCache>(
            [this](const std::string& name, std::size_t maxBytes) {
                CallResult r = session_->channel(name, maxBytes);
                return FetchOutcome{r.status, r.text, r.error};
            },
            options);
        auto channels = std::make_shared<ChannelSet>(
            servableChannels({{"lounge", "Caf\xE9 Lounge"}, {"boards", "Boards"}}));
        cache_->setChannels(channels->names());
        ServiceSources sources;
        sources.mainPage = [this] { return session_->mainPage(); };
        sources.channels = [channels] { return channels; };
        sources.intervals = [intervals = session_->intervals()] { return intervals; };
        sources.now = clock_.function();
        sources.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        };
        service_ = std::make_unique<HttpService>(*cache_, sources);
        server_ = std::make_unique<testing_support::RunningServer>(*service_);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    }
    void TearDown() override {
        client_.reset();
        server_.reset();
        service_.reset();
        cache_.reset();
        session_.reset();
        library_.reset();
        FakePluginTest::TearDown();
    }

    httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
        return client_->Get(path.c_str(), headers);
    }

    // Waits for the fetches the last requests started.
    void settle() { cache_->waitForFetches(std::chrono::steady_clock::now() + 10s); }

    std::size_t logLines() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_.size();
    }

    TestClock clock_;
    std::unique_ptr<PluginLibrary> library_;
    std::unique_ptr<PluginSession> session_;
    std::unique_ptr<ChannelCache> cache_;
    std::unique_ptr<HttpService> service_;
    std::unique_ptr<testing_support::RunningServer> server_;
    std::unique_ptr<httplib::Client> client_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

TEST_F(HttpServiceTest, ServesAChannelWithValidatorsAndTheRemainingLifetime) {
    auto res = get("/channels/lounge.plugin");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<RSS>lounge#1");
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/rss+xml; charset=ISO-8859-1");
    EXPECT_EQ(res->get_header_value("ETag"), feeds::strongEtag("<RSS>lounge#1"));
    EXPECT_EQ(res->get_header_value("Last-Modified"), text::httpDate(clock_.time()));
    EXPECT_EQ(res->get_header_value("Cache-Control"), "max-age=300");
    EXPECT_FALSE(res->has_header("Warning"));

    clock_.advance(100s);
    res = get("/channels/lounge.plugin");
    EXPECT_EQ(res->get_header_value("Cache-Control"), "max-age=200");
    EXPECT_EQ(fake_->channelCalls, 1);
}

TEST_F(HttpServiceTest, AnswersShareTheCachedTextInsteadOfCopyingIt) {
    std::vector<HttpResponse> answers;
    HttpRequest request;
    request.method = "GET";
    request.path = request.target = "/channels/lounge.plugin";
    for (int i = 0; i < 2; ++i) {
        std::promise<HttpResponse> answer;
        service_->handle(request, [&](HttpResponse r) { answer.set_value(std::move(r)); });
        answers.push_back(answer.get_future().get());
    }
    const Lookup cached = cache_->getAndWait("lounge");
    ASSERT_TRUE(cached.feed);
    EXPECT_EQ(answers[0].body.view(), "<RSS>lounge#1");
    EXPECT_EQ(answers[0].body.view().data(), cached.feed->text().data());
    EXPECT_TRUE(answers[1].body.sharesWith(answers[0].body));
}

struct ConditionalCase {
    std::string header;
    std::string value;  // "$etag", "$date" and "$list" stand for the served validators
    int status;
};

class ConditionalTest : public HttpServiceTest,
                        public ::testing::WithParamInterface<ConditionalCase> {};

TEST_P(ConditionalTest, AnswersValidators) {
    auto first = get("/channels/lounge.plugin");
    ASSERT_TRUE(first);
    std::string value = GetParam().value;
    if (value == "$etag") {
        value = first->get_header_value("ETag");
    } else if (value == "$date") {
        value = first->get_header_value("Last-Modified");
    } else if (value == "$list") {
        value = "\"other\", W/" + first->get_header_value("ETag");
    }
    auto res = get("/channels/lounge.plugin", {{GetParam().header, value}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, GetParam().status);
    if (res->status == 304) {
        EXPECT_TRUE(res->body.empty());
        EXPECT_EQ(res->get_header_value("ETag"), first->get_header_value("ETag"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Validators, ConditionalTest,
    ::testing::Values(ConditionalCase{"If-None-Match", "$etag", 304},
                      ConditionalCase{"If-None-Match", "$list", 304},
                      ConditionalCase{"If-None-Match", "*", 304},
                      ConditionalCase{"If-None-Match", "\"different\"", 200},
                      ConditionalCase{"If-Modified-Since", "$date", 304},
                      ConditionalCase{"If-Modified-Since", "Sat, 01 Jan 2000 00:00:00 GMT", 200},
                      ConditionalCase{"If-Modified-Since", "Fri, 31 Dec 9999 23:59:59 GMT", 304},
                      // Years outside 1970-9999: the header is ignored, never a wrong 304.
                      ConditionalCase{"If-Modified-Since", "Sun, 06 Nov 0004 08:49:37 GMT", 200},
                      ConditionalCase{"If-Modified-Since", "Sun, 06 Nov 1969 08:49:37 GMT", 200},
                      ConditionalCase{"If-Modified-Since", "not a date", 200}));

TEST_F(HttpServiceTest, IfNoneMatchOutranksIfModifiedSince) {
    auto first = get("/channels/lounge.plugin");
    auto res = get("/channels/lounge.plugin",
                   {{"If-None-Match", "\"different\""},
                    {"If-Modified-Since", first->get_header_value("Last-Modified")}});
    EXPECT_EQ(res->status, 200);
}

// Spellings near a configured name: none may reach the plug-in or take a cache entry.
class AliasTest : public HttpServiceTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(AliasTest, IsNotFoundWithoutAFetchOrAnEntry) {
    auto res = get("/channels/" + GetParam() + ".rss");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    EXPECT_EQ(res->body.find('\0'), std::string::npos);
    EXPECT_EQ(fake_->channelCalls, 0);
    EXPECT_TRUE(cache_->status().empty());
    const std::string json = get("/status?format=json")->body;
    EXPECT_EQ(json.find("lounge%"), std::string::npos);
    EXPECT_EQ(json.find("\"fetches\": 1"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Names, AliasTest,
                         ::testing::Values("lounge%00anything", "lounge%0B", "lounge%0C",
                                           "lounge%0A", "loungeX", "Lounge", "%20lounge",
                                           "lounge%20", "lounge%09", "unknown-x", "lounge%"));

class MethodTest : public HttpServiceTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(MethodTest, OtherMethodsAreNotAllowed) {
    testing_support::RawConnection connection(server_->port());
    ASSERT_TRUE(
        connection.send(GetParam() + " /channels/lounge.plugin HTTP/1.1\r\nHost: x\r\n\r\n"));
    const auto res = connection.read();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405);
    EXPECT_EQ(res->header("Allow"), "GET, HEAD");
    EXPECT_EQ(fake_->channelCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(Methods, MethodTest,
                         ::testing::Values("OPTIONS", "POST", "PUT", "DELETE", "PATCH", "TRACE"));

TEST_F(HttpServiceTest, HeadAnswersTheHeadersOfGetWithoutTheBody) {
    testing_support::RawConnection connection(server_->port());
    ASSERT_TRUE(connection.send("HEAD /channels/lounge.plugin HTTP/1.1\r\nHost: x\r\n\r\n"));
    const auto head = connection.read(5s, true);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->header("Content-Length"), "13");
    EXPECT_EQ(head->header("ETag"), feeds::strongEtag("<RSS>lounge#1"));
    // Nothing but the next answer follows on the connection.
    const auto next = connection.get("/channels/lounge.plugin");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, "<RSS>lounge#1");
}

TEST_F(HttpServiceTest, AFailedRefetchServesTheLastGoodFeedWithAWarning) {
    ASSERT_EQ(get("/channels/lounge.plugin")->status, 200);
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = DOVETRAIL_STATUS_FAILED;
        fake_->channelError =
            "Bad HTTP response: 500 Internal Server Error: http://service/\"x\"\nline two";
    }
    clock_.advance(300s);
    ASSERT_EQ(get("/channels/lounge.plugin")->status, 200);  // starts the refetch
    settle();
    auto res = get("/channels/lounge.plugin");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<RSS>lounge#1");
    const std::string warning = res->get_header_value("Warning");
    EXPECT_EQ(warning.rfind("111 dovetrail \"Revalidation failed (status 1): Bad HTTP response: "
                            "500 Internal Server Error",
                            0),
              0u)
        << warning;
    EXPECT_NE(warning.find("\\\"x\\\" line two"), std::string::npos) << warning;

    const std::string json = get("/status", {{"Accept", "application/json"}})->body;
    EXPECT_NE(json.find("\"outcome\": \"failed\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"error\": \"Bad HTTP response: 500 Internal Server Error: "
                        "http://service/\\\"x\\\"\\nline two\""),
              std::string::npos)
        << json;
    const std::string html = get("/status")->body;
    EXPECT_NE(html.find("failed (status 1): Bad HTTP response: 500 Internal Server Error"),
              std::string::npos)
        << html;
}

TEST_F(HttpServiceTest, AFeedAboveTheLimitKeepsTheLastGoodOneAndSaysSoOnStatus) {
    ASSERT_EQ(get("/channels/lounge.plugin")->status, 200);
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelPrefix = std::string(600, 'x');
    }
    clock_.advance(300s);
    get("/channels/lounge.plugin");
    settle();
    EXPECT_EQ(get("/channels/lounge.plugin")->body, "<RSS>lounge#1");
    const std::string json = get("/status?format=json")->body;
    EXPECT_NE(json.find("\"error\": \"Can't keep the feed: 608 bytes is more than the limit of "
                        "512 bytes\""),
              std::string::npos)
        << json;
    // The plug-in's buffer was released unread.
    EXPECT_EQ(fake_->buffersFreed, fake_->buffersHandedOut);
}

TEST_F(HttpServiceTest, ChannelsThatNeverSucceededAnswerWithErrors) {
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = DOVETRAIL_STATUS_FAILED;
        fake_->channelError = "XML parse error";
    }
    auto failed = get("/channels/lounge.plugin");
    EXPECT_EQ(failed->status, 502);
    EXPECT_EQ(failed->body, "XML parse error\n");
    // The next try is the first retry of a failed channel.
    EXPECT_EQ(failed->get_header_value("Retry-After"), "30");

    // A fetch that passes its deadline: 504 for readers without a feed, and the plug-in call is
    // left to finish.
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = DOVETRAIL_STATUS_OK;
    }
    fake_->delayMilliseconds = 1500;
    auto slow = get("/channels/boards.plugin");
    EXPECT_EQ(slow->status, 504);
    EXPECT_EQ(slow->body.rfind("Can't fetch channel boards: no answer within 1 second;", 0), 0u)
        << slow->body;
    const auto boards = cache_->status();
    ASSERT_EQ(boards.size(), 2u);
    EXPECT_TRUE(boards[0].name == "boards" && boards[0].fetching && boards[0].overdue);
    settle();
    EXPECT_EQ(get("/channels/boards.plugin")->body, "<RSS>boards#1");
}

TEST_F(HttpServiceTest, AReaderOfAChannelWithAFeedIsAnsweredWhileTheRefetchRuns) {
    ASSERT_EQ(get("/channels/lounge.plugin")->status, 200);
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->contentVersion = 2;
    }
    fake_->delayMilliseconds = 1500;
    clock_.advance(300s);
    auto res = get("/channels/lounge.plugin");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "<RSS>lounge#1");
    EXPECT_EQ(res->get_header_value("Cache-Control"), "max-age=0");
    // Answered while the refetch, which takes 1.5 s in the plug-in, is still in progress.
    ASSERT_EQ(cache_->status().size(), 1u);
    EXPECT_TRUE(cache_->status()[0].fetching);
    settle();
    EXPECT_EQ(get("/channels/lounge.plugin")->body, "<RSS>lounge#2");
}

TEST_F(HttpServiceTest, StatusListsConfiguredChannelsInBothForms) {
    get("/channels/lounge.plugin");
    const auto json = get("/status", {{"Accept", "application/json"}});
    EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
    // Latin-1 titles become UTF-8; the unfetched channel has nulls.
    EXPECT_NE(json->body.find("{\"name\": \"lounge\", \"title\": \"Caf\xC3\xA9 Lounge\""),
              std::string::npos)
        << json->body;
    EXPECT_NE(json->body.find("\"outcome\": \"ok\""), std::string::npos);
    EXPECT_NE(json->body.find("\"name\": \"boards\", \"title\": \"Boards\", \"configured\": true, "
                              "\"outcome\": \"never fetched\""),
              std::string::npos)
        << json->body;
    EXPECT_NE(json->body.find("\"bytes\": 13"), std::string::npos);
    EXPECT_NE(json->body.find("\"fetchTimeoutSeconds\": 1"), std::string::npos);
    EXPECT_NE(json->body.find("\"maxFeedBytes\": 512"), std::string::npos);

    const auto html = get("/status", {{"Accept", "text/html,application/json;q=0.9"}});
    EXPECT_EQ(html->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(html->body.find("<td>Caf\xC3\xA9 Lounge</td>"), std::string::npos) << html->body;
    EXPECT_NE(html->body.find("<a href=\"/channels/lounge.rss\">lounge</a>"), std::string::npos);
}

TEST_F(HttpServiceTest, MainPageAndAccessLog) {
    auto page = get("/main-page");
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body, "<html>main page</html>");
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=ISO-8859-1");
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->mainPageStatus = DOVETRAIL_STATUS_NO_TEMPLATE;
    }
    // No template beside the INI file is a page that is not there, not a server failure.
    auto missing = get("/main-page");
    EXPECT_EQ(missing->status, 404);
    EXPECT_NE(missing->body.find("main page template"), std::string::npos) << missing->body;
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->mainPageStatus = DOVETRAIL_STATUS_NO_MEMORY;
    }
    EXPECT_EQ(get("/main-page")->status, 500);
    EXPECT_EQ(get("/nothing")->status, 404);
    // A control byte in the target is not HTTP: the engine answers that itself.
    EXPECT_EQ(get("/nothing\x01")->status, 400);

    // The engine logs after the answer has gone out: give the last line a moment.
    for (int i = 0; i < 200 && logLines() < 5; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard<std::mutex> lock(logMutex_);
    ASSERT_EQ(log_.size(), 5u);
    const auto count = [this](const std::string& text) {
        return std::count_if(log_.begin(), log_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    EXPECT_EQ(count(" 127.0.0.1 \"GET /main-page HTTP/1.1\" 200 22 "), 1);
    EXPECT_EQ(count("\"GET /main-page HTTP/1.1\" 404 "), 1);
    EXPECT_EQ(count("\"GET /main-page HTTP/1.1\" 500 "), 1);
    EXPECT_EQ(count("\"GET /nothing HTTP/1.1\" 404 "), 1);
    EXPECT_EQ(count(" 127.0.0.1 \"-\" 400 "), 1);
    EXPECT_EQ(count("\x01"), 0);
}

// The fake plug-in's text as a channel the converter reads: its title is "NAME#VERSION".
void makeConvertible(FakePluginControl& fake) {
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.channelPrefix = "<RSS><CHANNEL><TITLE>";
    fake.channelSuffix =
        "</TITLE><LINK>https://example.org/</LINK><ITEM><TITLE><![CDATA[Jo\xEBl's item]]></TITLE>"
        "<LINK><![CDATA[https://example.org/m?id=1]]></LINK></ITEM></CHANNEL></RSS>";
}

struct FormCase {
    std::string extension;
    std::string contentType;
    std::string selfLink;  // what the body holds of its own address; empty: none
};

class FeedFormTest : public HttpServiceTest, public ::testing::WithParamInterface<FormCase> {};

TEST_P(FeedFormTest, ServesTheFormPreparedOnceWithItsGzipCopyAndValidators) {
    makeConvertible(*fake_);
    const std::string path = "/channels/lounge." + GetParam().extension;
    auto plain = get(path, {{"Host", "Feeds.Example:8080"}});
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 200);
    EXPECT_EQ(plain->get_header_value("Content-Type"), GetParam().contentType);
    EXPECT_EQ(plain->get_header_value("Vary"), "Accept-Encoding");
    EXPECT_FALSE(plain->has_header("Content-Encoding"));
    EXPECT_EQ(plain->get_header_value("Cache-Control"), "max-age=300");
    EXPECT_EQ(plain->get_header_value("Last-Modified"), text::httpDate(clock_.time()));
    if (!GetParam().selfLink.empty()) {
        EXPECT_NE(plain->body.find(GetParam().selfLink), std::string::npos) << plain->body;
    }
    // The title and item text arrive as UTF-8 in the converted forms.
    if (GetParam().extension != "plugin") {
        EXPECT_NE(plain->body.find("Jo\xC3\xABl's item"), std::string::npos) << plain->body;
    }

    // The forms come from the cache's one conversion: the same bytes in memory for every answer.
    const Lookup cached = cache_->getAndWait("lounge");
    ASSERT_TRUE(cached.feed);
    const auto format = *feeds::parseFeedFormat(GetParam().extension);
    const feeds::PreparedBody& form =
        format == feeds::FeedFormat::plugin
            ? *cached.feed->pluginForm()
            : cached.feed->forms("http://feeds.example:8080")->form(format);
    EXPECT_EQ(plain->body, form.identity);
    EXPECT_EQ(plain->get_header_value("ETag"), form.etag);
    HttpRequest request;
    request.method = "GET";
    request.path = request.target = path;
    request.headers = {{"Host", "feeds.example:8080"}, {"Accept-Encoding", "deflate, gzip;q=0.5"}};
    std::promise<HttpResponse> answer;
    service_->handle(request, [&](HttpResponse r) { answer.set_value(std::move(r)); });
    const HttpResponse zipped = answer.get_future().get();
    EXPECT_EQ(zipped.status, 200);
    EXPECT_EQ(*zipped.header("Content-Encoding"), "gzip");
    EXPECT_EQ(*zipped.header("ETag"), form.gzipEtag);
    EXPECT_EQ(zipped.body.view().data(), form.gzip.data());

    // Each representation answers its own tag with 304.
    auto notModified = get(path, {{"Host", "feeds.example:8080"},
                                  {"Accept-Encoding", "gzip"},
                                  {"If-None-Match", form.gzipEtag}});
    EXPECT_EQ(notModified->status, 304);
    EXPECT_EQ(notModified->get_header_value("Vary"), "Accept-Encoding");
    EXPECT_EQ(get(path, {{"Host", "feeds.example:8080"}, {"If-None-Match", form.gzipEtag}})->status,
              200);
    EXPECT_EQ(fake_->channelCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, FeedFormTest,
    ::testing::Values(
        FormCase{"rss", "application/rss+xml; charset=utf-8",
                 "<atom:link href=\"http://feeds.example:8080/channels/lounge.rss\" rel=\"self\""},
        FormCase{"atom", "application/atom+xml; charset=utf-8",
                 "<id>http://feeds.example:8080/channels/lounge.atom</id>"},
        FormCase{"json", "application/feed+json; charset=utf-8",
                 "\"feed_url\": \"http://feeds.example:8080/channels/lounge.json\""},
        FormCase{"plugin", "application/rss+xml; charset=ISO-8859-1", ""}));

TEST_F(HttpServiceTest, ATextThatCannotBeConvertedIsServedAsThePluginsTextOnly) {
    // The default fake text "<RSS>lounge#1" is no channel a converter can read.
    auto plugin = get("/channels/lounge.plugin");
    EXPECT_EQ(plugin->status, 200);
    EXPECT_EQ(plugin->body, "<RSS>lounge#1");
    for (const char* extension : {"rss", "atom", "json"}) {
        SCOPED_TRACE(extension);
        auto res = get(std::string("/channels/lounge.") + extension);
        EXPECT_EQ(res->status, 502);
        EXPECT_EQ(res->body.rfind("Can't convert the channel's text: ", 0), 0u) << res->body;
        EXPECT_NE(res->body.find("/channels/lounge.plugin"), std::string::npos);
        EXPECT_EQ(res->get_header_value("Retry-After"), "300");
    }
    const std::string json = get("/status?format=json")->body;
    EXPECT_NE(json.find("\"conversionError\": \"Can't convert the channel's text: "),
              std::string::npos)
        << json;
    EXPECT_NE(get("/")->body.find("only the plug-in text can be served"), std::string::npos);
    // The next text that converts is served in every form.
    makeConvertible(*fake_);
    clock_.advance(300s);
    get("/channels/lounge.plugin");
    settle();
    EXPECT_EQ(get("/channels/lounge.rss")->status, 200);
    EXPECT_EQ(fake_->channelCalls, 2);
}

TEST_F(HttpServiceTest, LinksFollowTheHostHeaderOnlyForAFewWellFormedNames) {
    makeConvertible(*fake_);
    const auto selfLink = [this](const std::string& host) {
        auto res = get("/channels/lounge.rss", {{"Host", host}});
        const std::size_t at = res->body.find("<atom:link href=\"");
        return at == std::string::npos
                   ? res->body
                   : res->body.substr(at + 17, res->body.find('"', at + 17) - at - 17);
    };
    service_->setFallbackBaseUrl("http://127.0.0.1:8080");
    EXPECT_EQ(selfLink("gw.example"), "http://gw.example/channels/lounge.rss");
    EXPECT_EQ(selfLink("[::1]:81"), "http://[::1]:81/channels/lounge.rss");
    // A Host that is no host name gets the listening address, never its own text.
    for (const char* hostile :
         {"evil\"><script>", "a b", "x:99999", "x:", "[::1", "-x", "user@host", "host/path"}) {
        SCOPED_TRACE(hostile);
        EXPECT_EQ(selfLink(hostile), "http://127.0.0.1:8080/channels/lounge.rss");
    }
    // Made-up names: the first few are served, the rest share the fallback's forms.
    for (int i = 0; i < 20; ++i) {
        selfLink("name" + std::to_string(i) + ".example");
    }
    EXPECT_EQ(selfLink("late.example"), "http://127.0.0.1:8080/channels/lounge.rss");
    const Lookup cached = cache_->getAndWait("lounge");
    EXPECT_LE(cached.feed->builtBases().size(), Feed::kMaxBaseUrls);
    EXPECT_EQ(fake_->channelCalls, 1);
}

TEST_F(HttpServiceTest, OpmlIndexAndStatusSpeakUtf8) {
    makeConvertible(*fake_);
    auto opml = get("/channels.opml", {{"Host", "gw:1"}});
    EXPECT_EQ(opml->status, 200);
    EXPECT_EQ(opml->get_header_value("Content-Type"), "text/x-opml; charset=utf-8");
    // The INI file's Windows-1252 title arrives as UTF-8.
    EXPECT_NE(opml->body.find("text=\"Caf\xC3\xA9 Lounge\""), std::string::npos) << opml->body;
    EXPECT_NE(opml->body.find("xmlUrl=\"http://gw:1/channels/boards.rss\""), std::string::npos);
    EXPECT_EQ(
        get("/channels.opml", {{"Host", "gw:1"}, {"If-None-Match", opml->get_header_value("ETag")}})
            ->status,
        304);

    get("/channels/lounge.rss");
    auto index = get("/", {{"Host", "gw:1"}});
    EXPECT_EQ(index->status, 200);
    EXPECT_EQ(index->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(index->body.find("<link rel=\"alternate\" type=\"application/rss+xml\" "
                               "title=\"Caf\xC3\xA9 Lounge (RSS)\" "
                               "href=\"http://gw:1/channels/lounge.rss\">"),
              std::string::npos)
        << index->body;
    EXPECT_NE(index->body.find("http://gw:1/channels.opml"), std::string::npos);
    EXPECT_NE(index->body.find("<span class=\"ok\">OK</span>"), std::string::npos);
    const std::string json = get("/status?format=json")->body;
    EXPECT_NE(json.find("\"title\": \"Caf\xC3\xA9 Lounge\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"intervalSeconds\": 300"), std::string::npos) << json;
}

// --- Small parsers -------------------------------------------------------------------------------

TEST(HttpHelpersTest, QueryValues) {
    EXPECT_EQ(queryValue("a=1&format=json&format=x", "format"), "json");
    EXPECT_EQ(queryValue("formats=json", "format"), std::nullopt);
}

TEST(HttpHelpersTest, EntityTagMatching) {
    const std::string tag = "\"a-1\"";
    EXPECT_TRUE(etagMatches("\"a-1\"", tag));
    EXPECT_TRUE(etagMatches("W/\"a-1\"", tag));
    EXPECT_TRUE(etagMatches("\"x\" ,\t\"a-1\"", tag));
    EXPECT_TRUE(etagMatches("*", tag));
    EXPECT_FALSE(etagMatches("\"a-12\"", tag));
    EXPECT_FALSE(etagMatches("a-1", tag));
    EXPECT_FALSE(etagMatches("", tag));
}

TEST(HttpHelpersTest, AcceptEncodingGzip) {
    const std::pair<const char*, bool> cases[] = {
        {"gzip", true},
        {"GZIP", true},
        {"deflate, gzip;q=0.5", true},
        {"x-gzip", true},
        {"br, *", true},
        {"*;q=0.1", true},
        {"gzip;q=0", false},
        {"gzip; q=0.000", false},
        {"*, gzip;q=0", false},
        {"gzip;q=0.001", true},
        {"identity", false},
        {"deflate, br", false},
        {"gzipped", false},
        {"*;q=0", false},
        {"", false},
        {" , ;q=1, gzip ; q=1 ", true},
    };
    for (const auto& [header, expected] : cases) {
        EXPECT_EQ(acceptsGzip(header), expected) << header;
    }
}

TEST(HttpHelpersTest, OnlyWellFormedHostsMakeBaseUrls) {
    const std::pair<const char*, const char*> cases[] = {
        {"Feeds.Example.org", "http://feeds.example.org"},
        {"127.0.0.1:8080", "http://127.0.0.1:8080"},
        {" gw:1 ", "http://gw:1"},
        {"[::1]:8080", "http://[::1]:8080"},
        {"[2001:DB8::1]", "http://[2001:db8::1]"},
        {"under_score.local", "http://under_score.local"},
        {"", nullptr},
        {"gw:", nullptr},
        {"gw:65536", nullptr},
        {"gw:123456", nullptr},
        {"gw:80:81", nullptr},
        {"gw/path", nullptr},
        {"user@gw", nullptr},
        {"gw?x", nullptr},
        {"\"><script>", nullptr},
        {"[::1", nullptr},
        {"[::1]x", nullptr},
        {"[zz::1]", nullptr},
        {".gw", nullptr},
        {"caf\xC3\xA9.example", nullptr},
    };
    for (const auto& [host, expected] : cases) {
        const std::optional<std::string> base = baseUrlFromHost(host);
        if (expected == nullptr) {
            EXPECT_FALSE(base.has_value()) << host << " gave " << *base;
        } else {
            EXPECT_EQ(base.value_or("(none)"), expected) << host;
        }
    }
    EXPECT_FALSE(baseUrlFromHost(std::string(256, 'a')).has_value());
}

TEST(ChannelListTest, ChannelsAreSectionsWithAChannelUrlReadAsThePluginReadsThem) {
    const std::string ini =
        "\xEF\xBB\xBF; comment\r\n"
        "[Config]\r\nHostName=service\r\n"
        "[lounge]\rChannelUrl=lounge.xml\rChannelName = \"Caf%E9 Lounge\" \r"
        "[ boards ]\nChannelUrl=boards.xml\n"
        "[noUrl]\nChannelName=Nothing\n"
        "[emptyUrl]\nChannelUrl=%20\n"
        "[LOUNGE]\nChannelUrl=again.xml\n"
        "[dup]\nChannelUrl=d.xml\nChannelName=First\nchannelname=Second\n"
        "[empty title]\nChannelUrl=e.xml\nChannelName=\n"
        ";[commented]\n;ChannelUrl=x\n"
        "[%41b]\nChannelUrl=x.xml\n";
    testing_support::TempDir dir;
    const std::vector<ChannelEntry> channels = readChannelList(dir.write("dovetrail.ini", ini));
    std::vector<std::pair<std::string, std::string>> got;
    for (const ChannelEntry& c : channels) {
        got.emplace_back(c.name, c.title);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {{"lounge", "Caf\xE9 Lounge"},
                                                                       {"boards", "boards"},
                                                                       {"dup", "First"},
                                                                       {"empty title", ""},
                                                                       {"%41b", "Ab"}};
    EXPECT_EQ(got, expected);
}

TEST(ChannelListTest, NamesAndValuesAreReadAsThePluginIsAskedForThem) {
    using namespace std::string_literals;
    // Vertical tabs, form feeds and 0x1A (octal 032) are blanks to the plug-in's reader; a value
    // ends at a zero byte; a name with a zero byte cannot be asked for through the plug-in's C
    // interface.
    const std::string ini =
        "[\vlounge\f]\nChannelUrl=\fl.xml\v\nChannelName=Lounge\0hidden\n"
        "[lou\0nge]\nChannelUrl=x.xml\n"
        "[nul]\nChannelUrl=\0x.xml\n"
        "[\032articles\032]\nChannelUrl=\032a.xml\032\nChannelName=\032Articles\032\n"
        "[boards]\nChannelUrl=b.xml\n"s;
    testing_support::TempDir dir;
    std::vector<std::pair<std::string, std::string>> got;
    for (const ChannelEntry& c : readChannelList(dir.write("dovetrail.ini", ini))) {
        got.emplace_back(c.name, c.title);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"lounge", "Lounge"}, {"articles", "Articles"}, {"boards", "boards"}};
    EXPECT_EQ(got, expected);
}

TEST(ChannelListTest, AMissingFileIsAConfigurationError) {
    try {
        readChannelList("/nonexistent/dovetrail.ini");
        FAIL();
    } catch (const HostError& e) {
        EXPECT_EQ(e.exitCode(), kExitNoConfig);
        EXPECT_NE(std::string(e.what()).find("/nonexistent/dovetrail.ini"), std::string::npos);
    }
}

TEST(ChannelListTest, PresentationValuesAndIntervalKindFollowThePluginsDefaults) {
    const std::string ini =
        "[Config]\nHostName=https://service.example\n"
        "[plain]\nChannelUrl=p.xml\n"
        "[full]\nChannelUrl=f.xml\nChannelDescription=About%20it\nChannelHomeUrl=https://h/\n"
        "ChannelImageUrl=https://h/i.png\nUpdateIntervalKind= Boards \n"
        "[lounge]\nChannelUrl=l.xml\nupdateintervalkind=lounge\n"
        "[art]\nChannelUrl=a.xml\nUpdateIntervalKind=ARTICLES\n"
        "[odd]\nChannelUrl=o.xml\nUpdateIntervalKind=weekly\n"
        "[blank]\nChannelUrl=b.xml\nUpdateIntervalKind=\n";
    testing_support::TempDir dir;
    const std::vector<ChannelEntry> channels = readChannelList(dir.write("dovetrail.ini", ini));
    ASSERT_EQ(channels.size(), 6u);
    const Intervals intervals{300, 900, 3600};
    struct Expected {
        const char* description;
        const char* homeUrl;
        const char* imageUrl;
        int32_t interval;
        const char* unknown;
    };
    const Expected expected[] = {
        {"plain", "https://service.example", "", 3600, ""},
        {"About it", "https://h/", "https://h/i.png", 900, ""},
        {"lounge", "https://service.example", "", 300, ""},
        {"art", "https://service.example", "", 3600, ""},
        {"odd", "https://service.example", "", 3600, "weekly"},
        {"blank", "https://service.example", "", 3600, ""},
    };
    for (std::size_t i = 0; i < channels.size(); ++i) {
        SCOPED_TRACE(channels[i].name);
        EXPECT_EQ(channels[i].description, expected[i].description);
        EXPECT_EQ(channels[i].homeUrl, expected[i].homeUrl);
        EXPECT_EQ(channels[i].imageUrl, expected[i].imageUrl);
        EXPECT_EQ(intervals.forKind(channels[i].intervalKind), expected[i].interval);
        EXPECT_EQ(channels[i].unknownIntervalKind, expected[i].unknown);
        EXPECT_EQ(intervalKindWarning(channels[i]).empty(), *expected[i].unknown == '\0');
    }
    EXPECT_EQ(intervalKindWarning(channels[4]),
              "channel odd: UpdateIntervalKind=weekly is not lounge, boards or articles; the "
              "longest interval applies");
    // The longest is the default whichever kind holds it.
    EXPECT_EQ((Intervals{900, 60, 300}.forKind(IntervalKind::longest)), 900);
    EXPECT_EQ(findChannel(channels, " LOUNGE "), &channels[2]);
    EXPECT_EQ(findChannel(channels, "lounge2"), nullptr);
}

}  // namespace
}  // namespace host
