#include "parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "log.h"
#include "msgGroup.h"

namespace {

using testing::ElementsAre;
using testing::StartsWith;

// Records every hook call and fired row as text, with the character data and tag stack that the
// handler sees.
class RecordingParser : public expat::Parser {
  public:
    explicit RecordingParser(const expat::ElementHandler* table) : Parser(table) {}

    std::vector<std::string> events;
    std::string throwAtHook;  // element name at whose start hook the parser throws

    void subjectStart() { events.push_back("subject-start " + tagStackText()); }
    void subjectEnd() { events.push_back("subject-end " + charData() + " " + tagStackText()); }
    void itemFirst() { events.push_back("item-first"); }
    void itemSecond() { events.push_back("item-second"); }
    void itemEnd() { events.push_back("item-end " + charData()); }
    void other() { events.push_back("other"); }
    void throwRuntime() { throw std::runtime_error("handler failed"); }
    void parseAgain() { parse(nullptr, 0); }
    void zedRow() { events.push_back("zed-row"); }
    void colonRow() { events.push_back("colon-row"); }
    void latinRow() { events.push_back("latin-row"); }

  protected:
    void onStartElement(const char* name, const char** attributes) override {
        std::string text = std::string("hook-start ") + name;
        for (const char** a = attributes; *a != nullptr; a += 2) {
            text += std::string(" ") + a[0] + "=" + a[1];
        }
        events.push_back(text);
        if (throwAtHook == name) {
            throw std::logic_error("hook failed");
        }
    }
    void onEndElement(const char* name) override {
        events.push_back(std::string("hook-end ") + name);
    }
};

template <auto Op>
constexpr expat::HandlerFunction on = expat::memberHandler<Op>;

constexpr expat::ElementHandler kTable[] = {
    {expat::kStartTag, on<&RecordingParser::subjectStart>, "Subject"},
    {expat::kEndTag, on<&RecordingParser::subjectEnd>, "Subject"},
    {7, on<&RecordingParser::other>, "item"},  // unknown kinds are skipped
    {expat::kStartTag, on<&RecordingParser::itemFirst>, "item"},
    {expat::kStartTag, on<&RecordingParser::itemSecond>, "ITEM"},
    {expat::kEndTag, on<&RecordingParser::itemEnd>, "Item"},
    {expat::kStartTag, on<&RecordingParser::throwRuntime>, "explode"},
    {expat::kStartTag, on<&RecordingParser::parseAgain>, "again"},
    // first bytes that fold alike when only bit 0x20 is looked at
    {expat::kStartTag, on<&RecordingParser::zedRow>, "zed"},
    {expat::kStartTag, on<&RecordingParser::colonRow>, ":ed"},
    {expat::kStartTag, on<&RecordingParser::latinRow>, "\xC3\xA9t\xC3\xA9"},
    {expat::kEndOfTable, nullptr, nullptr},
    {expat::kStartTag, on<&RecordingParser::other>, "root"},  // beyond the end: never read
};

constexpr expat::ElementHandler kEmptyTable[] = {
    {expat::kEndOfTable, nullptr, nullptr},
    {expat::kStartTag, on<&RecordingParser::other>, "root"},
};

void parse(expat::Parser& parser, const std::string& document) {
    parser.parse(document.data(), static_cast<int>(document.size()));
}

TEST(ExpatParser, DispatchesTheFirstMatchingRowIgnoringCase) {
    RecordingParser parser(kTable);
    parse(parser, "<root><ITEM><SUBJECT a='1'>x</SUBJECT>y</ITEM></root>");
    EXPECT_THAT(parser.events,
                ElementsAre("hook-start root", "hook-start ITEM", "item-first",
                            "hook-start SUBJECT a=1", "subject-start :root:ITEM:SUBJECT",
                            "hook-end SUBJECT", "subject-end x :root:ITEM:SUBJECT", "hook-end ITEM",
                            "item-end xy", "hook-end root"));
    EXPECT_TRUE(parser.tagStack().empty());
    EXPECT_EQ(parser.tagStackText(), "");
}

TEST(ExpatParser, NamesAreComparedInFull) {
    RecordingParser parser(kTable);
    parse(parser, "<root><:ed/><ZED/><Zeds/><\xC3\xA9t\xC3\xA9/><\xC3\x89t\xC3\xA9/><c/></root>");
    std::vector<std::string> fired;
    for (const std::string& event : parser.events) {
        if (event.rfind("hook", 0) != 0) {
            fired.push_back(event);
        }
    }
    // Only ASCII letters fold: the capital E with acute is another name.
    EXPECT_THAT(fired, ElementsAre("colon-row", "zed-row", "latin-row"));
}

TEST(ExpatParser, TablesThatFireNothing) {
    for (const expat::ElementHandler* table :
         {kEmptyTable, static_cast<const expat::ElementHandler*>(nullptr)}) {
        RecordingParser parser(table);
        parse(parser, "<root><item/></root>");
        EXPECT_THAT(parser.events, ElementsAre("hook-start root", "hook-start item",
                                               "hook-end item", "hook-end root"));
    }
}

TEST(ExpatParser, CharacterDataIsTheTextSinceTheLatestStartTag) {
    RecordingParser parser(kTable);
    parse(parser, "<item>x<subject>y</subject>z</item>");
    EXPECT_THAT(parser.events, testing::Contains("subject-end y :item:subject"));
    EXPECT_THAT(parser.events, testing::Contains("item-end yz"));
    EXPECT_EQ(parser.charData(), "yz");
}

struct Latin1Case {
    std::string text;      // element content as written in the document
    std::string expected;  // character data after conversion
};

class Latin1 : public testing::TestWithParam<Latin1Case> {};

TEST_P(Latin1, ConvertsOneBytePerUtf16Unit) {
    RecordingParser parser(nullptr);
    parse(parser, "<a>" + GetParam().text + "</a>");
    EXPECT_EQ(parser.charData(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    References, Latin1,
    testing::Values(Latin1Case{"&#233;", "\xE9"}, Latin1Case{"&#xe9;t&#xE9;", "\xE9t\xE9"},
                    Latin1Case{"&#8364;", "?"}, Latin1Case{"&#128512;", "??"},
                    Latin1Case{"&#255;&#256;", "\xFF?"}, Latin1Case{"&#127;&#128;", "\x7F\x80"},
                    Latin1Case{"\xC3\xA9t\xC3\xA9", "\xE9t\xE9"}, Latin1Case{"\xE2\x82\xAC", "?"},
                    Latin1Case{"\xF0\x9D\x84\x9E!",
                               "??"
                               "!"},
                    Latin1Case{"a&amp;b&lt;c&gt;&quot;&apos;", "a&b<c>\"'"},
                    Latin1Case{"<![CDATA[<b>\xC3\xBC</b>]]>", "<b>\xFC</b>"}));

TEST(ExpatParser, DeclaredLatin1DocumentIsConverted) {
    RecordingParser parser(nullptr);
    parse(parser, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xE9</a>");
    EXPECT_EQ(parser.charData(), "caf\xE9");
}

struct ErrorCase {
    std::string document;
    std::string message;
};

class ParseErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrors, ThrowWithCodeLineAndColumn) {
    RecordingParser parser(kTable);
    try {
        parse(parser, GetParam().document);
        FAIL() << "no exception";
    } catch (const expat::Exception& e) {
        EXPECT_STREQ(e.what(), GetParam().message.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ParseErrors,
    testing::Values(
        ErrorCase{"", "XML parse failed (3:L1/C0): no element found"},
        ErrorCase{"<a></a>junk", "XML parse failed (9:L1/C7): junk after document element"},
        ErrorCase{"<a>\n<b>\n  </a>", "XML parse failed (7:L3/C4): mismatched tag"},
        ErrorCase{"<a>\xFF</a>", "XML parse failed (4:L1/C3): not well-formed (invalid token)"},
        ErrorCase{"<a>&nbsp;</a>", "XML parse failed (11:L1/C3): undefined entity"},
        ErrorCase{"<a><b>", "XML parse failed (3:L1/C6): no element found"}));

TEST(ExpatParser, HandlersBeforeAnErrorHaveHadTheirEffect) {
    RecordingParser parser(kTable);
    EXPECT_THROW(parse(parser, "<root><item>one</item><item>two</item><bad"), expat::Exception);
    EXPECT_THAT(parser.events, testing::Contains("item-end two"));
    EXPECT_EQ(parser.tagStackText(), ":root");
}

TEST(ExpatParser, ExceptionsOfHandlersAndHooksPassThroughUnchanged) {
    RecordingParser parser(kTable);
    EXPECT_THROW(
        {
            try {
                parse(parser, "<root><explode/><item/></root>");
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "handler failed");
                throw;
            }
        },
        std::runtime_error);
    // The parse stopped at once: no event of the empty element's end or of later elements.
    EXPECT_EQ(parser.events.back(), "hook-start explode");

    RecordingParser hooked(kTable);
    hooked.throwAtHook = "item";
    EXPECT_THROW(parse(hooked, "<root><item/><item/></root>"), std::logic_error);
    EXPECT_EQ(hooked.events.back(), "hook-start item");

    // The expat parser was released: the same object parses again.
    parser.events.clear();
    parse(parser, "<item/>");
    EXPECT_THAT(parser.events,
                ElementsAre("hook-start item", "item-first", "hook-end item", "item-end "));
}

TEST(ExpatParser, AHandlerCannotRestartTheRunningParse) {
    RecordingParser parser(kTable);
    try {
        parse(parser, "<root><again/></root>");
        FAIL() << "no exception";
    } catch (const expat::Exception& e) {
        EXPECT_STREQ(e.what(),
                     "XML parse failed: parse called from a handler of the running parse");
    }
    parser.events.clear();
    parse(parser, "<item/>");
    EXPECT_THAT(parser.events, testing::Contains("item-first"));
}

// Points the process-wide log at a string for the life of the fixture.
class ParserLog : public testing::Test {
  protected:
    void SetUp() override { theMessageLog().setOutput(captured); }
    void TearDown() override { theMessageLog().setOutput(std::clog); }

    std::ostringstream captured;
    CMessageGroup elements{"TestXmlElements"};
    CMessageGroup tagStack{"TestXmlTagStack"};
    CMessageGroup charData{"TestXmlCharData"};
};

TEST_F(ParserLog, WritesTheLinesOfTheThreeGroups) {
    RecordingParser parser(nullptr);
    parser.setLogGroups(&elements, &tagStack, &charData);
    parse(parser, "<item id=\"7\" lang='en'>x&#233;\t<b/></item>");
    EXPECT_EQ(captured.str(),
              "START ELEMENT: item ; - id = '7'- lang = 'en'\n"
              "TagStack: :item\n"
              "CHARACTER DATA: x\n"
              "CHARACTER DATA: <c3><a9>\n"
              "CHARACTER DATA: <09>\n"
              "START ELEMENT: b ; \n"
              "TagStack: :item:b\n"
              "END ELEMENT: b\n"
              "TagStack: :item:b\n"
              "END ELEMENT: item\n"
              "TagStack: :item\n");
}

TEST_F(ParserLog, OneCharacterDataLinePerPiece) {
    RecordingParser parser(nullptr);
    parser.setLogGroups(nullptr, nullptr, &charData);
    parse(parser, "<a>one&#233;two\r\nthree&amp;four</a>");
    EXPECT_EQ(parser.charData(), "one\xE9two\nthree&four");

    // However expat splits the text, each piece is one line, and the pieces join to the whole.
    std::istringstream lines(captured.str());
    std::string line;
    std::string joined;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_THAT(line, StartsWith("CHARACTER DATA: "));
        joined += line.substr(16);
        ++count;
    }
    EXPECT_GE(count, 3);
    EXPECT_EQ(joined, "one<c3><a9>two<0a>three&four");
}

TEST_F(ParserLog, DisabledOrMissingGroupsLogNothing) {
    elements.setEnabled(false);
    tagStack.setEnabled(false);
    charData.setEnabled(false);
    RecordingParser quiet(kTable);
    quiet.setLogGroups(&elements, &tagStack, &charData);
    parse(quiet, "<item a='1'>x<subject>y</subject></item>");
    RecordingParser unset(kTable);
    parse(unset, "<item a='1'>x<subject>y</subject></item>");
    EXPECT_EQ(captured.str(), "");
    EXPECT_EQ(quiet.events, unset.events);

    tagStack.setEnabled(true);
    RecordingParser some(nullptr);
    some.setLogGroups(&elements, &tagStack, &charData);
    parse(some, "<a>x</a>");
    EXPECT_EQ(captured.str(), "TagStack: :a\nTagStack: :a\n");
}

TEST(WriteEscapedBytes, EscapesEveryByteOutsidePrintableAscii) {
    const std::string bytes("a b~\t\n\r\xE9\x7F\x1F\x80\xFF<", 13);
    std::ostringstream out;
    expat::writeEscapedBytes(out, bytes.data(), bytes.size());
    EXPECT_EQ(out.str(), "a b~<09><0a><0d><e9><7f><1f><80><ff><");

    std::ostringstream zero;
    expat::writeEscapedBytes(zero, "\0x", 2);
    EXPECT_EQ(zero.str(), "<00>x");
}

}  // namespace

namespace {

// Documents larger than the pieces expat is fed in: text that straddles a piece boundary arrives
// whole, every record is seen, and an error far into the document has its true line and column.
TEST(ParserLargeDocuments, TextAcrossPieceBoundariesAndLateErrors) {
    std::string document = "<root>";
    std::vector<std::string> expected;
    for (int i = 0; document.size() < (3u << 20); ++i) {
        std::string text = "record " + std::to_string(i) + " caf&#233; " + std::string(i % 97, 'x');
        document += "<item>" + text + "</item>\n";
        expected.push_back("item-end record " + std::to_string(i) + " caf\xE9 " +
                           std::string(i % 97, 'x'));
    }
    const std::string whole = document + "</root>";

    RecordingParser parser(kTable);
    parser.parse(whole.data(), static_cast<int>(whole.size()));
    std::vector<std::string> ends;
    for (const std::string& event : parser.events) {
        if (event.rfind("item-end", 0) == 0) {
            ends.push_back(event);
        }
    }
    EXPECT_EQ(ends, expected);

    const std::string broken = document + "<oops></root>";
    RecordingParser failing(kTable);
    try {
        failing.parse(broken.data(), static_cast<int>(broken.size()));
        FAIL() << "no exception";
    } catch (const expat::Exception& error) {
        const std::string line = std::to_string(expected.size() + 1);
        EXPECT_EQ(std::string(error.what()),
                  "XML parse failed (7:L" + line + "/C8): mismatched tag");
    }
}

}  // namespace

namespace {

// --- Documents that arrive in pieces
// ---------------------------------------------------------------

// Runs a document through the piece interface, cut into pieces of the given sizes (the last size
// repeats); returns the events, or the error message after "error: ".
std::vector<std::string> parseInPieces(const std::string& document,
                                       const std::vector<std::size_t>& sizes) {
    RecordingParser parser(kTable);
    try {
        parser.beginPieces();
        std::size_t offset = 0;
        for (std::size_t i = 0; offset < document.size(); ++i) {
            const std::size_t count =
                std::min(sizes[std::min(i, sizes.size() - 1)], document.size() - offset);
            std::memcpy(parser.pieceBuffer(count), document.data() + offset, count);
            parser.parsePiece(count);
            offset += count;
        }
        parser.finishPieces();
    } catch (const expat::Exception& error) {
        parser.events.push_back(std::string("error: ") + error.what());
    }
    return parser.events;
}

std::vector<std::string> parseWhole(const std::string& document) {
    RecordingParser parser(kTable);
    try {
        parse(parser, document);
    } catch (const expat::Exception& error) {
        parser.events.push_back(std::string("error: ") + error.what());
    }
    return parser.events;
}

class Pieces : public testing::TestWithParam<std::string> {};

// Whatever the cut (a reference, a CDATA section, a UTF-8 sequence, an element name or "]]>" may
// fall on it), the events, the text the handlers see and any error are those of one whole parse.
TEST_P(Pieces, EveryCutGivesTheEventsAndErrorsOfTheWholeDocument) {
    const std::string& document = GetParam();
    const std::vector<std::string> whole = parseWhole(document);
    for (std::size_t cut = 0; cut <= document.size(); ++cut) {
        ASSERT_EQ(parseInPieces(document, {cut, document.size()}), whole) << "cut at " << cut;
    }
    EXPECT_EQ(parseInPieces(document, {1}), whole);
    EXPECT_EQ(parseInPieces(document, {7}), whole);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, Pieces,
    testing::Values("<root><item>caf&#233; &#x20AC;&amp;</item></root>",
                    "<root><item><![CDATA[<b>x</b>]]]]><![CDATA[>]]></item></root>",
                    "<root><item>caf\xC3\xA9 \xF0\x9F\x98\x80</item></root>",
                    "<root><Subject a='1'>x</Subject><ITEM>y</ITEM></root>",
                    "<root>\n<item>a</item>\n<bad></root>", "<root><item>",
                    "<root><item>x]]>y</item></root>", "<root/> junk", "",
                    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><item>caf\xE9</item>",
                    // Expat's guess of the encoding from the first bytes depends on how many
                    // it is given.
                    std::string("A\0", 2), std::string("'\0'[[[}", 7),
                    // After the document element expat takes a name cut by a piece's end for
                    // junk, where the whole document shows an invalid token further on.
                    "<Subject></Subject>\n    464;? &#?\?</M", "<r/><!-- c -->\n<?pi x?> x y",
                    "\xEF\xBB\xBF<root>bom</root>"));

TEST(ExpatPieces, AFailedPieceReleasesTheParserForTheNextDocument) {
    RecordingParser parser(kTable);
    parser.beginPieces();
    const std::string bad = "<a></b>";
    std::memcpy(parser.pieceBuffer(bad.size()), bad.data(), bad.size());
    EXPECT_THROW(parser.parsePiece(bad.size()), expat::Exception);
    EXPECT_THROW(parser.parsePiece(0), expat::Exception);  // nothing begun any more

    parser.events.clear();
    parser.beginPieces();
    const std::string good = "<item/>";
    std::memcpy(parser.pieceBuffer(good.size()), good.data(), good.size());
    parser.parsePiece(good.size());
    parser.finishPieces();
    EXPECT_THAT(parser.events, testing::Contains("item-first"));
    // A handler's exception passes through a piece unchanged, too.
    parser.beginPieces();
    const std::string exploding = "<root><explode/>";
    std::memcpy(parser.pieceBuffer(exploding.size()), exploding.data(), exploding.size());
    EXPECT_THROW(parser.parsePiece(exploding.size()), std::runtime_error);
}

// --- The tag-stack line
// ----------------------------------------------------------------------------

TEST_F(ParserLog, TagStackLinesKeepABoundedSizeHoweverDeep) {
    RecordingParser parser(nullptr);
    parser.setLogGroups(nullptr, &tagStack, nullptr);
    constexpr int kDepth = 10000;
    std::string document;
    for (int i = 0; i < kDepth; ++i) {
        document += "<e" + std::to_string(i % 10) + ">";
    }
    for (int i = kDepth - 1; i >= 0; --i) {
        document += "</e" + std::to_string(i % 10) + ">";
    }
    parse(parser, document);

    std::istringstream lines(captured.str());
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) {
        all.push_back(line);
    }
    ASSERT_EQ(all.size(), 2u * kDepth);
    EXPECT_EQ(all[0], "TagStack: :e0");
    EXPECT_EQ(all[7], "TagStack: :e0:e1:e2:e3:e4:e5:e6:e7");
    EXPECT_EQ(all[8], "TagStack: (9 open, innermost 8):e1:e2:e3:e4:e5:e6:e7:e8");
    EXPECT_EQ(all[kDepth - 1], "TagStack: (10000 open, innermost 8):e2:e3:e4:e5:e6:e7:e8:e9");
    std::size_t longest = 0;
    for (const std::string& line : all) {
        longest = std::max(longest, line.size());
    }
    EXPECT_LE(longest, 80u);
    EXPECT_LT(captured.str().size(), 2u * kDepth * 81);

    // A long name is cut.
    captured.str("");
    RecordingParser named(nullptr);
    named.setLogGroups(nullptr, &tagStack, nullptr);
    const std::string name(100, 'n');
    parse(named, "<" + name + "/>");
    EXPECT_EQ(captured.str(), "TagStack: :" + name.substr(0, 64) +
                                  "...\nTagStack: :" + name.substr(0, 64) + "...\n");
}

}  // namespace
