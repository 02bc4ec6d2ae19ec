// The host's pieces in process: plug-in loading against a fake plug-in, the channel cache with a
// test clock, the HTTP service over loopback, and the small parsers it relies on.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "channelCache.h"
#include "channelList.h"
#include "fakeplugin/fakePlugin.h"
#include "hostError.h"
#include "httpService.h"
#include "pluginLibrary.h"
#include "support/tempDir.h"

using namespace std::chrono_literals;

// Debian's cpp-httplib is not built with ThreadSanitizer; see host_tsan.supp. Only a
// ThreadSanitizer build calls this.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}

namespace host {
namespace {

// Keeps the fake plug-in loaded for the whole test and resets its behaviour.
class FakePluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(FAKE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        auto get = reinterpret_cast<fake_plugin_control_fn>(dlsym(handle_, "fake_plugin_control"));
        ASSERT_NE(get, nullptr);
        fake_ = get();
        fake_->reset();
    }
    void TearDown() override { dlclose(handle_); }

    void* handle_ = nullptr;
    FakePluginControl* fake_ = nullptr;
};

TEST_F(FakePluginTest, SessionInitialisesReportsIntervalsAndTerminatesOnce) {
    {
        PluginLibrary library(FAKE_PLUGIN_PATH);
        PluginSession session(library, "/some/dir/dovetrail.ini");
        EXPECT_EQ(fake_->lastConfigPath, "/some/dir/dovetrail.ini");
        EXPECT_EQ(session.intervals().lounge, 60);
        EXPECT_EQ(session.intervals().messageBoards, 120);
        EXPECT_EQ(session.intervals().articles, 180);
        EXPECT_EQ(session.intervals().longest(), 180);
        EXPECT_EQ(fake_->termCalls, 0);
    }
    EXPECT_EQ(fake_->initCalls, 1);
    EXPECT_EQ(fake_->termCalls, 1);
}

TEST_F(FakePluginTest, FailedInitThrowsWithStatusAndTextAndStillTerminates) {
    fake_->initStatus = 4;
    fake_->initError = "Can't open an internet connection: no network";
    PluginLibrary library(FAKE_PLUGIN_PATH);
    try {
        PluginSession session(library, "cfg.ini");
        FAIL() << "init succeeded";
    } catch (const PluginInitError& e) {
        EXPECT_EQ(e.status(), 4);
        EXPECT_NE(std::string(e.what()).find("cfg.ini"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("no network"), std::string::npos);
    }
    EXPECT_EQ(fake_->termCalls, 1);
}

TEST_F(FakePluginTest, ContentCallsCopyTheTextAndFreeEveryBuffer) {
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult channel = session.channel("lounge");
    ASSERT_TRUE(channel.ok());
    EXPECT_EQ(channel.text, "<RSS>lounge#1");
    const CallResult page = session.mainPage();
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page.text, "<html>main page</html>");
    EXPECT_EQ(fake_->buffersHandedOut, 2);
    EXPECT_EQ(fake_->buffersFreed, 2);
}

struct FailureCase {
    int32_t status;
    std::string error;
    bool fillsBuffer;
    std::string expected;
};

class FailureTextTest : public FakePluginTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTextTest, FailuresCarryStatusAndABoundedText) {
    const FailureCase& c = GetParam();
    fake_->channelStatus = c.status;
    fake_->channelError = c.error;
    fake_->errorFillsBuffer = c.fillsBuffer;
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult result = session.channel("lounge");
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.error, c.expected);
    EXPECT_TRUE(result.text.empty());
    EXPECT_EQ(fake_->buffersHandedOut, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FailureTextTest,
    ::testing::Values(
        FailureCase{1, "Can't open file: service/x.xml", false, "Can't open file: service/x.xml"},
        // Status 2 leaves the error text alone: the host supplies its own.
        FailureCase{2, "", false, "The plug-in could not allocate the output buffer."},
        FailureCase{1, "", false, "The plug-in reported a failure without a message."},
        // An unterminated buffer is read to its end and no further.
        FailureCase{1, "", true, std::string(1024, 'E')}));

