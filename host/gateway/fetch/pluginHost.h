// The plug-in as serve keeps it: a session that may be missing (plugin_init failed) and is tried
// again with a backoff, and that SIGHUP replaces (plugin_term, then plugin_init) while the process,
// its port and its cache stay.
//
// - start() makes the first attempt. After a failed attempt the next one comes 30 s later, then
//   60 s, doubling up to the longest update interval known (3600 s before any success), on a thread
//   of its own; attempt() makes one at once.
// - Content calls (channel, mainPage) pass a gate: any number at once, none while a session is
//   being replaced. A reload waits for the calls in progress to return; a call that hangs in the
//   plug-in holds the reload until its own deadline in the plug-in ends it.
// - Without a session, content calls fail at once with the reason; serve answers readers 503
//   before it gets there (see problem()).
// - `onReady` runs after each successful attempt or reload, on the thread that made it, with the
//   new intervals; `onFailure` after each failed one with the problem. Neither runs with a lock
//   held that a content call takes.
//
// Thread-safety: every member function may be called from any thread. The destructor ends the
// retry thread and the session (plugin_term); no content call may be in progress then.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "httpText.h"
#include "pluginLibrary.h"

namespace host {

// The longest backoff before the service has told its intervals: the plug-in's own default.
constexpr std::chrono::seconds kDefaultLongestInterval{3600};

// Why the plug-in cannot be used now, and when it is tried again.
struct PluginProblem {
    std::string message;  // "Can't initialise the plug-in with FILE: TEXT"
    std::string hint;     // what to change; may be empty
    TimePoint nextAttempt;
    std::uint32_t failures = 0;  // attempts in a row that failed
};

class PluginHost {
  public:
    // Facts for a hint; may block for a few seconds (it may try a connection).
    using HintSource = std::function<std::string(const PluginInitError&)>;

    struct Callbacks {
        std::function<void(const Intervals&)> onReady;
        std::function<void(const PluginProblem&)> onFailure;
        HintSource hint;
        std::function<TimePoint()> now = [] { return std::chrono::system_clock::now(); };
    };

    PluginHost(const PluginLibrary& library, std::string configPath, Callbacks callbacks);
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // The first attempt, on this thread; on failure the retries start. Returns whether it worked.
    bool start();
    // One attempt now, unless a session is up. Returns whether a session is up afterwards.
    bool attempt();
    // Replaces the session (plugin_term, plugin_init) once the calls in progress have returned.
    // On failure the retries start, as after a failed start. Returns whether it worked.
    bool reload();

    bool ready() const;
    // The problem while no session is up (also while one is being started or replaced); nothing
    // while one is up.
    std::optional<PluginProblem> problem() const;
    // No attempt starts any more; waits until no plug-in call runs or `deadline` passes. Returns
    // whether none runs: otherwise the caller must not destroy this object (a plug-in call cannot
    // be cancelled) and should end the process instead.
    bool finish(std::chrono::steady_clock::time_point deadline);
    // The intervals of the last session that came up; all 0 before the first.
    Intervals intervals() const;

    CallResult channel(const std::string& name, std::size_t maxBytes);
    CallResult mainPage();

  private:
    // Runs plugin_init; the caller holds the gate exclusively.
    bool initLocked(std::unique_lock<std::mutex>& lock);
    void retryLoop();
    // Runs `call` inside the gate; `wait`: for a session being replaced, else fail at once.
    template <typename Call>
    CallResult gated(bool wait, Call call);
    std::string startingMessage() const;

    const PluginLibrary& library_;
    const std::string configPath_;
    Callbacks callbacks_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<PluginSession> session_;
    std::optional<PluginProblem> problem_;
    Intervals intervals_{};
    bool known_ = false;   // intervals_ came from a session
    int calls_ = 0;        // content calls in progress
    bool switching_ = false;  // a session is being replaced or started
    bool quit_ = false;
    std::thread retry_;
};

}  // namespace host
