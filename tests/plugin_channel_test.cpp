// Channel requests end to end through dlopen: INI settings, local answers, the RSS text.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cBoundary.h"
#include "channelFeed.h"
#include "pluginGroups.h"
#include "support/loopbackServer.h"
#include "support/pluginLoader.h"
#include "support/scopedEnv.h"
#include "support/system.h"
#include "support/tempDir.h"

using testing_support::PluginLoader;
using testing_support::TempDir;

namespace {

const char* const kHead = "<RSS>\n<CHANNEL>\n";
const char* const kTail = "</CHANNEL>\n</RSS>\n";

std::string channelLines(const std::string& title, const std::string& description,
                         const std::string& link, const std::string& image = "") {
    return "<TITLE>" + title + "</TITLE>\n<DESCRIPTION>" + description + "</DESCRIPTION>\n<LINK>" +
           link + "</LINK>\n<IMAGE><URL>" + image + "</URL></IMAGE>\n";
}

std::string item(const std::string& title, const std::string& link, const std::string& id = "") {
    std::string text = "<ITEM>\n    <TITLE><![CDATA[" + title + "]]></TITLE>\n    <LINK><![CDATA[" +
                       link + "]]></LINK>\n";
    if (!id.empty()) {
        text += "    <ID><![CDATA[" + id + "]]></ID>\n";
    }
    return text + "</ITEM>\n";
}

std::string brief(const std::string& fields, const std::string& element = "MessageBrief") {
    return "<" + element + ">" + fields + "</" + element + ">";
}

class Channels : public ::testing::Test {
  protected:
    // Writes the INI (host = the answers directory) plus `sections`, and initialises the plug-in.
    void configure(const std::string& sections, const std::string& config = "") {
        host_ = dir_.file("answers");
        answer("interval.xml", "<int>1</int>");
        const auto init = plugin_.init(
            dir_.write("dovetrail.ini", "[Config]\nHostName=" + host_ +
                                            "\nGetLoungeLatestUpdatePeriodUrl=interval.xml\n"
                                            "GetCommentLatestUpdatePeriodUrl=interval.xml\n"
                                            "GetArticleLatestUpdatePeriodUrl=interval.xml\n" +
                                            config + sections));
        ASSERT_EQ(init.status, DOVETRAIL_STATUS_OK) << init.errorText;
    }
    void answer(const std::string& name, const std::string& xml) {
        dir_.write("answers/" + name, xml);
    }

