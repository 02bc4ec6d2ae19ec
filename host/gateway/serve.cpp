#include "serve.h"

#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

#include "baseUrls.h"
#include "configuredPlugin.h"
#include "feedFormats.h"
#include "gateway.h"
#include "hostError.h"
#include "httpServer.h"
#include "supervisor.h"
#include "textEscape.h"

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
// How often the INI file is looked at for changed channels.
constexpr std::chrono::milliseconds kConfigCheck{1000};
constexpr int kServeSignals[] = {SIGINT, SIGTERM, SIGHUP};

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
    for (const std::string& range : options.metricsAllow) {
        if (!AddressRange::parse(range)) {
            fail("--metrics-allow " + range + ": an IPv4 or IPv6 address, or ADDRESS/BITS");
        }
    }
    if (!parseAccessLogFormat(options.logFormat)) {
        fail("--log-format " + options.logFormat + ": combined or json");
    }
}

// Ends the process now, without destructors: a thread is still inside the plug-in.
[[noreturn]] void exitNow(int code) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(code);
}

bool isWildcard(const std::string& host) {
    return host == "0.0.0.0" || host == "::" || host == "0::0";
}

bool isLoopback(const std::string& host) {
    return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost";
}

// The name feeds link to without --public-url when serve listens on every address: this
// machine's own name. A loopback address would send each reader to the reader's own machine.
std::string machineName() {
    char name[256] = {};
    const std::optional<std::string> base =
        gethostname(name, sizeof name - 1) == 0 ? baseUrlFromHost(name) : std::nullopt;
    return base ? base->substr(std::string_view("http://").size()) : "localhost";
}

// As root, becomes `user` (its groups, its home for the default state file); without a user,
// warns. Throws HostError when the switch cannot be made.
void switchUser(const std::string& user, std::ostream& err) {
    const bool root = geteuid() == 0;
    if (user.empty()) {
        if (root) {
            err << "dovetrail: warning: running as root; give serve --user NAME to run as NAME "
                   "once the port is taken"
                << std::endl;
        }
        return;
    }
    const auto fail = [&user](int code, const std::string& why) {
        throw HostError(code, "Can't switch to user " + user + ": " + why);
    };
    errno = 0;
    const passwd* entry = getpwnam(user.c_str());
    if (entry == nullptr) {
        fail(kExitNoUser, errno != 0 ? std::strerror(errno) : "no such user");
    }
    if (!root) {
        if (entry->pw_uid == geteuid()) {
            return;  // already that user
        }
        fail(kExitNoPermission,
             "only root can (serve runs as user " + std::to_string(geteuid()) + ")");
    }
    const std::string name = entry->pw_name;
    const std::string home = entry->pw_dir;
    const uid_t uid = entry->pw_uid;
    const gid_t gid = entry->pw_gid;
    if (initgroups(name.c_str(), gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        fail(kExitNoPermission, std::strerror(errno));
    }
    if (uid != 0 && setuid(0) == 0) {
        fail(kExitNoPermission, "root could be taken back");
    }
    // The default state file is the user's, not root's: root's XDG_STATE_HOME must not lead there.
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
    setenv("USER", name.c_str(), 1);
    setenv("LOGNAME", name.c_str(), 1);
    err << "dovetrail: running as user " << name << std::endl;
}

}  // namespace

