// The serve command: takes the port (then, as root, becomes --user), loads the plug-in, puts the
// configured channels, the channel cache and the HTTP service on it, and runs until SIGINT or
// SIGTERM.
//
// Starting: a plugin_init that fails does not end serve (see pluginHost.h): it keeps the port,
// answers 503 for what needs the plug-in and tries again with a backoff. The port is its own (no
// SO_REUSEPORT): a second serve on it ends with exit 71.
//
// SIGHUP reads the INI file again and restarts the plug-in (plugin_term, plugin_init) with the
// cached feeds and the state kept; a file that cannot be read keeps the configuration read before.
//
// Stopping: the first signal stops accepting, answers the requests in progress (readers still
// waiting for a channel's first feed get 503 after 4 s), closes what is left after 5 s, and
// exits. A plug-in call cannot be cancelled: when a fetch is still inside the plug-in 6 s after
// the signal, the process ends at once without plugin_term, which would close the connection
// under that call, and without unloading the plug-in (see runServe). A second signal ends the
// process at once.
//
// Not re-entrant: it blocks SIGINT and SIGTERM for the process, changes the working directory (to
// the INI file's) and may end the process; call it once, from the command line.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace host {

struct ServeOptions {
    std::string config;  // the INI file as given; empty for the bundled example
    std::string plugin;  // the plug-in library as given; empty for the default
    std::string listen = "127.0.0.1:8080";
    int threads = 0;  // threads that run the HTTP engine; 0: one per processor
    std::size_t maxConnections = 4096;
    std::size_t maxConnectionsPerAddress = 64;
    int fetchTimeoutSeconds = 120;
    std::size_t maxFeedBytes = std::size_t{64} << 20;
    std::string publicUrl;                  // where readers reach it; empty: the listening address
    std::string accessKeyFile;              // readers need one of its keys; empty: no key needed
    std::string logFormat = "combined";     // of the access log: combined or json
    std::vector<std::string> metricsAllow;  // ADDRESS[/BITS] that may read /metrics; none: loopback
    std::optional<std::string> statePath;   // nothing: the default file; empty: in memory
    std::string user;  // as root: the user to become once the port is taken; empty: stay
};

struct ListenAddress {
    std::string host;
    int port = 0;
};

// "ADDRESS:PORT", "[IPV6]:PORT", ":PORT" or "PORT" (loopback). Throws HostError (kExitUsage).
ListenAddress parseListen(const std::string& text);

// Returns the exit code; throws HostError or PluginInitError as the other commands do.
int runServe(const ServeOptions& options, std::ostream& err);

}  // namespace host
