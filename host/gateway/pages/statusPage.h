// The status page: every configured channel's fetches (outcome, origin, schedule, sizes, counts)
// with the gateway's settings, the plug-in's state and a configuration that could not be read;
// as HTML for a person, or as JSON for a script.
//
// Pure functions of their input; safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "channelRows.h"

namespace host {

// The cache's settings the page states.
struct StatusSettings {
    std::chrono::seconds minInterval{0};
    std::chrono::milliseconds fetchTimeout{0};
    std::size_t maxFeedBytes = 0;
    std::string_view statePath;  // empty: the state is kept in memory
};

std::string statusJson(const PageInput& page, const StatusSettings& settings);
std::string statusHtml(const PageInput& page, const StatusSettings& settings);

}  // namespace host
