// Which channels the cache keeps, each with its interval: the configured channels (the INI file)
// with the interval of their kind (the plug-in's service reports the intervals). It listens to
// both: the plug-in coming up (with its intervals) and the INI file's channel list changing, and
// hands the result to the cache, logging each event.
//
// Thread-safety: the events may come from any thread; they are not ordered against each other
// (each hands the cache a whole list, so the latest one wins).
#pragma once

#include "channelCache.h"
#include "channelDirectory.h"
#include "pluginLibrary.h"

namespace host {

class PluginHost;

// Each configured channel with the interval of its kind.
std::vector<ChannelSchedule> channelSchedules(const ChannelSet& channels,
                                              const Intervals& intervals);

class ChannelScheduler {
  public:
    // The three must outlive the scheduler.
    ChannelScheduler(ChannelCache& cache, const ChannelDirectory& directory,
                     const PluginHost& plugin);
    ChannelScheduler(const ChannelScheduler&) = delete;
    ChannelScheduler& operator=(const ChannelScheduler&) = delete;

    // The plug-in came up with these intervals.
    void pluginReady(const Intervals& intervals);
    // The plug-in's first start failed: until it comes up, the channels keep the longest default
    // interval, so that their stored feeds are served.
    void pluginDown();
    // The INI file's channel list changed.
    void channelsChanged(const ChannelSet& channels);

  private:
    void schedule(const ChannelSet& channels, const Intervals& intervals);

    ChannelCache& cache_;
    const ChannelDirectory& directory_;
    const PluginHost& plugin_;
};

}  // namespace host
