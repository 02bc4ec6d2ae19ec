// The serve command: loads the plug-in, puts the channel cache and the HTTP service on a listening
// socket, and runs until SIGINT or SIGTERM.
//
// Not re-entrant: it blocks SIGINT and SIGTERM for the process and changes the working directory
// (to the INI file's); call it once, from the command line.
#pragma once

#include <ostream>
#include <string>

namespace host {

struct ServeOptions {
    std::string config;  // the INI file as given; empty for the bundled example
    std::string plugin;  // the plug-in library as given; empty for the default
    std::string listen = "127.0.0.1:8080";
    int threads = 16;
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
