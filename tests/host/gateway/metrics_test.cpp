// The metrics' text: what is counted, how routes and channels are labelled, and who may read it.
#include <gtest/gtest.h>

#include <string>

#include "httpServiceFixture.h"
#include "metrics.h"
#include "readerAccess.h"

namespace host {
namespace {

using namespace testing_fixtures;
using namespace std::chrono_literals;

bool holds(const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
}

TEST(MetricsTest, CountsAnswersFetchesAndTheShareOfNotModified) {
    GatewayMetrics metrics;
    for (int i = 0; i < 3; ++i) {
        metrics.answered(routeLabel("GET", "/channels/lounge.rss"), 200);
    }
    metrics.answered(routeLabel("GET", "/channels/x.json"), 304);
    metrics.answered(routeLabel("GET", "/status"), 200);
    metrics.answered(routeLabel("GET", "/no/such/path"), 404);
    metrics.answered(routeLabel("", ""), 408);
    metrics.answered(RouteLabel::index, 99);  // no such status: not counted, no crash

    ChannelStatus fetched;
    fetched.name = "caf\xE9";  // the INI file's Latin-1
    fetched.origin = Origin::fetched;
    fetched.fetches = 5;
    fetched.failures = 2;
    fetched.lastSuccess = TimePoint(100s);
    fetched.lastBytes = 1234;
    fetched.items = 7;
    for (const std::chrono::milliseconds duration : {20ms, 300ms, 90000ms}) {
        fetched.lastDuration = duration;
        metrics.observe(fetched);
    }
    ChannelStatus overdue = fetched;
    overdue.fetching = true;  // a deadline's report, not a fetch's end
    metrics.observe(overdue);

    const std::string text = metrics.text({{fetched}, {3, 9}, true, TimePoint(160s)});
    for (const char* line :
         {"dovetrail_http_requests_total{route=\"channel\",status=\"200\"} 3",
          "dovetrail_http_requests_total{route=\"channel\",status=\"304\"} 1",
          "dovetrail_http_requests_total{route=\"status\",status=\"200\"} 1",
          "dovetrail_http_requests_total{route=\"other\",status=\"404\"} 1",
          "dovetrail_http_requests_total{route=\"engine\",status=\"408\"} 1",
          "dovetrail_http_feed_not_modified_ratio 0.25",
          "dovetrail_channel_fetches_total{channel=\"caf\xC3\xA9\",outcome=\"success\"} 3",
          "dovetrail_channel_fetches_total{channel=\"caf\xC3\xA9\",outcome=\"failure\"} 2",
          "dovetrail_channel_seconds_since_success{channel=\"caf\xC3\xA9\"} 60",
          "dovetrail_channel_feed_bytes{channel=\"caf\xC3\xA9\"} 1234",
          "dovetrail_channel_feed_items{channel=\"caf\xC3\xA9\"} 7",
          "dovetrail_channel_fetch_duration_seconds_count{channel=\"caf\xC3\xA9\"} 3",
          "dovetrail_channel_fetch_duration_seconds_bucket{channel=\"caf\xC3\xA9\",le=\"0.05\"} 1",
          "dovetrail_channel_fetch_duration_seconds_bucket{channel=\"caf\xC3\xA9\",le=\"0.5\"} 2",
          "dovetrail_channel_fetch_duration_seconds_bucket{channel=\"caf\xC3\xA9\",le=\"60\"} 2",
          "dovetrail_channel_fetch_duration_seconds_bucket{channel=\"caf\xC3\xA9\",le=\"+Inf\"} 3",
          "dovetrail_http_open_connections 3", "dovetrail_http_connections_refused_total 9",
          "dovetrail_plugin_up 1"}) {
        EXPECT_TRUE(holds(text, line)) << line << "\n" << text;
    }
    EXPECT_EQ(text.find("status=\"99\""), std::string::npos);
}

TEST(AddressRangeTest, HoldsItsAddressesOnly) {
    const struct {
        const char* range;
        const char* peer;
        bool contains;
    } cases[] = {{"127.0.0.0/8", "127.1.2.3", true},
                 {"127.0.0.0/8", "128.0.0.1", false},
                 {"127.0.0.0/8", "::ffff:127.0.0.1", true},
                 {"10.1.0.0/16", "10.1.255.1", true},
                 {"10.1.0.0/16", "10.2.0.1", false},
                 {"192.0.2.7", "192.0.2.7", true},
                 {"192.0.2.7", "192.0.2.8", false},
                 {"0.0.0.0/0", "203.0.113.9", true},
                 {"0.0.0.0/0", "::1", false},
                 {"::1", "::1", true},
                 {"fd00::/8", "fd12:3456::1", true},
                 {"fd00::/8", "fe80::1", false},
                 {"10.0.0.0/8", "not an address", false}};
    for (const auto& c : cases) {
        const auto range = AddressRange::parse(c.range);
        ASSERT_TRUE(range) << c.range;
        EXPECT_EQ(range->contains(c.peer), c.contains) << c.range << " " << c.peer;
    }
    for (const char* bad : {"", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/x", "host.lan",
                            "10.0.0/8", "10.0.0.0/8/8"}) {
        EXPECT_FALSE(AddressRange::parse(bad)) << bad;
    }
}

class MetricsRouteTest : public HttpServiceTest {
  protected:
    void configure(ServiceSources& sources) override {
        sources.metricsAllow = {*AddressRange::parse("192.0.2.0/24")};
    }
};

TEST_F(MetricsRouteTest, OnlyTheAllowedAddressesReadTheMetrics) {
    const auto res = get("/metrics");
    EXPECT_EQ(res->status, 403);
    EXPECT_EQ(res->body, "Forbidden\n");
}

TEST_F(HttpServiceTest, LoopbackReadsTheMetricsAfterTheAnswersTheyCount) {
    EXPECT_EQ(get("/channels/lounge.plugin")->status, 200);
    const auto res = get("/metrics");
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(
        res->body.find("dovetrail_channel_fetches_total{channel=\"lounge\",outcome=\"success\"} 1"),
        std::string::npos)
        << res->body;
}

}  // namespace
}  // namespace host
