#include "channelCache.h"

#include <algorithm>
#include <future>

#include "cacheEntry.h"

namespace host {

Lookup lookupOf(const ChannelStatus& status, const std::shared_ptr<const Feed>& feed) {
    Lookup lookup;
    lookup.feed = feed;
    lookup.status = status.lastStatus;
    lookup.error = status.lastError;
    lookup.hint = status.lastHint;
    lookup.nextFetch = status.nextFetch;
    lookup.longestWait = status.longestWait;
    lookup.refreshing = status.fetching;
    if (feed) {
        lookup.answer =
            status.lastStatus == DOVETRAIL_STATUS_OK ? CacheAnswer::feed : CacheAnswer::staleFeed;
    } else {
        lookup.answer = status.lastStatus == DOVETRAIL_STATUS_UNKNOWN_CHANNEL
                            ? CacheAnswer::unknownChannel
                            : CacheAnswer::noFeed;
    }
    return lookup;
}

ChannelCache::ChannelCache(Fetcher fetcher, CacheOptions options)
    : fetcher_(std::move(fetcher)), options_(std::move(options)) {
    options_.minInterval = std::max(options_.minInterval, std::chrono::seconds(0));
    longest_ = std::max(options_.longestInterval, options_.minInterval);
    if (!options_.launch) {
        options_.launch = [this](std::function<void()> job) { threads_.spawn(std::move(job)); };
    }
    state_ = options_.state ? options_.state : std::make_shared<state::StateStore>("");
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

void ChannelCache::setBaseUrl(std::string baseUrl) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    baseUrl_ = std::move(baseUrl);
}

std::shared_ptr<ChannelCache::Entry> ChannelCache::entryFor(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    std::chrono::seconds interval = options_.minInterval;
    if (channels_) {
        const auto configured = channels_->find(channel);
        if (configured == channels_->end()) {
            return nullptr;
        }
        interval = configured->second;
    }
    std::shared_ptr<Entry>& slot = entries_[channel];
    if (!slot) {
        slot = std::make_shared<Entry>();
        slot->status.name = channel;
        slot->status.interval = interval;
    }
    return slot;
}

void ChannelCache::setChannels(const std::vector<ChannelSchedule>& channels,
                               std::chrono::seconds longest) {
    std::vector<std::shared_ptr<Entry>> fresh;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        channels_.emplace();
        for (const ChannelSchedule& channel : channels) {
            channels_->emplace(channel.name, std::max(channel.interval, std::chrono::seconds(0)));
        }
        longest_ = std::max(longest, std::chrono::seconds(0));
        for (auto it = entries_.begin(); it != entries_.end();) {
            const auto configured = channels_->find(it->first);
            if (configured == channels_->end()) {
                it = entries_.erase(it);
                continue;
            }
            std::lock_guard<std::mutex> entryLock(it->second->mutex);
            it->second->status.interval = configured->second;
            ++it;
        }
        // With a state file, what it holds shows at once: each new channel is read in the
        // background (no fetch; the first reader's request decides that).
        if (!state_->inMemory() && !stopping_) {
            for (const auto& [name, interval] : *channels_) {
                std::shared_ptr<Entry>& slot = entries_[name];
                if (!slot) {
                    slot = std::make_shared<Entry>();
                    slot->status.name = name;
                    slot->status.interval = interval;
                    slot->status.fetching = true;
                    slot->status.fetchStarted = options_.now();
                    slot->deadline = std::chrono::steady_clock::now() + options_.fetchTimeout;
                    fresh.push_back(slot);
                }
            }
        }
    }
    for (const std::shared_ptr<Entry>& entry : fresh) {
        launchJob(entry, false);
    }
    // Channels gone from the list take their stored texts and dates with them (in the
    // background: the state may be locked for a while by another process).
    if (!state_->inMemory()) {
        std::vector<std::string> names;
        for (const ChannelSchedule& channel : channels) {
            names.push_back(channel.name);
        }
        try {
            options_.launch([state = state_, names = std::move(names)] {
                try {
                    state->keepOnly(names);
                } catch (const std::exception&) {
                    // Kept until the next list: stale rows cost space, never an answer.
                }
            });
        } catch (const std::exception&) {
            // No thread now: the next list prunes.
        }
    }
}

void ChannelCache::setChannels(const std::vector<std::string>& names) {
    std::vector<ChannelSchedule> channels;
    for (const std::string& name : names) {
        channels.push_back(ChannelSchedule{name, options_.minInterval});
    }
    setChannels(channels, std::max(options_.longestInterval, options_.minInterval));
}