TEST_F(FakePluginTest, UnknownChannelKeepsThePluginText) {
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult result = session.channel("unknown-one");
    EXPECT_EQ(result.status, kStatusUnknownChannel);
    EXPECT_EQ(result.error, "Unknown channel: unknown-one");
}

TEST_F(FakePluginTest, LoadingFailuresNameTheLibraryAndExitWithTheLoaderCode) {
    testing_support::TempDir dir;
    const std::string notALibrary = dir.write("libnot.so", "plain text");
    for (const std::string& path : {std::string("/nonexistent/libdovetrail.so"), notALibrary}) {
        try {
            PluginLibrary library(path);
            FAIL() << "loaded " << path;
        } catch (const HostError& e) {
            EXPECT_EQ(e.exitCode(), kExitNoPlugin);
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    fake_->version = 2;
    try {
        PluginLibrary library(FAKE_PLUGIN_PATH);
        FAIL() << "accepted interface version 2";
    } catch (const HostError& e) {
        EXPECT_NE(std::string(e.what()).find("interface version 2"), std::string::npos);
    }
}

// --- Channel cache -------------------------------------------------------------------------------

// A clock that moves only when told.
struct TestClock {
    TimePoint now = TimePoint(std::chrono::seconds(1'800'000'000));
    NowFunction function() {
        return [this] { return now; };
    }
};

// A fetcher that counts and answers from a script.
struct ScriptedFetcher {
    std::atomic<int> calls{0};
    std::mutex mutex;
    FetchOutcome next{0, "feed v1", ""};
    Fetcher function() {
        return [this](const std::string&) {
            ++calls;
            std::lock_guard<std::mutex> lock(mutex);
            return next;
        };
    }
};

TEST(ChannelCacheTest, RefetchesNoSoonerThanTheIntervalAfterTheLastFetchStarted) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), 600s, clock.function());
    const Lookup first = cache.get("lounge");
    ASSERT_TRUE(first.feed);
    EXPECT_EQ(first.feed->text, "feed v1");
    EXPECT_EQ(first.nextFetch, clock.now + 600s);
    clock.now += 599s;
    EXPECT_EQ(cache.get("lounge").feed, first.feed);
    EXPECT_EQ(fetcher.calls, 1);
    clock.now += 1s;
    cache.get("lounge");
    EXPECT_EQ(fetcher.calls, 2);
}

TEST(ChannelCacheTest, NamesDifferingInCaseOrBlanksShareOneEntry) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), 600s, clock.function());
    cache.get("Lounge");
    cache.get(" lounge ");
    cache.get("LOUNGE");
    EXPECT_EQ(fetcher.calls, 1);
    cache.get("boards");
    EXPECT_EQ(fetcher.calls, 2);
}

TEST(ChannelCacheTest, ConcurrentReadersOfAColdChannelShareOneFetch) {
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> calls{0};
    ChannelCache cache(
        [&](const std::string&) {
            ++calls;
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [&] { return release; });
            return FetchOutcome{0, "shared", ""};
        },
        600s);
    std::vector<std::thread> readers;
    std::vector<std::string> texts(20);
    for (int i = 0; i < 20; ++i) {
        readers.emplace_back([&, i] {
            const Lookup lookup = cache.get("lounge");
            texts[static_cast<std::size_t>(i)] = lookup.feed ? lookup.feed->text : "none";
        });
    }
    // Let every reader arrive while the first fetch is still held.
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    cv.notify_all();
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(calls, 1);
    for (const std::string& text : texts) {
        EXPECT_EQ(text, "shared");
    }
}

TEST(ChannelCacheTest, AFailedRefetchKeepsTheLastGoodFeedAndReportsTheFailure) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), 60s, clock.function());
    const Lookup good = cache.get("lounge");
    fetcher.next = FetchOutcome{1, "", "Can't send the HTTP request: x"};
    clock.now += 60s;
    const Lookup stale = cache.get("lounge");
    ASSERT_TRUE(stale.feed);
    EXPECT_EQ(stale.feed->text, "feed v1");
    EXPECT_EQ(stale.feed->lastModified, good.feed->lastModified);
    EXPECT_TRUE(stale.stale());
    EXPECT_EQ(stale.error, "Can't send the HTTP request: x");
    // The failure counts as a fetch: the service is not asked again inside the interval.
    clock.now += 59s;
    cache.get("lounge");
    EXPECT_EQ(fetcher.calls, 2);

    const std::vector<ChannelStatus> status = cache.status();
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].lastStatus, 1);
    EXPECT_EQ(status[0].fetches, 2u);
    EXPECT_EQ(status[0].failures, 1u);
    EXPECT_EQ(status[0].lastSuccess, good.feed->fetchedAt);
}

