// The plug-in as serve keeps it: retries of a failed start, reloads behind the call gate.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include "pluginHost.h"
#include "pluginLibrary.h"
#include "support/hostFixtures.h"

using namespace std::chrono_literals;

namespace host {
namespace {

using namespace testing_fixtures;

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

}  // namespace
}  // namespace host