    TempDir dir_;
    PluginLoader plugin_;
    std::string host_;
};

TEST_F(Channels, SectionWithOnlyChannelUrlTakesItsDefaults) {
    configure("[Lounge]\nChannelUrl=lounge.xml\n");
    answer("lounge.xml", "<Briefs/>");
    // Section names match regardless of letter case.
    for (const char* name : {"Lounge", "lounge", "LOUNGE"}) {
        const auto result = plugin_.channel(name);
        ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
        EXPECT_EQ(result.text, std::string(kHead) + channelLines(name, name, host_) + kTail);
    }
}

TEST_F(Channels, ChannelValuesArePercentDecodedAndTrimmed) {
    configure(
        "[ News %41 ]\nChannelUrl= %20news.xml%20 \nChannelImageUrl=  \"img%2Epng\" \n"
        "ChannelHomeUrl='  http://example.invalid/%7Euser  '\n");
    answer("news.xml", "<x/>");
    const auto result = plugin_.channel(" News %41 ");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    // The default title is the channel name, decoded and trimmed like any value.
    EXPECT_EQ(result.text,
              std::string(kHead) +
                  channelLines("News A", "News A", "http://example.invalid/~user", "img.png") +
                  kTail);
}

TEST_F(Channels, ItemTitlesRepliesBoardsAndIdentifiers) {
    configure(
        "[Boards]\nChannelUrl=boards.xml\nChannelName=All boards\nChannelDescription=Desc\n"
        "ChannelHomeUrl=http://home\nChannelImageUrl=http://img\n"
        "IncludeMessageBoardNames=1\nTrackNewReplies=1\n");
    answer("boards.xml",
           "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfMessageBrief>" +
               brief("<MsgBoardName>Tools</MsgBoardName><Subject>Hi</Subject>"
                     "<Author>Ann</Author><Url>u1</Url><MsgsInThread>3</MsgsInThread>") +
               brief("<Subject>One</Subject><Url>u2</Url><MsgsInThread>2</MsgsInThread>") +
               brief("<MsgBoardName></MsgBoardName><Url>u3</Url><MsgsInThread>1</MsgsInThread>") +
               brief("<Subject>Neg</Subject><Url>u4</Url><MsgsInThread>-4</MsgsInThread>") +
               brief("<Title>Article</Title><Author>&lt;a href=\"x\"&gt;Bob&lt;/a&gt; &amp; co"
                     "</Author><Url>u5</Url><MsgsInThread> 7x</MsgsInThread>",
                     "ArticleBrief") +
               "</ArrayOfMessageBrief>");
    const auto result = plugin_.channel("boards");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text, std::string(kHead) +
                               channelLines("All boards", "Desc", "http://home", "http://img") +
                               item("[Tools] Hi - Ann (2 replies)", "u1", "u1-3") +
                               item("One (1 reply)", "u2", "u2-2") +
                               item("<No subject>", "u3", "u3-1") + item("Neg", "u4", "u4--4") +
                               item("Article - Bob & co (6 replies)", "u5", "u5-7") + kTail);
}

TEST_F(Channels, BoardNamesOffAndNoIdentifiers) {
    configure("[Boards]\nChannelUrl=boards.xml\nIncludeMessageBoardNames=0\nTrackNewReplies=yes\n");
    answer("boards.xml",
           "<r>" +
               brief("<MsgBoardName>Tools</MsgBoardName><Subject>Hi</Subject>"
                     "<Author>Ann</Author><Url>u</Url><MsgsInThread>3</MsgsInThread>") +
               "</r>");
    const auto result = plugin_.channel("Boards");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text, std::string(kHead) + channelLines("Boards", "Boards", host_) +
                               item("Hi - Ann (2 replies)", "u") + kTail);
}

TEST_F(Channels, FixUrlBugRewritesOnlyTheFirstForumParameter) {
    configure("[C]\nChannelUrl=c.xml\nTrackNewReplies=1\n", "FixUrlBug=1\n");
    answer("c.xml", "<r>" +
                        brief("<Url>http://x/?forum=12&amp;a=forum=3</Url>"
                              "<MsgsInThread>5</MsgsInThread>") +
                        brief("<Url>http://x/?forumid=9</Url>") + brief("<Url>Forum=1</Url>") +
                        "</r>");
    const auto result = plugin_.channel("C");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text,
              std::string(kHead) + channelLines("C", "C", host_) +
                  item("<No subject> (4 replies)", "http://x/?forumid=12&a=forum=3",
                       "http://x/?forumid=12&a=forum=3-5") +
                  item("<No subject>", "http://x/?forumid=9", "http://x/?forumid=9-0") +
                  item("<No subject>", "Forum=1", "Forum=1-0") + kTail);
}

TEST_F(Channels, EightBitBytesAreMaskedAndCharacterReferencesBecomeLatin1) {
    configure("[C]\nChannelUrl=c.xml\n");
    answer("c.xml",
           "<r>" + brief("<Subject>caf\xC3\xA9 &#233; &#8364; &#x1F600;</Subject>") + "</r>");
    const auto result = plugin_.channel("C");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text, std::string(kHead) + channelLines("C", "C", host_) +
                               item("caf?? \xE9 ? ??", "") + kTail);
}

