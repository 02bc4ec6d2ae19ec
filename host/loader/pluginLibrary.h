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

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "channelList.h"
#include "dovetrail/dovetrail.h"
#include "nativeLibrary.h"

namespace host {

// The outcome of a content call: the text on DOVETRAIL_STATUS_OK, the error text otherwise.
struct CallResult {
    int32_t status = DOVETRAIL_STATUS_FAILED;
    std::string text;
    std::string error;
    bool ok() const { return status == DOVETRAIL_STATUS_OK; }
};

// The three minimum update intervals reported by plugin_init, in seconds.
struct Intervals {
    int32_t lounge = 0;
    int32_t messageBoards = 0;
    int32_t articles = 0;
    int32_t longest() const;
    // The interval a channel of `kind` is refetched after; IntervalKind::longest gives longest().
    int32_t forKind(IntervalKind kind) const;
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
// carries the plug-in's error text, which pluginText() gives as the plug-in wrote it.
class PluginInitError : public std::runtime_error {
  public:
    PluginInitError(int32_t status, const std::string& configPath, const std::string& pluginText)
        : std::runtime_error("Can't initialise the plug-in with " + configPath + ": " + pluginText),
          status_(status),
          configPath_(configPath),
          pluginText_(pluginText) {}
    int32_t status() const noexcept { return status_; }
    const std::string& configPath() const noexcept { return configPath_; }
    const std::string& pluginText() const noexcept { return pluginText_; }

  private:
    int32_t status_;
    std::string configPath_;
    std::string pluginText_;
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
    // A text longer than `maxBytes` is released unread: status 1 with a message saying so.
    CallResult channel(const std::string& name,
                       std::size_t maxBytes = std::numeric_limits<std::size_t>::max()) const;
    CallResult mainPage() const;

  private:
    const PluginInfo& info_;
    Intervals intervals_;
};

}  // namespace host
