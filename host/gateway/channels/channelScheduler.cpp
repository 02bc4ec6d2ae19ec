#include "channelScheduler.h"

#include "httpService.h"
#include "pluginHost.h"
#include "textDates.h"
#include "textEscape.h"

namespace host {

std::vector<ChannelSchedule> channelSchedules(const ChannelSet& channels,
                                              const Intervals& intervals) {
    std::vector<ChannelSchedule> schedules;
    for (const ChannelEntry& channel : channels.channels) {
        schedules.push_back(ChannelSchedule{
            channel.name, std::chrono::seconds(intervals.forKind(channel.intervalKind))});
    }
    return schedules;
}

ChannelScheduler::ChannelScheduler(ChannelCache& cache, const ChannelDirectory& directory,
                                   const PluginHost& plugin)
    : cache_(cache), directory_(directory), plugin_(plugin) {}

void ChannelScheduler::schedule(const ChannelSet& channels, const Intervals& intervals) {
    // A kind not understood is named; the channel keeps to the longest interval.
    for (const ChannelEntry& channel : channels.channels) {
        if (const std::string warning = intervalKindWarning(channel); !warning.empty()) {
            writeErrorLine("dovetrail: warning: " + warning);
        }
    }
    cache_.setChannels(channelSchedules(channels, intervals),
                       std::chrono::seconds(intervals.longest()));
}

void ChannelScheduler::pluginReady(const Intervals& intervals) {
    schedule(*directory_.current(), intervals);
    writeErrorLine(text::isoDate(std::chrono::system_clock::now()) +
                   " plug-in initialised; minimum update intervals: lounge " +
                   std::to_string(intervals.lounge) + " s, message boards " +
                   std::to_string(intervals.messageBoards) + " s, articles " +
                   std::to_string(intervals.articles) + " s");
}

void ChannelScheduler::pluginDown() {
    Intervals defaults;
    defaults.lounge = defaults.messageBoards = defaults.articles =
        static_cast<int32_t>(kDefaultLongestInterval.count());
    schedule(*directory_.current(), defaults);
}

void ChannelScheduler::channelsChanged(const ChannelSet& channels) {
    schedule(channels, plugin_.intervals());
    std::string line = text::isoDate(std::chrono::system_clock::now()) + " channels now:";
    for (const ChannelEntry& channel : channels.channels) {
        line += " " + text::printable(channel.name);
    }
    writeErrorLine(line);
}

}  // namespace host