TEST_F(Channels, RecordsNestedOrOutsideAndCaseInsensitiveNames) {
    configure("[C]\nChannelUrl=c.xml\n");
    answer("c.xml",
           "<r><Url>top</Url><messagebrief><SUBJECT>outer</SUBJECT>"
           "<MessageBrief><subject>inner</subject></MessageBrief>"
           "<Url>ignored</Url></messagebrief>"
           "<MessageBrief><Subject>a<b>x</b>y</Subject><Title>later</Title></MessageBrief>"
           "<MessageBrief><Subject>one<b>two</b>three</Subject></MessageBrief></r>");
    const auto result = plugin_.channel("C");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text, std::string(kHead) + channelLines("C", "C", host_) + item("outer", "") +
                               item("inner", "") + item("later", "") + item("twothree", "") +
                               kTail);
}

TEST_F(Channels, CDataTerminatorsInValuesCannotCloseTheSection) {
    configure("[C]\nChannelUrl=c.xml\n");
    answer("c.xml",
           "<r>" + brief("<Subject>a]]&gt;<![CDATA[<x>]]></Subject><Url>u]]&gt;v</Url>") + "</r>");
    const auto result = plugin_.channel("C");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text, std::string(kHead) + channelLines("C", "C", host_) +
                               item("a]]]]><![CDATA[><x>", "u]]]]><![CDATA[>v") + kTail);
}

TEST_F(Channels, EmptyListAndHostWithTrailingSlash) {
    configure("[C]\nChannelUrl=c.xml\n");
    answer("c.xml", "<?xml version=\"1.0\"?><ArrayOfMessageBrief/>");
    const auto result = plugin_.channel("C");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK);
    EXPECT_EQ(result.text, std::string(kHead) + channelLines("C", "C", host_) + kTail);
}

struct FailureCase {
    const char* name;
    std::string answer;
    std::string message;  // the expected error text; $HOST stands for the host name
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name << " <- " << c.answer;
}

