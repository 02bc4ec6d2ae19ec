// Whitespace helpers, the abort report, the timed lock primitives and the reader/writer lock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "programAbort.h"
#include "stringUtil.h"
#include "threadSafety.h"

using namespace std::chrono_literals;

namespace {

// ---------------------------------------------------------------------------------------------
// String helpers

TEST(StringUtil, Trim) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  rows  ", "rows"},   {"\t\n\v\f\r a b \r\n", "a b"}, {"plain", "plain"}, {"", ""},
        {"   ", "   "},                                      // all whitespace stays as it is
        {" \t\r\n", " \t\r\n"}, {"\xa0x\xa0", "\xa0x\xa0"},  // 8-bit bytes are never whitespace
    };
    for (const auto& [input, expected] : cases) {
        std::string s = input;
        misc::trim(s);
        EXPECT_EQ(s, expected) << "input \"" << input << '"';
    }
}

// ---------------------------------------------------------------------------------------------
// Abort report

struct ReportCase {
    const char* message;
    const char* file;
    unsigned long line;
    const char* function;
    const char* report;
};

class AbortReportTest : public testing::TestWithParam<ReportCase> {};

TEST_P(AbortReportTest, Text) {
    const ReportCase& c = GetParam();
    EXPECT_EQ(misc::programAbortReport(c.message, c.file, c.line, c.function), c.report);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AbortReportTest,
    testing::Values(
        ReportCase{"WaitForSingleObject() timed out.", "threadSafety.cpp", 88, nullptr,
                   "PROGRAM ABORT: WaitForSingleObject() timed out.\n"
                   "- FILE:     threadSafety.cpp (line 88)\n"},
        ReportCase{"m", "f.cpp", 1, "void CReadWriteLock::writeLock(int, char)",
                   "PROGRAM ABORT: m\n"
                   "- FUNCTION: void CReadWriteLock::writeLock()\n"
                   "- FILE:     f.cpp (line 1)\n"},
        ReportCase{"m", "f.cpp", 4294967295ul, "main",
                   "PROGRAM ABORT: m\n- FUNCTION: main()\n- FILE:     f.cpp (line 4294967295)\n"},
        ReportCase{nullptr, nullptr, 5, nullptr, "\n- FILE:     <unknown>"},
        ReportCase{"", nullptr, 0, "(", "PROGRAM ABORT: \n- FUNCTION: ()\n- FILE:     <unknown>"}));

TEST(ProgramAbortDeathTest, ReportsOnStandardErrorAndExitsWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(misc::programAbort("Lock lost.", "lock.cpp", 12, "void f(int)"),
                testing::ExitedWithCode(1),
                testing::Eq("PROGRAM ABORT\n"
                            "PROGRAM ABORT: Lock lost.\n"
                            "- FUNCTION: void f()\n"
                            "- FILE:     lock.cpp (line 12)\n"));
}

// The writer (the plug-in's log) has the report before the box is shown, which may never be
// closed.
TEST(ProgramAbortDeathTest, TheWriterHasTheReportBeforeTheBox) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto abortWithWriter = [] {
        misc::setAbortReportWriter([](const std::string& report) noexcept {
            std::fputs(("written: " + report).c_str(), stderr);
            std::fflush(stderr);
        });
        misc::programAbort("Lock lost.", "lock.cpp", 12, nullptr);
    };
    EXPECT_EXIT(abortWithWriter(), testing::ExitedWithCode(1),
                testing::Eq("written: PROGRAM ABORT: Lock lost.\n- FILE:     lock.cpp (line 12)\n"
                            "PROGRAM ABORT\nPROGRAM ABORT: Lock lost.\n"
                            "- FILE:     lock.cpp (line 12)\n"));
}

TEST(ProgramAbortDeathTest, SecondAbortReturnsAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The second abort comes from exit processing of the first: it must neither report again nor
    // re-enter exit().
    const auto abortTwice = [] {
        std::atexit([] {
            misc::programAbort("second", nullptr, 0, nullptr);
            std::fputs("second returned\n", stderr);
        });
        misc::programAbort("first", nullptr, 0, nullptr);
    };
    EXPECT_EXIT(abortTwice(), testing::ExitedWithCode(1),
                testing::Eq("PROGRAM ABORT\nPROGRAM ABORT: first\n- FILE:     <unknown>\n"
                            "second returned\n"));
}

// ---------------------------------------------------------------------------------------------
// Timed primitives

