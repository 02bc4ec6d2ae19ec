// The serve command's channel cache: one fetch per channel at a time, no fetch sooner than the
// minimum interval after the previous one started, and the last good feed kept when a refetch
// fails.
//
// Channel names are matched without regard to letter case and surrounding blanks, as the plug-in
// matches its INI sections, so that two spellings of one channel share one entry and one
// schedule. A fetch that ends with "unknown channel" asked nothing of the web service; it is not
// cached, so a channel added to the INI file is served at once.
//
// Thread-safety: every member function may be called from any number of threads. The fetcher
// runs on the thread of the first reader of a due channel, without any cache lock held; the other
// readers of that channel wait for it and share its result.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace host {

using TimePoint = std::chrono::system_clock::time_point;
using NowFunction = std::function<TimePoint()>;

// What one fetch produced: status 0 with the RSS text, or the failure status and its message.
struct FetchOutcome {
    int32_t status = 0;
    std::string text;
    std::string error;
};
using Fetcher = std::function<FetchOutcome(const std::string& channel)>;

// A successfully fetched feed; immutable once published, shared by readers.
struct Feed {
    std::string text;
    std::string etag;        // strong validator, quoted
    TimePoint lastModified;  // when the text last changed
    TimePoint fetchedAt;     // start of the fetch that produced or confirmed it
};

// The answer for one reader.
struct Lookup {
    std::shared_ptr<const Feed> feed;  // null when the channel never succeeded
    int32_t status = 0;                // of the most recent fetch
    std::string error;                 // of the most recent fetch, when it failed
    TimePoint nextFetch;               // no fetch before this time
    bool stale() const { return feed != nullptr && status != 0; }
};

// Bookkeeping of one channel, for the status page.
struct ChannelStatus {
    std::string name;  // as first requested
    bool fetched = false;
    bool fetching = false;
    TimePoint lastFetch;  // start of the most recent fetch
    int32_t lastStatus = 0;
    std::string lastError;
    std::chrono::milliseconds lastDuration{0};
    std::size_t lastBytes = 0;
    TimePoint nextFetch;
    std::optional<TimePoint> lastSuccess;
    std::uint64_t fetches = 0;
    std::uint64_t failures = 0;
};

class ChannelCache {
  public:
    // `minInterval` is the shortest time between the starts of two fetches of one channel
    // (negative values count as 0). `now` is the clock; tests pass their own.
    ChannelCache(
        Fetcher fetcher, std::chrono::seconds minInterval,
        NowFunction now = [] { return std::chrono::system_clock::now(); });
    ChannelCache(const ChannelCache&) = delete;
    ChannelCache& operator=(const ChannelCache&) = delete;

    // The channel's feed, fetched first when it is due. Never throws for a fetch failure: an
    // exception from the fetcher becomes status 1 with its message.
    Lookup get(const std::string& channel);

    // Every channel asked for so far, ordered by name.
    std::vector<ChannelStatus> status() const;

    std::chrono::seconds minInterval() const { return minInterval_; }

    // Called after every fetch (on the fetching thread, without locks held); for logging.
    void setFetchObserver(std::function<void(const ChannelStatus&)> observer);

    // The canonical form of a channel name: blanks around it dropped, ASCII letters lowered.
    static std::string key(const std::string& channel);

  private:
    struct Entry {
        std::mutex mutex;
        std::condition_variable done;
        std::uint64_t generation = 0;  // counts completed fetches
        ChannelStatus status;
        std::shared_ptr<const Feed> feed;
    };

    Lookup lookupLocked(const Entry& entry) const;
    FetchOutcome runFetcher(const std::string& channel);

    Fetcher fetcher_;
    std::chrono::seconds minInterval_;
    NowFunction now_;
    std::function<void(const ChannelStatus&)> observer_;
    mutable std::mutex mapMutex_;
    std::map<std::string, std::shared_ptr<Entry>> entries_;
};

// The strong entity tag of a text: a quoted hash and length.
std::string entityTag(const std::string& text);

}  // namespace host