class ChannelFailures : public Channels, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ChannelFailures, ReachTheHostAsStatus1WithTheMessage) {
    configure("[C]\nChannelUrl=c.xml\n[Missing]\nChannelUrl=missing.xml\n");
    answer("c.xml", GetParam().answer);
    const auto result = plugin_.channel(GetParam().name);
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_FALSE(result.outputWritten);
    std::string expected = GetParam().message;
    if (expected.find("$HOST") != std::string::npos) {
        expected.replace(expected.find("$HOST"), 5, host_);
    }
    EXPECT_EQ(result.errorText, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ChannelFailures,
    ::testing::Values(
        FailureCase{"C", "", "XML parse failed (3:L1/C0): no element found"},
        FailureCase{"C", "<r/>junk", "XML parse failed (9:L1/C4): junk after document element"},
        FailureCase{"C", "<a><b></a>", "XML parse failed (7:L1/C8): mismatched tag"},
        // Without the masking the parser would see invalid UTF-8 here; masked, it is well-formed.
        FailureCase{"Missing", "<r/>", "Can't send the HTTP request: $HOST/missing.xml"}));

TEST_F(Channels, EightThreadsGetTheirOwnChannelsRight) {
    std::string sections;
    for (int c = 0; c < 8; ++c) {
        const std::string name = "c" + std::to_string(c);
        sections += "[" + name + "]\nChannelUrl=" + name + ".xml\n";
        std::string xml = "<r>";
        for (int i = 0; i < 200; ++i) {
            xml += brief("<Subject>" + name + "-" + std::to_string(i) + "</Subject><Url>u" +
                         std::to_string(i) + "</Url>");
        }
        answer(name + ".xml", xml + "</r>");
    }
    configure(sections);
    std::vector<std::string> texts(8), expected(8);
    for (int c = 0; c < 8; ++c) {
        const std::string name = "c" + std::to_string(c);
        expected[c] = std::string(kHead) + channelLines(name, name, host_);
        for (int i = 0; i < 200; ++i) {
            expected[c] += item(name + "-" + std::to_string(i), "u" + std::to_string(i));
        }
        expected[c] += kTail;
    }
    std::vector<std::thread> threads;
    for (int c = 0; c < 8; ++c) {
        threads.emplace_back([&, c] {
            for (int round = 0; round < 5; ++round) {
                const auto result = plugin_.channel("c" + std::to_string(c));
                texts[c] = result.status == 0 ? result.text : result.errorText;
                if (texts[c] != expected[c]) {
                    break;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(texts[c], expected[c]) << "channel c" << c;
    }
}

}  // namespace

namespace {

using testing_support::LoopbackServer;

// The plug-in against a web service over HTTP, as a host uses it.
class WebServiceChannels : public ::testing::Test {
  protected:
    void SetUp() override {
        service_.serve("/svc/lounge-interval", "<?xml version=\"1.0\"?><int>15</int>");
        service_.serve("/svc/boards-interval", "<int>-5</int>");
        service_.serve("/svc/articles-interval", "<int>1 5</int>");
        service_.serve("/svc/lounge", "<ArrayOfMessageBrief>" +
                                          brief("<Subject>Hello</Subject><Url>u?forum=1</Url>"
                                                "<MsgsInThread>2</MsgsInThread>") +
                                          "</ArrayOfMessageBrief>");
        ini_ = dir_.write("dovetrail.ini", "[Config]\nHostName=" + service_.url("/svc") +
                                               "\nFixUrlBug=1\n"
                                               "GetLoungeLatestUpdatePeriodUrl=lounge-interval\n"
                                               "GetCommentLatestUpdatePeriodUrl=boards-interval\n"
                                               "GetArticleLatestUpdatePeriodUrl=articles-interval\n"
                                               "[Lounge]\nChannelUrl=lounge\nTrackNewReplies=1\n"
                                               "[Missing]\nChannelUrl=nothing\n");
    }

    LoopbackServer service_;
    TempDir dir_;
    std::string ini_;
    PluginLoader plugin_;
};

TEST_F(WebServiceChannels, IntervalsAndChannelOverHttp) {
    const auto init = plugin_.init(ini_);
    ASSERT_EQ(init.status, DOVETRAIL_STATUS_OK) << init.errorText;
    EXPECT_EQ(init.intervals[0], 900);
    EXPECT_EQ(init.intervals[1], 300);  // the minus sign is not part of the number
    EXPECT_EQ(init.intervals[2], 300);  // only the digits right before "</int>"

    const auto result = plugin_.channel("lounge");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text, std::string(kHead) +
                               channelLines("lounge", "lounge", service_.url("/svc")) +
                               item("Hello (1 reply)", "u?forumid=1", "u?forumid=1-2") + kTail);

    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].target, "/svc/lounge-interval");
    EXPECT_EQ(requests[3].target, "/svc/lounge");
    EXPECT_EQ(requests[3].method, "GET");
    EXPECT_EQ(requests[3].version, "HTTP/1.1");
    EXPECT_EQ(requests[3].header("User-Agent"), "Microsoft Internet Explorer");
}

TEST_F(WebServiceChannels, ErrorStatusesFailWithTheStatusAndTermClosesTheSession) {
    ASSERT_EQ(plugin_.init(ini_).status, DOVETRAIL_STATUS_OK);
    const auto missing = plugin_.channel("Missing");
    EXPECT_EQ(missing.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(missing.errorText,
              "Bad HTTP response: 404 Not Found: " + service_.url("/svc/nothing"));

    EXPECT_EQ(plugin_.term(), 0);
    const auto afterTerm = plugin_.channel("Lounge");
    EXPECT_EQ(afterTerm.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(afterTerm.errorText, "Can't open an session with host: 127.0.0.1");
}

TEST_F(WebServiceChannels, WithoutHostNameNoRequestIsMade) {
    dir_.write("Dovetrail.debug", "[MessageLog]\nInternetDownloads=1\nHttpHeaders=1\n");
    const auto init = plugin_.init(
        dir_.write("empty.ini", "[Config]\nHostName=\nGetLoungeLatestUpdatePeriodUrl=" +
                                    service_.url("/svc/lounge-interval") + "\n"));
    ASSERT_EQ(init.status, DOVETRAIL_STATUS_OK);
    EXPECT_EQ(init.intervals[0], 3600);
    EXPECT_EQ(init.intervals[1], 3600);
    EXPECT_EQ(init.intervals[2], 3600);
    EXPECT_TRUE(service_.requests().empty());
    EXPECT_EQ(dir_.read("Dovetrail.log"), "");
}

}  // namespace

// --- The channel path in pieces ------------------------------------------------------------------

namespace {

using testing_support::LoopbackServer;

// Answer parts that a piece edge may cut: character references, a CDATA section (with a "]]>"
// split across two sections), raw UTF-8 sequences, a "]]>" in the text, element names, a number.
const std::string kEdgeRecords =
    brief(
        "<MsgBoardName>Tools &amp; Tips</MsgBoardName><Subject>caf&#233; &#x20AC; "
        "<![CDATA[<b>]]]]><![CDATA[>]]> r\xC3\xA9sum\xC3\xA9 \xF0\x9F\x98\x80 a]]&gt;b</Subject>"
        "<Author>&lt;i&gt;Ren&#233;e&lt;/i&gt;</Author><Url>http://h/m?forum=1&amp;x=2</Url>"
        "<MsgsInThread>12</MsgsInThread>") +
    brief("<Title>Article</Title><Url>u2</Url><MsgsInThread>2</MsgsInThread>", "ArticleBrief");
const std::string kEdgeItems =
    item(
        "[Tools & Tips] caf\xE9 ? <b>]]]]><![CDATA[> r??sum?? ???? a]]]]><![CDATA[>b - Ren\xE9"
        "e (11 replies)",
        "http://h/m?forum=1&x=2", "http://h/m?forum=1&x=2-12") +
    item("Article (1 reply)", "u2", "u2-2");

// Drives a ChannelStream as a download does, with pieces of the given sizes (the last repeats).
struct StreamOutcome {
    std::int32_t status = -1;
    std::string text;   // status 0
    std::string error;  // the message of what finish() threw
};

// The XML groups of the linked-in core are on until an initialisation switches them; a stream
// driven here keeps them off, as a plug-in without a debug file does.
class XmlGroupsOff {
  public:
    XmlGroupsOff() {
        for (CMessageGroup* group : kGroups) {
            group->setEnabled(false);
        }
    }
    ~XmlGroupsOff() {
        for (CMessageGroup* group : kGroups) {
            group->setEnabled(true);
        }
    }

  private:
    static constexpr CMessageGroup* kGroups[] = {&groups::xmlElements, &groups::xmlTagStack,
                                                 &groups::xmlCharData};
};

StreamOutcome runStream(const std::string& answer, const std::vector<std::size_t>& sizes,
                        std::uint32_t httpStatus = 200) {
    const XmlGroupsOff quiet;
    plugin::ChannelSettings settings;
    settings.title = "T";
    settings.includeMessageBoardNames = true;
    settings.trackNewReplies = true;
    plugin::ChannelStream stream(settings, false, "http://h/feed");
    stream.begin(httpStatus, "Status");
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < answer.size(); ++i) {
        const std::size_t count =
            std::min(sizes[std::min(i, sizes.size() - 1)], answer.size() - offset);
        std::memcpy(stream.room(count), answer.data() + offset, count);
        stream.received(count);
        offset += count;
    }
    stream.end();
    StreamOutcome outcome;
    try {
        char* text = nullptr;
        std::uint32_t length = 0;
        outcome.status = stream.finish(&text, &length);
        if (outcome.status == 0) {
            outcome.text.assign(text, length);
            plugin::release(text);
        }
    } catch (const std::exception& error) {
        outcome.error = error.what();
    }
    return outcome;
}

bool operator==(const StreamOutcome& a, const StreamOutcome& b) {
    return a.status == b.status && a.text == b.text && a.error == b.error;
}

void PrintTo(const StreamOutcome& o, std::ostream* out) {
    *out << o.status << " " << testing::PrintToString(o.error.empty() ? o.text : o.error);
}

class StreamCuts : public testing::TestWithParam<std::string> {};

TEST_P(StreamCuts, EveryCutGivesTheFeedOrErrorOfTheWholeAnswer) {
    const std::string& answer = GetParam();
    const StreamOutcome whole = runStream(answer, {answer.size() + 1});
    for (std::size_t cut = 0; cut <= answer.size(); ++cut) {
        ASSERT_EQ(runStream(answer, {cut, answer.size()}), whole) << "cut at " << cut;
    }
    EXPECT_EQ(runStream(answer, {1}), whole);
    EXPECT_EQ(runStream(answer, {7}), whole);
}

INSTANTIATE_TEST_SUITE_P(Answers, StreamCuts,
                         testing::Values("<r>" + kEdgeRecords + "</r>",
                                         "<r>\n" + kEdgeRecords + "\n<a></b></r>",
                                         "<r>" + kEdgeRecords, "<r/>junk", "", "<r>&#0;</r>",
                                         std::string("y\0}", 3), "<r/>\n  464;? </M"));

TEST(ChannelStream, WholeAnswerGivesTheExpectedItems) {
    const StreamOutcome outcome = runStream("<r>" + kEdgeRecords + "</r>", {1});
    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.text, std::string(kHead) + channelLines("T", "", "") + kEdgeItems + kTail);
}

TEST(ChannelStream, ErrorStatusWinsOverTheBodyAndEmptyBodiesFailToParse) {
    EXPECT_EQ(runStream("<r/>", {7}, 500).error, "Bad HTTP response: 500 Status: http://h/feed");
    EXPECT_EQ(runStream("not xml", {7}, 404).error, "Bad HTTP response: 404 Status: http://h/feed");
    EXPECT_EQ(runStream("", {7}, 399).error, "XML parse failed (3:L1/C0): no element found");
}

// The audit: every byte value at every position, in buffers at every alignment, long enough that
// the 32-byte blocks, the 8-byte words and the single bytes of the masking each take some.
TEST(MaskEightBitBytes, MasksEveryHighByteAndKeepsEveryOther) {
    constexpr std::size_t kLength = 32 + 2 * 8 + 7;
    for (std::size_t alignment = 0; alignment < 8; ++alignment) {
        for (std::size_t position = 0; position < kLength; ++position) {
            for (int value = 0; value < 256; ++value) {
                char storage[kLength + 16];
                std::memset(storage, 'a', sizeof storage);
                char* data = storage + alignment;
                data[position] = static_cast<char>(value);
                plugin::maskEightBitBytes(data, kLength);
                const char expected = value >= 128 ? '?' : static_cast<char>(value);
                ASSERT_EQ(data[position], expected)
                    << "value " << value << " at " << position << ", alignment " << alignment;
                for (std::size_t i = 0; i < sizeof storage; ++i) {
                    if (storage + i != data + position) {
                        ASSERT_EQ(storage[i], 'a') << "byte " << i << " changed";
                    }
                }
            }
        }
    }
}

// The same over HTTP, the service sending the answer in 1-byte, 7-byte and 64 KiB writes; the
// answer is over 64 KiB so that every delivery has edges inside it.
class DeliveredInPieces : public testing::TestWithParam<std::size_t> {
  protected:
    void SetUp() override {
        ini_ = dir_.write("dovetrail.ini", "[Config]\nHostName=" + service_.url("/svc") +
                                               "\n[C]\nChannelUrl=c\nChannelName=C\n"
                                               "IncludeMessageBoardNames=1\nTrackNewReplies=1\n");
        ASSERT_EQ(plugin_.init(ini_).status, DOVETRAIL_STATUS_OK);
    }

    LoopbackServer service_;
    TempDir dir_;
    std::string ini_;
    PluginLoader plugin_;
};

TEST_P(DeliveredInPieces, EdgesInsideAPieceChangeNothing) {
    std::string answer = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfMessageBrief>\n";
    std::string expected = std::string(kHead) + channelLines("C", "C", service_.url("/svc"));
    for (int i = 0; answer.size() < 70000; ++i) {
        answer += kEdgeRecords + "\n";
        expected += kEdgeItems;
    }
    answer += "</ArrayOfMessageBrief>\n";
    service_.serveInPieces("/svc/c", answer, GetParam());
    const auto result = plugin_.channel("C");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text, expected + kTail);
}

TEST_P(DeliveredInPieces, AParseErrorWithACompleteBodyIsTheErrorOfTheWholeAnswer) {
    // The error stands early; the body goes on well past it.
    const std::string answer = "<r>\n" + kEdgeRecords + "\n<a></b>" + std::string(100000, 'x');
    service_.serveInPieces("/svc/c", answer, GetParam());
    plugin::XmlParser whole;
    std::string message = "(no error)";
    try {
        whole.parse(answer.data(), static_cast<int>(answer.size()));
    } catch (const expat::Exception& error) {
        message = error.what();
    }
    EXPECT_EQ(message, "XML parse failed (7:L3/C5): mismatched tag");
    const auto result = plugin_.channel("C");
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(result.errorText, message);
    EXPECT_FALSE(result.outputWritten);
}

INSTANTIATE_TEST_SUITE_P(Deliveries, DeliveredInPieces,
                         testing::Values(std::size_t{1}, std::size_t{7}, std::size_t{65536}));

// Failures of the body over HTTP and which one the host sees.
class BodyFailures : public testing::Test {
  protected:
    void SetUp() override {
        ini_ = dir_.write("dovetrail.ini",
                          "[Config]\nHostName=" + service_.url("/svc") + "\n[C]\nChannelUrl=c\n");
        ASSERT_EQ(plugin_.init(ini_).status, DOVETRAIL_STATUS_OK);
    }
    LoopbackServer service_;
    TempDir dir_;
    std::string ini_;
    PluginLoader plugin_;
};

TEST_F(BodyFailures, ADownloadFailureWinsOverAnEarlierParseError) {
    service_.serveCutShort("/svc/c", "<r>\n<a></b>" + std::string(5000, 'x'), 200000);
    const auto result = plugin_.channel("C");
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(result.errorText, "Can't read the URL: " + service_.url("/svc/c"));
}

TEST_F(BodyFailures, ADownloadFailureWinsOverAnErrorStatus) {
    service_.serveCutShort("/svc/c", "<r/>", 1000, 500);
    EXPECT_EQ(plugin_.channel("C").errorText, "Can't read the URL: " + service_.url("/svc/c"));
}

TEST_F(BodyFailures, AnErrorStatusWithAWellFormedBodyIsAFailureNotAnEmptyFeed) {
    service_.serve("/svc/c", "<ArrayOfMessageBrief/>", "text/xml", 500);
    const auto result = plugin_.channel("C");
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(result.errorText,
              "Bad HTTP response: 500 Internal Server Error: " + service_.url("/svc/c"));
    EXPECT_FALSE(result.outputWritten);
}

TEST_F(BodyFailures, EmptyBodiesAndUnfollowedRedirectsFailToParse) {
    for (const char* route : {"/svc/empty", "/svc/nowhere"}) {
        dir_.write("dovetrail.ini", "[Config]\nHostName=" + service_.url("/svc") +
                                        "\n[C]\nChannelUrl=" + std::string(route + 5) + "\n");
        service_.serve("/svc/empty", "");
        service_.serve("/svc/nowhere", "", "text/xml", 302);  // no Location
        const auto result = plugin_.channel("C");
        EXPECT_EQ(result.status, DOVETRAIL_STATUS_FAILED) << route;
        EXPECT_EQ(result.errorText, "XML parse failed (3:L1/C0): no element found") << route;
    }
}

}  // namespace

