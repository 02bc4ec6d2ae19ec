// Access keys and what a reader is shown: the key file's rules, the constant-time comparison, and
// the service's answers with keys and to readers beyond this machine.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hostError.h"
#include "httpServiceFixture.h"
#include "httpText.h"
#include "readerAccess.h"

namespace host {
namespace {

using namespace testing_fixtures;

struct KeyFileCase {
    std::string text;
    std::size_t keys;     // when it is read
    std::string failure;  // part of the message when it is not
};

class KeyFileTest : public ::testing::TestWithParam<KeyFileCase> {};

TEST_P(KeyFileTest, ReadsOneKeyALineOrSaysWhichLineIsWrong) {
    if (GetParam().failure.empty()) {
        EXPECT_EQ(AccessKeys::parse(GetParam().text, "keys.txt").size(), GetParam().keys);
        return;
    }
    try {
        AccessKeys::parse(GetParam().text, "keys.txt");
        FAIL() << "read";
    } catch (const HostError& e) {
        EXPECT_EQ(e.exitCode(), kExitUsage);
        EXPECT_NE(std::string(e.what()).find(GetParam().failure), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, KeyFileTest,
    ::testing::Values(KeyFileCase{"k\n", 1, ""}, KeyFileCase{"k", 1, ""},
                      KeyFileCase{"# readers\n\n  first-key \r\nsecond\t\n", 2, ""},
                      KeyFileCase{"", 0, "keys.txt holds no key"},
                      KeyFileCase{"# only a comment\n\n", 0, "holds no key"},
                      KeyFileCase{"good\nmy s3cret\n", 0, "keys.txt line 2: a key is"},
                      KeyFileCase{"caf\xC3\xA9-s3cret\n", 0, "line 1"},
                      KeyFileCase{std::string("a\0s3cret\n", 9), 0, "line 1"},
                      KeyFileCase{std::string(257, 'k'), 0, "1 to 256"}));

TEST(AccessKeysTest, AdmitsExactlyAKeyOfTheFile) {
    const AccessKeys keys = AccessKeys::parse("correct-horse-battery\nsecond-key-0123456\n", "f");
    const struct {
        const char* given;
        bool admitted;
    } cases[] = {{"correct-horse-battery", true},
                 {"second-key-0123456", true},
                 {"correct-horse-batter", false},
                 {"correct-horse-battery!", false},
                 {"correct-horse-batterY", false},
                 {"", false},
                 {"correct-horse-battery\nsecond-key-0123456", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(keys.admits(c.given), c.admitted) << c.given;
    }
    EXPECT_EQ(keys.shortKeys(), 0u);
    EXPECT_EQ(AccessKeys::parse("short\nlong-enough-0123456\n", "f").shortKeys(), 1u);
}

TEST(AccessKeysTest, TheKeyParameterIsDecodedAndLinksEncodeItAgain) {
    const struct {
        const char* query;
        std::optional<std::string> key;
    } cases[] = {{"key=abc", "abc"},
                 {"format=json&key=x%2By&key=z", "x+y"},
                 {"keyx=1&xkey=2", std::nullopt},
                 {"key=%zz", std::nullopt},
                 {"", std::nullopt},
                 {"key", ""},
                 {"key=a=b", "a=b"}};
    for (const auto& c : cases) {
        EXPECT_EQ(queryValue(c.query, "key"), c.key) << c.query;
    }
    EXPECT_EQ(keyQuery("a+b/c d"), "?key=a%2Bb%2Fc%20d");
    EXPECT_EQ(queryValue(keyQuery("a+b/c d").substr(1), "key"), "a+b/c d");
}

TEST(ReaderTest, OnlyALoopbackPeerWithoutAProxyIsLocal) {
    const struct {
        const char* peer;
        const char* forwarded;  // a Forwarded field, or null
        bool local;
    } cases[] = {{"127.0.0.1", nullptr, true},
                 {"127.9.0.3", nullptr, true},
                 {"::1", nullptr, true},
                 {"::ffff:127.0.0.1", nullptr, true},
                 {"10.0.0.1", nullptr, false},
                 {"::ffff:10.0.0.1", nullptr, false},
                 {"fe80::1", nullptr, false},
                 {"", nullptr, false},
                 {"127.0.0.1", "for=192.0.2.7", false}};
    for (const auto& c : cases) {
        HttpRequest request;
        request.peer = c.peer;
        if (c.forwarded != nullptr) {
            request.headers.push_back({"Forwarded", c.forwarded});
        }
        EXPECT_EQ(isLocalReader(request), c.local) << c.peer;
    }
    HttpRequest proxied;
    proxied.peer = "127.0.0.1";
    proxied.headers.push_back({"x-forwarded-for", "192.0.2.7"});
    EXPECT_FALSE(isLocalReader(proxied));
}

TEST(ReaderTest, HidesTheGatewaysPathsButNotOtherText) {
    EXPECT_EQ(hidePaths("Can't read /srv/gw/dovetrail.ini; answers in /srv/gw/answers/x.xml; "
                        "state /var/lib/dt/state.sqlite3; /srv/gwx/y stays",
                        {"/srv/gw/dovetrail.ini", "/var/lib/dt/state.sqlite3"}, {"/srv/gw/"}),
              "Can't read dovetrail.ini; answers in answers/x.xml; state state.sqlite3; "
              "/srv/gwx/y stays");
}

constexpr const char* kKey = "reader-key-0123456789";

class KeyedServiceTest : public HttpServiceTest {
  protected:
    void configure(ServiceSources& sources) override {
        keys_ = std::make_shared<const AccessKeys>(
            AccessKeys::parse(std::string(kKey) + "\nsecond+key/0123456789\n", "keys"));
        sources.accessKeys = [this] { return keys_; };
        sources.privateFiles = {"/srv/gw/dovetrail.ini"};
        sources.privateDirectories = {"/srv/gw/"};
    }
    std::shared_ptr<const AccessKeys> keys_;
};

// Every route, known or not: without the right key nothing but the one 401 is learned.
TEST_F(KeyedServiceTest, EveryPathNeedsAKeyAndAWrongOneLooksLikeAMissingOne) {
    makeConvertible(*fake_);
    for (const char* path : {"/", "/status", "/channels.opml", "/channels/lounge.rss",
                             "/channels/lounge.plugin", "/main-page", "/nothing"}) {
        SCOPED_TRACE(path);
        for (const std::string query :
             {"", "?key=", "?key=reader-key-012345678", "?key=reader-key-0123456789x",
              "?Key=reader-key-0123456789"}) {
            const auto res = get(path + query);
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, 401) << query;
            EXPECT_EQ(res->body, "Unauthorized\n");
            EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
        }
        const auto good = get(std::string(path) + "?key=" + kKey);
        ASSERT_TRUE(good);
        EXPECT_NE(good->status, 401);
    }
    // Percent-encoded, as the gateway's own links write it.
    EXPECT_EQ(get("/status?key=second%2Bkey%2F0123456789")->status, 200);
    settle();
    EXPECT_EQ(fake_->channelCalls, 1);
}

// Probes carry no key; without one /readyz says whether, not why.
TEST_F(KeyedServiceTest, ProbesNeedNoKeyAndTellReasonsOnlyWithOne) {
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = DOVETRAIL_STATUS_FAILED;
        fake_->channelError = "lounge is down";
    }
    EXPECT_EQ(get(std::string("/channels/lounge.plugin?key=") + kKey)->status, 502);
    EXPECT_EQ(get("/healthz")->body, "ok\n");
    const auto bare = get("/readyz");
    EXPECT_EQ(bare->status, 503);
    EXPECT_EQ(bare->body, "{\"ready\": false}\n");
    const auto keyed = get(std::string("/readyz?key=") + kKey);
    EXPECT_EQ(keyed->status, 503);
    EXPECT_EQ(
        keyed->body,
        "{\"ready\": false, \"reasons\": [\"channel lounge has no feed: lounge is down\"]}\n");
    EXPECT_EQ(get("/healthz/")->status, 401);
}

TEST_F(KeyedServiceTest, TheListAndThePagesLinkWithTheReadersOwnKey) {
    const std::string second = "?key=second%2Bkey%2F0123456789";
    const auto opml = get("/channels.opml" + second);
    ASSERT_TRUE(opml);
    EXPECT_NE(opml->body.find("/channels/lounge.rss" + second + "\""), std::string::npos)
        << opml->body;
    EXPECT_EQ(opml->body.find(kKey), std::string::npos);
    // Each key has its own list: another reader's key never shows.
    const auto first = get(std::string("/channels.opml?key=") + kKey);
    EXPECT_NE(first->body.find(std::string("lounge.rss?key=") + kKey), std::string::npos);
    EXPECT_EQ(first->body.find("second"), std::string::npos);

    const auto index = get("/" + second);
    for (const std::string link : {"/channels/lounge.atom", "/channels.opml", "/status",
                                   "/main-page", "/channels/boards.plugin"}) {
        EXPECT_NE(index->body.find(link + second + "\""), std::string::npos) << link;
    }
    EXPECT_NE(get("/status" + second)->body.find("lounge.rss" + second + "\""), std::string::npos);
}

TEST_F(KeyedServiceTest, ReadersBeyondThisMachineSeeFileNamesOnly) {
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelStatus = DOVETRAIL_STATUS_FAILED;
        fake_->channelError = "Can't open /srv/gw/answers/lounge.xml (see /srv/gw/dovetrail.ini)";
    }
    const std::string path = std::string("/channels/lounge.plugin?key=") + kKey;
    const auto local = get(path);
    EXPECT_EQ(local->status, 502);
    EXPECT_NE(local->body.find("/srv/gw/answers/lounge.xml (see /srv/gw/dovetrail.ini)"),
              std::string::npos)
        << local->body;
    const httplib::Headers proxied = {{"X-Forwarded-For", "192.0.2.7"}};
    const auto remote = get(path, proxied);
    EXPECT_EQ(remote->status, 502);
    EXPECT_NE(remote->body.find("Can't open answers/lounge.xml (see dovetrail.ini)"),
              std::string::npos)
        << remote->body;
    for (const std::string page : {"/status", "/"}) {
        const auto shown = get(page + "?key=" + kKey, proxied);
        EXPECT_EQ(shown->body.find("/srv/gw"), std::string::npos) << page;
        EXPECT_NE(shown->body.find("answers/lounge.xml"), std::string::npos) << page;
        EXPECT_NE(get(page + "?key=" + kKey)->body.find("/srv/gw/answers"), std::string::npos);
    }
}

}  // namespace
}  // namespace host