// Sets the process-wide time-out for one scope. Only single-threaded tests and death tests change
// it, so no thread reads it while it changes.
class TimeoutSetting {
  public:
    explicit TimeoutSetting(float seconds) : saved_(lockTimeoutSeconds) {
        lockTimeoutSeconds = seconds;
    }
    ~TimeoutSetting() { lockTimeoutSeconds = saved_; }
    TimeoutSetting(const TimeoutSetting&) = delete;
    TimeoutSetting& operator=(const TimeoutSetting&) = delete;

  private:
    float saved_;
};

TEST(TimedLocks, EnterWaitsForTheSectionWithoutLimit) {
    platform::CriticalSection section;
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
    std::thread owner([&] {
        section.enter();
        held = true;
        std::this_thread::sleep_for(50ms);
        released = true;
        section.leave();
    });
    while (!held)
        std::this_thread::yield();
    timedEnterCriticalSection(&section);
    EXPECT_TRUE(released);
    leaveCriticalSection(&section);
    owner.join();
}

TEST(TimedLocks, SignalledEventReturnsAtOnceEvenWithZeroTimeout) {
    TimeoutSetting zero(0.0f);
    platform::Event event;
    event.set();
    EXPECT_EQ(timedWaitForSingleObject(&event, platform::kInfinite), platform::kWaitSignalled);
}

TEST(TimedLocks, PulseWakesAWaiter) {
    platform::Event event;
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        EXPECT_EQ(timedWaitForSingleObject(&event, platform::kInfinite), platform::kWaitSignalled);
        woke = true;
    });
    // Pulse until the waiter has seen one: a pulse before its wait began is rightly lost.
    while (!woke) {
        event.pulse();
        std::this_thread::sleep_for(1ms);
    }
    waiter.join();
}

class TimedLocksDeathTest : public testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(TimedLocksDeathTest, EnterAbortsWhenTheLimitPasses) {
    const auto enterHeldSection = [] {
        lockTimeoutSeconds = 0.05f;
        platform::CriticalSection section;
        std::atomic<bool> held{false};
        std::thread owner([&] {
            section.enter();
            held = true;
            std::this_thread::sleep_for(10s);
        });
        while (!held)
            std::this_thread::yield();
        timedEnterCriticalSection(&section);
    };
    EXPECT_EXIT(enterHeldSection(), testing::ExitedWithCode(1),
                testing::StartsWith("PROGRAM ABORT\nPROGRAM ABORT: EnterCriticalSection() timed "
                                    "out.\n- FILE:     lib/misc/src/threadSafety.cpp (line "));
}

TEST_F(TimedLocksDeathTest, ZeroSettingMakesAnUnlimitedWaitExpire) {
    const auto wait = [] {
        lockTimeoutSeconds = 0.0f;
        platform::Event event;
        timedWaitForSingleObject(&event, platform::kInfinite);
    };
    EXPECT_EXIT(wait(), testing::ExitedWithCode(1),
                testing::StartsWith("PROGRAM ABORT\nPROGRAM ABORT: WaitForSingleObject() timed "
                                    "out.\n- FILE:     lib/misc/src/threadSafety.cpp (line "));
}

// A wait with a finite time-out of the caller's keeps that time-out whatever the process-wide
// setting, which only stands in for an unlimited wait. The event is set late as a fallback, so a
// wait that went by the setting instead ends in the other outcome rather than hanging.
struct CallerWaitCase {
    const char* label;
    float settingSeconds;
    std::uint32_t callerMilliseconds;
    std::chrono::milliseconds setAfter;
    bool timesOut;
};

void PrintTo(const CallerWaitCase& c, std::ostream* out) {
    *out << c.label;
}

