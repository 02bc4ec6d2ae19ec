// What the gateway's pages (the index page, the status page as HTML and as JSON) show, read once
// per request: every configured channel, in the INI file's order, with its cache status, and the
// facts around them. A configured channel the cache has no entry for yet gets a status with its
// name and interval only.
//
// Plain values; a PageInput is built and read by one request's thread.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "channelCache.h"
#include "channelDirectory.h"
#include "pluginHost.h"
#include "pluginLibrary.h"

namespace host {

struct ChannelRow {
    const ChannelEntry* channel = nullptr;  // into PageInput::configured
    ChannelStatus status;
};

struct PageInput {
    TimePoint now;
    std::shared_ptr<const ChannelSet> configured;
    Intervals intervals;
    std::optional<PluginProblem> problem;  // nothing: the plug-in can be used
    std::vector<ChannelRow> rows;
    // Appended to every link the page gives: the reader's own "?key=KEY", or empty.
    std::string linkQuery = {};
};

// Each channel of `configured` with its status from `seen`; the rows point into `configured`.
std::vector<ChannelRow> channelRows(const ChannelSet& configured,
                                    const std::vector<ChannelStatus>& seen,
                                    const Intervals& intervals);

// The gateway's index page (feeds/indexPage.h) for links under `baseUrl`.
std::string indexPage(const PageInput& page, const std::string& baseUrl);

}  // namespace host
