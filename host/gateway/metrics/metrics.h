// The gateway's metrics in the Prometheus text format (/metrics), written with prometheus-cpp's
// data model and serializer:
//
//   dovetrail_channel_fetches_total{channel,outcome}     fetches, success or failure (kept in
//                                                        the state, so they survive restarts)
//   dovetrail_channel_fetch_duration_seconds{channel}    a histogram of this process's fetches
//   dovetrail_channel_seconds_since_success{channel}     the age of the last good feed
//   dovetrail_channel_feed_bytes{channel}                the size of the last text
//   dovetrail_channel_feed_items{channel}                the items of the last good feed
//   dovetrail_http_requests_total{route,status}          answers by route and status
//   dovetrail_http_feed_not_modified_ratio               304s among the feed answers
//   dovetrail_http_open_connections                      connections open now
//   dovetrail_http_connections_refused_total             connections refused by the caps
//   dovetrail_plugin_up                                  1 while the plug-in is running
//
// - Answers are counted on the HTTP threads with one relaxed atomic increment, never a lock or an
//   allocation; everything else is read when /metrics is asked.
// - Routes are a fixed set of labels (index, status, opml, main_page, channel, healthz, readyz,
//   metrics, other, engine for what the engine answered itself), so no request can make a series.
//
// Thread-safety: every member may run on several threads at once.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "channelStatus.h"

namespace host {

struct EngineCounts {
    std::size_t openConnections = 0;
    std::uint64_t refusedConnections = 0;
};

enum class RouteLabel {
    index,
    status,
    opml,
    mainPage,
    channel,
    healthz,
    readyz,
    metrics,
    other,
    engine
};

// The label of a request's path; `engine` when the engine answered it without a request line.
RouteLabel routeLabel(std::string_view method, std::string_view path);

class GatewayMetrics {
  public:
    GatewayMetrics();

    void answered(RouteLabel route, int status);
    // A fetch's end (ChannelCache's observer); other reports are skipped.
    void observe(const ChannelStatus& status);

    struct Snapshot {
        std::vector<ChannelStatus> channels;
        EngineCounts engine;
        bool pluginUp = false;
        TimePoint now;
    };
    std::string text(const Snapshot& snapshot) const;

  private:
    static constexpr std::size_t kRoutes = 10;
    static constexpr int kFirstStatus = 100;
    static constexpr std::size_t kStatuses = 500;  // 100 to 599
    std::array<std::array<std::atomic<std::uint64_t>, kStatuses>, kRoutes> answers_{};

    struct Durations {
        std::vector<std::uint64_t> buckets;  // per upper bound, not cumulative
        std::uint64_t count = 0;
        double sum = 0;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Durations> durations_;  // by channel
};

}  // namespace host
