#include "channelCache.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <future>

namespace host {

struct ChannelCache::Entry {
    std::mutex mutex;
    ChannelStatus status;
    std::shared_ptr<const Feed> feed;
    std::chrono::steady_clock::time_point deadline;  // of the fetch in progress
    std::vector<Callback> waiters;                   // readers without a feed
};

namespace {

Lookup lookupOf(const ChannelStatus& status, const std::shared_ptr<const Feed>& feed) {
    Lookup lookup;
    lookup.feed = feed;
    lookup.status = status.lastStatus;
    lookup.error = status.lastError;
    lookup.nextFetch = status.nextFetch;
    lookup.refreshing = status.fetching;
    return lookup;
}

}  // namespace

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

std::string tooLargeMessage(std::size_t bytes, std::size_t limit) {
    return "Can't keep the feed: " + std::to_string(bytes) + " bytes is more than the limit of " +
           std::to_string(limit) + " bytes";
}

ChannelCache::ChannelCache(Fetcher fetcher, CacheOptions options)
    : fetcher_(std::move(fetcher)), options_(std::move(options)) {
    options_.minInterval = std::max(options_.minInterval, std::chrono::seconds(0));
    if (!options_.launch) {
        options_.launch = [](std::function<void()> job) { std::thread(std::move(job)).detach(); };
    }
}

ChannelCache::~ChannelCache() {
    stopWaiting();
    {
        std::unique_lock<std::mutex> lock(runMutex_);
        runDone_.wait(lock, [this] { return running_.empty(); });
    }
    {
        std::lock_guard<std::mutex> lock(watchMutex_);
        watchQuit_ = true;
    }
    watchWake_.notify_all();
    if (watcher_.joinable()) {
        watcher_.join();
    }
}

void ChannelCache::setFetchObserver(std::function<void(const ChannelStatus&)> observer) {
    observer_ = std::move(observer);
}

std::shared_ptr<ChannelCache::Entry> ChannelCache::entryFor(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    if (channels_ && channels_->count(channel) == 0) {
        return nullptr;
    }
    std::shared_ptr<Entry>& slot = entries_[channel];
    if (!slot) {
        slot = std::make_shared<Entry>();
        slot->status.name = channel;
    }
    return slot;
}

void ChannelCache::setChannels(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    channels_.emplace(names.begin(), names.end());
    for (auto it = entries_.begin(); it != entries_.end();) {
        it = channels_->count(it->first) == 0 ? entries_.erase(it) : std::next(it);
    }
}

void ChannelCache::get(const std::string& channel, Callback done) {
    const std::shared_ptr<Entry> entry = entryFor(channel);
    if (!entry) {
        Lookup unknown;
        unknown.status = kUnknownChannelStatus;
        unknown.error = "Unknown channel: " + channel;
        done(std::move(unknown));
        return;
    }
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        ChannelStatus& s = entry->status;
        const TimePoint now = options_.now();
        const bool due = !s.fetched || now >= s.nextFetch;
        if (!s.fetching && due && !stopping_) {
            s.fetching = true;
            s.overdue = false;
            s.fetchStarted = now;
            entry->deadline = std::chrono::steady_clock::now() + options_.fetchTimeout;
            start = true;
        }
    }
    if (start) {
        launchFetch(entry);
    }
    Lookup lookup;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        lookup = lookupOf(entry->status, entry->feed);
        // Read under the entry's lock: stopWaiting() sets it before it sweeps the entries.
        const bool stopping = stopping_;
        if (!entry->feed && stopping && (entry->status.fetching || !entry->status.fetched)) {
            lookup.stopping = true;
        } else if (!entry->feed && entry->status.fetching) {
            if (entry->status.overdue || std::chrono::steady_clock::now() >= entry->deadline) {
                lookup.timedOut = true;
            } else {
                entry->waiters.push_back(std::move(done));
                return;
            }
        }
    }
    done(std::move(lookup));
}

