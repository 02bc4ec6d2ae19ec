// The gateway's route table, its one answer for prepared bodies and the small parsers of
// requests, without a server.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "accessLog.h"
#include "baseUrls.h"
#include "feedSet.h"
#include "httpText.h"
#include "negotiation.h"
#include "routes.h"
#include "textDates.h"

namespace {

using namespace host;
using namespace std::chrono_literals;

struct RouteCase {
    const char* method;
    const char* path;
    const char* route;  // the handler reached, or the status of the table's own answer
    const char* name = "";
    feeds::FeedFormat format = feeds::FeedFormat::rss;
};

TEST(RouteTableTest, EachPathReachesItsHandlerOrIsAnsweredByTheTable) {
    std::string reached;
    RouteMatch matched;
    const auto handler = [&](const char* label) {
        return [&, label](const HttpRequest&, const RouteMatch& match, Responder respond) {
            reached = label;
            matched = match;
            respond(HttpResponse{});
        };
    };
    const RouteTable table(RouteHandlers{handler("index"), handler("mainPage"), handler("status"),
                                         handler("opml"), handler("channel"), handler("health"),
                                         handler("ready"), handler("metrics")});
    using feeds::FeedFormat;
    const RouteCase cases[] = {
        {"GET", "/", "index"},
        {"HEAD", "/status", "status"},
        {"GET", "/main-page", "mainPage"},
        {"GET", "/channels.opml", "opml"},
        {"GET", "/healthz", "health"},
        {"HEAD", "/readyz", "ready"},
        {"GET", "/metrics", "metrics"},
        {"GET", "/healthz/", "404"},
        {"GET", "/channels/lounge.plugin", "channel", "lounge", FeedFormat::plugin},
        {"GET", "/channels/a%20b.json", "channel", "a b", FeedFormat::json},
        // The last dot separates the form: a name may hold dots.
        {"HEAD", "/channels/x.y.atom", "channel", "x.y", FeedFormat::atom},
        // Whether a name is configured is the handler's to say, not the table's.
        {"GET", "/channels/nowhere.rss", "channel", "nowhere", FeedFormat::rss},
        {"GET", "/channels/lounge", "404"},
        {"GET", "/channels/lounge.xml", "404"},
        {"GET", "/channels/.rss", "404"},
        {"GET", "/channels/%zz.rss", "404"},
        {"GET", "/channels/", "404"},
        {"GET", "/channels", "404"},
        {"GET", "/status/", "404"},
        {"GET", "/Status", "404"},
        {"GET", "/index.html", "404"},
        {"POST", "/", "405"},
        {"get", "/status", "405"},
        {"DELETE", "/channels/lounge.rss", "405"},
    };
    for (const RouteCase& c : cases) {
        reached.clear();
        matched = RouteMatch{};
        HttpRequest request;
        request.method = c.method;
        request.path = c.path;
        request.target = c.path;
        int answers = 0;
        HttpResponse answer;
        table.dispatch(request, [&](HttpResponse r) {
            ++answers;
            answer = std::move(r);
        });
        const std::string where = std::string(c.method) + " " + c.path;
        EXPECT_EQ(answers, 1) << where;
        EXPECT_EQ(reached.empty() ? std::to_string(answer.status) : reached, c.route) << where;
        EXPECT_EQ(matched.name, c.name) << where;
        if (std::string(c.route) == "channel") {
            EXPECT_EQ(matched.format, c.format) << where;
        }
        if (answer.status == 405) {
            ASSERT_NE(answer.header("Allow"), nullptr) << where;
            EXPECT_EQ(*answer.header("Allow"), "GET, HEAD");
        }
    }
}

struct PreparedCase {
    bool fresh;  // with a feed's freshness (Last-Modified, max-age)
    bool gzip;
    std::optional<std::string> ifNoneMatch;  // "$identity", "$gzip": that encoding's tag
    std::optional<std::string> ifModifiedSince;
    int status;
    std::vector<std::string> headers;  // names, in order
};

TEST(PreparedAnswerTest, HeadersAndNotModifiedFollowTheEncodingAndTheFreshness) {
    const auto form = std::make_shared<const feeds::PreparedBody>(
        feeds::prepareBody("<list/>", "text/x-test; charset=utf-8"));
    const TimePoint changed = TimePoint(std::chrono::seconds(1'800'000'000)) + 400ms;
    const std::string changedHttp = text::httpDate(changed);
    const std::string before = text::httpDate(changed - 1s);
    const std::string later = text::httpDate(changed + 1h);
    const TimePoint now = changed + 2h;
    const std::string future = text::httpDate(now + 1s);
    const std::vector<std::string> plain = {"Content-Type", "ETag", "Vary"};
    const std::vector<std::string> plainGzip = {"Content-Type", "ETag", "Vary", "Content-Encoding"};
    const std::vector<std::string> fresh = {"Content-Type", "ETag", "Last-Modified",
                                            "Cache-Control", "Vary"};
    const std::vector<std::string> freshGzip = {"Content-Type",  "ETag", "Last-Modified",
                                                "Cache-Control", "Vary", "Content-Encoding"};
    const PreparedCase cases[] = {
        {false, false, {}, {}, 200, plain},
        {false, true, {}, {}, 200, plainGzip},
        {false, false, "$identity", {}, 304, plain},
        {false, true, "$gzip", {}, 304, plainGzip},
        // A tag names one encoding: the identity tag does not validate the gzip copy.
        {false, true, "$identity", {}, 200, plainGzip},
        // Without freshness (the OPML list) If-Modified-Since is not looked at.
        {false, false, {}, later, 200, plain},
        {true, false, {}, {}, 200, fresh},
        {true, true, {}, {}, 200, freshGzip},
        {true, false, {}, changedHttp, 304, fresh},
        {true, false, {}, later, 304, fresh},
        {true, false, {}, before, 200, fresh},
        {true, false, {}, "not a date", 200, fresh},
        // A date after now validates nothing, however late.
        {true, false, {}, future, 200, fresh},
        {true, false, {}, "Fri, 31 Dec 9999 23:59:59 GMT", 200, fresh},
        {true, true, "$gzip", before, 304, freshGzip},
        // If-None-Match decides alone when it is sent.
        {true, false, "\"other\"", changedHttp, 200, fresh},
    };
    int index = 0;
    for (const PreparedCase& c : cases) {
        SCOPED_TRACE(index++);
        FormRequest asked;
        asked.gzip = c.gzip;
        asked.ifModifiedSince = c.ifModifiedSince;
        if (c.ifNoneMatch) {
            asked.ifNoneMatch = *c.ifNoneMatch == "$identity" ? form->etag
                                : *c.ifNoneMatch == "$gzip"   ? form->gzipEtag
                                                              : *c.ifNoneMatch;
        }
        const std::optional<Freshness> freshness =
            c.fresh ? std::optional<Freshness>(Freshness{changed, changedHttp, 42, now})
                    : std::nullopt;
        const HttpResponse answer = preparedAnswer(form, asked, freshness);
        EXPECT_EQ(answer.status, c.status);
        std::vector<std::string> names;
        for (const HttpHeader& header : answer.headers) {
            names.push_back(header.name);
        }
        EXPECT_EQ(names, c.headers);
        EXPECT_EQ(*answer.header("ETag"), c.gzip ? form->gzipEtag : form->etag);
        if (c.fresh) {
            EXPECT_EQ(*answer.header("Last-Modified"), changedHttp);
            EXPECT_EQ(*answer.header("Cache-Control"), "max-age=42");
        }
        if (c.status == 304) {
            EXPECT_TRUE(answer.body.empty());
        } else {
            EXPECT_EQ(answer.body.view(), c.gzip ? form->gzip : form->identity);
            // The prepared bytes themselves, not a copy.
            EXPECT_EQ(answer.body.view().data(), (c.gzip ? form->gzip : form->identity).data());
        }
    }
}

TEST(NegotiationTest, JsonIsChosenByTheQueryOrAnAcceptThatPutsItBeforeHtml) {
    const struct {
        const char* query;
        const char* accept;  // null: no Accept header
        bool json;
    } cases[] = {
        {"", nullptr, false},
        {"format=json", nullptr, true},
        {"a=1&format=json", "text/html", true},
        {"format=JSON", nullptr, false},
        {"format=html", "application/json", true},
        {"", "application/json", true},
        {"", "application/json, text/html", true},
        {"", "text/html,application/xhtml+xml,application/json;q=0.9", false},
        {"", "text/plain", false},
    };
    for (const auto& c : cases) {
        HttpRequest request;
        request.query = c.query;
        if (c.accept != nullptr) {
            request.headers.push_back(HttpHeader{"Accept", c.accept});
        }
        EXPECT_EQ(wantsJson(request), c.json) << c.query << " / " << (c.accept ? c.accept : "-");
    }
}

// --- Small parsers -------------------------------------------------------------------------------

TEST(HttpHelpersTest, QueryValues) {
    EXPECT_EQ(queryValue("a=1&format=json&format=x", "format"), "json");
    EXPECT_EQ(queryValue("formats=json", "format"), std::nullopt);
}

TEST(HttpHelpersTest, EntityTagMatching) {
    const std::string tag = "\"a-1\"";
    EXPECT_TRUE(etagMatches("\"a-1\"", tag));
    EXPECT_TRUE(etagMatches("W/\"a-1\"", tag));
    EXPECT_TRUE(etagMatches("\"x\" ,\t\"a-1\"", tag));
    EXPECT_TRUE(etagMatches("*", tag));
    EXPECT_FALSE(etagMatches("\"a-12\"", tag));
    EXPECT_FALSE(etagMatches("a-1", tag));
    EXPECT_FALSE(etagMatches("", tag));
}

TEST(HttpHelpersTest, AcceptEncodingGzip) {
    const std::pair<const char*, bool> cases[] = {
        {"gzip", true},
        {"GZIP", true},
        {"deflate, gzip;q=0.5", true},
        {"x-gzip", true},
        {"br, *", true},
        {"*;q=0.1", true},
        {"gzip;q=0", false},
        {"gzip; q=0.000", false},
        {"*, gzip;q=0", false},
        {"gzip;q=0.001", true},
        {"identity", false},
        {"deflate, br", false},
        {"gzipped", false},
        {"*;q=0", false},
        {"", false},
        {" , ;q=1, gzip ; q=1 ", true},
    };
    for (const auto& [header, expected] : cases) {
        EXPECT_EQ(acceptsGzip(header), expected) << header;
    }
}

TEST(HttpHelpersTest, OnlyWellFormedHostsMakeBaseUrls) {
    const std::pair<const char*, const char*> cases[] = {
        {"Feeds.Example.org", "http://feeds.example.org"},
        {"127.0.0.1:8080", "http://127.0.0.1:8080"},
        {" gw:1 ", "http://gw:1"},
        {"[::1]:8080", "http://[::1]:8080"},
        {"[2001:DB8::1]", "http://[2001:db8::1]"},
        {"under_score.local", "http://under_score.local"},
        {"", nullptr},
        {"gw:", nullptr},
        {"gw:65536", nullptr},
        {"gw:123456", nullptr},
        {"gw:80:81", nullptr},
        {"gw/path", nullptr},
        {"user@gw", nullptr},
        {"gw?x", nullptr},
        {"\"><script>", nullptr},
        {"[::1", nullptr},
        {"[::1]x", nullptr},
        {"[zz::1]", nullptr},
        {".gw", nullptr},
        {"caf\xC3\xA9.example", nullptr},
    };
    for (const auto& [host, expected] : cases) {
        const std::optional<std::string> base = baseUrlFromHost(host);
        if (expected == nullptr) {
            EXPECT_FALSE(base.has_value()) << host << " gave " << *base;
        } else {
            EXPECT_EQ(base.value_or("(none)"), expected) << host;
        }
    }
    EXPECT_FALSE(baseUrlFromHost(std::string(256, 'a')).has_value());
}

struct HostAnswerCase {
    const char* host;  // null: no Host field
    bool loopback;
    const char* publicUrl;
    bool answered;
};

TEST(BaseUrlsTest, OnLoopbackOnlyLoopbackNamesAndThePublicHostAreAnswered) {
    const HostAnswerCase cases[] = {
        {"localhost:8080", true, "", true},
        {"127.0.0.1", true, "", true},
        {"127.255.0.1:1", true, "", true},
        {"[::1]", true, "", true},
        {nullptr, true, "", true},
        {"feeds.example.org", true, "", false},
        {"127.0.0.1.nip.example", true, "", false},
        {"127.0.0", true, "", false},
        {"127.0.0.256", true, "", false},
        {"[::2]", true, "", false},
        {"", true, "", false},
        {"Feeds.Example.org", true, "https://feeds.example.org/x", true},
        {"feeds.example.org:443", true, "https://feeds.example.org:8443", true},
        {"other.example.org", true, "https://feeds.example.org", false},
        {"other.example.org", false, "", true},
        {"\"><script>", false, "", true},
    };
    for (const HostAnswerCase& c : cases) {
        SCOPED_TRACE(c.host ? c.host : "(none)");
        BaseUrls urls(c.publicUrl);
        urls.setListening("http://127.0.0.1:8080", c.loopback);
        HttpRequest request;
        if (c.host != nullptr) {
            request.headers = {{"Host", c.host}};
        }
        EXPECT_EQ(urls.answersHost(request), c.answered);
        EXPECT_EQ(urls.base(), *c.publicUrl ? c.publicUrl : "http://127.0.0.1:8080");
    }
}

}  // namespace

namespace host {
namespace {

struct LogCase {
    AccessLogFormat format;
    std::string method;
    std::string target;
    std::string userAgent;  // empty: none
    std::size_t bytes;
    std::string line;
};

class AccessLogTest : public ::testing::TestWithParam<LogCase> {};

// What a client sent never breaks a line, passes for the log's own quoting or leaves ASCII, and
// an access key never reaches the log.
TEST_P(AccessLogTest, WritesOneEscapedLine) {
    HttpRequest request;
    request.method = GetParam().method;
    request.target = GetParam().target;
    request.peer = "192.0.2.7";
    if (!GetParam().userAgent.empty()) {
        request.headers.push_back({"User-Agent", GetParam().userAgent});
    }
    HttpResponse response;
    response.status = 200;
    const auto at = std::chrono::system_clock::time_point(std::chrono::seconds(1796916600));
    EXPECT_EQ(accessLogLine(GetParam().format, request, response, GetParam().bytes, 1500us, at),
              GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, AccessLogTest,
    ::testing::Values(
        LogCase{AccessLogFormat::combined, "GET", "/channels/lounge.rss", "newsboat/2.30", 1834,
                "192.0.2.7 - - [10/Dec/2026:15:30:00 +0000] \"GET /channels/lounge.rss "
                "HTTP/1.1\" 200 1834 \"-\" \"newsboat/2.30\""},
        LogCase{AccessLogFormat::combined, "GET", "/x?key=s3cret&limit=5&key", "a\"b\\c\n\xC3\xA9",
                0,
                "192.0.2.7 - - [10/Dec/2026:15:30:00 +0000] \"GET /x?key=-&limit=5&key=- "
                "HTTP/1.1\" 200 - \"-\" \"a\\x22b\\x5Cc\\x0A\\xC3\\xA9\""},
        LogCase{AccessLogFormat::combined, "", "", "", 0,
                "192.0.2.7 - - [10/Dec/2026:15:30:00 +0000] \"-\" 200 - \"-\" \"-\""},
        LogCase{AccessLogFormat::json, "GET", "/a?monkey=1&key=s3cret", "r\"\x01\xE9", 12,
                "{\"time\": \"2026-12-10T15:30:00Z\", \"remote\": \"192.0.2.7\", \"method\": "
                "\"GET\", \"target\": \"/a?monkey=1&key=-\", \"protocol\": \"HTTP/1.1\", "
                "\"status\": 200, \"bytes\": 12, \"referer\": \"\", \"userAgent\": "
                "\"r\\\"\\u0001\\u00E9\", \"durationMs\": 1.5}"}));

TEST(AccessLogTest, FormatsByName) {
    EXPECT_EQ(parseAccessLogFormat("combined"), AccessLogFormat::combined);
    EXPECT_EQ(parseAccessLogFormat("json"), AccessLogFormat::json);
    EXPECT_EQ(parseAccessLogFormat("JSON"), std::nullopt);
}

}  // namespace
}  // namespace host
