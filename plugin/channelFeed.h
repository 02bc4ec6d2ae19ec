// The channel feed writer: downloads a channel's web-service answer, parses it into items and
// writes the RSS text that the host shows.
#pragma once

#include <cstdint>

#include "channelConfig.h"
#include "pluginState.h"

namespace plugin {

// Returns kOk with the RSS text handed over, or kNoMemory. Throws std::runtime_error for a
// download failure and expat::Exception for an answer that is not well-formed XML. Never writes
// the error text.
std::int32_t writeChannelFeed(const ChannelSettings& settings, const StateSnapshot& state,
                              char** text, std::uint32_t* length, char* errorText);

}  // namespace plugin
