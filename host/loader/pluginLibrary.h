// The plug-in as a host sees it: the library loaded by the system (PluginLibrary) and one
// initialised use of it (PluginSession), which calls plugin_init on construction and plugin_term
// on destruction.
//
// Only the public C interface is used. Every output buffer is copied out and released with
// plugin_free before a call returns, so no plug-in memory escapes these classes.
//
// Thread-safety: after construction, PluginSession::channel and ::mainPage may be called from
// several threads at once (the plug-in allows concurrent content calls). Both classes are
// non-copyable owners; a session must not outlive its library.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "dovetrail/dovetrail.h"
#include "nativeLibrary.h"

namespace host {

// The plug-in's status codes.
enum PluginStatus : int32_t {
    kStatusOk = 0,
    kStatusFailed = 1,
    kStatusNoMemory = 2,
    kStatusNoTemplate = 3,
    kStatusNoInternet = 4,
    kStatusUnknownChannel = 5,
};

// The outcome of a content call: the text on status 0, the error text otherwise.
struct CallResult {
    int32_t status = kStatusFailed;
    std::string text;
    std::string error;
    bool ok() const { return status == kStatusOk; }
};

// The three minimum update intervals reported by plugin_init, in seconds.
struct Intervals {
    int32_t lounge = 0;
    int32_t messageBoards = 0;
    int32_t articles = 0;
    int32_t longest() const;
};

// The fixed text the host shows for a failure status that came without an error text.
std::string describeStatus(int32_t status);

class PluginLibrary {
  public:
    // Loads the library and fetches its entry points. Throws HostError (kExitNoPlugin) when the
    // file cannot be loaded, does not export get_app_plugin_info, reports another interface
    // version or leaves an entry point empty.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const PluginInfo& info() const { return info_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::unique_ptr<NativeLibrary> library_;
    PluginInfo info_{};
};

// plugin_init failed: status() is the plug-in's status, what() names the configuration file and
// carries the plug-in's error text.
class PluginInitError : public std::runtime_error {
  public:
    PluginInitError(int32_t status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    int32_t status() const noexcept { return status_; }

  private:
    int32_t status_;
};

class PluginSession {
  public:
    // Calls plugin_init with `configPath`. On a failure status, calls plugin_term (the plug-in may
    // have opened its connection before failing) and throws PluginInitError.
    PluginSession(const PluginLibrary& library, const std::string& configPath);
    ~PluginSession();  // plugin_term
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    const Intervals& intervals() const { return intervals_; }
    CallResult channel(const std::string& name) const;
    CallResult mainPage() const;

  private:
    const PluginInfo& info_;
    Intervals intervals_;
};

}  // namespace host