Lookup ChannelCache::getAndWait(const std::string& channel) {
    std::promise<Lookup> promise;
    std::future<Lookup> answer = promise.get_future();
    get(channel, [&promise](Lookup lookup) { promise.set_value(std::move(lookup)); });
    return answer.get();
}

void ChannelCache::launchFetch(const std::shared_ptr<Entry>& entry) {
    const std::string name = entry->status.name;  // set once, at creation
    {
        std::lock_guard<std::mutex> lock(runMutex_);
        running_.insert(name);
    }
    try {
        options_.launch([this, entry] { runFetch(entry, std::nullopt); });
    } catch (const std::exception& e) {
        // No thread for the fetch: it fails here, on the reader's thread, at once.
        runFetch(entry, FetchOutcome{1, {}, std::string("Can't start a fetch: ") + e.what()});
        return;
    }
    bool stillRunning = false;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        stillRunning = entry->status.fetching;
    }
    if (stillRunning) {
        watch(entry);
    }
}

FetchOutcome ChannelCache::runFetcher(const std::string& channel) {
    try {
        return fetcher_(channel, options_.maxFeedBytes);
    } catch (const std::exception& e) {
        return FetchOutcome{1, {}, "Can't fetch channel " + channel + ": " + e.what()};
    } catch (...) {
        return FetchOutcome{1, {}, "Can't fetch channel " + channel + ": unexpected error"};
    }
}

void ChannelCache::runFetch(const std::shared_ptr<Entry>& entry,
                            std::optional<FetchOutcome> preset) {
    std::string name;
    TimePoint start;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        name = entry->status.name;
        start = entry->status.fetchStarted;
    }
    const auto steadyStart = std::chrono::steady_clock::now();
    FetchOutcome outcome = preset ? std::move(*preset) : runFetcher(name);
    const auto duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - steadyStart);
    const std::size_t bytes = outcome.text.size();
    if (outcome.status == 0 && bytes > options_.maxFeedBytes) {
        outcome = FetchOutcome{1, {}, tooLargeMessage(bytes, options_.maxFeedBytes)};
    }

    // Hash outside the lock: a large text takes a moment.
    std::string etag;
    if (outcome.status == 0) {
        etag = entityTag(outcome.text);
    }
    std::vector<Callback> waiters;
    Lookup lookup;
    ChannelStatus snapshot;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        ChannelStatus& s = entry->status;
        s.fetching = false;
        s.overdue = false;
        s.fetched = true;
        s.lastFetch = start;
        s.lastStatus = outcome.status;
        s.lastDuration = duration;
        s.lastBytes = bytes;
        s.nextFetch = start + options_.minInterval;
        ++s.fetches;
        if (outcome.status == 0) {
            s.lastError.clear();
            s.lastSuccess = start;
            const bool unchanged = entry->feed != nullptr && entry->feed->etag == etag &&
                                   entry->feed->text == outcome.text;
            const TimePoint modified = unchanged ? entry->feed->lastModified : start;
            entry->feed = std::make_shared<const Feed>(
                Feed{std::move(outcome.text), etag, modified, httpDate(modified), start});
        } else {
            ++s.failures;
            s.lastError = outcome.error;
        }
        waiters.swap(entry->waiters);
        lookup = lookupOf(s, entry->feed);
        snapshot = s;
    }
    for (Callback& waiter : waiters) {
        waiter(lookup);
    }
    if (observer_) {
        observer_(snapshot);
    }
    fetchEnded(name);
}

void ChannelCache::fetchEnded(const std::string& channel) {
    std::lock_guard<std::mutex> lock(runMutex_);
    running_.erase(running_.find(channel));
    // Notified under the lock: the destructor may be waiting to destroy the condition variable.
    runDone_.notify_all();
}

