#include "channelCache.h"

#include <algorithm>
#include <cstdio>
#include <exception>

namespace host {

std::string entityTag(const std::string& text) {
    // FNV-1a, 64 bits: a validator, not a security measure; the length makes it stronger still.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "\"%zx-%016llx\"", text.size(),
                  static_cast<unsigned long long>(hash));
    return buffer;
}

ChannelCache::ChannelCache(Fetcher fetcher, std::chrono::seconds minInterval, NowFunction now)
    : fetcher_(std::move(fetcher)),
      minInterval_(std::max(minInterval, std::chrono::seconds(0))),
      now_(std::move(now)) {}

void ChannelCache::setFetchObserver(std::function<void(const ChannelStatus&)> observer) {
    observer_ = std::move(observer);
}

std::string ChannelCache::key(const std::string& channel) {
    std::size_t begin = channel.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return std::string();
    }
    std::size_t end = channel.find_last_not_of(" \t");
    std::string k = channel.substr(begin, end - begin + 1);
    for (char& c : k) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return k;
}

Lookup ChannelCache::lookupLocked(const Entry& entry) const {
    Lookup lookup;
    lookup.feed = entry.feed;
    lookup.status = entry.status.lastStatus;
    lookup.error = entry.status.lastError;
    lookup.nextFetch = entry.status.nextFetch;
    return lookup;
}

FetchOutcome ChannelCache::runFetcher(const std::string& channel) {
    try {
        return fetcher_(channel);
    } catch (const std::exception& e) {
        return FetchOutcome{1, {}, std::string("Can't fetch channel ") + channel + ": " + e.what()};
    } catch (...) {
        return FetchOutcome{1, {}, "Can't fetch channel " + channel + ": unexpected error"};
    }
}

Lookup ChannelCache::get(const std::string& channel) {
    const std::string k = key(channel);
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        std::shared_ptr<Entry>& slot = entries_[k];
        if (!slot) {
            slot = std::make_shared<Entry>();
            slot->status.name = channel;
        }
        entry = slot;
    }

    std::unique_lock<std::mutex> lock(entry->mutex);
    if (entry->status.fetching) {
        // Share the result of the fetch in progress, whatever it is.
        const std::uint64_t generation = entry->generation;
        entry->done.wait(lock, [&] { return entry->generation != generation; });
        return lookupLocked(*entry);
    }
    const TimePoint start = now_();
    if (entry->status.fetched && start < entry->status.nextFetch) {
        return lookupLocked(*entry);
    }

    entry->status.fetching = true;
    lock.unlock();
    const auto steadyStart = std::chrono::steady_clock::now();
    FetchOutcome outcome = runFetcher(channel);
    const auto duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - steadyStart);

    // Hash outside the lock: a large text takes a moment.
    std::string etag;
    if (outcome.status == 0) {
        etag = entityTag(outcome.text);
    }
    lock.lock();
    ChannelStatus& s = entry->status;
    s.fetching = false;
    s.fetched = true;
    s.lastFetch = start;
    s.lastStatus = outcome.status;
    s.lastDuration = duration;
    s.lastBytes = outcome.text.size();
    s.nextFetch = start + minInterval_;
    ++s.fetches;
    if (outcome.status == 0) {
        s.lastError.clear();
        s.lastSuccess = start;
        const bool unchanged = entry->feed != nullptr && entry->feed->etag == etag &&
                               entry->feed->text == outcome.text;
        const TimePoint modified = unchanged ? entry->feed->lastModified : start;
        entry->feed =
            std::make_shared<const Feed>(Feed{std::move(outcome.text), etag, modified, start});
    } else {
        ++s.failures;
        s.lastError = outcome.error;
    }
    ++entry->generation;
    const Lookup lookup = lookupLocked(*entry);
    const ChannelStatus snapshot = s;
    const bool forget = outcome.status == 5 && entry->feed == nullptr;
    lock.unlock();
    entry->done.notify_all();

    if (forget) {
        std::lock_guard<std::mutex> mapLock(mapMutex_);
        auto it = entries_.find(k);
        if (it != entries_.end() && it->second == entry) {
            entries_.erase(it);
        }
    }
    if (observer_) {
        observer_(snapshot);
    }
    return lookup;
}

std::vector<ChannelStatus> ChannelCache::status() const {
    std::vector<std::shared_ptr<Entry>> entries;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        for (const auto& [k, e] : entries_) {
            entries.push_back(e);
        }
    }
    std::vector<ChannelStatus> result;
    for (const auto& e : entries) {
        std::lock_guard<std::mutex> lock(e->mutex);
        result.push_back(e->status);
    }
    return result;
}

}  // namespace host
