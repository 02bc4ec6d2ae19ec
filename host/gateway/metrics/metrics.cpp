#include "metrics.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <limits>

#include "textEncoding.h"

namespace host {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// Seconds: a file answer takes milliseconds, a slow web service up to the fetch timeout.
constexpr double kDurationBounds[] = {0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};

constexpr const char* kRouteNames[] = {"index",   "status", "opml",    "main_page", "channel",
                                       "healthz", "readyz", "metrics", "other",     "engine"};

MetricFamily family(std::string name, std::string help, MetricType type) {
    MetricFamily f;
    f.name = std::move(name);
    f.help = std::move(help);
    f.type = type;
    return f;
}

// Channel names are the INI file's bytes; label values are UTF-8.
ClientMetric::Label channelLabel(const std::string& name) {
    return {"channel", feeds::iniValueToUtf8(name)};
}

ClientMetric gauge(std::vector<ClientMetric::Label> labels, double value) {
    ClientMetric m;
    m.label = std::move(labels);
    m.gauge.value = value;
    return m;
}

ClientMetric counter(std::vector<ClientMetric::Label> labels, double value) {
    ClientMetric m;
    m.label = std::move(labels);
    m.counter.value = value;
    return m;
}

}  // namespace

RouteLabel routeLabel(std::string_view method, std::string_view path) {
    if (method.empty()) {
        return RouteLabel::engine;
    }
    struct Exact {
        std::string_view path;
        RouteLabel label;
    };
    static constexpr Exact kExact[] = {{"/", RouteLabel::index},
                                       {"/status", RouteLabel::status},
                                       {"/channels.opml", RouteLabel::opml},
                                       {"/main-page", RouteLabel::mainPage},
                                       {"/healthz", RouteLabel::healthz},
                                       {"/readyz", RouteLabel::readyz},
                                       {"/metrics", RouteLabel::metrics}};
    for (const Exact& e : kExact) {
        if (path == e.path) {
            return e.label;
        }
    }
    return path.substr(0, 10) == "/channels/" ? RouteLabel::channel : RouteLabel::other;
}

GatewayMetrics::GatewayMetrics() = default;

void GatewayMetrics::answered(RouteLabel route, int status) {
    const int slot = status - kFirstStatus;
    if (slot < 0 || slot >= static_cast<int>(kStatuses)) {
        return;  // no such status is ever written
    }
    answers_[static_cast<std::size_t>(route)][static_cast<std::size_t>(slot)].fetch_add(
        1, std::memory_order_relaxed);
}

void GatewayMetrics::observe(const ChannelStatus& status) {
    // Only a fetch of this process's that ended: not a deadline's report, not a state read.
    if (status.fetching || status.origin != Origin::fetched) {
        return;
    }
    const double seconds = std::chrono::duration<double>(status.lastDuration).count();
    std::lock_guard<std::mutex> lock(mutex_);
    Durations& d = durations_[status.name];
    d.buckets.resize(std::size(kDurationBounds));
    for (std::size_t i = 0; i < std::size(kDurationBounds); ++i) {
        if (seconds <= kDurationBounds[i]) {
            ++d.buckets[i];
            break;
        }
    }
    ++d.count;
    d.sum += seconds;
}

std::string GatewayMetrics::text(const Snapshot& snapshot) const {
    std::vector<MetricFamily> out;

    MetricFamily fetches =
        family("dovetrail_channel_fetches_total",
               "Fetches of a channel from the web service, by outcome", MetricType::Counter);
    MetricFamily age = family("dovetrail_channel_seconds_since_success",
                              "Seconds since the fetch of the channel's last good feed started",
                              MetricType::Gauge);
    MetricFamily bytes = family("dovetrail_channel_feed_bytes", "Bytes of the channel's last text",
                                MetricType::Gauge);
    MetricFamily items = family("dovetrail_channel_feed_items",
                                "Items of the channel's last good feed", MetricType::Gauge);
    for (const ChannelStatus& s : snapshot.channels) {
        fetches.metric.push_back(counter({channelLabel(s.name), {"outcome", "success"}},
                                         static_cast<double>(s.fetches - s.failures)));
        fetches.metric.push_back(counter({channelLabel(s.name), {"outcome", "failure"}},
                                         static_cast<double>(s.failures)));
        if (s.lastSuccess) {
            age.metric.push_back(gauge(
                {channelLabel(s.name)},
                std::max(0.0,
                         std::chrono::duration<double>(snapshot.now - *s.lastSuccess).count())));
            bytes.metric.push_back(gauge({channelLabel(s.name)}, static_cast<double>(s.lastBytes)));
            items.metric.push_back(gauge({channelLabel(s.name)}, static_cast<double>(s.items)));
        }
    }

    MetricFamily durations =
        family("dovetrail_channel_fetch_duration_seconds",
               "Duration of this process's fetches of a channel", MetricType::Histogram);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [name, d] : durations_) {
            ClientMetric m;
            m.label = {channelLabel(name)};
            m.histogram.sample_count = d.count;
            m.histogram.sample_sum = d.sum;
            std::uint64_t cumulative = 0;
            for (std::size_t i = 0; i < std::size(kDurationBounds); ++i) {
                cumulative += d.buckets[i];
                m.histogram.bucket.push_back({cumulative, kDurationBounds[i]});
            }
            m.histogram.bucket.push_back({d.count, std::numeric_limits<double>::infinity()});
            durations.metric.push_back(std::move(m));
        }
    }

    MetricFamily requests = family("dovetrail_http_requests_total",
                                   "HTTP answers by route and status", MetricType::Counter);
    std::uint64_t feedAnswers = 0;
    std::uint64_t feedNotModified = 0;
    for (std::size_t r = 0; r < kRoutes; ++r) {
        for (std::size_t i = 0; i < kStatuses; ++i) {
            const std::uint64_t n = answers_[r][i].load(std::memory_order_relaxed);
            if (n == 0) {
                continue;
            }
            const int status = kFirstStatus + static_cast<int>(i);
            requests.metric.push_back(
                counter({{"route", kRouteNames[r]}, {"status", std::to_string(status)}},
                        static_cast<double>(n)));
            if (r == static_cast<std::size_t>(RouteLabel::channel)) {
                feedAnswers += n;
                feedNotModified += status == 304 ? n : 0;
            }
        }
    }
    MetricFamily ratio = family("dovetrail_http_feed_not_modified_ratio",
                                "Share of feed answers that were 304 Not Modified since the start",
                                MetricType::Gauge);
    ratio.metric.push_back(gauge({}, feedAnswers == 0 ? 0.0
                                                      : static_cast<double>(feedNotModified) /
                                                            static_cast<double>(feedAnswers)));
    MetricFamily open =
        family("dovetrail_http_open_connections", "HTTP connections open now", MetricType::Gauge);
    open.metric.push_back(gauge({}, static_cast<double>(snapshot.engine.openConnections)));
    MetricFamily refused =
        family("dovetrail_http_connections_refused_total",
               "HTTP connections refused by the connection caps", MetricType::Counter);
    refused.metric.push_back(counter({}, static_cast<double>(snapshot.engine.refusedConnections)));
    MetricFamily up =
        family("dovetrail_plugin_up", "1 while the plug-in is running, else 0", MetricType::Gauge);
    up.metric.push_back(gauge({}, snapshot.pluginUp ? 1 : 0));

    for (MetricFamily* f :
         {&fetches, &durations, &age, &bytes, &items, &requests, &ratio, &open, &refused, &up}) {
        out.push_back(std::move(*f));
    }
    return prometheus::TextSerializer().Serialize(out);
}

}  // namespace host
