#include "serve.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "channelCache.h"
#include "channelDirectory.h"
#include "configuredPlugin.h"
#include "feedFormats.h"
#include "hostError.h"
#include "httpServer.h"
#include "httpService.h"
#include "stateStore.h"

namespace host {

ListenAddress parseListen(const std::string& text) {
    ListenAddress address;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            throw HostError(kExitUsage, "Can't read the listen address: " + text +
                                            " (expected [ADDRESS]:PORT)");
        }
        address.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            address.host = "127.0.0.1";
            port = text;
        } else {
            address.host = colon == 0 ? "127.0.0.1" : text.substr(0, colon);
            port = text.substr(colon + 1);
        }
    }
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(port) > 65535 || address.host.empty()) {
        throw HostError(kExitUsage,
                        "Can't read the listen address: " + text + " (expected ADDRESS:PORT)");
    }
    address.port = std::stoi(port);
    return address;
}

namespace {

// How a stop proceeds, counted from the signal.
constexpr std::chrono::milliseconds kReleaseWaiters{4000};
constexpr std::chrono::milliseconds kCloseConnections{5000};
constexpr std::chrono::milliseconds kAbandonFetches{6000};

// Descriptors kept free of connections, for the INI file, the log and the plug-in's own.
constexpr std::size_t kReservedDescriptors = 64;

// Raises the soft limit on open files to the hard one; returns how many connections fit.
std::size_t connectionsThatFit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return SIZE_MAX;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
        return SIZE_MAX;
    }
    const auto usable = static_cast<std::size_t>(limit.rlim_cur);
    return usable > kReservedDescriptors ? usable - kReservedDescriptors : 1;
}

void checkOptions(const ServeOptions& options) {
    const auto fail = [](const std::string& what) {
        throw HostError(kExitUsage, "Can't use " + what);
    };
    if (options.threads < 0) {
        fail("--threads " + std::to_string(options.threads) + ": 0 or more are needed");
    }
    if (options.maxConnections < 1) {
        fail("--max-connections 0: at least 1 is needed");
    }
    if (options.maxConnectionsPerAddress < 1) {
        fail("--max-connections-per-address 0: at least 1 is needed");
    }
    if (options.fetchTimeoutSeconds < 1) {
        fail("--fetch-timeout " + std::to_string(options.fetchTimeoutSeconds) +
             ": at least 1 second is needed");
    }
    if (options.maxFeedBytes < 1) {
        fail("--max-feed-bytes 0: at least 1 is needed");
    }
    if (!options.publicUrl.empty()) {
        try {
            feeds::normalizeBaseUrl(options.publicUrl);
        } catch (const feeds::FeedError& e) {
            fail(std::string("--public-url: ") + e.what());
        }
    }
}

// Ends the process now, without destructors: a thread is still inside the plug-in.
[[noreturn]] void exitNow(int code) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(code);
}

}  // namespace

