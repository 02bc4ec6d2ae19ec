#include "channelCache.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <future>
#include <sstream>

#include "textDates.h"
#include "textEscape.h"

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

namespace {

Lookup lookupOf(const ChannelStatus& status, const std::shared_ptr<const Feed>& feed) {
    Lookup lookup;
    lookup.feed = feed;
    lookup.status = status.lastStatus;
    lookup.error = status.lastError;
    lookup.hint = status.lastHint;
    lookup.nextFetch = status.nextFetch;
    lookup.refreshing = status.fetching;
    return lookup;
}

std::string errorText(const std::exception& e) {
    return e.what();
}

}  // namespace

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
        const bool due = fetchIsDue(s.fetched, s.nextFetch, entry->notBefore, now);
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

std::vector<std::string> ChannelCache::basesFor(const std::shared_ptr<const Feed>& previous) const {
    std::string current;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        current = baseUrl_;
    }
    return basesToBuild(current, previous);
}

void ChannelCache::pause(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopWake_.wait_until(lock, until, [this] { return stopping_.load(); });
}

void ChannelCache::launchJob(const std::shared_ptr<Entry>& entry, bool mayFetch) {
    const std::string name = entry->status.name;  // set once, at creation
    {
        std::lock_guard<std::mutex> lock(runMutex_);
        running_.insert(name);
    }
    try {
        options_.launch([this, entry, mayFetch] { runJob(entry, mayFetch, std::nullopt); });
    } catch (const std::exception& e) {
        // No thread for the fetch: it fails here, on the reader's thread, at once.
        runJob(entry, mayFetch,
               FetchOutcome{1, {}, std::string("Can't start a fetch: ") + e.what(), {}});
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

bool ChannelCache::fetchAllowed() const {
    return !options_.mayFetch || options_.mayFetch();
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

void ChannelCache::adopt(const std::shared_ptr<Entry>& entry, const state::StoredChannel& stored,
                         Origin origin) {
    if (!stored.lastFetch) {
        return;
    }
    std::string name;
    std::shared_ptr<const Feed> current;
    std::chrono::seconds interval;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        name = entry->status.name;
        current = entry->feed;
        interval = entry->status.interval;
    }
    std::shared_ptr<const Feed> feed = current;
    std::string stateError;
    if (stored.text &&
        !(current && current->etag() == stored.etag && current->text() == *stored.text)) {
        std::map<std::string, TimePoint> dates;
        try {
            dates = state_->itemDates(name);
        } catch (const std::exception& e) {
            stateError = errorText(e);
        }
        const TimePoint modified = stored.lastModified.value_or(*stored.lastFetch);
        feed = makeFeed(FeedFacts{name, modified, stored.lastSuccess.value_or(modified), interval},
                        *stored.text, parseText(*stored.text), ItemDates{nullptr, std::move(dates)},
                        basesFor(current));
    }
    std::lock_guard<std::mutex> lock(entry->mutex);
    ChannelStatus& s = entry->status;
    s.fetched = true;
    s.lastFetch = *stored.lastFetch;
    static_cast<state::FetchHistory&>(s) = stored;
    s.lastHint.clear();
    s.nextFetch = stored.nextFetch.value_or(*stored.lastFetch);
    s.origin = origin;
    s.stateError = stateError;
    if (feed) {
        s.lastBytes = feed->text().size();
        s.conversionError = feed->conversionError();
        entry->feed = feed;
    }
}

void ChannelCache::runJob(const std::shared_ptr<Entry>& entry, bool mayFetch,
                          std::optional<FetchOutcome> preset) {
    const std::string name = entry->status.name;  // set once, at creation
    // What the state knows, once per entry: a restart, or a channel added back to the INI file.
    bool loaded = true;
    if (!preset) {
        std::lock_guard<std::mutex> lock(entry->mutex);
        loaded = entry->loaded;
        entry->loaded = true;
    }
    if (!loaded) {
        std::optional<state::StoredChannel> stored;
        std::string stateError;
        try {
            stored = state_->load(name);
        } catch (const std::exception& e) {
            stateError = errorText(e);
        }
        if (stored) {
            adopt(entry, *stored, Origin::restored);
        } else if (!stateError.empty()) {
            std::lock_guard<std::mutex> lock(entry->mutex);
            entry->status.stateError = stateError;
        }
        // Readers waiting for a first feed take the stored one, even when it is due again.
        publish(entry, false, stored.has_value() && stored->lastFetch.has_value());
    }

    const auto finish = [&](bool observe) {
        publish(entry, true, observe);
        fetchEnded(name);
    };
    if (preset) {
        fetchNow(entry, std::move(preset), options_.now());
        fetchEnded(name);
        return;
    }
    bool checkDue = true;
    while (!stopping_) {
        const TimePoint now = options_.now();
        if (checkDue) {
            std::lock_guard<std::mutex> lock(entry->mutex);
            const ChannelStatus& s = entry->status;
            const bool due = fetchIsDue(s.fetched, s.nextFetch, entry->notBefore, now);
            const bool wanted = mayFetch || entry->fetchWanted || !entry->waiters.empty();
            entry->fetchWanted = false;
            if (!due || !wanted || !fetchAllowed()) {
                break;
            }
        }
        checkDue = true;
        state::FetchClaim claim;
        try {
            claim = state_->claimFetch(name, now, leaseLength(options_.fetchTimeout));
        } catch (const std::exception& e) {
            // Without the state this process still keeps its own schedule.
            std::lock_guard<std::mutex> lock(entry->mutex);
            entry->status.stateError = errorText(e);
            claim.decision = state::FetchDecision::fetch;
        }
        if (claim.decision == state::FetchDecision::fetch) {
            fetchNow(entry, std::nullopt, now);
            fetchEnded(name);
            return;
        }
        if (claim.decision == state::FetchDecision::notNeeded) {
            // Fetched by another process since this one looked.
            adopt(entry, claim.stored, Origin::restored);
            finish(true);
            return;
        }
        // Another process is fetching it. Its last feed, if any, is served meanwhile (as due:
        // max-age 0), and this process asks the state again shortly.
        adopt(entry, claim.stored, Origin::elsewhere);
        bool haveFeed = false;
        {
            std::lock_guard<std::mutex> lock(entry->mutex);
            entry->status.origin = Origin::elsewhere;
            entry->notBefore = std::min(
                claim.leaseExpires,
                now + std::chrono::duration_cast<TimePoint::duration>(options_.elsewherePoll));
            haveFeed = entry->feed != nullptr;
        }
        if (haveFeed) {
            finish(true);
            return;
        }
        // No feed to serve: readers wait for that fetch to be recorded (at most their deadline).
        pause(std::chrono::steady_clock::now() + options_.elsewherePoll);
        checkDue = false;
    }
    finish(false);
}

void ChannelCache::fetchNow(const std::shared_ptr<Entry>& entry, std::optional<FetchOutcome> preset,
                            TimePoint start) {
    std::string name;
    std::shared_ptr<const Feed> previous;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        name = entry->status.name;
        previous = entry->feed;
        entry->status.fetchStarted = start;
    }
    FetchRun run = runFetch(fetcher_, name, options_.maxFeedBytes, std::move(preset));
    FetchOutcome& outcome = run.outcome;
    const std::chrono::milliseconds duration = run.duration;
    const std::size_t bytes = run.bytes;
    const bool success = outcome.status == DOVETRAIL_STATUS_OK;

    std::uint32_t streak = 0;
    std::optional<TimePoint> lastSuccess;
    std::chrono::seconds interval;
    std::chrono::seconds longest;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        longest = longest_;
    }
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        streak = success ? 0 : entry->status.failureStreak + 1;
        lastSuccess = success ? std::optional<TimePoint>(start) : entry->status.lastSuccess;
        interval = entry->status.interval;
    }
    const TimePoint next = nextAllowedFetch(start, success, streak, lastSuccess, interval, longest);

    // The guids are recorded before the forms are written: their dates come from the state.
    ParsedText parsed;
    std::vector<std::string> guids;
    if (success) {
        parsed = parseText(outcome.text);
        if (parsed.model) {
            for (const feeds::FeedItem& item : parsed.model->items) {
                guids.push_back(item.guid());
            }
        }
    }
    state::FetchResult result;
    result.started = start;
    result.nextFetch = next;
    result.status = outcome.status;
    result.error = outcome.error;
    result.failureStreak = streak;
    result.guids = std::move(guids);
    std::string stateError;
    std::vector<TimePoint> recorded;
    std::optional<TimePoint> lastModified;
    if (success) {
        result.etag = feeds::strongEtag(outcome.text);
        result.text = std::move(outcome.text);
    }
    try {
        recorded = state_->recordFetch(name, result, &lastModified);
    } catch (const std::exception& e) {
        stateError = "the state was not written: " + errorText(e);
    }

    std::shared_ptr<const Feed> feed;
    if (success) {
        std::string text = std::move(result.text);
        // Without the state's dates, an item this process has seen keeps its date.
        std::map<std::string, TimePoint> dates;
        if (recorded.size() != result.guids.size() && previous && previous->model()) {
            for (const feeds::FeedItem& item : previous->model()->items) {
                dates.emplace(item.guid(), item.published);
            }
        }
        if (!lastModified) {
            const bool unchanged = previous && previous->text() == text;
            lastModified = unchanged ? previous->lastModified() : start;
        }
        feed = makeFeed(FeedFacts{name, *lastModified, start, interval}, std::move(text),
                        std::move(parsed),
                        ItemDates{recorded.size() == result.guids.size() ? &recorded : nullptr,
                                  std::move(dates)},
                        basesFor(previous));
    }

    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        ChannelStatus& s = entry->status;
        s.fetched = true;
        s.lastFetch = start;
        s.lastStatus = outcome.status;
        s.lastDuration = duration;
        s.lastBytes = bytes;
        s.nextFetch = next;
        s.failureStreak = streak;
        s.origin = Origin::fetched;
        s.stateError = stateError;
        ++s.fetches;
        if (success) {
            s.lastError.clear();
            s.lastHint.clear();
            s.lastSuccess = start;
            s.conversionError = feed->conversionError();
            entry->feed = feed;
        } else {
            ++s.failures;
            s.lastError = outcome.error;
            s.lastHint = outcome.hint;
        }
    }
    publish(entry, true, true);
}

void ChannelCache::fetchEnded(const std::string& channel) {
    std::lock_guard<std::mutex> lock(runMutex_);
    running_.erase(running_.find(channel));
    // Notified under the lock: the destructor may be waiting to destroy the condition variable.
    runDone_.notify_all();
}

void ChannelCache::abandonFetches() {
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(runMutex_);
        names.assign(running_.begin(), running_.end());
    }
    for (const std::string& name : names) {
        try {
            state_->releaseClaim(name);
        } catch (const std::exception&) {
            // The lease then ends when it expires.
        }
    }
}

void ChannelCache::watch(const std::shared_ptr<Entry>& entry) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    if (watchQuit_) {
        return;
    }
    watched_.push_back(entry);
    watchDirty_ = true;
    if (!watcher_.joinable()) {
        watcher_ = quietThread([this] { watchLoop(); });
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
