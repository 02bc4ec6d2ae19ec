#include "gateway.h"

#include "feedFormats.h"
#include "fetch.h"
#include "fetchLog.h"
#include "hints.h"
#include "textDates.h"
#include "textEscape.h"
#include "threadGroup.h"

namespace host {

Reloader::Reloader(std::function<void()> work)
    : work_(std::move(work)), thread_(quietThread([this] { loop(); })) {}

Reloader::~Reloader() {
    if (thread_.joinable()) {
        finish(std::chrono::steady_clock::time_point::max());
    }
}

void Reloader::request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wanted_ = true;
    }
    wake_.notify_all();
}

bool Reloader::finish(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    quit_ = true;
    wake_.notify_all();
    if (!wake_.wait_until(lock, deadline, [this] { return !running_; })) {
        return false;
    }
    lock.unlock();
    if (thread_.joinable()) {
        thread_.join();
    }
    return true;
}

void Reloader::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return wanted_ || quit_; });
        if (quit_) {
            return;
        }
        wanted_ = false;
        running_ = true;
        lock.unlock();
        try {
            work_();
        } catch (const std::exception& e) {
            writeErrorLine(std::string("dovetrail: reload failed: ") + e.what());
        }
        lock.lock();
        running_ = false;
        wake_.notify_all();
    }
}

Gateway::Gateway(const PluginLibrary& library, GatewaySettings settings)
    : config_(settings.config),
      publicUrl_(settings.publicUrl),
      logFormat_(settings.logFormat),
      metricsAllow_(settings.metricsAllow),
      engine_(settings.engine),
      keys_(settings.accessKeyFile.empty()
                ? nullptr
                : std::make_unique<AccessKeyFile>(settings.accessKeyFile)),
      plugin_(library, config_, pluginCallbacks()),
      cache_(pluginFetcher(plugin_, config_), cacheOptions(settings)),
      directory_(config_, [this](const ChannelSet& set) { scheduler_.channelsChanged(set); }),
      scheduler_(cache_, directory_, plugin_),
      service_(cache_, serviceSources()),
      reloader_([this] { reload(); }) {
    cache_.setFetchObserver(
        [this, timeout = cache_.options().fetchTimeout](const ChannelStatus& s) {
            writeErrorLine(fetchLogLine(s, timeout, std::chrono::system_clock::now()));
            service_.metrics().observe(s);
        });
}

PluginHost::Callbacks Gateway::pluginCallbacks() {
    PluginHost::Callbacks callbacks;
    callbacks.hint = [config = config_](const PluginInitError& e) {
        return hintFromFile(Failure{Operation::Init, e.status(), e.pluginText(), {}}, config);
    };
    callbacks.onFailure = [](const PluginProblem& problem) {
        writeErrorLine("dovetrail: " + text::printable(problem.message));
        if (!problem.hint.empty()) {
            writeErrorLine("dovetrail: hint: " + text::printable(problem.hint));
        }
        writeErrorLine(
            "dovetrail: serving anyway: channels without a feed answer 503 until the "
            "plug-in starts; next attempt " +
            text::isoDate(problem.nextAttempt) + " (attempt " +
            std::to_string(problem.failures + 1) + ")");
    };
    // Runs only from start() on: by then the scheduler exists.
    callbacks.onReady = [this](const Intervals& intervals) { scheduler_.pluginReady(intervals); };
    return callbacks;
}

CacheOptions Gateway::cacheOptions(const GatewaySettings& settings) {
    CacheOptions options;
    options.minInterval = kDefaultLongestInterval;
    options.longestInterval = kDefaultLongestInterval;
    options.fetchTimeout = settings.fetchTimeout;
    options.maxFeedBytes = settings.maxFeedBytes;
    options.state = settings.state;
    options.timer = settings.timer;
    options.mayFetch = [this] { return plugin_.ready(); };
    return options;
}

ServiceSources Gateway::serviceSources() {
    ServiceSources sources;
    sources.mainPage = [this] { return plugin_.mainPage(); };
    sources.channels = [this] { return directory_.current(); };
    sources.intervals = [this] { return plugin_.intervals(); };
    sources.pluginProblem = [this] { return plugin_.problem(); };
    sources.pluginReady = [this] { return plugin_.ready(); };
    sources.publicUrl = publicUrl_;
    sources.logFormat = logFormat_;
    sources.metricsAllow = metricsAllow_;
    sources.engine = engine_;
    if (keys_) {
        sources.accessKeys = [this] { return keys_->current(); };
    }
    // Where the gateway's files are is for this machine's users to know.
    sources.privateFiles = {config_};
    if (!cache_.state().path().empty()) {
        sources.privateFiles.push_back(cache_.state().path());
    }
    if (const std::size_t slash = config_.find_last_of("/\\"); slash != std::string::npos) {
        sources.privateDirectories = {config_.substr(0, slash + 1)};
    }
    return sources;
}

void Gateway::start(const std::string& listening, bool loopback) {
    // Before the first start: the feeds read from the state get their forms under it at once.
    service_.setListening(listening, loopback);
    if (!plugin_.start()) {
        scheduler_.pluginDown();
    }
}

void Gateway::checkConfig() {
    directory_.check();
}

void Gateway::requestReload() {
    reloader_.request();
}

void Gateway::reload() {
    writeErrorLine(text::isoDate(std::chrono::system_clock::now()) + " SIGHUP received: reading " +
                   config_ + " and starting the plug-in again");
    if (keys_) {
        writeErrorLine(keys_->reload());
    }
    const std::shared_ptr<const ChannelSet> set = directory_.refresh();
    if (!set->readError.empty()) {
        writeErrorLine("dovetrail: reload: " + text::printable(set->readError) +
                       "; the configuration read before stays in use");
        return;
    }
    plugin_.reload();
}

void Gateway::stopWaiting() {
    cache_.stopWaiting();
}

std::vector<std::string> Gateway::waitForFetches(std::chrono::steady_clock::time_point deadline) {
    return cache_.waitForFetches(deadline);
}

void Gateway::abandonFetches() {
    cache_.abandonFetches();
}

bool Gateway::finish(std::chrono::steady_clock::time_point deadline) {
    return plugin_.finish(deadline) && reloader_.finish(deadline);
}

}  // namespace host