int runServe(const ServeOptions& options, std::ostream& err) {
    const ListenAddress address = parseListen(options.listen);
    checkOptions(options);
    // Signals are taken by a thread of our own, so the engine's threads never see them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ServerLimits limits;
    limits.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
    limits.maxConnections = options.maxConnections;
    const std::size_t fit = connectionsThatFit();
    if (limits.maxConnections > fit) {
        err << "dovetrail: at most " << fit << " connections fit in this process's limit on open "
            << "files (ulimit -n); --max-connections " << options.maxConnections
            << " is lowered to that" << std::endl;
        limits.maxConnections = fit;
    }

    const LoadedPlugin loaded = loadPlugin(options.config, options.plugin);
    const PluginSession& session = *loaded.session;
    const Intervals intervals = session.intervals();
    CacheOptions cacheOptions;
    cacheOptions.minInterval = std::chrono::seconds(intervals.longest());
    cacheOptions.longestInterval = cacheOptions.minInterval;
    cacheOptions.fetchTimeout = std::chrono::seconds(options.fetchTimeoutSeconds);
    cacheOptions.maxFeedBytes = options.maxFeedBytes;
    // Feeds, schedules and item dates outlive the process (see channelCache.h).
    try {
        cacheOptions.state = state::openState(
            options.statePath, [](const std::string& m) { writeErrorLine("dovetrail: " + m); });
    } catch (const state::StateError& e) {
        throw HostError(kExitCannotWrite, std::string(e.what()) +
                                              " (--state FILE names another file, --no-state "
                                              "keeps the state in memory)");
    }
    ChannelCache cache(
        [&session](const std::string& name, std::size_t maxBytes) {
            CallResult r = session.channel(name, maxBytes);
            return FetchOutcome{r.status, std::move(r.text), std::move(r.error)};
        },
        cacheOptions);
    cache.setFetchObserver([timeout = cacheOptions.fetchTimeout](const ChannelStatus& s) {
        writeErrorLine(fetchLogLine(s, timeout, std::chrono::system_clock::now()));
    });
    // Each channel keeps to its kind's interval; a kind not understood is named.
    const auto schedule = [&cache, intervals](const ChannelSet& set) {
        for (const ChannelEntry& channel : set.channels) {
            if (const std::string warning = intervalKindWarning(channel); !warning.empty()) {
                writeErrorLine("dovetrail: warning: " + warning);
            }
        }
        cache.setChannels(channelSchedules(set, intervals),
                          std::chrono::seconds(intervals.longest()));
    };
    const std::string config = loaded.config;
    ChannelDirectory directory(config, std::chrono::seconds(1), [&schedule](const ChannelSet& set) {
        schedule(set);
        std::string line = isoTime(std::chrono::system_clock::now()) + " channels now:";
        for (const ChannelEntry& channel : set.channels) {
            line += " " + printable(channel.name);
        }
        writeErrorLine(line);
    });
    schedule(*directory.current());

    ServiceSources sources;
    sources.mainPage = [&session] { return session.mainPage(); };
    sources.channels = [&directory] { return directory.current(); };
    sources.intervals = intervals;
    if (!options.publicUrl.empty()) {
        sources.publicUrl = feeds::normalizeBaseUrl(options.publicUrl);
    }
    HttpService service(cache, std::move(sources));

    HttpServer server(service, limits);
    const std::uint16_t port =
        server.listen(address.host, static_cast<std::uint16_t>(address.port));
    const std::string shown =
        address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    service.setFallbackBaseUrl("http://" + shown + ":" + std::to_string(port));
    const std::string& statePath = cache.state().path();
    err << "dovetrail: serving " << config << " on http://" << shown << ":" << port
        << "/ (channels at /channels/NAME.rss, .atom, .json, status at /status; each channel "
           "fetched at most once in its interval; state "
        << (statePath.empty() ? "in memory" : "in " + statePath) << "); stop with Ctrl+C"
        << std::endl;

    std::atomic<bool> finished{false};
    std::atomic<bool> signalled{false};
    std::chrono::steady_clock::time_point stopAt;
    std::thread signalWaiter([&] {
        const timespec tick{0, 50 * 1000 * 1000};
        bool released = false;
        while (!finished.load()) {
            const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
            const char* name = signal == SIGINT ? "SIGINT" : "SIGTERM";
            if (signal > 0 && signalled) {
                writeErrorLine(std::string("dovetrail: ") + name + " again, exiting at once");
                exitNow(128 + signal);
            }
            if (signal > 0) {
                writeErrorLine(std::string("dovetrail: ") + name +
                               " received, finishing requests in progress");
                stopAt = std::chrono::steady_clock::now();
                signalled = true;
                server.stop(kCloseConnections);
            }
            if (signalled && !released &&
                std::chrono::steady_clock::now() >= stopAt + kReleaseWaiters) {
                cache.stopWaiting();
                released = true;
            }
        }
    });
    const int threads = options.threads > 0
                            ? options.threads
                            : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    server.run(threads);
    finished = true;
    signalWaiter.join();
    cache.stopWaiting();

    // A fetch still inside the plug-in cannot be cancelled. plugin_term would close the
    // connection that call is using, and unloading the library or running its static
    // destructors would pull its code and data from under it; so the process ends here without
    // either. Nothing is lost: the plug-in keeps no state across runs, the system closes its
    // sockets, and the answers in progress have been given.
    const auto abandonAt =
        (signalled ? stopAt : std::chrono::steady_clock::now()) + kAbandonFetches;
    const std::vector<std::string> hanging = cache.waitForFetches(abandonAt);
    if (!hanging.empty()) {
        std::string names;
        for (const std::string& name : hanging) {
            names += (names.empty() ? "" : ", ") + printable(name);
        }
        cache.abandonFetches();
        err << "dovetrail: stopped; the fetch of " << names
            << " is still inside the plug-in, so it is not shut down" << std::endl;
        exitNow(kExitOk);
    }
    err << "dovetrail: stopped" << std::endl;
    return kExitOk;
}

}  // namespace host
