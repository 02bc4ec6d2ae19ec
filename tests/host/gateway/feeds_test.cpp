// The feed formats: text encodings, reading the plug-in's text (escaped and unescaped channel
// values), writing RSS, Atom, JSON Feed and OPML, the prepared feed set and the index page.
// Written XML is read back with expat, so escaping is checked by a parser, not by string search.
#include <expat.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "channelModel.h"
#include "feedFormats.h"
#include "feedSet.h"
#include "indexPage.h"
#include "textEncoding.h"

namespace host::feeds {
namespace {

using namespace std::chrono_literals;

TimePoint at(std::int64_t seconds) {
    return TimePoint(std::chrono::seconds(seconds));
}

// ---- Text encodings ---------------------------------------------------------------------------

struct EncodingCase {
    std::string bytes;
    bool validUtf8;
    std::string asIniValue;  // UTF-8
};

TEST(TextEncodingTest, IniValuesAreUtf8WhenValidElseWindows1252) {
    const EncodingCase cases[] = {
        {"Caf\xC3\xA9", true, "Caf\xC3\xA9"},
        {"Caf\xE9", false, "Caf\xC3\xA9"},
        {"\x93quoted\x94 \x80", false, "\xE2\x80\x9Cquoted\xE2\x80\x9D \xE2\x82\xAC"},
        {"\x81\x8D\x8F\x90\x9D", false, "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},  // undefined
        {"plain ASCII", true, "plain ASCII"},
        {"\xF0\x9F\x90\xA6 bird", true, "\xF0\x9F\x90\xA6 bird"},
        {"\xC0\xAF", false, "\xC3\x80\xC2\xAF"},                                  // overlong '/'
        {"\xED\xA0\x80", false, "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},                  // a surrogate
        {"\xF4\x90\x80\x80", false, "\xC3\xB4\xC2\x90\xE2\x82\xAC\xE2\x82\xAC"},  // > U+10FFFF
        {"\xC3", false, "\xC3\x83"},                                              // cut short
        {"\xE2\x82", false, "\xC3\xA2\xE2\x80\x9A"},
        {"\xEF\xBF\xBF", true, "\xEF\xBF\xBF"},  // a noncharacter is still UTF-8
    };
    for (const EncodingCase& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(isValidUtf8(c.bytes), c.validUtf8);
        EXPECT_EQ(iniValueToUtf8(c.bytes), c.asIniValue);
    }
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string utf8 = latin1ToUtf8(all);
    EXPECT_TRUE(isValidUtf8(utf8));
    EXPECT_EQ(utf8.size(), 128u + 2 * 128u);
    EXPECT_EQ(utf8.substr(utf8.size() - 2), "\xC3\xBF");
}

// ---- Reading the plug-in's text -----------------------------------------------------------------

// The plug-in's text with the given channel values (written as they come) and items.
std::string pluginText(const std::string& title, const std::string& items,
                       const std::string& description = "About",
                       const std::string& link = "https://h/", const std::string& image = "") {
    return "<RSS>\n<CHANNEL>\n<TITLE>" + title + "</TITLE>\n<DESCRIPTION>" + description +
           "</DESCRIPTION>\n<LINK>" + link + "</LINK>\n<IMAGE><URL>" + image + "</URL></IMAGE>\n" +
           items + "</CHANNEL>\n</RSS>\n";
}

std::string item(const std::string& title, const std::string& link, const std::string& id = "") {
    std::string text = "<ITEM>\n    <TITLE><![CDATA[" + title + "]]></TITLE>\n    <LINK><![CDATA[" +
                       link + "]]></LINK>\n";
    if (!id.empty()) {
        text += "    <ID><![CDATA[" + id + "]]></ID>\n";
    }
    return text + "</ITEM>\n";
}

struct ChannelValueCase {
    const char* what;
    std::string written;   // as the plug-in put it between the tags
    std::string expected;  // UTF-8
    bool repaired;
};

TEST(PluginTextTest, ChannelValuesArriveWhetherThePluginEscapedThemOrNot) {
    const ChannelValueCase cases[] = {
        {"escaped ampersand", "Tips &amp; Tricks", "Tips & Tricks", false},
        {"unescaped ampersand", "Tips & Tricks", "Tips & Tricks", true},
        {"unescaped ampersands in a query", "https://h/?a=1&b=2&amp=3", "https://h/?a=1&b=2&amp=3",
         true},
        {"escaped angle brackets", "a &lt;b&gt; c", "a <b> c", false},
        {"unescaped less-than before a blank", "a < b", "a < b", true},
        {"unescaped markup kept as text", "<b>News</b> &amp; more", "<b>News</b> & more", false},
        {"an entity XML does not know stays as written", "&nbsp;x", "&nbsp;x", true},
        {"a reference to a character XML cannot hold", "&#1;", "&#1;", true},
        {"a trailing ampersand", "R&", "R&", true},
        {"UTF-8 from the INI file", "Caf\xC3\xA9", "Caf\xC3\xA9", false},
        {"Windows-1252 from the INI file",
         "\x93"
         "Caf\xE9\x94",
         "\xE2\x80\x9C"
         "Caf\xC3\xA9\xE2\x80\x9D",
         false},
        {"a control byte XML cannot hold", "a\x01z", "a?z", true},
        {"empty", "", "", false},
    };
    for (const ChannelValueCase& c : cases) {
        SCOPED_TRACE(c.what);
        const ChannelModel model =
            parsePluginText(pluginText(c.written, "", c.written, c.written, c.written));
        EXPECT_EQ(model.title, c.expected);
        EXPECT_EQ(model.description, c.expected);
        EXPECT_EQ(model.link, c.expected);
        EXPECT_EQ(model.imageUrl, c.expected);
        EXPECT_EQ(model.repaired, c.repaired);
    }
}

TEST(PluginTextTest, ItemsAreLatin1AndCDataIsTakenAsItIs) {
    const std::string text =
        pluginText("Lounge", item("[Tools] Hi - Jo\xEBl (2 replies)", "https://h/m?forumid=1&msg=2",
                                  "https://h/m?forumid=1&msg=2-3") +
                                 item("<No subject> - Ren\xE9"
                                      "e",
                                      "https://h/m?msg=4") +
                                 item("a ]]]]><![CDATA[> b &amp; \xA0", "") + item("", "", ""));
    const ChannelModel model = parsePluginText(text);
    ASSERT_EQ(model.items.size(), 4u);
    EXPECT_FALSE(model.repaired);
    EXPECT_EQ(model.items[0].title, "[Tools] Hi - Jo\xC3\xABl (2 replies)");
    EXPECT_EQ(model.items[0].link, "https://h/m?forumid=1&msg=2");
    EXPECT_EQ(model.items[0].id, "https://h/m?forumid=1&msg=2-3");
    EXPECT_EQ(model.items[0].guid(), model.items[0].id);
    EXPECT_EQ(model.items[1].title,
              "<No subject> - Ren\xC3\xA9"
              "e");
    EXPECT_EQ(model.items[1].guid(), "https://h/m?msg=4");
    EXPECT_EQ(model.items[2].title, "a ]]> b &amp; \xC2\xA0");
    EXPECT_EQ(model.items[2].guid(), model.items[2].title);
    EXPECT_EQ(model.items[3].guid(), "");
    EXPECT_EQ(model.imageUrl, "");

    // Read as ISO-8859-1 whatever a declaration says; letter case of the names is not relied on.
    const ChannelModel declared = parsePluginText(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rss><channel><title>Jo\xEBl</title>"
        "<item><title>\xE9</title><ignored>x</ignored></item></channel></rss>");
    EXPECT_EQ(declared.title, "Jo\xC3\xABl");
    ASSERT_EQ(declared.items.size(), 1u);
    EXPECT_EQ(declared.items[0].title, "\xC3\xA9");
}

TEST(PluginTextTest, TheRepairLeavesWellFormedTextAloneAndCDataUntouched) {
    const std::string wellFormed =
        pluginText("A &amp; B &#233; &#x20AC;", item("x & y < z", "https://h/?a&b"));
    bool changed = true;
    EXPECT_EQ(repairPluginText(wellFormed, &changed), wellFormed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(repairPluginText("<A>x & y <![CDATA[& <]]> 1 < 2</A>", &changed),
              "<A>x &amp; y <![CDATA[& <]]> 1 &lt; 2</A>");
    EXPECT_TRUE(changed);
    EXPECT_EQ(repairPluginText("<A><![CDATA[\x02]]>\x1F</A>"), "<A><![CDATA[?]]>?</A>");
}

TEST(PluginTextTest, UnreadableTextIsAnErrorThatSaysWhere) {
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "no element found at line 1"},
        {"<HTML></HTML>", "root element is <HTML>, not <RSS>"},
        {"<RSS></RSS>", "no <CHANNEL> element"},
        // A value that closes its own element cannot be told from markup.
        {pluginText("x</TITLE>", ""), "mismatched tag at line 3"},
        {pluginText("a <b> c", ""), "mismatched tag at line 3"},
        {pluginText("Lounge", "<ITEM>"), "mismatched tag"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parsePluginText(c.text);
            ADD_FAILURE() << "no error";
        } catch (const FeedError& e) {
            EXPECT_NE(std::string(e.what()).find("Can't convert the channel text: "),
                      std::string::npos);
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// ---- Writing ----------------------------------------------------------------------------------

// A written XML document read back: each element's path ("rss/channel/title") with its text
// and attributes, in document order. Fails the test when the document is not well-formed.
struct XmlNode {
    std::string path;
    std::string text;
    std::map<std::string, std::string> attributes;
};

std::vector<XmlNode> readXml(const std::string& document) {
    struct State {
        std::vector<XmlNode> nodes;
        std::vector<std::size_t> open;
        std::vector<std::string> names;
    } state;
    std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> parser(XML_ParserCreate(nullptr),
                                                                   XML_ParserFree);
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(
        parser.get(),
        [](void* data, const char* name, const char** attributes) {
            auto& s = *static_cast<State*>(data);
            s.names.push_back(name);
            XmlNode node;
            for (const std::string& n : s.names) {
                node.path += (node.path.empty() ? "" : "/") + n;
            }
            for (const char** a = attributes; *a != nullptr; a += 2) {
                node.attributes[a[0]] = a[1];
            }
            s.open.push_back(s.nodes.size());
            s.nodes.push_back(node);
        },
        [](void* data, const char*) {
            auto& s = *static_cast<State*>(data);
            s.names.pop_back();
            s.open.pop_back();
        });
    XML_SetCharacterDataHandler(parser.get(), [](void* data, const char* text, int length) {
        auto& s = *static_cast<State*>(data);
        if (!s.open.empty()) {
            s.nodes[s.open.back()].text.append(text, static_cast<std::size_t>(length));
        }
    });
    if (XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), XML_TRUE) !=
        XML_STATUS_OK) {
        ADD_FAILURE() << "not well-formed: " << XML_ErrorString(XML_GetErrorCode(parser.get()))
                      << " at line " << XML_GetCurrentLineNumber(parser.get()) << "\n"
                      << document;
    }
    return state.nodes;
}

std::vector<const XmlNode*> find(const std::vector<XmlNode>& nodes, const std::string& path) {
    std::vector<const XmlNode*> found;
    for (const XmlNode& node : nodes) {
        if (node.path == path) {
            found.push_back(&node);
        }
    }
    return found;
}

// Values that each break a careless writer.
const std::string kTrickyValues[] = {
    "Tips & <Tricks> \"quoted\" 'single'",
    "a ]]> b",
    "Caf\xC3\xA9 Jo\xC3\xABl \xE2\x82\xAC \xF0\x9F\x90\xA6",
    "tab\there\nline\rreturn",
    "x\xEF\xBF\xBEy",  // U+FFFE: not an XML character
    "",
};

ChannelModel trickyChannel(const std::string& value) {
    ChannelModel channel;
    channel.title = value;
    channel.description = value;
    channel.link = "https://h/?a=1&b=<2>";
    channel.imageUrl = "https://h/i.png?x=\"1\"&y";
    FeedItem withId{value, "https://h/m?a=1&b=2", "https://h/m?a=1&b=2-7", at(86400 * 365)};
    FeedItem withLink{value + "2", "https://h/n?a&b", "", at(1'700'000'000)};
    FeedItem bare{value + "3", "", "", at(0)};
    channel.items = {withId, withLink, bare};
    return channel;
}

const FeedContext kContext{"my lounge/\xC3\xA9", "http://gw.example:8080/feeds", 301s,
                           at(1'767'225'600)};

// How a value reads back: U+FFFE, which XML cannot carry, as U+FFFD; all else unchanged.
std::string expectedText(std::string value) {
    for (std::size_t at = value.find("\xEF\xBF\xBE"); at != std::string::npos;
         at = value.find("\xEF\xBF\xBE")) {
        value.replace(at, 3, "\xEF\xBF\xBD");
    }
    return value;
}

TEST(FeedWriterTest, RssReadsBackWithEveryValueIntact) {
    for (const std::string& value : kTrickyValues) {
        SCOPED_TRACE(value);
        const ChannelModel channel = trickyChannel(value);
        const std::string rss = writeRss(channel, kContext);
        EXPECT_EQ(rss.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\" "
                            "xmlns:atom=\"http://www.w3.org/2005/Atom\">",
                            0),
                  0u);
        const auto nodes = readXml(rss);
        ASSERT_EQ(find(nodes, "rss/channel/title").size(), 1u);
        EXPECT_EQ(find(nodes, "rss/channel/title")[0]->text, expectedText(value));
        EXPECT_EQ(find(nodes, "rss/channel/link")[0]->text, channel.link);
        EXPECT_EQ(find(nodes, "rss/channel/image/url")[0]->text, channel.imageUrl);
        EXPECT_EQ(find(nodes, "rss/channel/ttl")[0]->text, "6");  // 301 s, rounded up
        EXPECT_EQ(find(nodes, "rss/channel/lastBuildDate")[0]->text,
                  "Thu, 01 Jan 2026 00:00:00 GMT");
        const auto self = find(nodes, "rss/channel/atom:link");
        ASSERT_EQ(self.size(), 1u);
        EXPECT_EQ(self[0]->attributes.at("rel"), "self");
        EXPECT_EQ(self[0]->attributes.at("href"),
                  "http://gw.example:8080/feeds/channels/my%20lounge%2F%C3%A9.rss");
        const auto titles = find(nodes, "rss/channel/item/title");
        const auto guids = find(nodes, "rss/channel/item/guid");
        const auto links = find(nodes, "rss/channel/item/link");
        const auto dates = find(nodes, "rss/channel/item/pubDate");
        ASSERT_EQ(titles.size(), 3u);
        ASSERT_EQ(guids.size(), 3u);
        ASSERT_EQ(links.size(), 2u);  // the bare item has none
        EXPECT_EQ(titles[0]->text, expectedText(value));
        EXPECT_EQ(links[0]->text, "https://h/m?a=1&b=2");
        // The plug-in's ID is no permalink; a web link is; anything else is not.
        EXPECT_EQ(guids[0]->text, "https://h/m?a=1&b=2-7");
        EXPECT_EQ(guids[0]->attributes.at("isPermaLink"), "false");
        EXPECT_EQ(guids[1]->text, "https://h/n?a&b");
        EXPECT_EQ(guids[1]->attributes.at("isPermaLink"), "true");
        EXPECT_EQ(guids[2]->text, expectedText(value + "3"));
        EXPECT_EQ(guids[2]->attributes.at("isPermaLink"), "false");
        EXPECT_EQ(dates[0]->text, "Fri, 01 Jan 1971 00:00:00 GMT");
        EXPECT_EQ(dates[1]->text, "Tue, 14 Nov 2023 22:13:20 GMT");
    }
}

TEST(FeedWriterTest, AtomReadsBackWithIdsLinksAndDates) {
    for (const std::string& value : kTrickyValues) {
        SCOPED_TRACE(value);
        const ChannelModel channel = trickyChannel(value);
        const auto nodes = readXml(writeAtom(channel, kContext));
        ASSERT_EQ(find(nodes, "feed").size(), 1u);
        EXPECT_EQ(find(nodes, "feed")[0]->attributes.at("xmlns"), "http://www.w3.org/2005/Atom");
        const std::string self = "http://gw.example:8080/feeds/channels/my%20lounge%2F%C3%A9.atom";
        EXPECT_EQ(find(nodes, "feed/id")[0]->text, self);
        EXPECT_EQ(find(nodes, "feed/title")[0]->text, expectedText(value));
        EXPECT_EQ(find(nodes, "feed/updated")[0]->text, "2026-01-01T00:00:00Z");
        EXPECT_EQ(find(nodes, "feed/author/name").size(), 1u);
        std::map<std::string, std::string> feedLinks;
        for (const XmlNode* link : find(nodes, "feed/link")) {
            feedLinks[link->attributes.at("rel")] = link->attributes.at("href");
        }
        EXPECT_EQ(feedLinks["self"], self);
        EXPECT_EQ(feedLinks["alternate"], channel.link);
        const auto ids = find(nodes, "feed/entry/id");
        ASSERT_EQ(ids.size(), 3u);
        EXPECT_EQ(ids[0]->text, "https://h/m?a=1&b=2-7");
        EXPECT_EQ(ids[1]->text, "https://h/n?a&b");
        // A guid that is no IRI becomes a stable URN.
        EXPECT_EQ(ids[2]->text.rfind("urn:uuid:", 0), 0u);
        EXPECT_EQ(ids[2]->text.size(), 9u + 36u);
        EXPECT_EQ(ids[2]->text,
                  find(readXml(writeAtom(channel, kContext)), "feed/entry/id")[2]->text);
        EXPECT_EQ(find(nodes, "feed/entry/updated")[1]->text, "2023-11-14T22:13:20Z");
        const auto entryLinks = find(nodes, "feed/entry/link");
        ASSERT_EQ(entryLinks.size(), 2u);
        EXPECT_EQ(entryLinks[1]->attributes.at("rel"), "alternate");
        EXPECT_EQ(entryLinks[1]->attributes.at("href"), "https://h/n?a&b");
        // The entry without a link carries its title as content instead.
        ASSERT_EQ(find(nodes, "feed/entry/content").size(), 1u);
    }
}

TEST(FeedWriterTest, AChannelWithoutAWebLinkPointsAtTheGateway) {
    ChannelModel channel;
    channel.title = "T";
    channel.link = "service";  // the plug-in's default: the HostName, here a directory
    const auto rss = readXml(writeRss(channel, kContext));
    EXPECT_EQ(find(rss, "rss/channel/link")[0]->text, "http://gw.example:8080/feeds/");
    EXPECT_EQ(find(rss, "rss/channel/description")[0]->text, "T");
    EXPECT_TRUE(find(rss, "rss/channel/image").empty());
    const std::string json = writeJsonFeed(channel, kContext);
    EXPECT_NE(json.find("\"home_page_url\": \"http://gw.example:8080/feeds/\""), std::string::npos);
    EXPECT_NE(json.find("\"items\": []"), std::string::npos);
}

struct SchemeCase {
    std::string url;
    bool followed;  // whether it may leave the gateway as a link
};

class LinkSchemeTest : public ::testing::TestWithParam<SchemeCase> {};

// Readers open the links of a feed: only web addresses become links. The item keeps its title
// and its ID, and the plug-in's own text is served as the plug-in wrote it.
TEST_P(LinkSchemeTest, OnlyWebAddressesBecomeLinks) {
    const std::string& url = GetParam().url;
    const bool followed = GetParam().followed;
    ChannelModel channel;
    channel.title = "T";
    channel.link = "https://h/";
    channel.imageUrl = url;
    channel.items = {FeedItem{"by link", url, "", at(0)}, FeedItem{"with id", url, "7", at(0)}};

    const auto rss = readXml(writeRss(channel, kContext));
    EXPECT_EQ(find(rss, "rss/channel/image/url").size(), followed ? 1u : 0u);
    const auto links = find(rss, "rss/channel/item/link");
    ASSERT_EQ(links.size(), followed ? 2u : 0u);
    const auto guids = find(rss, "rss/channel/item/guid");
    ASSERT_EQ(guids.size(), 2u);
    EXPECT_EQ(guids[0]->attributes.at("isPermaLink"), followed ? "true" : "false");
    EXPECT_EQ(guids[1]->text, "7");
    EXPECT_EQ(find(rss, "rss/channel/item/title")[1]->text, "with id");

    const auto atom = readXml(writeAtom(channel, kContext));
    EXPECT_EQ(find(atom, "feed/logo").size(), followed ? 1u : 0u);
    EXPECT_EQ(find(atom, "feed/entry/link").size(), followed ? 2u : 0u);
    EXPECT_EQ(find(atom, "feed/entry/content").size(), followed ? 0u : 2u);
    const auto ids = find(atom, "feed/entry/id");
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0]->text == url, followed) << ids[0]->text;
    EXPECT_EQ(find(atom, "feed/entry/title")[0]->text, "by link");

    const std::string json = writeJsonFeed(channel, kContext);
    EXPECT_EQ(json.find("\"icon\"") != std::string::npos, followed) << json;
    EXPECT_EQ(json.find("\"url\"") != std::string::npos, followed) << json;
    EXPECT_NE(json.find("\"id\": \"7\""), std::string::npos) << json;

    const std::string text = "<RSS><CHANNEL><ITEM><LINK>" + url + "</LINK></ITEM></CHANNEL></RSS>";
    EXPECT_EQ(writeFeed(FeedFormat::plugin, text, channel, kContext), text);
}

INSTANTIATE_TEST_SUITE_P(Schemes, LinkSchemeTest,
                         ::testing::Values(SchemeCase{"javascript:alert(1)", false},
                                           SchemeCase{"JAVASCRIPT:alert(1)", false},
                                           SchemeCase{" javascript:alert(1)", false},
                                           SchemeCase{"data:text/html,<script>1</script>", false},
                                           SchemeCase{"vbscript:x", false},
                                           SchemeCase{"/m?id=1", false},
                                           SchemeCase{"m?id=1", false},
                                           SchemeCase{"https:", false},
                                           SchemeCase{"https://h/m?id=1", true},
                                           SchemeCase{"HTTP://H/m?id=1", true}));

TEST(FeedWriterTest, JsonStringsAreEscaped) {
    EXPECT_EQ(jsonQuote("a\"b\\c\nd\te\x01\x1F"), "\"a\\\"b\\\\c\\nd\\te\\u0001\\u001f\"");
    EXPECT_EQ(jsonQuote("Jo\xC3\xABl </script>"), "\"Jo\xC3\xABl </script>\"");
}

TEST(FeedWriterTest, OpmlListsEveryChannelWithItsRssAddress) {
    const std::vector<OpmlChannel> channels = {
        {"lounge", "Caf\xC3\xA9 & \"Lounge\"", "About\tit\nnow", "https://h/lounge?a&b"},
        {"a b", "Boards", "", "service"},
    };
    const auto nodes = readXml(writeOpml(channels, "https://gw", at(0)));
    EXPECT_EQ(find(nodes, "opml")[0]->attributes.at("version"), "2.0");
    EXPECT_EQ(find(nodes, "opml/head/dateCreated")[0]->text, "Thu, 01 Jan 1970 00:00:00 GMT");
    const auto outlines = find(nodes, "opml/body/outline");
    ASSERT_EQ(outlines.size(), 2u);
    EXPECT_EQ(outlines[0]->attributes.at("text"), "Caf\xC3\xA9 & \"Lounge\"");
    EXPECT_EQ(outlines[0]->attributes.at("title"), "Caf\xC3\xA9 & \"Lounge\"");
    EXPECT_EQ(outlines[0]->attributes.at("description"), "About\tit\nnow");
    EXPECT_EQ(outlines[0]->attributes.at("type"), "rss");
    EXPECT_EQ(outlines[0]->attributes.at("xmlUrl"), "https://gw/channels/lounge.rss");
    EXPECT_EQ(outlines[0]->attributes.at("htmlUrl"), "https://h/lounge?a&b");
    EXPECT_EQ(outlines[1]->attributes.at("xmlUrl"), "https://gw/channels/a%20b.rss");
    EXPECT_EQ(outlines[1]->attributes.count("htmlUrl"), 0u);  // not a web address
    EXPECT_EQ(outlines[1]->attributes.count("description"), 0u);
}

TEST(FeedWriterTest, BaseUrlsAreCheckedAndNormalised) {
    EXPECT_EQ(normalizeBaseUrl("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
    EXPECT_EQ(normalizeBaseUrl("HTTPS://feeds.example/dovetrail//"),
              "HTTPS://feeds.example/dovetrail");
    EXPECT_EQ(normalizeBaseUrl("http://[::1]:8080/"), "http://[::1]:8080");
    for (const char* bad : {"", "127.0.0.1:8080", "ftp://h", "http://", "http:///path",
                            "http://h/?q=1", "http://h/#top", "http://h /x", "http://h/\x01"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(normalizeBaseUrl(bad), FeedError);
    }
    EXPECT_EQ(feedUrl("http://h", "lounge", FeedFormat::json), "http://h/channels/lounge.json");
    EXPECT_EQ(feedUrl("http://h", "x.y_z~-", FeedFormat::plugin),
              "http://h/channels/x.y_z~-.plugin");
    EXPECT_EQ(opmlUrl("http://h/p"), "http://h/p/channels.opml");
    for (const FeedFormat format : kAllFormats) {
        EXPECT_EQ(parseFeedFormat(formatName(format)), format);
    }
    EXPECT_EQ(parseFeedFormat("RSS"), std::nullopt);
}

// ---- The prepared feed set ----------------------------------------------------------------------

std::string gunzip(const std::string& compressed) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    std::string out;
    char buffer[65536];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int result;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
    } while (result == Z_OK);
    EXPECT_EQ(result, Z_STREAM_END);
    inflateEnd(&stream);
    return out;
}

TEST(FeedSetTest, EveryFormIsPreparedOnceWithItsGzipCopyTypeAndTags) {
    std::string items;
    for (int i = 0; i < 3000; ++i) {  // large enough for several compression buffers
        items += item("Item " + std::to_string(i) + " - Jo\xEBl",
                      "https://h/m?msg=" + std::to_string(i));
    }
    const std::string text = pluginText("Caf\xE9", items);
    ChannelModel channel = parsePluginText(text);
    for (FeedItem& i : channel.items) {
        i.published = at(1'700'000'000);
    }
    const auto set = FeedSet::build(text, channel, kContext);
    const auto again = FeedSet::build(text, channel, kContext);
    EXPECT_EQ(set->form(FeedFormat::plugin).identity, text);
    EXPECT_EQ(set->form(FeedFormat::plugin).contentType, "application/rss+xml; charset=ISO-8859-1");
    EXPECT_EQ(set->form(FeedFormat::rss).identity, writeRss(channel, kContext));
    EXPECT_EQ(set->form(FeedFormat::atom).contentType, "application/atom+xml; charset=utf-8");
    EXPECT_EQ(set->form(FeedFormat::json).contentType, "application/feed+json; charset=utf-8");
    EXPECT_EQ(set->channel().items.size(), 3000u);
    std::vector<std::string> tags;
    for (const FeedFormat format : kAllFormats) {
        SCOPED_TRACE(formatName(format));
        const PreparedBody& body = set->form(format);
        EXPECT_EQ(gunzip(body.gzip), body.identity);
        EXPECT_LT(body.gzipLength(), body.identityLength() / 4);
        EXPECT_EQ(body.etag, again->form(format).etag);  // the same bytes, the same tag
        EXPECT_EQ(body.gzip, again->form(format).gzip);
        tags.push_back(body.etag);
        tags.push_back(body.gzipEtag);
    }
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(std::unique(tags.begin(), tags.end()), tags.end());
    EXPECT_EQ(gunzip(gzipCompress("")), "");
    EXPECT_EQ(strongEtag("abc").front(), '"');

    // Another base URL: the plug-in's form is shared, not copied; the others name the new base.
    FeedContext elsewhere = kContext;
    elsewhere.baseUrl = "https://feeds.example.org/dt";
    const auto rebased = FeedSet::build(set->sharedForm(FeedFormat::plugin), channel, elsewhere);
    EXPECT_EQ(rebased->sharedForm(FeedFormat::plugin), set->sharedForm(FeedFormat::plugin));
    EXPECT_EQ(rebased->form(FeedFormat::rss).identity, writeRss(channel, elsewhere));
    EXPECT_NE(rebased->form(FeedFormat::atom).etag, set->form(FeedFormat::atom).etag);
}

// ---- The index page -----------------------------------------------------------------------------

TEST(IndexPageTest, ListsEveryChannelWithOutcomeLinksAndAlternates) {
    IndexPageInput input;
    input.baseUrl = "http://gw:8080";
    input.lounge = 300s;
    input.messageBoards = 900s;
    input.articles = 3600s;
    input.now = at(1'767'225'600);
    IndexChannel fresh{"lounge", "Caf\xC3\xA9 <Lounge>", "About", 300s};
    fresh.lastFetch = input.now - 60s;
    fresh.nextFetch = input.now + 240s;
    fresh.hasFeed = true;
    IndexChannel stale{"boards", "Boards", "", 900s};
    stale.lastFetch = input.now - 10s;
    stale.status = 1;
    stale.error = "Can't read the URL: x & y";
    stale.hasFeed = true;
    IndexChannel failed{"art icles", "Articles", "", 3600s};
    failed.lastFetch = input.now;
    failed.status = 5;
    failed.error = "Unknown channel: art icles";
    IndexChannel cold{"Jo\xEBl", "Cold", "", 3600s};
    input.channels = {fresh, stale, failed, cold};
    const std::string page = renderIndexPage(input);

    const auto has = [&](const std::string& text) {
        EXPECT_NE(page.find(text), std::string::npos) << text;
    };
    has("<meta charset=\"utf-8\">");
    has("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">");
    has("<link rel=\"alternate\" type=\"application/rss+xml\" title=\"Caf\xC3\xA9 &lt;Lounge&gt; "
        "(RSS)\" href=\"http://gw:8080/channels/lounge.rss\">");
    has("<link rel=\"alternate\" type=\"application/atom+xml\" title=\"Boards (Atom)\" "
        "href=\"http://gw:8080/channels/boards.atom\">");
    has("<link rel=\"alternate\" type=\"application/feed+json\" title=\"Articles (JSON Feed)\" "
        "href=\"http://gw:8080/channels/art%20icles.json\">");
    has("href=\"http://gw:8080/channels/Jo%EBl.plugin\"");
    has("Channel <span class=\"name\">Jo\xC3\xABl</span>");  // the name by the INI rule
    has("href=\"http://gw:8080/channels.opml\"");
    has("href=\"http://gw:8080/main-page\"");
    has("href=\"http://gw:8080/status\"");
    has("Lounge: <b>5 minutes</b>");
    has("Message boards: <b>15 minutes</b>");
    has("Articles: <b>60 minutes</b>");
    has("<span class=\"ok\">OK</span>");
    has("(in 4 minutes)");
    has("Refetch failed (status 1): Can't read the URL: x &amp; y; the last good feed is served");
    has("Failed (status 5): Unknown channel: art icles");
    has("Not fetched yet");
    EXPECT_EQ(page.find("<Lounge>"), std::string::npos);
    EXPECT_EQ(describeInterval(90s), "90 seconds");
    EXPECT_EQ(describeInterval(60s), "1 minute");
}

TEST(IndexPageTest, APluginThatIsNotRunningIsShownWithItsHintAndNextAttempt) {
    IndexPageInput input;
    input.baseUrl = "http://gw:8080";
    input.now = at(1'767'225'600);
    input.problem = "Can't initialise the plug-in with /etc/d.ini: <refused> & gone";
    input.problemHint = "start the service";
    input.nextAttempt = input.now + 120s;
    IndexChannel failed{"boards", "Boards", "", 900s};
    failed.lastFetch = input.now;
    failed.status = 1;
    failed.error = "Bad HTTP response: 500";
    failed.hint = "check ChannelUrl in [boards]";
    input.channels = {failed};
    const std::string page = renderIndexPage(input);
    for (const std::string text :
         {"The plug-in is not running", "&lt;refused&gt; &amp; gone", "hint: start the service",
          "(in 2 minutes)", "Not known yet", "hint: check ChannelUrl in [boards]"}) {
        EXPECT_NE(page.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(page.find("Lounge: <b>"), std::string::npos);
    EXPECT_EQ(page.find("<refused>"), std::string::npos);
}

}  // namespace
}  // namespace host::feeds
