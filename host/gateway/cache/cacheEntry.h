// The cache's per-channel entry, shared by its two halves (channelCache.cpp: readers, channels
// and the deadline watch; cacheJobs.cpp: the jobs that read the state and fetch).
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "channelCache.h"

namespace host {

struct ChannelCache::Entry {
    std::mutex mutex;
    ChannelStatus status;
    std::shared_ptr<const Feed> feed;
    bool loaded = false;       // the state was read for this entry
    bool fetchWanted = false;  // a due reader came while a job ran
    // The schedule on the steady clock (CacheOptions::steadyNow); status.nextFetch shows it.
    std::chrono::steady_clock::time_point dueAt{};
    std::chrono::steady_clock::time_point notBefore{};  // no claim before: another holds the lease
    std::chrono::steady_clock::time_point deadline;     // of the job in progress
    std::vector<Callback> waiters;                      // readers without a feed

    // Whether the channel may be fetched at `now`. Under `mutex`.
    bool due(std::chrono::steady_clock::time_point now) const {
        return fetchIsDue(status.fetched, dueAt, notBefore, now);
    }
};

// The reader's answer from the channel's record and feed.
Lookup lookupOf(const ChannelStatus& status, const std::shared_ptr<const Feed>& feed);

inline std::string errorText(const std::exception& e) {
    return e.what();
}

}  // namespace host
