// One fetch of one channel: a single call of the plug-in (through a Fetcher), timed, with the
// size cap applied and every failure turned into a status and a message. No schedule, no state,
// no parsing: the cache decides when to fetch and what to keep.
//
// Plain functions; a Fetcher may be called from several threads at once (the plug-in's own gate
// orders the calls, see pluginHost.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace host {

class PluginHost;

// What one fetch produced: status 0 with the RSS text, or the failure status and its message.
struct FetchOutcome {
    FetchOutcome(int32_t status_ = 0, std::string text_ = {}, std::string error_ = {},
                 std::string hint_ = {})
        : status(status_), text(std::move(text_)), error(std::move(error_)),
          hint(std::move(hint_)) {}
    int32_t status;
    std::string text;
    std::string error;
    std::string hint;  // on a failure: what to change (hints.h); may be empty
};

// Fetches one channel; a text above `maxBytes` may be refused (and is refused by runFetch). A
// plain function, so that whoever owns the plug-in session can swap the session behind it.
using Fetcher = std::function<FetchOutcome(const std::string& channel, std::size_t maxBytes)>;

// A fetch as the cache records it.
struct FetchRun {
    FetchOutcome outcome;
    std::chrono::milliseconds duration{0};  // of the call
    std::size_t bytes = 0;                  // of the text the call returned, kept or not
};

// Calls `fetcher` once for `channel`, or takes `preset` as its outcome (a fetch that could not
// even start). An exception becomes status 1 with its message; a text above `maxBytes` becomes
// status 1 with tooLargeMessage.
FetchRun runFetch(const Fetcher& fetcher, const std::string& channel, std::size_t maxBytes,
                  std::optional<FetchOutcome> preset = std::nullopt);

// The message for a text above the limit.
std::string tooLargeMessage(std::size_t bytes, std::size_t limit);

// The plug-in as a Fetcher: PluginHost::channel, with the hint for `configPath` attached to a
// failure other than an unknown channel while the plug-in is up (a failure because it is down
// carries its own). `plugin` must outlive the Fetcher.
Fetcher pluginFetcher(PluginHost& plugin, std::string configPath);

}  // namespace host
