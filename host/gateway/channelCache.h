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
//   longest interval, but never sooner than the channel's interval after its last success.
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

#include "dovetrail/dovetrail.h"
#include "feedSet.h"
#include "httpText.h"
#include "stateStore.h"

namespace host {

using NowFunction = std::function<TimePoint()>;

// The first retry of a failed channel; each further failure doubles it.
constexpr std::chrono::seconds kFirstRetry{30};

// What one fetch produced: status 0 with the RSS text, or the failure status and its message.
struct FetchOutcome {
    FetchOutcome(int32_t status_ = 0, std::string text_ = {}, std::string error_ = {},
                 std::string hint_ = {})
        : status(status_), text(std::move(text_)), error(std::move(error_)),
          hint(std::move(hint_)) {}
    int32_t status;
    std::string text;
    std::string error;
    std::string hint;  // on a failure: what to change (hints.h); may be empty
};
// Fetches one channel; a text above `maxBytes` may be refused (and is refused by the cache). A
// plain function, so that whoever owns the plug-in session can swap the session behind it.
using Fetcher = std::function<FetchOutcome(const std::string& channel, std::size_t maxBytes)>;

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

// A channel's good text with its converted forms; immutable once published (apart from the forms
// for further base URLs, built on first use), shared by readers and answers.
class Feed {
  public:
    // At most this many base URLs get forms of their own; a further one is built per request.
    static constexpr std::size_t kMaxBaseUrls = 9;

    // `model` is the text's channel model with item dates, or nothing when the text cannot be
    // read (then `conversionError` says why).
    Feed(std::string channel, std::string text, TimePoint lastModified, TimePoint fetchedAt,
         std::chrono::seconds interval, std::optional<feeds::ChannelModel> model,
         std::string conversionError);
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    const std::string& text() const { return plugin_->identity; }  // the plug-in's text
    const std::string& etag() const { return plugin_->etag; }      // of the text, quoted
    // The text byte for byte with its gzip copy, as served at /channels/NAME.plugin.
    const std::shared_ptr<const feeds::PreparedBody>& pluginForm() const { return plugin_; }
    const std::string& channel() const { return channel_; }
    TimePoint lastModified() const { return lastModified_; }  // when the text last changed
    const std::string& lastModifiedHttp() const { return lastModifiedHttp_; }
    TimePoint fetchedAt() const { return fetchedAt_; }  // start of the fetch that produced it
    std::chrono::seconds interval() const { return interval_; }  // the RSS ttl
    const std::optional<feeds::ChannelModel>& model() const { return model_; }
    // Why the feed formats cannot be written from this text; empty when they can.
    const std::string& conversionError() const { return conversionError_; }

    // Every form for feeds served under `baseUrl` (from normalizeBaseUrl): built on the first call
    // for that base and kept. Null when the text cannot be converted. Throws FeedError when
    // writing fails.
    std::shared_ptr<const feeds::FeedSet> forms(const std::string& baseUrl) const;
    // The base URLs whose forms are kept.
    std::vector<std::string> builtBases() const;

