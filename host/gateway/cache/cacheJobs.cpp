// The cache's jobs: reading a channel's state once, claiming and running its fetch, and taking
// what another process fetched. They run on the cache's threads (or CacheOptions::launch), never
// on a reader's.
#include <algorithm>

#include "cacheEntry.h"
#include "channelCache.h"

namespace host {

std::string ChannelCache::baseUrl() const {
    std::lock_guard<std::mutex> lock(mapMutex_);
    return baseUrl_;
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
    // Believed only as far as this schedule could have set them (a planted file, a clock stepped
    // back since they were written).
    const TimePoint now = options_.now();
    const auto steadyNow = options_.steadyNow();
    std::chrono::seconds longest;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        longest = longest_;
    }
    const TimePoint lastFetch = clampRestored(*stored.lastFetch, now, std::chrono::seconds(0));
    const auto past = [&](const std::optional<TimePoint>& time) -> std::optional<TimePoint> {
        return time ? std::optional(clampRestored(*time, now, std::chrono::seconds(0))) : time;
    };
    const std::optional<TimePoint> lastModified = past(stored.lastModified);
    const std::optional<TimePoint> lastSuccess = past(stored.lastSuccess);
    const std::chrono::seconds wait = longestWait(stored.failureStreak, interval, longest);
    const TimePoint nextFetch = clampRestored(stored.nextFetch.value_or(lastFetch), now, wait);
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
        const TimePoint modified = lastModified.value_or(lastFetch);
        feed = makeFeed(FeedFacts{name, modified, lastSuccess.value_or(modified), interval,
                                  options_.maxFeedVariants},
                        *stored.text, parseText(*stored.text), ItemDates{nullptr, std::move(dates)},
                        baseUrl());
    }
    std::lock_guard<std::mutex> lock(entry->mutex);
    ChannelStatus& s = entry->status;
    s.fetched = true;
    s.lastFetch = lastFetch;
    static_cast<state::FetchHistory&>(s) = stored;
    s.lastSuccess = lastSuccess;
    s.lastHint.clear();
    s.nextFetch = nextFetch;
    s.longestWait = wait;
    entry->dueAt =
        steadyNow + std::chrono::duration_cast<std::chrono::nanoseconds>(nextFetch - now);
    s.origin = origin;
    s.stateError = stateError;
    if (feed) {
        s.lastBytes = feed->text().size();
        s.conversionError = feed->conversionError();
        s.items = feed->model() ? feed->model()->items.size() : 0;
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
        const auto steadyNow = options_.steadyNow();
        std::chrono::seconds wait{0};
        if (checkDue) {
            std::lock_guard<std::mutex> lock(entry->mutex);
            const bool due = entry->due(steadyNow);
            const bool wanted = mayFetch || entry->fetchWanted || !entry->waiters.empty();
            entry->fetchWanted = false;
            if (!due || !wanted || !fetchAllowed()) {
                break;
            }
        }
        checkDue = true;
        {
            std::lock_guard<std::mutex> mapLock(mapMutex_);
            std::lock_guard<std::mutex> lock(entry->mutex);
            wait = longestWait(entry->status.failureStreak, entry->status.interval, longest_);
        }
        state::FetchClaim claim;
        try {
            claim = state_->claimFetch(name, now, leaseLength(options_.fetchTimeout), wait);
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
            entry->notBefore =
                steadyNow +
                std::min(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(claim.leaseExpires - now),
                    std::chrono::duration_cast<std::chrono::nanoseconds>(options_.elsewherePoll));
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
    const auto steadyStart = options_.steadyNow();
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
        feed = makeFeed(FeedFacts{name, *lastModified, start, interval, options_.maxFeedVariants},
                        std::move(text), std::move(parsed),
                        ItemDates{recorded.size() == result.guids.size() ? &recorded : nullptr,
                                  std::move(dates)},
                        baseUrl());
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
        s.longestWait = longestWait(streak, interval, longest);
        entry->dueAt =
            steadyStart + std::chrono::duration_cast<std::chrono::nanoseconds>(next - start);
        s.failureStreak = streak;
        s.origin = Origin::fetched;
        s.stateError = stateError;
        ++s.fetches;
        if (success) {
            s.lastError.clear();
            s.lastHint.clear();
            s.lastSuccess = start;
            s.conversionError = feed->conversionError();
            s.items = feed->model() ? feed->model()->items.size() : 0;
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

}  // namespace host