// --- Channel values, the log, memory -------------------------------------------------------------

namespace {

TEST_F(Channels, ChannelValuesAreEscaped) {
    configure(
        "[C]\nChannelUrl=c.xml\nChannelName=Tips & Tricks\nChannelDescription=<b>x</b>\n"
        "ChannelHomeUrl=http://h/?a=1&b=2\nChannelImageUrl=i>j\n");
    answer("c.xml", "<r/>");
    const auto result = plugin_.channel("C");
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.text, std::string(kHead) +
                               channelLines("Tips &amp; Tricks", "&lt;b&gt;x&lt;/b&gt;",
                                            "http://h/?a=1&amp;b=2", "i&gt;j") +
                               kTail);
}

TEST_F(Channels, WithXmlLogGroupsOnTheDownloadLinesComeFirst) {
    dir_.write("Dovetrail.debug", "[MessageLog]\nInternetDownloads=1\nXmlElements=1\n");
    configure("[C]\nChannelUrl=c.xml\n");
    answer("c.xml", "<r>" + brief("<Subject>s</Subject>") + "</r>");
    ASSERT_EQ(plugin_.channel("C").status, DOVETRAIL_STATUS_OK);
    const std::string log = dir_.read("Dovetrail.log");
    // The log is a text file: its line end is the system's.
    const std::string end = testing_support::textLineEnd();
    const std::size_t request = log.find("| Reading URL: " + host_ + "/c.xml" + end);
    ASSERT_NE(request, std::string::npos) << log;
    const std::size_t received = log.find("| Read the local file OK: #bytes=", request);
    const std::size_t firstXml = log.find("| START ELEMENT: r ; " + end, request);
    ASSERT_NE(received, std::string::npos) << log;
    ASSERT_NE(firstXml, std::string::npos) << log;
    EXPECT_LT(received, firstXml) << log;
    EXPECT_NE(log.find("| END ELEMENT: r" + end, firstXml), std::string::npos) << log;
}

