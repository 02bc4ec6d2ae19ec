// Readers' selections of a feed's items: the query's parsing, the filtering, the kept variants,
// and their answers over HTTP.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "feedVariants.h"
#include "httpServiceFixture.h"
#include "readerParams.h"

namespace host {
namespace {

using namespace testing_fixtures;
using feeds::FeedFormat;

struct ParseCase {
    std::string query;
    FeedFormat format;
    std::string error{};  // what the 400 text holds; empty: accepted
    std::optional<std::size_t> limit{};
    std::vector<std::string> keep{};
    std::vector<std::string> drop{};
    bool selects = true;  // false: the query asks for every item
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, ReadsTheQueryOrSaysWhatIsWrong) {
    const ParseCase& c = GetParam();
    const ReaderParams got = parseReaderParams(c.query, c.format);
    if (!c.error.empty()) {
        EXPECT_NE(got.error.find(c.error), std::string::npos) << got.error;
        EXPECT_FALSE(got.selection);
        return;
    }
    ASSERT_EQ(got.error, "");
    ASSERT_EQ(got.selection.has_value(), c.selects);
    if (c.selects) {
        EXPECT_EQ(got.selection->limit, c.limit);
        EXPECT_EQ(got.selection->keep, c.keep);
        EXPECT_EQ(got.selection->drop, c.drop);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Queries, ParseTest,
    ::testing::Values(
        ParseCase{"limit=0", FeedFormat::rss, "limit=0"},
        ParseCase{"limit=-1", FeedFormat::rss, "limit=-1"},
        ParseCase{"limit=abc", FeedFormat::atom, "limit=abc"},
        ParseCase{"limit=", FeedFormat::rss, "limit=:"},
        ParseCase{"limit=1000001", FeedFormat::rss, "limit=1000001"},
        ParseCase{"limit=18446744073709551617", FeedFormat::json, "limit=18446744073709551617"},
        ParseCase{"limit=5&limit=6", FeedFormat::rss, "limit is given twice"},
        ParseCase{"limit=%ZZ", FeedFormat::rss, "limit=%ZZ"},
        ParseCase{"limit=3&utm_source=x&b&utm_source=y", FeedFormat::rss,
                  "Unknown query parameters: utm_source, b\n"},
        ParseCase{"%0A%22=1", FeedFormat::rss, "parameter: \\x0A\\x22\n"},
        ParseCase{"limit=3", FeedFormat::plugin, "no reader parameters: limit\n"},
        ParseCase{"filter=a&filterout=b", FeedFormat::plugin, "parameters: filter, filterout\n"},
        ParseCase{"limit=1000000&limit=1000000", FeedFormat::rss, "", 1000000},
        ParseCase{"&&limit=007&", FeedFormat::rss, "", 7},
        ParseCase{"filter=Release|%7CSecurity||release",
                  FeedFormat::rss,
                  "",
                  std::nullopt,
                  {"release", "security"}},
        ParseCase{"filter=b&filter=A&filterout=%20x%7C",
                  FeedFormat::json,
                  "",
                  std::nullopt,
                  {"a", "b"},
                  {" x"}},
        ParseCase{"filter=c++", FeedFormat::rss, "", std::nullopt, {"c++"}},
        ParseCase{"key=k&limit=2&key=other", FeedFormat::rss, "", 2},
        ParseCase{"key=k", FeedFormat::plugin, "", {}, {}, {}, false},
        ParseCase{"filter=&filterout=||", FeedFormat::rss, "", {}, {}, {}, false}));

// Queries that ask for the same items are one variant; those that may not, two.
TEST(SelectionKeyTest, SameItemsSameKey) {
    const auto key = [](const std::string& query) {
        const ReaderParams params = parseReaderParams(query, FeedFormat::rss);
        EXPECT_TRUE(params.selection) << query;
        return params.selection ? params.selection->key() : std::string();
    };
    const std::vector<std::pair<std::string, std::string>> same = {
        {"limit=5&filter=a|b", "filter=B|a&limit=5"},
        {"filter=a&filter=a", "filter=A"},
        {"filter=a||a|", "filter=a"},
        {"filter=x&filter=y", "filter=y|x"},
        {"limit=05", "limit=5"},
    };
    for (const auto& [a, b] : same) {
        EXPECT_EQ(key(a), key(b)) << a << " vs " << b;
    }
    const std::vector<std::pair<std::string, std::string>> different = {
        {"filter=a", "filterout=a"},      {"limit=5", "limit=6"},
        {"filter=ab", "filter=a|b"},      {"filter=a%3B1:b", "filter=a|b"},
        {"filter=a&limit=1", "filter=a"},
    };
    for (const auto& [a, b] : different) {
        EXPECT_NE(key(a), key(b)) << a << " vs " << b;
    }
}

feeds::ChannelModel sampleChannel() {
    feeds::ChannelModel channel;
    channel.title = "Lounge";
    for (const char* title : {"Release 2.0 is out", "SECURITY advisory", "Weekly chat",
                              "Caf\xC3\xA9 news", "Re: release notes"}) {
        channel.items.push_back(feeds::FeedItem{title, std::string("https://x/") + title, "", {}});
    }
    return channel;
}

struct FilterCase {
    std::string query;
    std::vector<std::string> titles;
};

class FilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterTest, KeepsTheMatchingItemsInOrder) {
    const ReaderParams params = parseReaderParams(GetParam().query, FeedFormat::rss);
    ASSERT_TRUE(params.selection) << params.error;
    const feeds::ChannelModel selected = feeds::selectItems(sampleChannel(), *params.selection);
    std::vector<std::string> titles;
    for (const feeds::FeedItem& item : selected.items) {
        titles.push_back(item.title);
    }
    EXPECT_EQ(titles, GetParam().titles);
    EXPECT_EQ(selected.title, "Lounge");
}

INSTANTIATE_TEST_SUITE_P(
    Selections, FilterTest,
    ::testing::Values(FilterCase{"filter=RELEASE", {"Release 2.0 is out", "Re: release notes"}},
                      FilterCase{"filter=release|security",
                                 {"Release 2.0 is out", "SECURITY advisory", "Re: release notes"}},
                      FilterCase{"filterout=re:|CHAT",
                                 {"Release 2.0 is out", "SECURITY advisory", "Caf\xC3\xA9 news"}},
                      FilterCase{"filter=release&filterout=notes", {"Release 2.0 is out"}},
                      // The limit counts the items that passed the filters, not those before them.
                      FilterCase{"filter=release|security|news&filterout=advisory&limit=2",
                                 {"Release 2.0 is out", "Caf\xC3\xA9 news"}},
                      FilterCase{"limit=2", {"Release 2.0 is out", "SECURITY advisory"}},
                      FilterCase{"limit=99",
                                 {"Release 2.0 is out", "SECURITY advisory", "Weekly chat",
                                  "Caf\xC3\xA9 news", "Re: release notes"}},
                      FilterCase{"filter=caf%C3%A9", {"Caf\xC3\xA9 news"}},
                      FilterCase{"filter=is%20out|out%20is", {"Release 2.0 is out"}},
                      FilterCase{"filter=release%20notes%20extra", {}}));

TEST(FeedVariantsTest, KeepsTheMostRecentlyUsedUpToItsCapacity) {
    const feeds::ChannelModel channel = sampleChannel();
    const feeds::FeedContext context{"lounge", "http://gw", std::chrono::seconds(60), {}};
    const auto selection = [](std::size_t limit) {
        feeds::ItemSelection s;
        s.limit = limit;
        return s;
    };
    feeds::FeedVariants variants(2);
    const auto one = variants.form(channel, context, selection(1), FeedFormat::rss);
    const auto two = variants.form(channel, context, selection(2), FeedFormat::rss);
    // The same selection in another format is another variant.
    const auto oneAtom = variants.form(channel, context, selection(1), FeedFormat::atom);
    EXPECT_NE(oneAtom->identity, one->identity);
    EXPECT_EQ(variants.size(), 2u);
    // limit=2 was used last but one: kept; limit=1 (rss) was evicted and is written anew.
    EXPECT_EQ(variants.form(channel, context, selection(2), FeedFormat::rss), two);
    const auto oneAgain = variants.form(channel, context, selection(1), FeedFormat::rss);
    EXPECT_NE(oneAgain, one);
    EXPECT_EQ(oneAgain->identity, one->identity);
    EXPECT_EQ(oneAgain->etag, one->etag);
    // oneAtom was the least recently used: evicted for limit=1; limit=2 stays.
    EXPECT_EQ(variants.form(channel, context, selection(2), FeedFormat::rss), two);
    EXPECT_NE(variants.form(channel, context, selection(1), FeedFormat::atom), oneAtom);

    feeds::FeedVariants none(0);
    const auto computed = none.form(channel, context, selection(1), FeedFormat::rss);
    EXPECT_EQ(computed->identity, one->identity);
    EXPECT_EQ(none.size(), 0u);
}

// Over HTTP, with a bound of 3 kept variants.
class VariantServiceTest : public HttpServiceTest {
  protected:
    void configureCache(CacheOptions& options) override { options.maxFeedVariants = 3; }
    void SetUp() override {
        HttpServiceTest::SetUp();
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->channelPrefix = "<RSS><CHANNEL><TITLE>";
        fake_->channelSuffix =
            "</TITLE><LINK>https://example.org/</LINK>"
            "<ITEM><TITLE><![CDATA[Release 2.0]]></TITLE><LINK>https://example.org/1</LINK></ITEM>"
            "<ITEM><TITLE><![CDATA[Security fix]]></TITLE><LINK>https://example.org/2</LINK></ITEM>"
            "<ITEM><TITLE><![CDATA[Weekly chat]]></TITLE><LINK>https://example.org/3</LINK></ITEM>"
            "</CHANNEL></RSS>";
    }

