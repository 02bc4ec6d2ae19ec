#include "serve.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

#include "channelCache.h"
#include "channelList.h"
#include "configuredPlugin.h"
#include "hostError.h"
#include "httpService.h"

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

int runServe(const ServeOptions& options, std::ostream& err) {
    const ListenAddress address = parseListen(options.listen);
    if (options.threads < 1) {
        throw HostError(kExitUsage, "Can't use --threads " + std::to_string(options.threads) +
                                        ": at least 1 is needed");
    }
    // Signals are taken by a thread of our own, so the server's workers never see them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const LoadedPlugin loaded = loadPlugin(options.config, options.plugin);
    const PluginSession& session = *loaded.session;
    const Intervals intervals = session.intervals();
    ChannelCache cache(
        [&session](const std::string& name) {
            CallResult r = session.channel(name);
            return FetchOutcome{r.status, std::move(r.text), std::move(r.error)};
        },
        std::chrono::seconds(intervals.longest()));
    cache.setFetchObserver([](const ChannelStatus& s) {
        std::ostringstream line;
        // Names come from request paths: nothing of them may break the log line.
        line << isoTime(std::chrono::system_clock::now()) << " fetched " << printable(s.name)
             << ": ";
        if (s.lastStatus == 0) {
            line << "ok, " << s.lastBytes << " bytes";
        } else {
            line << "failed (status " << s.lastStatus << "): " << printable(s.lastError);
        }
        line << ", " << s.lastDuration.count() << " ms; next fetch " << isoTime(s.nextFetch);
        std::cerr << line.str() << std::endl;
    });
    const std::string config = loaded.config;
    ServiceSources sources;
    sources.mainPage = [&session] { return session.mainPage(); };
    sources.channels = [config] { return readChannelList(config); };
    sources.intervals = intervals;
    HttpService service(cache, std::move(sources));

    httplib::Server server;
    const int threads = options.threads;
    server.new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<std::size_t>(threads));
    };
    server.set_keep_alive_timeout(2);
    service.install(server);

    int port = address.port;
    errno = 0;  // a name that does not resolve fails without setting it
    const bool bound = port == 0 ? (port = server.bind_to_any_port(address.host)) > 0
                                 : server.bind_to_port(address.host, port);
    if (!bound) {
        const std::string why =
            errno != 0 ? std::strerror(errno) : "the address cannot be resolved or used";
        throw HostError(kExitCannotListen, "Can't listen on " + options.listen + ": " + why);
    }
    const std::string shown =
        address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    err << "dovetrail: serving " << config << " on http://" << shown << ":" << port
        << "/ (channels at /channels/NAME.rss, status at /status; each channel fetched at most "
           "once every "
        << cache.minInterval().count() << " seconds); stop with Ctrl+C" << std::endl;

    std::atomic<bool> finished{false};
    std::thread signalWaiter([&] {
        const timespec tick{0, 100 * 1000 * 1000};
        bool stopping = false;
        while (!finished.load()) {
            if (!stopping) {
                const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
                if (signal > 0) {
                    std::cerr << "dovetrail: " << (signal == SIGINT ? "SIGINT" : "SIGTERM")
                              << " received, finishing requests in progress" << std::endl;
                    stopping = true;
                }
            }
            if (stopping) {
                // Repeated until the listen loop has ended: a stop before it started is lost.
                server.stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    });
    const bool listened = server.listen_after_bind();
    finished = true;
    signalWaiter.join();
    err << "dovetrail: stopped" << std::endl;
    return listened ? kExitOk : kExitCannotListen;
}

}  // namespace host
