// What the host's unit tests share: the fake plug-in kept loaded, a clock that moves only when
// told, and a fetcher that answers from a script and can be held.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "channelCache.h"
#include "fakeplugin/fakePlugin.h"

namespace host::testing_fixtures {

using namespace std::chrono_literals;

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

// A clock that moves only when told; readable from the cache's and the engine's threads. Its
// steady side moves with advance() only; step() moves the wall side alone, as an operator or a
// time daemon does.
struct TestClock {
    std::atomic<std::int64_t> seconds{1'800'000'000};
    std::atomic<std::int64_t> wallStep{0};
    TimePoint time() const {
        return TimePoint(std::chrono::seconds(seconds.load() + wallStep.load()));
    }
    std::chrono::steady_clock::time_point steady() const {
        return std::chrono::steady_clock::time_point(std::chrono::seconds(seconds.load()));
    }
    void advance(std::chrono::seconds by) { seconds += by.count(); }
    void step(std::chrono::seconds by) { wallStep += by.count(); }
    NowFunction function() {
        return [this] { return time(); };
    }
    std::function<std::chrono::steady_clock::time_point()> steadyFunction() {
        return [this] { return steady(); };
    }
};

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

inline CacheOptions cacheOptions(std::chrono::seconds interval, TestClock& clock) {
    CacheOptions options;
    options.minInterval = interval;
    options.now = clock.function();
    options.steadyNow = clock.steadyFunction();
    return options;
}

// The answer of a get() that must come without waiting for a fetch: a get that waited would
// block on the held fetcher until the test gives up.
inline Lookup answeredAtOnce(ChannelCache& cache, const std::string& channel) {
    auto promise = std::make_shared<std::promise<Lookup>>();
    std::future<Lookup> answer = promise->get_future();
    cache.get(channel, [promise](Lookup lookup) { promise->set_value(std::move(lookup)); });
    if (answer.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "the reader of " << channel << " waited for the fetch";
        return Lookup{};
    }
    return answer.get();
}

}  // namespace host::testing_fixtures
