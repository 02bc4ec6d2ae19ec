// The serve command's channel cache: at most one fetch per channel at a time, each channel fetched
// no sooner than its own interval after its previous fetch started, failed channels retried with a
// backoff, the last good feed kept when a refetch fails, readers that never wait for a refetch, and
// a state that outlives the process.
//
// - A reader of a channel that has a feed gets it at once, also while the channel is being
//   fetched again (stale-while-revalidate); a due reader only starts the refetch.
// - A reader of a channel without a feed waits for the fetch in progress, at most until that
//   fetch's deadline (`fetchTimeout` after it started); then it gets a `timedOut` answer, and so
//   does every later reader until the fetch ends. A plug-in call cannot be cancelled: the fetch
//   keeps its thread until the call returns, and no second fetch of the channel starts meanwhile.
// - Schedule: after a success the next fetch is allowed the channel's interval later. After a
//   failure it is allowed 30 s later, then 60 s, doubling with each further failure up to the
//   longest interval, but never sooner than the channel's interval after its last success. The
//   process keeps its schedule on the steady clock; a next fetch read from the state counts at
//   most the longest wait the rules give (schedule.h clampRestored), past times at most now.
// - A fetched text longer than `maxFeedBytes` is not kept: the fetch counts as failed.
// - Every fetched text is converted once, on the fetching thread: it is parsed, its item guids are
//   recorded in the state (which gives each its first-seen date), and the feed forms are prepared
//   with their gzip copies (Feed). A text that cannot be converted is still kept and served in
//   the plug-in's form; Feed::conversionError says why the others cannot be.
// - State: before fetching, the cache claims the fetch in the state (state/stateStore.h). Inside
//   the channel's interval (another process, or this program before a restart, fetched it) the
//   stored text is served without asking the web service; while another process holds the lease,
//   its stored feed is served, or readers without one wait for that fetch to be recorded. Each
//   fetch, failed or not, is recorded, with the backoff, so a restart keeps the schedule. A state
//   that cannot be written costs the persistence, never an answer.
// - Once setChannels() was called, only the names it gave have entries; any other name is
//   answered "unknown channel" at once, without an entry or a fetch.
//
// Fetches, restores and state access run on threads of their own (or through CacheOptions::launch),
// never on a reader's.
//
// Thread-safety: every member function may be called from any thread. Callbacks run on the
// caller's thread (answers ready at once), on a fetch thread, or where deadlines are watched
// (CacheOptions::timer, else a thread of the cache's own),
// never with a cache lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channelStatus.h"
#include "dovetrail/dovetrail.h"
#include "feed.h"
#include "fetch.h"
#include "schedule.h"
#include "stateStore.h"
#include "threadGroup.h"

namespace host {

using NowFunction = std::function<TimePoint()>;

// A configured channel and its interval.
struct ChannelSchedule {
    std::string name;
    std::chrono::seconds interval{0};
};

struct CacheOptions {
    // The interval of channels named without one (setChannels(names), or no setChannels at all);
    // negative counts as 0.
    std::chrono::seconds minInterval{0};
    // The longest retry delay after failures; at least minInterval.
    std::chrono::seconds longestInterval{0};
    std::chrono::milliseconds fetchTimeout = std::chrono::seconds(120);
    std::size_t maxFeedBytes = std::size_t{64} << 20;
    // How many readers' selections of a feed's items (limit, filter) each fetch keeps written.
    std::size_t maxFeedVariants = 64;
    // The wall clock: the times shown, stored and sent (Last-Modified, first-seen dates).
    NowFunction now = [] { return std::chrono::system_clock::now(); };
    // The clock this process schedules on: a wall clock stepped back or forward moves no
    // channel's next fetch. Tests give one that moves with their `now`.
    std::function<std::chrono::steady_clock::time_point()> steadyNow = [] {
        return std::chrono::steady_clock::now();
    };
    // Runs one fetch job; by default on a thread of the cache's own (threadGroup.h). Tests and
    // fuzzers may run it inline.
    std::function<void(std::function<void()>)> launch;
    // Where the schedule, the texts and the item dates are kept; null: in memory.
    std::shared_ptr<state::StateStore> state;
    // How often a reader without a feed looks again while another process fetches the channel.
    std::chrono::milliseconds elsewherePoll = std::chrono::seconds(1);
    // Whether fetches may start now (the plug-in is ready); null: always. While it says no, readers
    // get what the cache and the state hold, and a channel without a feed gets a plain answer
    // without a fetch, which is neither recorded as a failure nor delays the channel's schedule.
    std::function<bool()> mayFetch;
    // Runs `task` once, `delay` from now, without blocking the caller: how fetch deadlines are
    // watched. Null: on a thread of the cache's own. serve gives its HTTP engine's timers.
    std::function<void(std::chrono::milliseconds delay, std::function<void()> task)> timer;
};

class ChannelCache {
  public:
    using Callback = std::function<void(Lookup)>;

