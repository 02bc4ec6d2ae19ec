#include "pluginHost.h"

#include <algorithm>
#include <exception>

#include "channelCache.h"

namespace host {

PluginHost::PluginHost(const PluginLibrary& library, std::string configPath, Callbacks callbacks)
    : library_(library), configPath_(std::move(configPath)), callbacks_(std::move(callbacks)) {}

PluginHost::~PluginHost() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (retry_.joinable()) {
        retry_.join();
    }
    session_.reset();
}

bool PluginHost::start() {
    bool up = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        up = initLocked(lock);
    }
    // The thread is there from now on, so a failed reload later finds it.
    retry_ = std::thread([this] { retryLoop(); });
    return up;
}

bool PluginHost::attempt() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !switching_ || quit_; });
    if (quit_ || session_) {
        return session_ != nullptr;
    }
    return initLocked(lock);
}

bool PluginHost::reload() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !switching_ || quit_; });
    if (quit_) {
        return false;
    }
    return initLocked(lock);
}

bool PluginHost::initLocked(std::unique_lock<std::mutex>& lock) {
    switching_ = true;
    // New calls wait at the gate; the ones inside the plug-in finish first.
    changed_.wait(lock, [this] { return calls_ == 0; });
    std::unique_ptr<PluginSession> old = std::move(session_);
    lock.unlock();

    old.reset();  // plugin_term before plugin_init: the plug-in has one state per process
    std::unique_ptr<PluginSession> fresh;
    std::optional<PluginProblem> failed;
    try {
        fresh = std::make_unique<PluginSession>(library_, configPath_);
    } catch (const PluginInitError& e) {
        failed.emplace();
        failed->message = e.what();
        if (callbacks_.hint) {
            try {
                failed->hint = callbacks_.hint(e);
            } catch (const std::exception&) {
                // Without a hint the message still says what failed.
            }
        }
    } catch (const std::exception& e) {
        failed.emplace();
        failed->message = "Can't initialise the plug-in with " + configPath_ + ": " + e.what();
    }

    lock.lock();
    Intervals intervals;
    if (fresh) {
        session_ = std::move(fresh);
        intervals_ = session_->intervals();
        intervals = intervals_;
        known_ = true;
        problem_.reset();
    } else {
        const std::uint32_t failures = problem_ ? problem_->failures + 1 : 1;
        const std::chrono::seconds longest =
            known_ ? std::chrono::seconds(intervals_.longest()) : kDefaultLongestInterval;
        failed->failures = failures;
        failed->nextAttempt = callbacks_.now() + failureBackoff(failures, longest);
        problem_ = failed;
    }
    switching_ = false;
    lock.unlock();
    changed_.notify_all();

    if (failed) {
        if (callbacks_.onFailure) {
            callbacks_.onFailure(*failed);
        }
    } else if (callbacks_.onReady) {
        callbacks_.onReady(intervals);
    }
    lock.lock();
    return !failed;
}

void PluginHost::retryLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        if (problem_ && !switching_ && callbacks_.now() >= problem_->nextAttempt) {
            initLocked(lock);
            continue;
        }
        // A coarse tick: the clock may be a test's, and a second early or late does not matter.
        changed_.wait_for(lock, std::chrono::milliseconds(250));
    }
}

bool PluginHost::ready() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_ != nullptr;
}

std::string PluginHost::startingMessage() const {
    return "The plug-in is being initialised with " + configPath_ + ".";
}

std::optional<PluginProblem> PluginHost::problem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (problem_ || !switching_) {
        return problem_;
    }
    PluginProblem starting;
    starting.message = startingMessage();
    starting.nextAttempt = callbacks_.now() + std::chrono::seconds(5);
    return starting;
}

bool PluginHost::finish(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    quit_ = true;
    changed_.notify_all();
    return changed_.wait_until(lock, deadline, [this] { return !switching_ && calls_ == 0; });
}

Intervals PluginHost::intervals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return intervals_;
}

template <typename Call>
CallResult PluginHost::gated(bool wait, Call call) {
    PluginSession* session = nullptr;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wait) {
            changed_.wait(lock, [this] { return !switching_ || quit_; });
        }
        if (!session_ || switching_) {
            CallResult result;
            result.status = DOVETRAIL_STATUS_FAILED;
            result.error = problem_ ? problem_->message : startingMessage();
            return result;
        }
        session = session_.get();
        ++calls_;
    }
    struct Leave {
        PluginHost& host;
        ~Leave() {
            {
                std::lock_guard<std::mutex> lock(host.mutex_);
                --host.calls_;
            }
            host.changed_.notify_all();
        }
    } leave{*this};
    return call(*session);
}

CallResult PluginHost::channel(const std::string& name, std::size_t maxBytes) {
    return gated(true, [&](const PluginSession& s) { return s.channel(name, maxBytes); });
}

CallResult PluginHost::mainPage() {
    // Asked on a thread of the HTTP engine, which must not wait for plugin_init.
    return gated(false, [](const PluginSession& s) { return s.mainPage(); });
}

}  // namespace host
