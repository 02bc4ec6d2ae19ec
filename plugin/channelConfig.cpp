#include "channelConfig.h"

#include <stdexcept>

#include "cBoundary.h"
#include "channelFeed.h"
#include "ini.h"
#include "pluginState.h"

namespace plugin {

std::int32_t getChannel(const std::string& channelName, char** text, std::uint32_t* length,
                        char* errorText) {
    const StateSnapshot state = snapshot();
    const std::string& ini = state.configPath;

    ChannelSettings settings;
    settings.hostName = tools::getIniString(ini, "Config", "HostName", "", true);
    if (settings.hostName.empty()) {
        throw std::runtime_error("The host name has not been configured.");
    }
    settings.channelUrl = tools::getIniString(ini, channelName, "ChannelUrl", "", true);
    if (settings.channelUrl.empty()) {
        copyErrorText("Unknown channel: " + channelName, errorText);
        return DOVETRAIL_STATUS_UNKNOWN_CHANNEL;
    }
    settings.title = tools::getIniString(ini, channelName, "ChannelName", channelName, true);
    settings.description =
        tools::getIniString(ini, channelName, "ChannelDescription", channelName, true);
    settings.homeUrl =
        tools::getIniString(ini, channelName, "ChannelHomeUrl", settings.hostName, true);
    settings.imageUrl = tools::getIniString(ini, channelName, "ChannelImageUrl", "", true);
    settings.includeMessageBoardNames =
        tools::getIniBool(ini, channelName, "IncludeMessageBoardNames", false);
    settings.trackNewReplies = tools::getIniBool(ini, channelName, "TrackNewReplies", false);

    return writeChannelFeed(settings, state, text, length, errorText);
}

}  // namespace plugin