    ChannelCache(Fetcher fetcher, CacheOptions options);
    // Stops waiting (as stopWaiting()) and waits for every fetch to end.
    ~ChannelCache();
    ChannelCache(const ChannelCache&) = delete;
    ChannelCache& operator=(const ChannelCache&) = delete;

    // Calls `done` exactly once with the channel's answer (see above), starting a fetch first
    // when the channel is due. A fetcher's exception becomes status 1 with its message.
    void get(const std::string& channel, Callback done);
    // The same, waiting for the answer on this thread.
    Lookup getAndWait(const std::string& channel);

    // From now on only these channels have entries, each with its interval; the entries of others
    // are dropped. `longest` caps the retry backoff. With a state file, new entries are read from
    // it at once (in the background), so that their stored feeds and schedules show before any
    // reader asks, and the stored rows of channels not in the list are removed (also in the
    // background).
    void setChannels(const std::vector<ChannelSchedule>& channels, std::chrono::seconds longest);
    // The same, every channel with minInterval.
    void setChannels(const std::vector<std::string>& names);

    // The base URL of the links in every feed form; each fetch writes its forms for it (none
    // while it is empty).
    void setBaseUrl(std::string baseUrl);

    // Every channel with an entry, ordered by name.
    std::vector<ChannelStatus> status() const;

    // No fetch starts any more; readers waiting for a first feed, and later ones, get a
    // `stopping` answer at once.
    void stopWaiting();
    // Waits until no fetch runs or `deadline` passes; returns the channels still being fetched.
    std::vector<std::string> waitForFetches(std::chrono::steady_clock::time_point deadline);
    // Gives up the state's leases of the fetches still running, for a process that exits without
    // waiting for them, so that the next one need not wait for the leases to expire.
    void abandonFetches();

    // Called after every fetch, after a feed was read from the state, and when a fetch passes its
    // deadline (on the fetching or the watching thread, without locks held); for logging. Set it
    // before the first get().
    void setFetchObserver(std::function<void(const ChannelStatus&)> observer);

    std::chrono::seconds minInterval() const { return options_.minInterval; }
    const CacheOptions& options() const { return options_; }
    const state::StateStore& state() const { return *state_; }

  private:
    struct Entry;

    std::shared_ptr<Entry> entryFor(const std::string& channel);
    void launchJob(const std::shared_ptr<Entry>& entry, bool mayFetch);
    // Reads the state once, then fetches (or takes `preset` as the outcome) when the channel is
    // due and `mayFetch` or a reader waits.
    void runJob(const std::shared_ptr<Entry>& entry, bool mayFetch,
                std::optional<FetchOutcome> preset);
    // Takes the stored channel as this process's view of it.
    void adopt(const std::shared_ptr<Entry>& entry, const state::StoredChannel& stored,
               Origin origin);
    void fetchNow(const std::shared_ptr<Entry>& entry, std::optional<FetchOutcome> preset,
                  TimePoint start);
    bool fetchAllowed() const;
    std::string baseUrl() const;
    // Answers the waiting readers and, with `observe`, reports. A `finished` job answers them
    // all; one that goes on answers them only when a feed is there.
    void publish(const std::shared_ptr<Entry>& entry, bool finished, bool observe);
    void watch(const std::shared_ptr<Entry>& entry);
    // Answers the waiting readers of a fetch past its deadline; true when the fetch in progress
    // is not due yet (`deadline` then says when it is).
    bool expireIfDue(const std::shared_ptr<Entry>& entry, std::chrono::steady_clock::time_point now,
                     std::chrono::steady_clock::time_point* deadline);
    void watchLoop();
    void fetchEnded(const std::string& channel);
    // Waits until `until` or until the cache stops, whichever comes first.
    void pause(std::chrono::steady_clock::time_point until);

    Fetcher fetcher_;
    CacheOptions options_;
    std::shared_ptr<state::StateStore> state_;
    std::function<void(const ChannelStatus&)> observer_;

    mutable std::mutex mapMutex_;
    std::map<std::string, std::shared_ptr<Entry>> entries_;
    std::optional<std::map<std::string, std::chrono::seconds>> channels_;
    std::chrono::seconds longest_{0};
    std::string baseUrl_;
    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;
    std::condition_variable stopWake_;

    std::mutex runMutex_;
    std::condition_variable runDone_;
    std::multiset<std::string> running_;

    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    std::vector<std::shared_ptr<Entry>> watched_;
    bool watchQuit_ = false;
    bool watchDirty_ = false;
    std::thread watcher_;

    // Last: destroyed first, so its jobs end while the cache is whole.
    ThreadGroup threads_;
};

}  // namespace host