int runServe(const ServeOptions& options, std::ostream& err) {
    const ListenAddress address = parseListen(options.listen);
    checkOptions(options);
    // Blocked here, before any thread exists, so that every thread inherits the block: the
    // engine's threads alone take them (HttpServer::onSignals).
    sigset_t signals;
    sigemptyset(&signals);
    for (const int number : kServeSignals) {
        sigaddset(&signals, number);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
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

    // A missing library ends serve before the port is taken: without it nothing can ever be
    // served, and a service manager should not restart in a loop for that (exit 69). It is
    // loaded only after the switch to --user, so that its static initialisers never run as root.
    const std::string config = resolveConfig(options.config);
    const std::string libraryPath = resolvePlugin(options.plugin);
    enterConfigDirectory(config);
    if (libraryPath.find('/') != std::string::npos && ::access(libraryPath.c_str(), R_OK) != 0) {
        throw HostError(kExitNoPlugin,
                        "Can't load the plug-in: " + libraryPath + ": " + std::strerror(errno));
    }

    // The port is taken before plugin_init, so that a failing start keeps it and says why there.
    HttpServer server(limits);
    const std::uint16_t port =
        server.listen(address.host, static_cast<std::uint16_t>(address.port));
    const bool wildcard = isWildcard(address.host);
    const bool ipv6 = address.host.find(':') != std::string::npos;
    const std::string bracketed = ipv6 ? "[" + address.host + "]" : address.host;
    // A wildcard address is no address to visit: this machine's loopback is shown instead.
    const std::string shown = !wildcard ? bracketed : ipv6 ? "[::1]" : "127.0.0.1";
    const std::string bound = bracketed + ":" + std::to_string(port);
    const bool loopback = isLoopback(address.host);
    // Without --public-url every link is under the listening address, whatever Host a request
    // names (routes/baseUrls.h).
    const std::string linkBase =
        "http://" + (wildcard ? machineName() : bracketed) + ":" + std::to_string(port);
    if (!loopback) {
        err << "dovetrail: " << (options.accessKeyFile.empty() ? "warning: " : "")
            << "listening on " << bound << ", beyond this machine: "
            << (options.accessKeyFile.empty()
                    ? "the gateway has no authentication, so anyone who reaches this address can "
                      "read every channel and the status page (--access-key-file FILE keeps it "
                      "to readers with a key)"
                    : "readers need a key of " + options.accessKeyFile)
            << (options.publicUrl.empty()
                    ? "; feeds link to " + linkBase + " (--public-url names another address)"
                    : std::string())
            << std::endl;
    }
    switchUser(options.user, err);
    const PluginLibrary library(libraryPath);

    // Feeds, schedules and item dates outlive the process (see channelCache.h).
    GatewaySettings settings;
    settings.config = config;
    settings.fetchTimeout = std::chrono::seconds(options.fetchTimeoutSeconds);
    settings.maxFeedBytes = options.maxFeedBytes;
    if (!options.publicUrl.empty()) {
        settings.publicUrl = feeds::normalizeBaseUrl(options.publicUrl);
    }
    // Read as the user serve runs as, as SIGHUP reads it again.
    settings.accessKeyFile = options.accessKeyFile;
    settings.logFormat = *parseAccessLogFormat(options.logFormat);
    if (!options.metricsAllow.empty()) {
        settings.metricsAllow.clear();
        for (const std::string& range : options.metricsAllow) {
            settings.metricsAllow.push_back(*AddressRange::parse(range));
        }
    }
    settings.engine = [&server] {
        return EngineCounts{server.connections(), server.refusedConnections()};
    };
    try {
        settings.state = state::openState(
            options.statePath, [](const std::string& m) { writeErrorLine("dovetrail: " + m); });
    } catch (const state::StateError& e) {
        throw HostError(kExitCannotWrite, std::string(e.what()) +
                                              " (--state FILE names another file, --no-state "
                                              "keeps the state in memory)");
    }
    // Fetch deadlines are watched by the engine's timers, as the INI file and the signals are.
    settings.timer = [&server](std::chrono::milliseconds delay, std::function<void()> task) {
        server.after(delay, std::move(task));
    };
    Gateway gateway(library, std::move(settings));
    gateway.start(loopback ? "http://" + shown + ":" + std::to_string(port) : linkBase, loopback);

    const std::string& statePath = gateway.cache().state().path();
    // One write: the engine's threads already log, and a line cut by one of theirs is lost to
    // whoever waits for it.
    std::ostringstream serving;
    serving << "dovetrail: serving " << config << " on http://" << shown << ":" << port << "/"
            << (wildcard ? " and every other address of this machine" : "")
            << " (channels at /channels/NAME.rss, .atom, .json, status at /status; each channel "
               "fetched at most once in its interval; state "
            << (statePath.empty() ? "in memory" : "in " + statePath)
            << (gateway.accessKeys() != nullptr
                    ? "; readers need one of " +
                          AccessKeyFile::describe(*gateway.accessKeys()->current(),
                                                  gateway.accessKeys()->path())
                    : std::string())
            << "); stop with Ctrl+C, reload the INI file and the plug-in with SIGHUP\n";
    err << serving.str() << std::flush;
    // The port is taken and the plug-in's first start is done: systemd may start what needs us.
    const SupervisorNotifier supervisor;
    supervisor.ready("serving on http://" + shown + ":" + std::to_string(port) + "/");
    superviseEngine(server, supervisor);

    // Signals and the INI file's watch run on the engine's own threads and timers.
    bool signalled = false;  // on the engine's threads only, one handler at a time
    std::chrono::steady_clock::time_point stopAt;
    server.onSignals(
        std::vector<int>(std::begin(kServeSignals), std::end(kServeSignals)), [&](int number) {
            if (number == SIGHUP) {
                if (!signalled) {
                    gateway.requestReload();
                }
                return;
            }
            const char* name = number == SIGINT ? "SIGINT" : "SIGTERM";
            if (signalled) {
                writeErrorLine(std::string("dovetrail: ") + name + " again, exiting at once");
                exitNow(128 + number);
            }
            writeErrorLine(std::string("dovetrail: ") + name +
                           " received, finishing requests in progress");
            stopAt = std::chrono::steady_clock::now();
            signalled = true;
            supervisor.stopping();
            server.stop(kCloseConnections);
            server.after(kReleaseWaiters, [&gateway] { gateway.stopWaiting(); });
        });
    server.every(kConfigCheck, [&gateway] { gateway.checkConfig(); });
    const int threads = options.threads > 0
                            ? options.threads
                            : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    server.run(gateway.handler(), threads);
    gateway.stopWaiting();

    // A fetch still inside the plug-in cannot be cancelled. plugin_term would close the
    // connection that call is using, and unloading the library or running its static
    // destructors would pull its code and data from under it; so the process ends here without
    // either. Nothing is lost: the plug-in keeps no state across runs, the system closes its
    // sockets, and the answers in progress have been given. The same holds for a plugin_init
    // in progress (a retry or a reload).
    const auto abandonAt =
        (signalled ? stopAt : std::chrono::steady_clock::now()) + kAbandonFetches;
    const std::vector<std::string> hanging = gateway.waitForFetches(abandonAt);
    if (!hanging.empty()) {
        std::string names;
        for (const std::string& name : hanging) {
            names += (names.empty() ? "" : ", ") + text::printable(name);
        }
        gateway.abandonFetches();
        err << "dovetrail: stopped; the fetch of " << names
            << " is still inside the plug-in, so it is not shut down" << std::endl;
        exitNow(kExitOk);
    }
    if (!gateway.finish(abandonAt)) {
        err << "dovetrail: stopped; plugin_init is still running, so the plug-in is not shut "
               "down"
            << std::endl;
        exitNow(kExitOk);
    }
    err << "dovetrail: stopped" << std::endl;
    return kExitOk;
}

}  // namespace host
