#include "fetch.h"

#include <exception>

#include "dovetrail/dovetrail.h"
#include "hints.h"
#include "pluginHost.h"

namespace host {

namespace {

FetchOutcome callFetcher(const Fetcher& fetcher, const std::string& channel,
                         std::size_t maxBytes) {
    try {
        return fetcher(channel, maxBytes);
    } catch (const std::exception& e) {
        return FetchOutcome{1, {}, "Can't fetch channel " + channel + ": " + e.what(), {}};
    } catch (...) {
        return FetchOutcome{1, {}, "Can't fetch channel " + channel + ": unexpected error", {}};
    }
}

}  // namespace

FetchRun runFetch(const Fetcher& fetcher, const std::string& channel, std::size_t maxBytes,
                  std::optional<FetchOutcome> preset) {
    FetchRun run;
    const auto start = std::chrono::steady_clock::now();
    run.outcome = preset ? std::move(*preset) : callFetcher(fetcher, channel, maxBytes);
    run.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    run.bytes = run.outcome.text.size();
    if (run.outcome.status == DOVETRAIL_STATUS_OK && run.bytes > maxBytes) {
        run.outcome = FetchOutcome{1, {}, tooLargeMessage(run.bytes, maxBytes), {}};
    }
    return run;
}

std::string tooLargeMessage(std::size_t bytes, std::size_t limit) {
    return "Can't keep the feed: " + std::to_string(bytes) + " bytes is more than the limit of " +
           std::to_string(limit) + " bytes";
}

Fetcher pluginFetcher(PluginHost& plugin, std::string configPath) {
    return [&plugin, configPath = std::move(configPath)](const std::string& name,
                                                          std::size_t maxBytes) {
        CallResult r = plugin.channel(name, maxBytes);
        FetchOutcome outcome{r.status, std::move(r.text), std::move(r.error), {}};
        if (outcome.status != DOVETRAIL_STATUS_OK &&
            outcome.status != DOVETRAIL_STATUS_UNKNOWN_CHANNEL && plugin.ready()) {
            outcome.hint = hintFromFile(
                Failure{Operation::Channel, outcome.status, outcome.error, name}, configPath);
        }
        return outcome;
    };
}

}  // namespace host