    HttpResponse handleDirectly(const std::string& target, const std::vector<HttpHeader>& headers) {
        HttpRequest request;
        request.method = "GET";
        request.target = target;
        const std::size_t question = target.find('?');
        request.path = target.substr(0, question);
        request.query = question == std::string::npos ? "" : target.substr(question + 1);
        request.headers = headers;
        std::promise<HttpResponse> answer;
        service_->handle(request, [&](HttpResponse r) { answer.set_value(std::move(r)); });
        return answer.get_future().get();
    }

    std::size_t keptVariants() { return cache_->getAndWait("lounge").feed->variants().size(); }
};

TEST_F(VariantServiceTest, AVariantHasItsOwnBodyAndValidatorsAndThePlainFormIsUntouched) {
    const auto plain = get("/channels/lounge.rss");
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->status, 200) << plain->body;
    const auto release = get("/channels/lounge.rss?filter=RELEASE|fix");
    const auto reordered = get("/channels/lounge.rss?filter=Fix&filter=release&filter=");
    const auto limited = get("/channels/lounge.rss?limit=1");
    for (const auto* res : {&release, &reordered, &limited}) {
        ASSERT_TRUE(*res);
        EXPECT_EQ((*res)->status, 200) << (*res)->body;
        EXPECT_EQ((*res)->get_header_value("Cache-Control"), "max-age=300");
        EXPECT_EQ((*res)->get_header_value("Vary"), "Accept-Encoding");
        EXPECT_EQ((*res)->get_header_value("Content-Type"), "application/rss+xml; charset=utf-8");
    }
    EXPECT_NE(release->body.find("Release 2.0"), std::string::npos);
    EXPECT_NE(release->body.find("Security fix"), std::string::npos);
    EXPECT_EQ(release->body.find("Weekly chat"), std::string::npos);
    EXPECT_NE(limited->body.find("Release 2.0"), std::string::npos);
    EXPECT_EQ(limited->body.find("Security fix"), std::string::npos);
    // The self link is the feed's own.
    EXPECT_NE(release->body.find("/channels/lounge.rss\" rel=\"self\""), std::string::npos)
        << release->body;

