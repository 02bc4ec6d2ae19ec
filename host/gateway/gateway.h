// The gateway of serve, whole: its stages owned in the order they depend on each other, each
// built once and wired to the next here and nowhere else.
//
//   plugin     fetch/pluginHost.h   the plug-in session, retried and reloaded
//   cache      cache/               one fetch per channel, the schedule, the last good feeds
//   directory  channelDirectory.h   the INI file's channels, looked at by checkConfig()
//   scheduler  channelScheduler.h   plug-in and INI events -> the cache's channel list
//   keys       readerAccess.h       the access keys, when a file names them
//   service    httpService.h        the routes: what each request gets
//   reloader                        SIGHUP's work, on a thread of its own
//
// The plug-in's events reach the scheduler through the gateway, which is whole before the plug-in's
// first start (start()). The HTTP engine, the port and the signals are serve's (serve.cpp): the
// port is taken before the gateway exists.
//
// Thread-safety: start() once, before requests come; the other members from any thread. The
// destructor waits for the fetches and plug-in calls in progress: call it only after finish()
// said none is left.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channelCache.h"
#include "channelDirectory.h"
#include "channelScheduler.h"
#include "httpService.h"
#include "pluginHost.h"
#include "stateStore.h"

namespace host {

struct GatewaySettings {
    std::string config;  // the INI file, absolute
    std::chrono::milliseconds fetchTimeout = std::chrono::seconds(120);
    std::size_t maxFeedBytes = std::size_t{64} << 20;
    std::string publicUrl;      // normalised; empty: the listening address
    std::string accessKeyFile;  // readers need one of its keys; empty: no key needed
    AccessLogFormat logFormat = AccessLogFormat::combined;
    std::vector<AddressRange> metricsAllow = AddressRange::loopback();  // who may read /metrics
    std::function<EngineCounts()> engine;      // the HTTP engine's connection counts
    std::shared_ptr<state::StateStore> state;  // null: in memory
    // Where fetch deadlines are watched (CacheOptions::timer); null: a thread of the cache's.
    std::function<void(std::chrono::milliseconds, std::function<void()>)> timer;
};

// Runs `work` on a thread of its own each time request() was called (requests that come while it
// runs are merged into one more run).
class Reloader {
  public:
    explicit Reloader(std::function<void()> work);
    ~Reloader();
    Reloader(const Reloader&) = delete;
    Reloader& operator=(const Reloader&) = delete;

    void request();
    // Ends the thread; false when a run is still going at `deadline` (the thread is left).
    bool finish(std::chrono::steady_clock::time_point deadline);

  private:
    void loop();

    std::function<void()> work_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool wanted_ = false;
    bool running_ = false;
    bool quit_ = false;
    std::thread thread_;
};

class Gateway {
  public:
    // Reads the INI file's channels and the access keys (HostError when it cannot); starts
    // nothing yet.
    Gateway(const PluginLibrary& library, GatewaySettings settings);
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Makes the plug-in's first attempt on this thread, and gives the cache its channels;
    // `listening` is where serve listens, the base of every link without a public URL, and
    // `loopback` whether that is a loopback address (HttpService::setListening).
    void start(const std::string& listening, bool loopback);

    RequestHandler& handler() { return service_; }
    const ChannelCache& cache() const { return cache_; }
    const AccessKeyFile* accessKeys() const { return keys_.get(); }  // null: no key needed

    // Looks at the INI file and takes its channels when they changed (the engine's timer).
    void checkConfig();
    // Reads the access keys and the INI file again and restarts the plug-in, on the reloader's
    // thread (SIGHUP).
    void requestReload();

    // Stopping, in this order: readers waiting for a first feed are answered; then the fetches
    // get until `deadline` to end (those still inside the plug-in are named, and their claims in
    // the state given up); then the plug-in's calls and the reloader.
    void stopWaiting();
    std::vector<std::string> waitForFetches(std::chrono::steady_clock::time_point deadline);
    void abandonFetches();
    // False when a plug-in call or a reload is still running at `deadline`.
    bool finish(std::chrono::steady_clock::time_point deadline);

  private:
    PluginHost::Callbacks pluginCallbacks();
    CacheOptions cacheOptions(const GatewaySettings& settings);
    ServiceSources serviceSources();
    void reload();

    const std::string config_;
    const std::string publicUrl_;
    const AccessLogFormat logFormat_;
    const std::vector<AddressRange> metricsAllow_;
    const std::function<EngineCounts()> engine_;
    const std::unique_ptr<AccessKeyFile> keys_;  // null: no key needed
    PluginHost plugin_;
    ChannelCache cache_;
    ChannelDirectory directory_;
    ChannelScheduler scheduler_;
    HttpService service_;
    Reloader reloader_;
};

}  // namespace host
