// Resolving a channel's settings from the INI file and handing them to the channel feed writer.
#pragma once

#include <cstdint>
#include <string>

namespace plugin {

struct ChannelSettings {
    std::string hostName;
    std::string channelUrl;
    std::string title;
    std::string description;
    std::string homeUrl;
    std::string imageUrl;
    bool includeMessageBoardNames = false;
    bool trackNewReplies = false;
};

// plugin_get_channel: reads "HostName" and the channel's section afresh, then writes the feed.
// Throws std::runtime_error "The host name has not been configured." before looking at the
// channel; returns DOVETRAIL_STATUS_UNKNOWN_CHANNEL with "Unknown channel: " and the name when the
// section has no "ChannelUrl"; otherwise the feed writer's status.
std::int32_t getChannel(const std::string& channelName, char** text, std::uint32_t* length,
                        char* errorText);

}  // namespace plugin