TEST(ChannelCacheTest, LastModifiedMovesOnlyWhenTheTextChanges) {
    TestClock clock;
    ScriptedFetcher fetcher;
    ChannelCache cache(fetcher.function(), 0s, clock.function());
    const Lookup first = cache.get("c");
    clock.now += 10s;
    const Lookup same = cache.get("c");
    EXPECT_EQ(same.feed->lastModified, first.feed->lastModified);
    EXPECT_EQ(same.feed->etag, first.feed->etag);
    fetcher.next.text = "feed v2";
    clock.now += 10s;
    const Lookup changed = cache.get("c");
    EXPECT_EQ(changed.feed->lastModified, clock.now);
    EXPECT_NE(changed.feed->etag, first.feed->etag);
    EXPECT_EQ(fetcher.calls, 3);
}

TEST(ChannelCacheTest, NeverSucceededAndUnknownChannels) {
    TestClock clock;
    ScriptedFetcher fetcher;
    fetcher.next = FetchOutcome{5, "", "Unknown channel: nope"};
    ChannelCache cache(fetcher.function(), 600s, clock.function());
    const Lookup unknown = cache.get("nope");
    EXPECT_FALSE(unknown.feed);
    EXPECT_EQ(unknown.status, 5);
    // Nothing was asked of the service: an unknown channel is not cached or listed.
    cache.get("nope");
    EXPECT_EQ(fetcher.calls, 2);
    EXPECT_TRUE(cache.status().empty());

    fetcher.next = FetchOutcome{1, "", "XML parse error"};
    const Lookup failed = cache.get("broken");
    EXPECT_FALSE(failed.feed);
    EXPECT_FALSE(failed.stale());
    EXPECT_EQ(failed.error, "XML parse error");
    cache.get("broken");
    EXPECT_EQ(fetcher.calls, 3);
}

TEST(ChannelCacheTest, AThrowingFetcherBecomesAFailure) {
    ChannelCache cache([](const std::string&) -> FetchOutcome { throw std::runtime_error("boom"); },
                       60s);
    const Lookup lookup = cache.get("x");
    EXPECT_EQ(lookup.status, 1);
    EXPECT_NE(lookup.error.find("boom"), std::string::npos);
}

// --- HTTP service --------------------------------------------------------------------------------

class HttpServiceTest : public FakePluginTest {
  protected:
    void SetUp() override {
        FakePluginTest::SetUp();
        fake_->intervals[0] = 60;
        fake_->intervals[1] = 300;
        fake_->intervals[2] = 120;
        library_ = std::make_unique<PluginLibrary>(FAKE_PLUGIN_PATH);
        session_ = std::make_unique<PluginSession>(*library_, "cfg.ini");
        cache_ = std::make_unique<ChannelCache>(
            [this](const std::string& name) {
                CallResult r = session_->channel(name);
                return FetchOutcome{r.status, r.text, r.error};
            },
            std::chrono::seconds(session_->intervals().longest()), clock_.function());
        ServiceSources sources;
        sources.mainPage = [this] { return session_->mainPage(); };
        sources.channels = [] {
            return std::vector<ChannelEntry>{{"lounge", "Caf\xE9 Lounge"}, {"boards", "Boards"}};
        };
        sources.intervals = session_->intervals();
        sources.now = clock_.function();
        sources.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        };
        service_ = std::make_unique<HttpService>(*cache_, sources);
        service_->install(server_);
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    }
    void TearDown() override {
        server_.stop();
        thread_.join();
        client_.reset();
        service_.reset();
        cache_.reset();
        session_.reset();
        library_.reset();
        FakePluginTest::TearDown();
    }

    httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
        return client_->Get(path.c_str(), headers);
    }

    std::size_t logLines() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_.size();
    }

    TestClock clock_;
    std::unique_ptr<PluginLibrary> library_;
    std::unique_ptr<PluginSession> session_;
    std::unique_ptr<ChannelCache> cache_;
    std::unique_ptr<HttpService> service_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