class CallerGivenWaitDeathTest : public testing::TestWithParam<CallerWaitCase> {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(CallerGivenWaitDeathTest, KeepsTheCallersTimeOut) {
    const CallerWaitCase& c = GetParam();
    const auto wait = [&c] {
        lockTimeoutSeconds = c.settingSeconds;
        // The abort exits while the setter still sleeps: it must touch nothing exit destroys.
        auto* event = new platform::Event;
        std::thread([event, delay = c.setAfter] {
            std::this_thread::sleep_for(delay);
            event->set();
        }).detach();
        const std::uint32_t result = timedWaitForSingleObject(event, c.callerMilliseconds);
        std::fprintf(stderr, "returned %u\n", static_cast<unsigned>(result));
        std::_Exit(0);
    };
    if (c.timesOut) {
        EXPECT_EXIT(wait(), testing::ExitedWithCode(1),
                    testing::HasSubstr("PROGRAM ABORT: WaitForSingleObject() timed out.\n"));
    } else {
        EXPECT_EXIT(wait(), testing::ExitedWithCode(0), testing::HasSubstr("returned 0\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CallerGivenWaitDeathTest,
    testing::Values(
        CallerWaitCase{"zero setting, long caller wait: signalled", 0.0f, 10000, 100ms, false},
        CallerWaitCase{"short setting, long caller wait: signalled", 0.01f, 10000, 100ms, false},
        CallerWaitCase{"long setting, short caller wait: times out", 30.0f, 50, 3s, true},
        CallerWaitCase{"no limit, short caller wait: times out", -1.0f, 50, 3s, true}));

TEST_F(TimedLocksDeathTest, WriterWaitingForReadersHonoursTheSetting) {
    const auto wait = [] {
        lockTimeoutSeconds = 0.05f;
        CReadWriteLock lock;
        std::thread reader([&] { lock.readLock(); });
        reader.join();  // its read lock is never released
        lock.writeLock();
    };
    EXPECT_EXIT(wait(), testing::ExitedWithCode(1),
                testing::HasSubstr("PROGRAM ABORT: WaitForSingleObject() timed out.\n"));
}

// ---------------------------------------------------------------------------------------------
// Reader/writer lock

// A thread that runs the tasks given to it one after another, so that a test can play several
// lock holders step by step; each lock is released by the thread that took it.
class Actor {
  public:
    Actor() : state_(std::make_shared<State>()), thread_([state = state_] { loop(*state); }) {}
    ~Actor() {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stop = true;
        }
        state_->changed.notify_all();
        // A task stuck in a lock (a failed test) must not hang the suite.
        if (idleWithin(10s)) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }
    Actor(const Actor&) = delete;
    Actor& operator=(const Actor&) = delete;

    void start(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->tasks.push_back(std::move(task));
        }
        state_->changed.notify_all();
    }
    // Runs the task and reports whether it (and everything before it) finished in time.
    bool run(std::function<void()> task, std::chrono::milliseconds limit = 10s) {
        start(std::move(task));
        return idleWithin(limit);
    }
    // A blocked task stays blocked for a while: a lock that lets it through early fails this.
    bool stillBlocked() { return !idleWithin(50ms); }
    bool finishes() { return idleWithin(10s); }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::function<void()>> tasks;
        bool busy = false;
        bool stop = false;
    };

    static void loop(State& state) {
        std::unique_lock<std::mutex> lock(state.mutex);
        for (;;) {
            state.changed.wait(lock, [&] { return state.stop || !state.tasks.empty(); });
            if (state.tasks.empty())
                return;
            auto task = std::move(state.tasks.front());
            state.tasks.pop_front();
            state.busy = true;
            lock.unlock();
            task();
            lock.lock();
            state.busy = false;
            state.changed.notify_all();
        }
    }