void ChannelCache::get(const std::string& channel, Callback done) {
    const std::shared_ptr<Entry> entry = entryFor(channel);
    if (!entry) {
        Lookup unknown;
        unknown.answer = CacheAnswer::unknownChannel;
        unknown.status = DOVETRAIL_STATUS_UNKNOWN_CHANNEL;
        unknown.error = "Unknown channel: " + channel;
        done(std::move(unknown));
        return;
    }
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        ChannelStatus& s = entry->status;
        const TimePoint now = options_.now();
        const bool due = entry->due(options_.steadyNow());
        // Without the plug-in a job still reads the state once, for a stored feed. Asked last:
        // most readers find the channel not due.
        if (!s.fetching && due && !stopping_ && (!entry->loaded || fetchAllowed())) {
            s.fetching = true;
            s.overdue = false;
            s.fetchStarted = now;
            entry->deadline = std::chrono::steady_clock::now() + options_.fetchTimeout;
            start = true;
        } else if (s.fetching && due) {
            // A job that only reads the state runs: it fetches too once it is done.
            entry->fetchWanted = true;
        }
    }
    if (start) {
        launchJob(entry, true);
    }
    Lookup lookup;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        lookup = lookupOf(entry->status, entry->feed);
        // Read under the entry's lock: stopWaiting() sets it before it sweeps the entries.
        const bool stopping = stopping_;
        if (!entry->feed && stopping && (entry->status.fetching || !entry->status.fetched)) {
            lookup.answer = CacheAnswer::stopping;
        } else if (!entry->feed && entry->status.fetching) {
            if (entry->status.overdue || std::chrono::steady_clock::now() >= entry->deadline) {
                lookup.answer = CacheAnswer::timedOut;
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

void ChannelCache::publish(const std::shared_ptr<Entry>& entry, bool finished, bool observe) {
    std::vector<Callback> waiters;
    Lookup lookup;
    ChannelStatus snapshot;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        if (finished) {
            entry->status.fetching = false;
            entry->status.overdue = false;
        }
        // While the job goes on, only a feed is worth answering with.
        if (finished || entry->feed) {
            waiters.swap(entry->waiters);
        }
        lookup = lookupOf(entry->status, entry->feed);
        snapshot = entry->status;
    }
    for (Callback& waiter : waiters) {
        waiter(lookup);
    }
    if (observe && observer_) {
        observer_(snapshot);
    }
}

void ChannelCache::watch(const std::shared_ptr<Entry>& entry) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    if (watchQuit_) {
        return;
    }
    if (std::find(watched_.begin(), watched_.end(), entry) == watched_.end()) {
        watched_.push_back(entry);
    }
    if (options_.timer) {
        std::chrono::steady_clock::time_point deadline;
        {
            std::lock_guard<std::mutex> entryLock(entry->mutex);
            deadline = entry->deadline;
        }
        const auto delay = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        options_.timer(std::max(delay, std::chrono::milliseconds(0)), [this, entry] {
            if (!expireIfDue(entry, std::chrono::steady_clock::now(), nullptr)) {
                std::lock_guard<std::mutex> again(watchMutex_);
                std::erase(watched_, entry);
            }
        });
        return;
    }
    watchDirty_ = true;
    if (!watcher_.joinable()) {
        watcher_ = quietThread([this] { watchLoop(); });
    }
    watchWake_.notify_all();
}

bool ChannelCache::expireIfDue(const std::shared_ptr<Entry>& entry,
                               std::chrono::steady_clock::time_point now,
                               std::chrono::steady_clock::time_point* deadline) {
    std::vector<Callback> expired;
    Lookup lookup;
    ChannelStatus snapshot;
    {
        std::lock_guard<std::mutex> entryLock(entry->mutex);
        if (!entry->status.fetching || entry->status.overdue) {
            return false;
        }
        if (now < entry->deadline) {
            // A later job's: it watches its own deadline.
            if (deadline != nullptr) {
                *deadline = entry->deadline;
            }
            return true;
        }
        entry->status.overdue = true;
        expired.swap(entry->waiters);
        lookup = lookupOf(entry->status, entry->feed);
        if (!lookup.feed) {
            lookup.answer = CacheAnswer::timedOut;
        }
        snapshot = entry->status;
    }
    for (Callback& waiter : expired) {
        waiter(lookup);
    }
    if (observer_) {
        observer_(snapshot);
    }
    return false;
}

// Without CacheOptions::timer: marks fetches that passed their deadline and answers their waiting
// readers, on a thread of its own.
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
            std::chrono::steady_clock::time_point deadline;
            if (expireIfDue(entry, now, &deadline)) {
                next = std::min(next, deadline);
                keep.push_back(entry);
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
    {
        // Under the lock: a pause() between its check and its wait would miss the wake.
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stopWake_.notify_all();
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
            if (!lookup.feed) {
                lookup.answer = CacheAnswer::stopping;
            }
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
