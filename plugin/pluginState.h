// The module-level state shared by the entry points: configuration path, plug-in directory,
// internet session and the three minimum update intervals.
//
// plugin_init and plugin_term write it (one at a time); content requests take a snapshot and never
// hold a lock while they work, so a slow download does not block anything else.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/internet.h"

namespace plugin {

struct Intervals {
    std::int32_t lounge = 0;
    std::int32_t messageBoards = 0;
    std::int32_t articles = 0;
};

struct StateSnapshot {
    std::string configPath;
    std::string directory;
    std::shared_ptr<platform::InternetSession> session;
    Intervals intervals;
};

StateSnapshot snapshot();

// The agent name every request sends.
inline constexpr const char* kAgentName = "Microsoft Internet Explorer";

// plugin_init: returns DOVETRAIL_STATUS_OK (intervals written to the area),
// DOVETRAIL_STATUS_NO_INTERNET (message written), or throws for a download failure of an interval
// query.
std::int32_t initialise(const std::string& configPath, void* initResult);
// plugin_term: closes the internet session.
std::int32_t terminate();

}  // namespace plugin