TEST_F(HttpServiceTest, ServesAChannelWithValidatorsAndTheRemainingLifetime) {
    auto res = get("/channels/lounge.rss");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<RSS>lounge#1");
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/rss+xml; charset=ISO-8859-1");
    EXPECT_EQ(res->get_header_value("ETag"), entityTag("<RSS>lounge#1"));
    EXPECT_EQ(res->get_header_value("Last-Modified"), httpDate(clock_.now));
    EXPECT_EQ(res->get_header_value("Cache-Control"), "max-age=300");
    EXPECT_FALSE(res->has_header("Warning"));

    clock_.now += 100s;
    res = get("/channels/lounge.rss");
    EXPECT_EQ(res->get_header_value("Cache-Control"), "max-age=200");
    EXPECT_EQ(fake_->channelCalls, 1);
}

struct ConditionalCase {
    std::string header;
    std::string value;  // "$etag" and "$date" stand for the served validators
    int status;
};

class ConditionalTest : public HttpServiceTest,
                        public ::testing::WithParamInterface<ConditionalCase> {};

TEST_P(ConditionalTest, AnswersValidators) {
    auto first = get("/channels/lounge.rss");
    ASSERT_TRUE(first);
    std::string value = GetParam().value;
    if (value == "$etag") {
        value = first->get_header_value("ETag");
    } else if (value == "$date") {
        value = first->get_header_value("Last-Modified");
    } else if (value == "$list") {
        value = "\"other\", W/" + first->get_header_value("ETag");
    }
    auto res = get("/channels/lounge.rss", {{GetParam().header, value}});
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
                      ConditionalCase{"If-Modified-Since", "not a date", 200}));

TEST_F(HttpServiceTest, IfNoneMatchOutranksIfModifiedSince) {
    auto first = get("/channels/lounge.rss");
    auto res = get("/channels/lounge.rss",
                   {{"If-None-Match", "\"different\""},
                    {"If-Modified-Since", first->get_header_value("Last-Modified")}});
    EXPECT_EQ(res->status, 200);
}

TEST_F(HttpServiceTest, AFailedRefetchServesTheLastGoodFeedWithAWarning) {
    ASSERT_EQ(get("/channels/lounge.rss")->status, 200);
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = 1;
        fake_->channelError = "Can't send the HTTP request: \"x\"\nline two";
    }
    clock_.now += 300s;
    auto res = get("/channels/lounge.rss");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<RSS>lounge#1");
    const std::string warning = res->get_header_value("Warning");
    EXPECT_EQ(warning.rfind("111 dovetrail \"", 0), 0u) << warning;
    EXPECT_NE(warning.find("\\\"x\\\" line two"), std::string::npos) << warning;

    const std::string json = get("/status", {{"Accept", "application/json"}})->body;
    EXPECT_NE(json.find("\"outcome\": \"failed\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"error\": \"Can't send the HTTP request: \\\"x\\\"\\nline two\""),
              std::string::npos)
        << json;
}

TEST_F(HttpServiceTest, ChannelsThatNeverSucceededAnswerWithErrors) {
    auto unknown = get("/channels/unknown-x.rss");
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(unknown->body, "Unknown channel: unknown-x\n");
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = 1;
        fake_->channelError = "XML parse error";
    }
    auto failed = get("/channels/lounge.rss");
    EXPECT_EQ(failed->status, 502);
    EXPECT_EQ(failed->body, "XML parse error\n");
    EXPECT_EQ(failed->get_header_value("Retry-After"), "300");
}

