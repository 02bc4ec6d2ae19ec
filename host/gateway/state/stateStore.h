// The gateway's state, kept in an SQLite file so that a restart neither asks the web service again
// inside a channel's interval nor shows every item as new: per channel the last good plug-in text,
// its entity tag and Last-Modified time, the time of the last fetch and of the next allowed one,
// the outcome of the last fetch, and the time each item guid was first seen.
//
// Durability: every change is one transaction (write-ahead log, synchronous=NORMAL), so a process
// killed at any moment leaves the last committed state; only a power loss may lose the last
// commits, never tear one.
//
// A file that is not an SQLite database, is damaged, or holds another schema (another program's
// database, another version of this one) is never written to: it is renamed aside
// (PATH.corrupt-STAMP or PATH.other-schema-STAMP, with its journal files), the `report` callback
// says so, and a new state is started at PATH.
//
// Several processes on one file: a fetch is claimed first. Inside the channel's interval the claim
// answers "not needed"; otherwise it takes a lease row (holder, expiry) for the channel in the same
// transaction, and a second process asking meanwhile is told "fetching elsewhere" until the lease
// is released by recordFetch or releaseClaim, or expires (a holder that died). So two processes
// never both fetch one channel inside its interval.
//
// Privacy: the directories created for the state are 0700, the file 0600 (SQLite gives its
// journal files the same mode). A state file, or a journal file of it, that is a symbolic link,
// not a regular file, or owned by another user is refused (StateError says which and why), and
// the file is opened without following links, so that a link or a file planted in a shared
// directory is never taken as this program's state.
//
// Item guids not seen in a channel's text for kItemRetention are pruned when the channel is next
// recorded; a guid that comes back later counts as new.
//
// Thread-safety: every member function may be called from any thread; calls are serialised on one
// connection. Non-copyable owner of the connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "textDates.h"

struct sqlite3;

namespace host::state {

using text::TimePoint;

// The state cannot be opened, read or written; what() says what failed and on which file.
class StateError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What a channel's fetches have come to: kept in the state and, with this process's own facts,
// in the cache's record of the channel (ChannelStatus), so that each field is written down once.
struct FetchHistory {
    std::optional<TimePoint> lastSuccess;  // start of the last successful fetch
    int32_t lastStatus = 0;                // of the last fetch
    std::string lastError;                 // of the last fetch, when it failed
    std::uint64_t fetches = 0;
    std::uint64_t failures = 0;
    std::uint32_t failureStreak = 0;  // failures since the last success (the retry backoff)
};

struct StoredChannel : FetchHistory {
    std::optional<std::string> text;        // the last good plug-in text; none before a success
    std::string etag;                       // of `text`, as the caller recorded it
    std::optional<TimePoint> lastModified;  // when `text` last changed
    std::optional<TimePoint> lastFetch;     // start of the last fetch
    std::optional<TimePoint> nextFetch;     // no fetch before this
};

enum class FetchDecision {
    fetch,              // this process holds the lease now: fetch, then recordFetch
    notNeeded,          // inside the channel's interval: serve `stored`
    fetchingElsewhere,  // another holder's lease runs until `leaseExpires`
};

struct FetchClaim {
    FetchDecision decision = FetchDecision::fetch;
    StoredChannel stored;  // the channel as stored now (empty before its first fetch)
    TimePoint leaseExpires{};
};

// A finished fetch.
struct FetchResult {
    TimePoint started{};
    TimePoint nextFetch{};
    int32_t status = 0;               // 0: success
    std::string error;                // when it failed
    std::string text;                 // the plug-in's text, on success
    std::string etag;                 // of `text`
    std::vector<std::string> guids;   // of the text's items, on success
    std::uint32_t failureStreak = 0;  // failures since the last success, this one included
};

class StateStore {
  public:
    static constexpr std::chrono::hours kItemRetention{24 * 30};
    // Version 2 added the failure streak; a version 1 file is brought up to date in place.
    static constexpr std::int32_t kSchemaVersion = 2;

    using Report = std::function<void(const std::string& message)>;

    // Opens or creates the state at `path`, creating its directory; an empty path keeps the state
    // in memory. Throws StateError when the file cannot be opened or created (a file set aside is
    // not an error, only reported).
    explicit StateStore(const std::string& path, Report report = {});
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    const std::string& path() const { return path_; }  // empty in memory
    bool inMemory() const { return path_.empty(); }

    // The channel as stored; nothing when it was never recorded.
    std::optional<StoredChannel> load(const std::string& channel);
    // Every channel recorded so far, by name.
    std::vector<std::string> channels();

    // Decides whether this process fetches `channel` at `now` (see above); when it does, it holds
    // the lease until `now + leaseFor` (the fetch's deadline and a margin). A stored next fetch
    // more than `longestWait` after `now`, or another holder's lease more than `leaseFor` after
    // it, was not written by a schedule that runs on this clock (a planted file, a clock stepped
    // back): it does not hold the fetch back. Without `longestWait` any stored next fetch counts.
    FetchClaim claimFetch(const std::string& channel, TimePoint now, std::chrono::seconds leaseFor,
                          std::optional<std::chrono::seconds> longestWait = std::nullopt);
    // Records a finished fetch in one transaction and releases this process's lease. On success
    // the text and tag replace the stored ones (lastModified moves only when the text changed) and
    // each guid is recorded. Returns the first-seen time of each of `result.guids`, in order
    // (empty for a failure); `lastModified`, when given, receives the text's Last-Modified time.
    std::vector<TimePoint> recordFetch(const std::string& channel, const FetchResult& result,
                                       std::optional<TimePoint>* lastModified = nullptr);
    // Gives up this process's lease without recording a fetch.
    void releaseClaim(const std::string& channel);

    // Forgets every channel not in `channels`: its text, schedule, item dates and lease.
    void keepOnly(const std::vector<std::string>& channels);

    // When each item guid of the channel was first seen.
    std::map<std::string, TimePoint> itemDates(const std::string& channel);

  private:
    void open(Report& report);
    void createSchema();

    std::string path_;
    std::string holder_;  // this store's lease holder name: process and a random number
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

// $XDG_STATE_HOME/dovetrail/state.sqlite3 when XDG_STATE_HOME is an absolute path, else
// $HOME/.local/state/dovetrail/state.sqlite3. Throws StateError when neither can be used.
std::string defaultStatePath();

// The state at `path`, at defaultStatePath() without one, in memory for an empty one. Throws
// StateError.
std::shared_ptr<StateStore> openState(const std::optional<std::string>& path,
                                      StateStore::Report report = {});

}  // namespace host::state
