// The gateway's own front page: every configured channel with its title, the outcome of its last
// fetch and the time of the next allowed one, subscribe links for each feed form, the OPML list of
// all channels, the three minimum update intervals, and links to the plug-in's main page and the
// status page. The page names each channel's feeds in <link rel="alternate"> elements, so a reader
// given the gateway's address finds them. UTF-8; fits a phone's width without horizontal
// scrolling.
//
// A pure function of its input; safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "channelModel.h"

namespace host::feeds {

struct IndexChannel {
    std::string name;         // the INI section's name, as written (shown by the INI rule)
    std::string title;        // UTF-8
    std::string description;  // UTF-8
    std::chrono::seconds refetchInterval{0};
    std::optional<TimePoint> lastFetch = {};  // empty: not fetched yet
    std::optional<TimePoint> nextFetch = {};
    bool fetching = false;   // a fetch is running now
    int32_t status = 0;      // of the last fetch
    std::string error = {};  // UTF-8, of the last fetch when it failed
    bool hasFeed = false;    // a good feed is held (and served even after a failed refetch)
    // UTF-8: why the feed formats cannot be written from the good feed (only the plug-in's text
    // is served then); empty when they can.
    std::string conversionError = {};
    std::string hint = {};  // UTF-8: what to change, with `error`; may be empty
};

struct IndexPageInput {
    std::string baseUrl;  // from normalizeBaseUrl
    std::string linkQuery = {};  // appended to every link: "?key=KEY", or empty
    std::vector<IndexChannel> channels;
    std::chrono::seconds lounge{0};
    std::chrono::seconds messageBoards{0};
    std::chrono::seconds articles{0};
    TimePoint now{};
    // UTF-8: why the plug-in cannot be used now, what to change and when it is tried again;
    // `problem` empty when it can.
    std::string problem = {};
    std::string problemHint = {};
    TimePoint nextAttempt{};
};

std::string renderIndexPage(const IndexPageInput& input);

// "1 minute", "15 minutes", "90 seconds".
std::string describeInterval(std::chrono::seconds interval);

}  // namespace host::feeds
