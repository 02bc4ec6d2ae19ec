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
    TimePoint notBefore{};     // no claim before this: another process holds the lease
    std::chrono::steady_clock::time_point deadline;  // of the job in progress
    std::vector<Callback> waiters;                   // readers without a feed
};

// The reader's answer from the channel's record and feed.
Lookup lookupOf(const ChannelStatus& status, const std::shared_ptr<const Feed>& feed);

inline std::string errorText(const std::exception& e) {
    return e.what();
}

}  // namespace host
