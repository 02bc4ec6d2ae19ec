// What the cache knows of one channel: the record the status page, the index page and the log
// read (ChannelStatus), and the answer a reader gets (Lookup).
//
// Plain values; copies are snapshots taken under the cache's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "dovetrail/dovetrail.h"
#include "feed.h"
#include "stateStore.h"

namespace host {

// What the cache can answer a reader.
enum class CacheAnswer {
    feed,            // the channel's feed; its latest fetch succeeded
    staleFeed,       // the last good feed; a later fetch failed
    noFeed,          // no feed: the latest fetch failed, or none was allowed yet
    unknownChannel,  // no such channel (not configured, or the plug-in does not know it)
    timedOut,        // no feed: the fetch in progress passed its deadline
    stopping,        // no feed: the cache stopped waiting (shutdown)
};

// The answer for one reader: what it is, the feed when there is one, and the facts a reply needs.
struct Lookup {
    CacheAnswer answer = CacheAnswer::noFeed;
    std::shared_ptr<const Feed> feed;     // with `feed` and `staleFeed` only
    int32_t status = 0;                   // of the most recent completed fetch
    std::string error;                    // of the most recent completed fetch, when it failed
    std::string hint;                     // that goes with `error`; may be empty
    TimePoint nextFetch;                  // no fetch before this time
    std::chrono::seconds longestWait{0};  // the most the schedule may set nextFetch after now
    bool refreshing = false;              // a fetch is in progress
    bool stale() const { return answer == CacheAnswer::staleFeed; }
};

// Where a channel's last outcome came from.
enum class Origin {
    none,       // nothing yet
    fetched,    // this process fetched it
    restored,   // read from the state: fetched before a restart, or by another process
    elsewhere,  // another process is fetching it now
};

// Bookkeeping of one channel, for the status page and the log: the history the state keeps,
// and what only this process knows.
struct ChannelStatus : state::FetchHistory {
    std::string name;
    bool fetched = false;    // a fetch has completed (here, or before, as the state says)
    bool fetching = false;   // a fetch (or a look at the state) is in progress
    bool overdue = false;    // ... and passed its deadline
    TimePoint fetchStarted;  // of the fetch in progress
    TimePoint lastFetch;     // start of the most recent completed fetch
    TimePoint nextFetch;
    std::string lastHint;  // that goes with lastError (not kept in the state)
    std::chrono::milliseconds lastDuration{0};
    std::size_t lastBytes = 0;
    std::size_t items = 0;                // of the last good feed (0 when its text cannot be read)
    std::chrono::seconds interval{0};     // the channel's own
    std::chrono::seconds longestWait{0};  // with the current failure streak (schedule.h)
    Origin origin = Origin::none;         // of the last outcome
    std::string conversionError;          // the last good text cannot be converted: why
    std::string stateError;               // the state failed at the last fetch: why
};

}  // namespace host