    const std::string tag = release->get_header_value("ETag");
    EXPECT_EQ(tag, feeds::strongEtag(release->body));
    EXPECT_EQ(reordered->get_header_value("ETag"), tag);
    EXPECT_EQ(reordered->body, release->body);
    EXPECT_NE(tag, plain->get_header_value("ETag"));
    EXPECT_NE(tag, limited->get_header_value("ETag"));
    EXPECT_EQ(keptVariants(), 2u);

    // The plain form is the fetch's prepared one, byte for byte, and asks nothing of the variants.
    const Lookup cached = cache_->getAndWait("lounge");
    const feeds::PreparedBody& prepared = cached.feed->forms()->form(FeedFormat::rss);
    EXPECT_EQ(plain->body, prepared.identity);
    EXPECT_EQ(plain->get_header_value("ETag"), prepared.etag);
    const auto plainAgain = get("/channels/lounge.rss?key=");
    EXPECT_EQ(plainAgain->body, prepared.identity);
    EXPECT_EQ(keptVariants(), 2u);

    const std::string target = "/channels/lounge.rss?filter=release|fix";
    EXPECT_EQ(get(target, {{"If-None-Match", tag}})->status, 304);
    EXPECT_EQ(get(target, {{"If-None-Match", plain->get_header_value("ETag")}})->status, 200);
    const HttpResponse zipped = handleDirectly(target, {{"Accept-Encoding", "gzip"}});
    EXPECT_EQ(zipped.status, 200);
    EXPECT_EQ(*zipped.header("Content-Encoding"), "gzip");
    EXPECT_EQ(zipped.body.view(), feeds::gzipCompress(release->body));
    const std::string zippedTag = *zipped.header("ETag");
    EXPECT_NE(zippedTag, tag);
    EXPECT_EQ(
        handleDirectly(target, {{"Accept-Encoding", "gzip"}, {"If-None-Match", zippedTag}}).status,
        304);
    // A kept variant is shared, not written again per reader.
    EXPECT_EQ(handleDirectly(target, {{"Accept-Encoding", "gzip"}}).body.view().data(),
              zipped.body.view().data());
    EXPECT_EQ(fake_->channelCalls, 1);
}

TEST_F(VariantServiceTest, KeepsAtMostTheBoundAndANewFetchStartsWithoutVariants) {
    ASSERT_EQ(get("/channels/lounge.rss")->status, 200);
    for (const std::string query : {"limit=1", "limit=2", "limit=3", "limit=4", "filter=x"}) {
        const auto res = get("/channels/lounge.json?" + query);
        ASSERT_EQ(res->status, 200) << query << ": " << res->body;
    }
    EXPECT_EQ(keptVariants(), 3u);
    // Beyond the bound the answer is still right: limit=1 was evicted and is written again.
    const auto first = get("/channels/lounge.json?limit=1");
    EXPECT_NE(first->body.find("Release 2.0"), std::string::npos);
    EXPECT_EQ(first->body.find("Security fix"), std::string::npos);
    EXPECT_EQ(keptVariants(), 3u);

    clock_.advance(std::chrono::seconds(301));
    {
        std::lock_guard<std::mutex> lock(fake_->mutex);
        fake_->contentVersion = 2;
    }
    get("/channels/lounge.rss");
    settle();
    EXPECT_EQ(fake_->channelCalls, 2);
    EXPECT_EQ(keptVariants(), 0u);
    EXPECT_NE(get("/channels/lounge.rss?limit=1")->body.find("lounge#2"), std::string::npos);
}

struct RejectCase {
    std::string target;
    std::string body;  // what the 400 text holds
};

class RejectTest : public VariantServiceTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(RejectTest, AnswersBadParametersWith400WithoutAFetch) {
    const auto res = get(GetParam().target);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(res->body.find(GetParam().body), std::string::npos) << res->body;
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
    EXPECT_EQ(fake_->channelCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RejectTest,
    ::testing::Values(RejectCase{"/channels/lounge.rss?limit=10&utm_source=feed", "utm_source"},
                      RejectCase{"/channels/lounge.atom?limit=0", "limit=0"},
                      RejectCase{"/channels/lounge.plugin?filter=release", ".plugin"},
                      RejectCase{"/channels/lounge.json?format=json", "format"}));

}  // namespace
}  // namespace host
