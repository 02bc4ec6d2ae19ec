// The web service's minimum update interval of one kind of channel.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pluginState.h"

namespace plugin {

constexpr std::int32_t kDefaultInterval = 3600;

// Asks the web service for the interval whose query path is the "Config" key `iniKey`; returns it
// in seconds. 3600 when no host is configured (without any request) or the answer has no
// "</int>". Throws std::runtime_error when the download fails.
std::int32_t queryMinUpdateInterval(const StateSnapshot& state, const std::string& iniKey);

// The number of minutes written directly before the first "</int>" of `body` (up to a zero byte),
// in seconds; kDefaultInterval without "</int>".
std::int32_t parseIntervalAnswer(std::string_view body);

}  // namespace plugin