void ChannelCache::watch(const std::shared_ptr<Entry>& entry) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    if (watchQuit_) {
        return;
    }
    watched_.push_back(entry);
    watchDirty_ = true;
    if (!watcher_.joinable()) {
        watcher_ = std::thread([this] { watchLoop(); });
    }
    watchWake_.notify_all();
}

// Marks fetches that passed their deadline and answers their waiting readers.
void ChannelCache::watchLoop() {
    std::unique_lock<std::mutex> lock(watchMutex_);
    while (!watchQuit_) {
        std::vector<std::shared_ptr<Entry>> entries;
        entries.swap(watched_);
        watchDirty_ = false;
        lock.unlock();

        const auto now = std::chrono::steady_clock::now();
        auto next = std::chrono::steady_clock::time_point::max();
        std::vector<std::shared_ptr<Entry>> keep;
        for (const std::shared_ptr<Entry>& entry : entries) {
            std::vector<Callback> expired;
            Lookup lookup;
            ChannelStatus snapshot;
            {
                std::lock_guard<std::mutex> entryLock(entry->mutex);
                if (!entry->status.fetching || entry->status.overdue) {
                    continue;
                }
                if (now < entry->deadline) {
                    next = std::min(next, entry->deadline);
                    keep.push_back(entry);
                    continue;
                }
                entry->status.overdue = true;
                expired.swap(entry->waiters);
                lookup = lookupOf(entry->status, entry->feed);
                lookup.timedOut = lookup.feed == nullptr;
                snapshot = entry->status;
            }
            for (Callback& waiter : expired) {
                waiter(lookup);
            }
            if (observer_) {
                observer_(snapshot);
            }
        }

        lock.lock();
        for (std::shared_ptr<Entry>& entry : keep) {
            if (std::find(watched_.begin(), watched_.end(), entry) == watched_.end()) {
                watched_.push_back(std::move(entry));
            }
        }
        if (watchQuit_ || watchDirty_) {
            continue;
        }
        if (next == std::chrono::steady_clock::time_point::max()) {
            watchWake_.wait(lock, [this] { return watchQuit_ || watchDirty_; });
        } else {
            watchWake_.wait_until(lock, next, [this] { return watchQuit_ || watchDirty_; });
        }
    }
}

void ChannelCache::stopWaiting() {
    std::vector<std::shared_ptr<Entry>> entries;
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        for (const auto& [name, entry] : entries_) {
            entries.push_back(entry);
        }
    }
    // Entries dropped by setChannels() may still have waiters; the watcher knows them too.
    {
        std::lock_guard<std::mutex> lock(watchMutex_);
        for (const std::shared_ptr<Entry>& entry : watched_) {
            if (std::find(entries.begin(), entries.end(), entry) == entries.end()) {
                entries.push_back(entry);
            }
        }
    }
    for (const std::shared_ptr<Entry>& entry : entries) {
        std::vector<Callback> waiting;
        Lookup lookup;
        {
            std::lock_guard<std::mutex> lock(entry->mutex);
            waiting.swap(entry->waiters);
            lookup = lookupOf(entry->status, entry->feed);
            lookup.stopping = lookup.feed == nullptr;
        }
        for (Callback& waiter : waiting) {
            waiter(lookup);
        }
    }
}

std::vector<std::string> ChannelCache::waitForFetches(
    std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(runMutex_);
    runDone_.wait_until(lock, deadline, [this] { return running_.empty(); });
    return std::vector<std::string>(running_.begin(), running_.end());
}

std::vector<ChannelStatus> ChannelCache::status() const {
    std::vector<std::shared_ptr<Entry>> entries;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        for (const auto& [name, entry] : entries_) {
            entries.push_back(entry);
        }
    }
    std::vector<ChannelStatus> result;
    for (const auto& entry : entries) {
        std::lock_guard<std::mutex> lock(entry->mutex);
        result.push_back(entry->status);
    }
    return result;
}

}  // namespace host