TEST_F(HttpServiceTest, StatusListsConfiguredChannelsInBothForms) {
    get("/channels/LOUNGE.rss");
    const auto json = get("/status", {{"Accept", "application/json"}});
    EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
    // The configured spelling wins, Latin-1 titles become UTF-8, the unfetched one has nulls.
    EXPECT_NE(json->body.find("{\"name\": \"lounge\", \"title\": \"Caf\xC3\xA9 Lounge\""),
              std::string::npos)
        << json->body;
    EXPECT_NE(json->body.find("\"outcome\": \"ok\""), std::string::npos);
    EXPECT_NE(json->body.find("\"name\": \"boards\", \"title\": \"Boards\", \"configured\": true, "
                              "\"outcome\": \"never fetched\""),
              std::string::npos)
        << json->body;
    EXPECT_NE(json->body.find("\"bytes\": 13"), std::string::npos);

    const auto html = get("/status", {{"Accept", "text/html,application/json;q=0.9"}});
    EXPECT_EQ(html->get_header_value("Content-Type"), "text/html; charset=ISO-8859-1");
    EXPECT_NE(html->body.find("<a href=\"/channels/lounge.rss\">lounge</a>"), std::string::npos);
}

TEST_F(HttpServiceTest, MainPageAndAccessLog) {
    auto page = get("/");
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body, "<html>main page</html>");
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->mainPageStatus = 3;
    }
    auto broken = get("/");
    EXPECT_EQ(broken->status, 500);
    EXPECT_NE(broken->body.find("main page template"), std::string::npos);
    EXPECT_EQ(get("/nothing\x01")->status, 404);

    // The server logs after the answer has gone out: give the last line a moment.
    for (int i = 0; i < 200 && logLines() < 3; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard<std::mutex> lock(logMutex_);
    ASSERT_EQ(log_.size(), 3u);
    // Each line is written after its answer has gone out, so their order is not the requests'.
    const auto count = [this](const std::string& text) {
        return std::count_if(log_.begin(), log_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    EXPECT_EQ(count(" 127.0.0.1 \"GET / HTTP/1.1\" 200 22 "), 1);
    EXPECT_EQ(count("\"GET / HTTP/1.1\" 500 "), 1);
    EXPECT_EQ(count(" 404 "), 1);
    EXPECT_EQ(count("\x01"), 0);
}

// --- Small parsers -------------------------------------------------------------------------------

TEST(HttpHelpersTest, HttpDatesRoundTripAndAllThreeFormsParse) {
    const TimePoint t = std::chrono::system_clock::from_time_t(784111777);
    EXPECT_EQ(httpDate(t), "Sun, 06 Nov 1994 08:49:37 GMT");
    for (const char* form : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                             "Sun Nov  6 08:49:37 1994"}) {
        EXPECT_EQ(parseHttpDate(form), t) << form;
    }
    EXPECT_FALSE(parseHttpDate("06 Nov 1994"));
    EXPECT_FALSE(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT trailing"));
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

TEST(ChannelListTest, ChannelsAreSectionsWithAChannelUrlReadAsThePluginReadsThem) {
    const std::string ini =
        "\xEF\xBB\xBF; comment\r\n"
        "[Config]\r\nHostName=service\r\n"
        "[lounge]\rChannelUrl=lounge.xml\rChannelName = \"Caf%E9 Lounge\" \r"
        "[ boards ]\nChannelUrl=boards.xml\n"
        "[noUrl]\nChannelName=Nothing\n"
        "[emptyUrl]\nChannelUrl=%20\n"
        "[LOUNGE]\nChannelUrl=again.xml\n"
        "[dup]\nChannelUrl=d.xml\nChannelName=First\nchannelname=Second\n"
        "[empty title]\nChannelUrl=e.xml\nChannelName=\n"
        ";[commented]\n;ChannelUrl=x\n"
        "[%41b]\nChannelUrl=x.xml\n";
    const std::vector<ChannelEntry> channels = parseChannelList(ini);
    std::vector<std::pair<std::string, std::string>> got;
    for (const ChannelEntry& c : channels) {
        got.emplace_back(c.name, c.title);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {{"lounge", "Caf\xE9 Lounge"},
                                                                       {"boards", "boards"},
                                                                       {"dup", "First"},
                                                                       {"empty title", ""},
                                                                       {"%41b", "Ab"}};
    EXPECT_EQ(got, expected);
}

TEST(ChannelListTest, NamesAndValuesAreReadAsThePluginIsAskedForThem) {
    using namespace std::string_literals;
    // Vertical tabs and form feeds are blanks to the plug-in's reader; a value ends at a zero
    // byte; a name with a zero byte cannot be asked for through the plug-in's C interface.
    const std::string ini =
        "[\vlounge\f]\nChannelUrl=\fl.xml\v\nChannelName=Lounge\0hidden\n"
        "[lou\0nge]\nChannelUrl=x.xml\n"
        "[nul]\nChannelUrl=\0x.xml\n"
        "[boards]\nChannelUrl=b.xml\n"s;
    std::vector<std::pair<std::string, std::string>> got;
    for (const ChannelEntry& c : parseChannelList(ini)) {
        got.emplace_back(c.name, c.title);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {{"lounge", "Lounge"},
                                                                       {"boards", "boards"}};
    EXPECT_EQ(got, expected);
}

TEST(ChannelListTest, DecodingIsOnePassAndKeepsIncompleteEscapes) {
    EXPECT_EQ(decodeIniValue("%41%42"), "AB");
    EXPECT_EQ(decodeIniValue("100%"), "100%");
    EXPECT_EQ(decodeIniValue("%zz"), "%zz");
    EXPECT_EQ(decodeIniValue("%2541"), "%41");
    EXPECT_EQ(decodeIniValue("%20abc%20"), "abc");
}

TEST(ChannelListTest, AMissingFileIsAConfigurationError) {
    try {
        readChannelList("/nonexistent/dovetrail.ini");
        FAIL();
    } catch (const HostError& e) {
        EXPECT_EQ(e.exitCode(), kExitNoConfig);
        EXPECT_NE(std::string(e.what()).find("/nonexistent/dovetrail.ini"), std::string::npos);
    }
}

TEST(ChannelListTest, PresentationValuesAndIntervalKindFollowThePluginsDefaults) {
    const std::string ini =
        "[Config]\nHostName=https://service.example\n"
        "[plain]\nChannelUrl=p.xml\n"
        "[full]\nChannelUrl=f.xml\nChannelDescription=About%20it\nChannelHomeUrl=https://h/\n"
        "ChannelImageUrl=https://h/i.png\nUpdateIntervalKind= Boards \n"
        "[lounge]\nChannelUrl=l.xml\nupdateintervalkind=lounge\n"
        "[art]\nChannelUrl=a.xml\nUpdateIntervalKind=ARTICLES\n"
        "[odd]\nChannelUrl=o.xml\nUpdateIntervalKind=weekly\n"
        "[blank]\nChannelUrl=b.xml\nUpdateIntervalKind=\n";
    const std::vector<ChannelEntry> channels = parseChannelList(ini);
    ASSERT_EQ(channels.size(), 6u);
    const Intervals intervals{300, 900, 3600};
    struct Expected {
        const char* description;
        const char* homeUrl;
        const char* imageUrl;
        int32_t interval;
        const char* unknown;
    };
    const Expected expected[] = {
        {"plain", "https://service.example", "", 3600, ""},
        {"About it", "https://h/", "https://h/i.png", 900, ""},
        {"lounge", "https://service.example", "", 300, ""},
        {"art", "https://service.example", "", 3600, ""},
        {"odd", "https://service.example", "", 3600, "weekly"},
        {"blank", "https://service.example", "", 3600, ""},
    };
    for (std::size_t i = 0; i < channels.size(); ++i) {
        SCOPED_TRACE(channels[i].name);
        EXPECT_EQ(channels[i].description, expected[i].description);
        EXPECT_EQ(channels[i].homeUrl, expected[i].homeUrl);
        EXPECT_EQ(channels[i].imageUrl, expected[i].imageUrl);
        EXPECT_EQ(intervals.forKind(channels[i].intervalKind), expected[i].interval);
        EXPECT_EQ(channels[i].unknownIntervalKind, expected[i].unknown);
        EXPECT_EQ(intervalKindWarning(channels[i]).empty(), *expected[i].unknown == '\0');
    }
    EXPECT_EQ(intervalKindWarning(channels[4]),
              "channel odd: UpdateIntervalKind=weekly is not lounge, boards or articles; the "
              "longest interval applies");
    // The longest is the default whichever kind holds it.
    EXPECT_EQ((Intervals{900, 60, 300}.forKind(IntervalKind::longest)), 900);
    EXPECT_EQ(findChannel(channels, " LOUNGE "), &channels[2]);
    EXPECT_EQ(findChannel(channels, "lounge2"), nullptr);
}

}  // namespace
}  // namespace host