TEST_F(Channels, TextThatCannotGrowIsStatus2OnceTheAnswerIsThrough) {
    std::string xml = "<r>";
    for (int i = 0; i < 5000; ++i) {
        xml += brief("<Subject>subject " + std::to_string(i) + "</Subject><Url>u</Url>");
    }
    answer("c.xml", xml + "</r>");
    answer("bad.xml", xml + "<oops></r>");
    // Allocation 1 + allowed fails: the text's first block, or a later growth of it.
    for (const int allowed : {0, 1, 3}) {
        testing_support::ScopedEnv fail("DOVETRAIL_TEST_FAIL_ALLOCATIONS_AFTER",
                                        std::to_string(allowed));
        configure("[C]\nChannelUrl=c.xml\n[Bad]\nChannelUrl=bad.xml\n");
        const auto result = plugin_.channel("C");
        EXPECT_EQ(result.status, DOVETRAIL_STATUS_NO_MEMORY) << allowed;
        EXPECT_FALSE(result.outputWritten);
        // A parse error still wins over the failed text.
        const auto bad = plugin_.channel("Bad");
        EXPECT_EQ(bad.status, DOVETRAIL_STATUS_FAILED) << allowed;
        EXPECT_EQ(bad.errorText.rfind("XML parse failed (7:", 0), 0u) << bad.errorText;
    }
}

}  // namespace
