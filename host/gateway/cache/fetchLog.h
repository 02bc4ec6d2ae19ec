// The log line of a channel's fetch: one line per fetch, per feed read from the state, and per
// fetch past its deadline, with every text from the INI file or the plug-in made printable.
//
// Plain function; safe from any thread.
#pragma once

#include <chrono>
#include <string>

#include "channelStatus.h"

namespace host {

std::string fetchLogLine(const ChannelStatus& status, std::chrono::milliseconds fetchTimeout,
                         TimePoint now);

}  // namespace host