  private:
    std::string channel_;
    std::shared_ptr<const feeds::PreparedBody> plugin_;
    TimePoint lastModified_;
    std::string lastModifiedHttp_;
    TimePoint fetchedAt_;
    std::chrono::seconds interval_;
    std::optional<feeds::ChannelModel> model_;
    std::string conversionError_;
    mutable std::mutex mutex_;
    mutable std::vector<std::shared_ptr<const feeds::FeedSet>> sets_;
};

// The plug-in's text read once per fetch: its model, or why it cannot be read.
struct ParsedText {
    std::optional<feeds::ChannelModel> model;
    std::string error;
};
ParsedText parseText(const std::string& text);

// The answer for one reader.
struct Lookup {
    std::shared_ptr<const Feed> feed;  // null when the channel never succeeded
    int32_t status = 0;                // of the most recent completed fetch
    std::string error;                 // of the most recent completed fetch, when it failed
    std::string hint;                  // that goes with `error`; may be empty
    TimePoint nextFetch;               // no fetch before this time
    bool refreshing = false;           // a fetch is in progress
    bool timedOut = false;             // no feed: the fetch in progress passed its deadline
    bool stopping = false;             // no feed: the cache stopped waiting (shutdown)
    bool stale() const { return feed != nullptr && status != DOVETRAIL_STATUS_OK; }
};

// Where a channel's last outcome came from.
enum class Origin {
    none,       // nothing yet
    fetched,    // this process fetched it
    restored,   // read from the state: fetched before a restart, or by another process
    elsewhere,  // another process is fetching it now
};

// Bookkeeping of one channel, for the status page and the log.
struct ChannelStatus {
    std::string name;
    bool fetched = false;    // a fetch has completed (here, or before, as the state says)
    bool fetching = false;   // a fetch (or a look at the state) is in progress
    bool overdue = false;    // ... and passed its deadline
    TimePoint fetchStarted;  // of the fetch in progress
    TimePoint lastFetch;     // start of the most recent completed fetch
    int32_t lastStatus = 0;
    std::string lastError;
    std::string lastHint;  // that goes with lastError (not kept in the state)
    std::chrono::milliseconds lastDuration{0};
    std::size_t lastBytes = 0;
    TimePoint nextFetch;
    std::optional<TimePoint> lastSuccess;
    std::uint64_t fetches = 0;
    std::uint64_t failures = 0;
    std::uint32_t failureStreak = 0;   // failures since the last success
    std::chrono::seconds interval{0};  // the channel's own
    Origin origin = Origin::none;      // of the last outcome
    std::string conversionError;       // the last good text cannot be converted: why
    std::string stateError;            // the state failed at the last fetch: why
};

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
    NowFunction now = [] { return std::chrono::system_clock::now(); };
    // Runs one fetch job; by default on a new thread. Tests and fuzzers may run it inline.
    std::function<void(std::function<void()>)> launch;
    // Where the schedule, the texts and the item dates are kept; null: in memory.
    std::shared_ptr<state::StateStore> state;
    // How often a reader without a feed looks again while another process fetches the channel.
    std::chrono::milliseconds elsewherePoll = std::chrono::seconds(1);
    // Whether fetches may start now (the plug-in is ready); null: always. While it says no, readers
    // get what the cache and the state hold, and a channel without a feed gets a plain answer
    // without a fetch, which is neither recorded as a failure nor delays the channel's schedule.
    std::function<bool()> mayFetch;
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
    // reader asks.
    void setChannels(const std::vector<ChannelSchedule>& channels, std::chrono::seconds longest);
    // The same, every channel with minInterval.
    void setChannels(const std::vector<std::string>& names);

    // The base URL whose feed forms each fetch prepares at once (a reader under another base
    // builds its own on first use).
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
    FetchOutcome runFetcher(const std::string& channel);
    bool fetchAllowed() const;
    std::shared_ptr<const Feed> makeFeed(const std::string& name, std::string text,
                                         ParsedText parsed, TimePoint lastModified,
                                         TimePoint fetchedAt, std::chrono::seconds interval,
                                         const std::map<std::string, TimePoint>& dates,
                                         const std::vector<TimePoint>* recorded,
                                         const std::shared_ptr<const Feed>& previous);
    // Answers the waiting readers and, with `observe`, reports. A `finished` job answers them
    // all; one that goes on answers them only when a feed is there.
    void publish(const std::shared_ptr<Entry>& entry, bool finished, bool observe);
    void watch(const std::shared_ptr<Entry>& entry);
    void watchLoop();
    void fetchEnded(const std::string& channel);
    std::chrono::seconds leaseLength() const;

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

// The message for a text above the limit.
std::string tooLargeMessage(std::size_t bytes, std::size_t limit);

// The log line for a fetch, a feed read from the state, or a fetch past its deadline.
std::string fetchLogLine(const ChannelStatus& status, std::chrono::milliseconds fetchTimeout,
                         TimePoint now);

}  // namespace host
