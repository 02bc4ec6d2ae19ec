// The HTTP service on the gateway's engine over loopback, with the fake plug-in behind the cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include <httplib.h>

#include "channelCache.h"
#include "channelDirectory.h"
#include "feedSet.h"
#include "httpService.h"
#include "httpServiceFixture.h"
#include "pluginLibrary.h"
#include "support/hostFixtures.h"
#include "support/rawHttp.h"
#include "support/runningServer.h"
#include "textDates.h"

using namespace std::chrono_literals;

// Debian's cpp-httplib is not built with ThreadSanitizer; see host_tsan.supp. Only a
// ThreadSanitizer build calls this.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}

namespace host {
namespace {

using namespace testing_fixtures;

TEST_F(HttpServiceTest, ServesAChannelWithValidatorsAndTheRemainingLifetime) {
    auto res = get("/channels/lounge.plugin");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<RSS>lounge#1");
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/rss+xml; charset=ISO-8859-1");
    EXPECT_EQ(res->get_header_value("ETag"), feeds::strongEtag("<RSS>lounge#1"));
    EXPECT_EQ(res->get_header_value("Last-Modified"), text::httpDate(clock_.time()));
    EXPECT_EQ(res->get_header_value("Cache-Control"), "max-age=300");
    EXPECT_FALSE(res->has_header("Warning"));

    clock_.advance(100s);
    res = get("/channels/lounge.plugin");
    EXPECT_EQ(res->get_header_value("Cache-Control"), "max-age=200");
    EXPECT_EQ(fake_->channelCalls, 1);
}

TEST_F(HttpServiceTest, AnswersShareTheCachedTextInsteadOfCopyingIt) {
    std::vector<HttpResponse> answers;
    HttpRequest request;
    request.method = "GET";
    request.path = request.target = "/channels/lounge.plugin";
    for (int i = 0; i < 2; ++i) {
        std::promise<HttpResponse> answer;
        service_->handle(request, [&](HttpResponse r) { answer.set_value(std::move(r)); });
        answers.push_back(answer.get_future().get());
    }
    const Lookup cached = cache_->getAndWait("lounge");
    ASSERT_TRUE(cached.feed);
    EXPECT_EQ(answers[0].body.view(), "<RSS>lounge#1");
    EXPECT_EQ(answers[0].body.view().data(), cached.feed->text().data());
    EXPECT_TRUE(answers[1].body.sharesWith(answers[0].body));
}

struct ConditionalCase {
    std::string header;
    std::string value;  // "$etag", "$date" and "$list" stand for the served validators
    int status;
};

class ConditionalTest : public HttpServiceTest,
                        public ::testing::WithParamInterface<ConditionalCase> {};

TEST_P(ConditionalTest, AnswersValidators) {
    auto first = get("/channels/lounge.plugin");
    ASSERT_TRUE(first);
    std::string value = GetParam().value;
    if (value == "$etag") {
        value = first->get_header_value("ETag");
    } else if (value == "$date") {
        value = first->get_header_value("Last-Modified");
    } else if (value == "$list") {
        value = "\"other\", W/" + first->get_header_value("ETag");
    }
    auto res = get("/channels/lounge.plugin", {{GetParam().header, value}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, GetParam().status);
    if (res->status == 304) {
        EXPECT_TRUE(res->body.empty());
        EXPECT_EQ(res->get_header_value("ETag"), first->get_header_value("ETag"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Validators, ConditionalTest,
    ::testing::Values(ConditionalCase{"If-None-Match", "$etag", 304},
                      ConditionalCase{"If-None-Match", "$list", 304},
                      ConditionalCase{"If-None-Match", "*", 304},
                      ConditionalCase{"If-None-Match", "\"different\"", 200},
                      ConditionalCase{"If-Modified-Since", "$date", 304},
                      ConditionalCase{"If-Modified-Since", "Sat, 01 Jan 2000 00:00:00 GMT", 200},
                      // A date after now is no validator: a reader cannot have a copy from then.
                      ConditionalCase{"If-Modified-Since", "Fri, 31 Dec 9999 23:59:59 GMT", 200},
                      ConditionalCase{"If-Modified-Since", "Sat, 01 Jan 2050 00:00:00 GMT", 200},
                      // Years outside 1970-9999: the header is ignored, never a wrong 304.
                      ConditionalCase{"If-Modified-Since", "Sun, 06 Nov 0004 08:49:37 GMT", 200},
                      ConditionalCase{"If-Modified-Since", "Sun, 06 Nov 1969 08:49:37 GMT", 200},
                      ConditionalCase{"If-Modified-Since", "not a date", 200}));

TEST_F(HttpServiceTest, IfNoneMatchOutranksIfModifiedSince) {
    auto first = get("/channels/lounge.plugin");
    auto res = get("/channels/lounge.plugin",
                   {{"If-None-Match", "\"different\""},
                    {"If-Modified-Since", first->get_header_value("Last-Modified")}});
    EXPECT_EQ(res->status, 200);
}

// Spellings near a configured name: none may reach the plug-in or take a cache entry.
class AliasTest : public HttpServiceTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(AliasTest, IsNotFoundWithoutAFetchOrAnEntry) {
    auto res = get("/channels/" + GetParam() + ".rss");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    EXPECT_EQ(res->body.find('\0'), std::string::npos);
    EXPECT_EQ(fake_->channelCalls, 0);
    EXPECT_TRUE(cache_->status().empty());
    const std::string json = get("/status?format=json")->body;
    EXPECT_EQ(json.find("lounge%"), std::string::npos);
    EXPECT_EQ(json.find("\"fetches\": 1"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Names, AliasTest,
                         ::testing::Values("lounge%00anything", "lounge%0B", "lounge%0C",
                                           "lounge%0A", "loungeX", "Lounge", "%20lounge",
                                           "lounge%20", "lounge%09", "unknown-x", "lounge%"));

class MethodTest : public HttpServiceTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(MethodTest, OtherMethodsAreNotAllowed) {
    testing_support::RawConnection connection(server_->port());
    ASSERT_TRUE(
        connection.send(GetParam() + " /channels/lounge.plugin HTTP/1.1\r\nHost: x\r\n\r\n"));
    const auto res = connection.read();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405);
    EXPECT_EQ(res->header("Allow"), "GET, HEAD");
    EXPECT_EQ(fake_->channelCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(Methods, MethodTest,
                         ::testing::Values("OPTIONS", "POST", "PUT", "DELETE", "PATCH", "TRACE"));

struct ErrorTextCase {
    std::string request;
    int status;
};

class ErrorTextTest : public HttpServiceTest,
                      public ::testing::WithParamInterface<ErrorTextCase> {};

// Error texts quote what the client sent: no browser may read them as anything but text.
TEST_P(ErrorTextTest, IsNeverSniffed) {
    testing_support::RawConnection connection(server_->port());
    ASSERT_TRUE(connection.send(GetParam().request));
    const auto res = connection.read();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, GetParam().status) << res->body;
    EXPECT_EQ(res->header("Content-Type"), "text/plain; charset=ISO-8859-1");
    EXPECT_EQ(res->header("X-Content-Type-Options"), "nosniff");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ErrorTextTest,
    ::testing::Values(
        // The routes' own.
        ErrorTextCase{"GET /nothing<script> HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        ErrorTextCase{"GET /channels/%3Cb%3E.rss HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        ErrorTextCase{"POST /status HTTP/1.1\r\nHost: x\r\n\r\n", 405},
        // The fake plug-in's text converts to no feed.
        ErrorTextCase{"GET /channels/lounge.rss HTTP/1.1\r\nHost: x\r\n\r\n", 502},
        // The engine's.
        ErrorTextCase{"HELLO\r\n\r\n", 400},
        ErrorTextCase{"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        ErrorTextCase{"GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", 431}));

TEST_F(HttpServiceTest, HeadAnswersTheHeadersOfGetWithoutTheBody) {
    testing_support::RawConnection connection(server_->port());
    ASSERT_TRUE(connection.send("HEAD /channels/lounge.plugin HTTP/1.1\r\nHost: x\r\n\r\n"));
    const auto head = connection.read(5s, true);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->header("Content-Length"), "13");
    EXPECT_EQ(head->header("ETag"), feeds::strongEtag("<RSS>lounge#1"));
    // Nothing but the next answer follows on the connection.
    const auto next = connection.get("/channels/lounge.plugin");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, "<RSS>lounge#1");
}

TEST_F(HttpServiceTest, AFailedRefetchServesTheLastGoodFeedWithItsAge) {
    ASSERT_EQ(get("/channels/lounge.plugin")->status, 200);
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = DOVETRAIL_STATUS_FAILED;
        fake_->channelError =
            "Bad HTTP response: 500 Internal Server Error: http://service/\"x\"\nline two";
    }
    clock_.advance(300s);
    ASSERT_EQ(get("/channels/lounge.plugin")->status, 200);  // starts the refetch
    settle();
    auto res = get("/channels/lounge.plugin");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<RSS>lounge#1");
    // The feed's age, and nothing of the failure: no Warning, no error item in the feed.
    EXPECT_EQ(res->get_header_value("Dovetrail-Stale"), "300");
    EXPECT_FALSE(res->has_header("Warning"));
    EXPECT_FALSE(res->has_header("Retry-After"));

    const std::string json = get("/status", {{"Accept", "application/json"}})->body;
    EXPECT_NE(json.find("\"outcome\": \"failed\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"error\": \"Bad HTTP response: 500 Internal Server Error: "
                        "http://service/\\\"x\\\"\\nline two\""),
              std::string::npos)
        << json;
    const std::string html = get("/status")->body;
    EXPECT_NE(html.find("failed (status 1): Bad HTTP response: 500 Internal Server Error"),
              std::string::npos)
        << html;
}

TEST_F(HttpServiceTest, AFeedAboveTheLimitKeepsTheLastGoodOneAndSaysSoOnStatus) {
    ASSERT_EQ(get("/channels/lounge.plugin")->status, 200);
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelPrefix = std::string(600, 'x');
    }
    clock_.advance(300s);
    get("/channels/lounge.plugin");
    settle();
    EXPECT_EQ(get("/channels/lounge.plugin")->body, "<RSS>lounge#1");
    const std::string json = get("/status?format=json")->body;
    EXPECT_NE(json.find("\"error\": \"Can't keep the feed: 608 bytes is more than the limit of "
                        "512 bytes\""),
              std::string::npos)
        << json;
    // The plug-in's buffer was released unread.
    EXPECT_EQ(fake_->buffersFreed, fake_->buffersHandedOut);
}

TEST_F(HttpServiceTest, ChannelsThatNeverSucceededAnswerWithErrors) {
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = DOVETRAIL_STATUS_FAILED;
        fake_->channelError = "XML parse error";
    }
    auto failed = get("/channels/lounge.plugin");
    EXPECT_EQ(failed->status, 502);
    // The next try is the first retry of a failed channel; no Retry-After, which some readers
    // would apply to every feed of the host.
    EXPECT_EQ(failed->body, "XML parse error\nThe next fetch may be in 30 seconds.\n");
    EXPECT_FALSE(failed->has_header("Retry-After"));

    // A fetch that passes its deadline: 504 for readers without a feed, and the plug-in call is
    // left to finish.
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = DOVETRAIL_STATUS_OK;
    }
    fake_->delayMilliseconds = 1500;
    auto slow = get("/channels/boards.plugin");
    EXPECT_EQ(slow->status, 504);
    EXPECT_EQ(slow->body.rfind("Can't fetch channel boards: no answer within 1 second;", 0), 0u)
        << slow->body;
    EXPECT_FALSE(slow->has_header("Retry-After"));
    const auto boards = cache_->status();
    ASSERT_EQ(boards.size(), 2u);
    EXPECT_TRUE(boards[0].name == "boards" && boards[0].fetching && boards[0].overdue);
    settle();
    EXPECT_EQ(get("/channels/boards.plugin")->body, "<RSS>boards#1");
}

TEST_F(HttpServiceTest, AReaderOfAChannelWithAFeedIsAnsweredWhileTheRefetchRuns) {
    ASSERT_EQ(get("/channels/lounge.plugin")->status, 200);
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->contentVersion = 2;
    }
    fake_->delayMilliseconds = 1500;
    clock_.advance(300s);
    auto res = get("/channels/lounge.plugin");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "<RSS>lounge#1");
    EXPECT_EQ(res->get_header_value("Cache-Control"), "max-age=0");
    // Answered while the refetch, which takes 1.5 s in the plug-in, is still in progress.
    ASSERT_EQ(cache_->status().size(), 1u);
    EXPECT_TRUE(cache_->status()[0].fetching);
    settle();
    EXPECT_EQ(get("/channels/lounge.plugin")->body, "<RSS>lounge#2");
}

TEST_F(HttpServiceTest, StatusListsConfiguredChannelsInBothForms) {
    get("/channels/lounge.plugin");
    const auto json = get("/status", {{"Accept", "application/json"}});
    EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
    // Latin-1 titles become UTF-8; the unfetched channel has nulls.
    EXPECT_NE(json->body.find("{\"name\": \"lounge\", \"title\": \"Caf\xC3\xA9 Lounge\""),
              std::string::npos)
        << json->body;
    EXPECT_NE(json->body.find("\"outcome\": \"ok\""), std::string::npos);
    EXPECT_NE(json->body.find("\"name\": \"boards\", \"title\": \"Boards\", \"configured\": true, "
                              "\"outcome\": \"never fetched\""),
              std::string::npos)
        << json->body;
    EXPECT_NE(json->body.find("\"bytes\": 13"), std::string::npos);
    EXPECT_NE(json->body.find("\"fetchTimeoutSeconds\": 1"), std::string::npos);
    EXPECT_NE(json->body.find("\"maxFeedBytes\": 512"), std::string::npos);

    const auto html = get("/status", {{"Accept", "text/html,application/json;q=0.9"}});
    EXPECT_EQ(html->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(html->body.find("<td>Caf\xC3\xA9 Lounge</td>"), std::string::npos) << html->body;
    EXPECT_NE(html->body.find("<a href=\"/channels/lounge.rss\">lounge</a>"), std::string::npos);
}

TEST_F(HttpServiceTest, MainPageAndAccessLog) {
    auto page = get("/main-page");
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body, "<html>main page</html>");
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=ISO-8859-1");
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->mainPageStatus = DOVETRAIL_STATUS_NO_TEMPLATE;
    }
    // No template beside the INI file is a page that is not there, not a server failure.
    auto missing = get("/main-page");
    EXPECT_EQ(missing->status, 404);
    EXPECT_NE(missing->body.find("main page template"), std::string::npos) << missing->body;
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->mainPageStatus = DOVETRAIL_STATUS_NO_MEMORY;
    }
    EXPECT_EQ(get("/main-page")->status, 500);
    EXPECT_EQ(get("/nothing")->status, 404);
    // A control byte in the target is not HTTP: the engine answers that itself.
    EXPECT_EQ(get("/nothing\x01")->status, 400);

    // The engine logs after the answer has gone out: give the last line a moment.
    for (int i = 0; i < 200 && logLines() < 5; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard<std::mutex> lock(logMutex_);
    ASSERT_EQ(log_.size(), 5u);
    const auto count = [this](const std::string& text) {
        return std::count_if(log_.begin(), log_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    EXPECT_EQ(count("127.0.0.1 - - ["), 5);
    EXPECT_EQ(count("\"GET /main-page HTTP/1.1\" 200 22 \"-\" \"cpp-httplib/"), 1);
    EXPECT_EQ(count("\"GET /main-page HTTP/1.1\" 404 "), 1);
    EXPECT_EQ(count("\"GET /main-page HTTP/1.1\" 500 "), 1);
    EXPECT_EQ(count("\"GET /nothing HTTP/1.1\" 404 "), 1);
    EXPECT_EQ(count("] \"-\" 400 "), 1);
    EXPECT_EQ(count("\x01"), 0);
}

struct FormCase {
    std::string extension;
    std::string contentType;
    std::string selfLink;  // what the body holds of its own address; empty: none
};

class FeedFormTest : public HttpServiceTest, public ::testing::WithParamInterface<FormCase> {};

TEST_P(FeedFormTest, ServesTheFormPreparedOnceWithItsGzipCopyAndValidators) {
    makeConvertible(*fake_);
    service_->setListening("http://feeds.example:8080", false);
    const std::string path = "/channels/lounge." + GetParam().extension;
    auto plain = get(path, {{"Host", "Feeds.Example:8080"}});
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 200);
    EXPECT_EQ(plain->get_header_value("Content-Type"), GetParam().contentType);
    EXPECT_EQ(plain->get_header_value("Vary"), "Accept-Encoding");
    EXPECT_FALSE(plain->has_header("Content-Encoding"));
    EXPECT_EQ(plain->get_header_value("Cache-Control"), "max-age=300");
    EXPECT_EQ(plain->get_header_value("Last-Modified"), text::httpDate(clock_.time()));
    if (!GetParam().selfLink.empty()) {
        EXPECT_NE(plain->body.find(GetParam().selfLink), std::string::npos) << plain->body;
    }
    // The title and item text arrive as UTF-8 in the converted forms.
    if (GetParam().extension != "plugin") {
        EXPECT_NE(plain->body.find("Jo\xC3\xABl's item"), std::string::npos) << plain->body;
    }

    // The forms come from the cache's one conversion: the same bytes in memory for every answer.
    const Lookup cached = cache_->getAndWait("lounge");
    ASSERT_TRUE(cached.feed);
    const auto format = *feeds::parseFeedFormat(GetParam().extension);
    const feeds::PreparedBody& form = format == feeds::FeedFormat::plugin
                                          ? *cached.feed->pluginForm()
                                          : cached.feed->forms()->form(format);
    EXPECT_EQ(plain->body, form.identity);
    EXPECT_EQ(plain->get_header_value("ETag"), form.etag);
    HttpRequest request;
    request.method = "GET";
    request.path = request.target = path;
    request.headers = {{"Host", "feeds.example:8080"}, {"Accept-Encoding", "deflate, gzip;q=0.5"}};
    std::promise<HttpResponse> answer;
    service_->handle(request, [&](HttpResponse r) { answer.set_value(std::move(r)); });
    const HttpResponse zipped = answer.get_future().get();
    EXPECT_EQ(zipped.status, 200);
    EXPECT_EQ(*zipped.header("Content-Encoding"), "gzip");
    EXPECT_EQ(*zipped.header("ETag"), form.gzipEtag);
    EXPECT_EQ(zipped.body.view().data(), form.gzip.data());

    // Each representation answers its own tag with 304.
    auto notModified = get(path, {{"Host", "feeds.example:8080"},
                                  {"Accept-Encoding", "gzip"},
                                  {"If-None-Match", form.gzipEtag}});
    EXPECT_EQ(notModified->status, 304);
    EXPECT_EQ(notModified->get_header_value("Vary"), "Accept-Encoding");
    EXPECT_EQ(get(path, {{"Host", "feeds.example:8080"}, {"If-None-Match", form.gzipEtag}})->status,
              200);
    EXPECT_EQ(fake_->channelCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, FeedFormTest,
    ::testing::Values(
        FormCase{"rss", "application/rss+xml; charset=utf-8",
                 "<atom:link href=\"http://feeds.example:8080/channels/lounge.rss\" rel=\"self\""},
        FormCase{"atom", "application/atom+xml; charset=utf-8",
                 "<id>http://feeds.example:8080/channels/lounge.atom</id>"},
        FormCase{"json", "application/feed+json; charset=utf-8",
                 "\"feed_url\": \"http://feeds.example:8080/channels/lounge.json\""},
        FormCase{"plugin", "application/rss+xml; charset=ISO-8859-1", ""}));

TEST_F(HttpServiceTest, ATextThatCannotBeConvertedIsServedAsThePluginsTextOnly) {
    // The default fake text "<RSS>lounge#1" is no channel a converter can read.
    auto plugin = get("/channels/lounge.plugin");
    EXPECT_EQ(plugin->status, 200);
    EXPECT_EQ(plugin->body, "<RSS>lounge#1");
    for (const char* extension : {"rss", "atom", "json"}) {
        SCOPED_TRACE(extension);
        auto res = get(std::string("/channels/lounge.") + extension);
        EXPECT_EQ(res->status, 502);
        EXPECT_EQ(res->body.rfind("Can't convert the channel's text: ", 0), 0u) << res->body;
        EXPECT_NE(res->body.find("/channels/lounge.plugin"), std::string::npos);
        EXPECT_NE(res->body.find("The next fetch may be in 300 seconds."), std::string::npos);
        EXPECT_FALSE(res->has_header("Retry-After"));
    }
    const std::string json = get("/status?format=json")->body;
    EXPECT_NE(json.find("\"conversionError\": \"Can't convert the channel's text: "),
              std::string::npos)
        << json;
    EXPECT_NE(get("/")->body.find("only the plug-in text can be served"), std::string::npos);
    // The next text that converts is served in every form.
    makeConvertible(*fake_);
    clock_.advance(300s);
    get("/channels/lounge.plugin");
    settle();
    EXPECT_EQ(get("/channels/lounge.rss")->status, 200);
    EXPECT_EQ(fake_->channelCalls, 2);
}

struct HostCase {
    std::string host;  // empty: no Host field
    bool loopback;     // of the listening address
    int status;
};

class HostTest : public HttpServiceTest, public ::testing::WithParamInterface<HostCase> {};

// A Host header is the client's to choose: it never chooses the links (which a cache would hand
// to every other reader) and, on loopback, only loopback names are answered at all, so that a web
// page whose name was rebound to 127.0.0.1 reads nothing.
TEST_P(HostTest, NeverChoosesTheLinksAndOnLoopbackOnlyLoopbackNamesAreAnswered) {
    makeConvertible(*fake_);
    const std::string base = GetParam().loopback ? "http://127.0.0.1:8080" : "http://gw.lan:8080";
    service_->setListening(base, GetParam().loopback);
    testing_support::RawConnection connection(server_->port());
    const std::string host = GetParam().host.empty() ? "" : "Host: " + GetParam().host + "\r\n";
    for (const char* path : {"/channels/lounge.rss", "/status", "/channels.opml", "/"}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(connection.send(std::string("GET ") + path + " HTTP/1.1\r\n" + host + "\r\n"));
        const auto res = connection.read();
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, GetParam().status) << res->body;
        if (res->status != 200) {
            EXPECT_NE(res->body.find("--public-url"), std::string::npos) << res->body;
            continue;
        }
        if (std::string(path) != "/status") {
            EXPECT_NE(res->body.find(base + "/channels/lounge.rss"), std::string::npos)
                << res->body;
        }
        if (GetParam().host.find("example") != std::string::npos) {
            EXPECT_EQ(res->body.find(GetParam().host), std::string::npos) << res->body;
        }
    }
    settle();
    EXPECT_EQ(fake_->channelCalls, GetParam().status == 200 ? 1 : 0);
    // The forms were written once, on the fetch's thread, for the one base.
    const Lookup cached = cache_->getAndWait("lounge");
    ASSERT_TRUE(cached.feed && cached.feed->forms());
    EXPECT_EQ(cached.feed->forms()->context().baseUrl, base);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, HostTest,
    ::testing::Values(HostCase{"127.0.0.1:8080", true, 200}, HostCase{"localhost", true, 200},
                      HostCase{"LOCALHOST:9000", true, 200}, HostCase{"[::1]:8080", true, 200},
                      HostCase{"127.8.9.10", true, 200}, HostCase{"", true, 200},
                      HostCase{"evil.example:8080", true, 421},
                      HostCase{"127.0.0.1.evil.example", true, 421},
                      HostCase{"localhost.evil.example", true, 421},
                      HostCase{"128.0.0.1", true, 421}, HostCase{"10.0.0.1:8080", true, 421},
                      HostCase{"evil\"><script>", true, 421},
                      HostCase{"evil.example:8080", false, 200},
                      HostCase{"127.0.0.1:8080", false, 200}, HostCase{"", false, 200}));

TEST_F(HttpServiceTest, MadeUpHostsCostNoConversionAndShareTheOneForm) {
    makeConvertible(*fake_);
    service_->setListening("http://gw.lan:8080", false);
    get("/channels/lounge.plugin");
    settle();
    const Lookup cached = cache_->getAndWait("lounge");
    ASSERT_TRUE(cached.feed && cached.feed->forms());
    const feeds::PreparedBody& rss = cached.feed->forms()->form(feeds::FeedFormat::rss);
    for (int i = 0; i < 20; ++i) {
        HttpRequest request;
        request.method = "GET";
        request.path = request.target = "/channels/lounge.rss";
        request.headers = {{"Host", "name" + std::to_string(i) + ".example"}};
        std::promise<HttpResponse> answer;
        service_->handle(request, [&](HttpResponse r) { answer.set_value(std::move(r)); });
        const HttpResponse res = answer.get_future().get();
        EXPECT_EQ(res.body.view().data(), rss.identity.data()) << i;
    }
    EXPECT_EQ(cache_->getAndWait("lounge").feed->forms(), cached.feed->forms());
}

TEST_F(HttpServiceTest, OpmlIndexAndStatusSpeakUtf8) {
    makeConvertible(*fake_);
    service_->setListening("http://gw:1", false);
    auto opml = get("/channels.opml", {{"Host", "gw:1"}});
    EXPECT_EQ(opml->status, 200);
    EXPECT_EQ(opml->get_header_value("Content-Type"), "text/x-opml; charset=utf-8");
    // The INI file's Windows-1252 title arrives as UTF-8.
    EXPECT_NE(opml->body.find("text=\"Caf\xC3\xA9 Lounge\""), std::string::npos) << opml->body;
    EXPECT_NE(opml->body.find("xmlUrl=\"http://gw:1/channels/boards.rss\""), std::string::npos);
    EXPECT_EQ(
        get("/channels.opml", {{"Host", "gw:1"}, {"If-None-Match", opml->get_header_value("ETag")}})
            ->status,
        304);

    get("/channels/lounge.rss");
    auto index = get("/", {{"Host", "gw:1"}});
    EXPECT_EQ(index->status, 200);
    EXPECT_EQ(index->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(index->body.find("<link rel=\"alternate\" type=\"application/rss+xml\" "
                               "title=\"Caf\xC3\xA9 Lounge (RSS)\" "
                               "href=\"http://gw:1/channels/lounge.rss\">"),
              std::string::npos)
        << index->body;
    EXPECT_NE(index->body.find("http://gw:1/channels.opml"), std::string::npos);
    EXPECT_NE(index->body.find("<span class=\"ok\">OK</span>"), std::string::npos);
    const std::string json = get("/status?format=json")->body;
    EXPECT_NE(json.find("\"title\": \"Caf\xC3\xA9 Lounge\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"intervalSeconds\": 300"), std::string::npos) << json;
}

}  // namespace
}  // namespace host
