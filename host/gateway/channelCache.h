// The serve command's channel cache: at most one fetch per channel at a time, no fetch sooner than
// the minimum interval after the previous one started, the last good feed kept when a refetch
// fails, and readers that never wait for a refetch.
//
// - A reader of a channel that has a feed gets it at once, also while the channel is being
//   fetched again (stale-while-revalidate); a due reader only starts the refetch.
// - A reader of a channel without a feed waits for the fetch in progress, at most until that
//   fetch's deadline (`fetchTimeout` after it started); then it gets a `timedOut` answer, and so
//   does every later reader until the fetch ends. A plug-in call cannot be cancelled: the fetch
//   keeps its thread until the call returns, and no second fetch of the channel starts meanwhile.
// - A fetched text longer than `maxFeedBytes` is not kept: the fetch counts as failed.
// - Once setChannels() was called, only the names it gave have entries; any other name is
//   answered "unknown channel" at once, without an entry or a fetch.
//
// Fetches run on threads of their own (or through CacheOptions::launch), never on a reader's.
//
// Thread-safety: every member function may be called from any thread. Callbacks run on the
// caller's thread (answers ready at once), on a fetch thread, or on the deadline watcher's thread,
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

#include "httpText.h"

namespace host {

using NowFunction = std::function<TimePoint()>;

// The plug-in's status for a channel it does not know.
constexpr int32_t kUnknownChannelStatus = 5;

// What one fetch produced: status 0 with the RSS text, or the failure status and its message.
struct FetchOutcome {
    int32_t status = 0;
    std::string text;
    std::string error;
};
// Fetches one channel; a text above `maxBytes` may be refused (and is refused by the cache).
using Fetcher = std::function<FetchOutcome(const std::string& channel, std::size_t maxBytes)>;

// A successfully fetched feed; immutable once published, shared by readers and answers.
struct Feed {
    std::string text;
    std::string etag;              // strong validator, quoted
    TimePoint lastModified;        // when the text last changed
    std::string lastModifiedHttp;  // the same as an HTTP date
    TimePoint fetchedAt;           // start of the fetch that produced or confirmed it
};

// The answer for one reader.
struct Lookup {
    std::shared_ptr<const Feed> feed;  // null when the channel never succeeded
    int32_t status = 0;                // of the most recent completed fetch
    std::string error;                 // of the most recent completed fetch, when it failed
    TimePoint nextFetch;               // no fetch before this time
    bool refreshing = false;           // a fetch is in progress
    bool timedOut = false;             // no feed: the fetch in progress passed its deadline
    bool stopping = false;             // no feed: the cache stopped waiting (shutdown)
    bool stale() const { return feed != nullptr && status != 0; }
};

// Bookkeeping of one channel, for the status page and the log.
struct ChannelStatus {
    std::string name;
    bool fetched = false;    // a fetch has completed
    bool fetching = false;   // a fetch is in progress
    bool overdue = false;    // ... and passed its deadline
    TimePoint fetchStarted;  // of the fetch in progress
    TimePoint lastFetch;     // start of the most recent completed fetch
    int32_t lastStatus = 0;
    std::string lastError;
    std::chrono::milliseconds lastDuration{0};
    std::size_t lastBytes = 0;
    TimePoint nextFetch;
    std::optional<TimePoint> lastSuccess;
    std::uint64_t fetches = 0;
    std::uint64_t failures = 0;
};

struct CacheOptions {
    // The shortest time between the starts of two fetches of one channel (negative counts as 0).
    std::chrono::seconds minInterval{0};
    std::chrono::milliseconds fetchTimeout = std::chrono::seconds(120);
    std::size_t maxFeedBytes = std::size_t{64} << 20;
    NowFunction now = [] { return std::chrono::system_clock::now(); };
    // Runs one fetch job; by default on a new thread. Tests and fuzzers may run it inline.
    std::function<void(std::function<void()>)> launch;
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

    // From now on only these channels have entries; the entries of others are dropped.
    void setChannels(const std::vector<std::string>& names);

    // Every channel with an entry, ordered by name.
    std::vector<ChannelStatus> status() const;

    // No fetch starts any more; readers waiting for a first feed, and later ones, get a
    // `stopping` answer at once.
    void stopWaiting();
    // Waits until no fetch runs or `deadline` passes; returns the channels still being fetched.
    std::vector<std::string> waitForFetches(std::chrono::steady_clock::time_point deadline);

    // Called after every fetch, and when a fetch passes its deadline (on the fetching or the
    // watching thread, without locks held); for logging. Set it before the first get().
    void setFetchObserver(std::function<void(const ChannelStatus&)> observer);

    std::chrono::seconds minInterval() const { return options_.minInterval; }
    const CacheOptions& options() const { return options_; }

  private:
    struct Entry;

    std::shared_ptr<Entry> entryFor(const std::string& channel);
    void launchFetch(const std::shared_ptr<Entry>& entry);
    // Runs the fetcher, or takes `preset` as its outcome.
    void runFetch(const std::shared_ptr<Entry>& entry, std::optional<FetchOutcome> preset);
    FetchOutcome runFetcher(const std::string& channel);
    void watch(const std::shared_ptr<Entry>& entry);
    void watchLoop();
    void fetchEnded(const std::string& channel);

    Fetcher fetcher_;
    CacheOptions options_;
    std::function<void(const ChannelStatus&)> observer_;

    mutable std::mutex mapMutex_;
    std::map<std::string, std::shared_ptr<Entry>> entries_;
    std::optional<std::set<std::string>> channels_;
    std::atomic<bool> stopping_{false};

    std::mutex runMutex_;
    std::condition_variable runDone_;
    std::multiset<std::string> running_;

    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    std::vector<std::shared_ptr<Entry>> watched_;
    bool watchQuit_ = false;
    bool watchDirty_ = false;
    std::thread watcher_;
};

// The strong entity tag of a text: a quoted hash and length.
std::string entityTag(const std::string& text);

// The message for a text above the limit.
std::string tooLargeMessage(std::size_t bytes, std::size_t limit);

}  // namespace host