    bool idleWithin(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        return state_->changed.wait_for(lock, limit,
                                        [&] { return !state_->busy && state_->tasks.empty(); });
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
};

TEST(ReadWriteLock, WriterIsRecursiveAndMayRead) {
    CReadWriteLock lock;
    Actor writer;
    Actor reader;
    ASSERT_TRUE(writer.run([&] {
        lock.writeLock();
        lock.writeLock();
        lock.readLock();
    }));
    reader.start([&] {
        lock.readLock();
        lock.readUnlock();
    });
    EXPECT_TRUE(reader.stillBlocked());
    ASSERT_TRUE(writer.run([&] {
        lock.readUnlock();
        lock.writeUnlock();
    }));
    EXPECT_TRUE(reader.stillBlocked());  // one write lock is still held
    ASSERT_TRUE(writer.run([&] { lock.writeUnlock(); }));
    EXPECT_TRUE(reader.finishes());
}

TEST(ReadWriteLock, ReadersShareAndRecurseWhileWritersWait) {
    CReadWriteLock lock;
    Actor first;
    Actor second;
    Actor writer;
    ASSERT_TRUE(first.run([&] {
        lock.readLock();
        lock.readLock();
        lock.readLock();
    }));
    EXPECT_TRUE(second.run([&] { CReadLockGuard guard(&lock); }));
    ASSERT_TRUE(first.run([&] {
        lock.readUnlock();
        lock.readUnlock();
    }));
    writer.start([&] { lock.writeLock(); });
    EXPECT_TRUE(writer.stillBlocked());  // the first reader still holds one read lock
    // A waiting writer does not block its readers: the last read lock can be taken and released.
    ASSERT_TRUE(first.run([&] {
        lock.readLock();
        lock.readUnlock();
    }));
    EXPECT_TRUE(writer.stillBlocked());
    ASSERT_TRUE(first.run([&] { lock.readUnlock(); }));
    EXPECT_TRUE(writer.finishes());
    ASSERT_TRUE(writer.run([&] { lock.writeUnlock(); }));
}

TEST(ReadWriteLock, SoleReaderUpgradesAtOnce) {
    CReadWriteLock lock;
    Actor upgrader;
    Actor reader;
    ASSERT_TRUE(upgrader.run([&] {
        lock.readLock();
        lock.writeLock();
    }));
    reader.start([&] { CReadLockGuard guard(&lock); });
    EXPECT_TRUE(reader.stillBlocked());
    ASSERT_TRUE(upgrader.run([&] {
        lock.writeUnlock();
        lock.readUnlock();
    }));
    EXPECT_TRUE(reader.finishes());
}

TEST(ReadWriteLock, UpgradeWaitsForTheOtherReader) {
    CReadWriteLock lock;
    Actor upgrader;
    Actor other;
    ASSERT_TRUE(upgrader.run([&] { lock.readLock(); }));
    ASSERT_TRUE(other.run([&] { lock.readLock(); }));
    upgrader.start([&] { lock.writeLock(); });
    EXPECT_TRUE(upgrader.stillBlocked());
    ASSERT_TRUE(other.run([&] { lock.readUnlock(); }));
    EXPECT_TRUE(upgrader.finishes());
    ASSERT_TRUE(upgrader.run([&] {
        lock.writeUnlock();
        lock.readUnlock();
    }));
    // Free again for anyone.
    EXPECT_TRUE(other.run([&] { CWriteLockGuard guard(&lock); }));
}

TEST(ReadWriteLock, WriterWakesWhenTheLastReaderLeavesUnderStress) {
    // The last reader leaving just as a writer decides to wait is the race a lost wake-up would
    // hang on; repeat it many times with both sides released together.
    constexpr int kRounds = 20000;
    CReadWriteLock lock;
    std::atomic<int> readerIn{0};
    std::atomic<int> writerReady{0};
    std::atomic<int> writerDone{0};
    std::atomic<int> busy{0};
    const auto spinUntil = [](const std::atomic<int>& value, int atLeast) {
        while (value.load() < atLeast)
            std::this_thread::yield();
    };
    Actor driver;
    ASSERT_TRUE(driver.run(
        [&] {
            std::thread reader([&] {
                for (int round = 1; round <= kRounds; ++round) {
                    spinUntil(writerDone, round - 1);
                    lock.readLock();
                    readerIn = round;
                    spinUntil(writerReady, round);
                    // Vary the moment of leaving so that it sweeps across the writer's check.
                    for (int spin = (round * 7919) % 600; spin > 0; --spin)
                        busy.fetch_add(1);
                    lock.readUnlock();
                }
            });
            std::thread writer([&] {
                for (int round = 1; round <= kRounds; ++round) {
                    spinUntil(readerIn, round);
                    writerReady = round;
                    lock.writeLock();
                    lock.writeUnlock();
                    writerDone = round;
                }
            });
            reader.join();
            writer.join();
        },
        120s));
}

TEST(ReadWriteLock, ExclusionHoldsUnderMixedLoad) {
    constexpr int kThreads = 8;
    constexpr int kIterations = 2000;
    CReadWriteLock lock;
    std::atomic<int> readersInside{0};
    std::atomic<int> writersInside{0};
    std::atomic<int> violations{0};
    long long shared = 0;  // plain data: the sanitizer build sees any unguarded access
    Actor driver;
    ASSERT_TRUE(driver.run(
        [&] {
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] {
                    for (int i = 0; i < kIterations; ++i) {
                        if ((i + t) % 4 == 0) {
                            CWriteLockGuard guard(&lock);
                            if (++writersInside != 1 || readersInside != 0)
                                ++violations;
                            if (i % 8 == 0) {
                                CReadLockGuard nested(&lock);  // the writer may read too
                                ++shared;
                            } else {
                                ++shared;
                            }
                            --writersInside;
                        } else {
                            CReadLockGuard guard(&lock);
                            ++readersInside;
                            if (writersInside != 0)
                                ++violations;
                            [[maybe_unused]] const long long seen = shared;
                            if (i % 16 == 1) {
                                CReadLockGuard again(&lock);  // recursive read
                            }
                            --readersInside;
                        }
                    }
                });
            }
            for (auto& thread : threads)
                thread.join();
        },
        120s));
    EXPECT_EQ(violations, 0);
    EXPECT_EQ(shared, kThreads * kIterations / 4);
}

}  // namespace
