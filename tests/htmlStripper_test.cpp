#include "htmlStripper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// Counts the allocations made while a test has counting switched on.
namespace {
std::atomic<bool> countAllocations{false};
std::atomic<int> allocationCount{0};

// new and delete are replaced as a pair over malloc and free. The release is kept out of line, so
// that the compiler does not see free() applied to the result of a new-expression.
[[gnu::noinline]] void releaseAllocation(void* p) noexcept {
    std::free(p);
}
}  // namespace

void* operator new(std::size_t size) {
    if (countAllocations.load(std::memory_order_relaxed)) {
        allocationCount.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    releaseAllocation(p);
}
void operator delete(void* p, std::size_t) noexcept {
    releaseAllocation(p);
}

namespace {

using htmlStripper::HtmlStripper;
using htmlStripper::TagRecord;

struct StripCase {
    std::string input;
    std::string expected;
};

std::string strip(const std::string& input, bool collapse) {
    HtmlStripper stripper;
    stripper.setCollapseWhitespace(collapse);
    stripper.process(input);
    EXPECT_TRUE(stripper.tagRecords().empty());
    return stripper.result();
}

class PlainStrip : public testing::TestWithParam<StripCase> {};

TEST_P(PlainStrip, RemovesMarkupAndKeepsText) {
    EXPECT_EQ(strip(GetParam().input, false), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PlainStrip,
    testing::Values(
        StripCase{"", ""}, StripCase{"Jane <b>Doe</b>", "Jane Doe"}, StripCase{"a<br>b", "ab"},
        StripCase{"x<!-- note -->y", "xy"}, StripCase{"<script>var a = 1;</script>Text", "Text"},
        StripCase{"Tom &amp; Jerry", "Tom &amp; Jerry"}, StripCase{"a < b", "a "},
        StripCase{"<a title='x>y'>z</a>", "z"}, StripCase{"<>x", "x"}, StripCase{"< >x", "x"},
        StripCase{"plain \t\n\r text", "plain \t\n\r text"},
        // unterminated tags and comments swallow the rest
        StripCase{"abc<", "abc"}, StripCase{"abc<def", "abc"}, StripCase{"a<!-- open", "a"},
        StripCase{"a<!-", "a"}, StripCase{"<!-->x", "x"}, StripCase{"<!--->x", "x"},
        StripCase{"<!--a-->b<!--c-->d", "bd"}, StripCase{"<a href=\"x>t", ""},
        // script elements in any spelling
        StripCase{"<SCRIPT>x</SCRIPT>y", "y"}, StripCase{"<script type=x>x</script>y", "y"},
        StripCase{"< script >x< /script >y", "y"}, StripCase{"<script>x</ SCRIPT>y", "y"},
        StripCase{"a<script>never closed", "a"}, StripCase{"<scripts>x</scripts>", "x"},
        StripCase{"<!-- <script> -->text", "text"},
        // a quote starting the parameters does not protect ">"
        StripCase{"<a 'x>y'>z", "y'>z"}, StripCase{"<a x='1\">2'>z", "z"},
        StripCase{"\xE9t\xE9 <i>\x80</i>", "\xE9t\xE9 \x80"}));

class CollapsedStrip : public testing::TestWithParam<StripCase> {};

TEST_P(CollapsedStrip, DropsSpacesAndTabsAfterWhitespace) {
    EXPECT_EQ(strip(GetParam().input, true), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, CollapsedStrip,
                         testing::Values(StripCase{"a  \tb", "a b"}, StripCase{"a\n  b", "a\nb"},
                                         StripCase{"  \tx", " x"}, StripCase{"\t x", "\tx"},
                                         StripCase{"a\n\n\nb", "a\n\n\nb"},
                                         StripCase{"a \n b", "a \nb"},
                                         StripCase{"a <b> </b> c", "a c"},
                                         StripCase{"a\r \tb", "a\rb"},
                                         StripCase{"<script> </script> x", " x"}));

// One line per record: name, start-end offsets, data and parameters ("name=value", or the name
// alone for a parameter without a value).
std::vector<std::string> describe(const HtmlStripper& stripper) {
    std::vector<std::string> lines;
    for (const TagRecord& record : stripper.tagRecords()) {
        std::string line = record.name + " " + std::to_string(record.startOffset) + "-" +
                           std::to_string(record.endOffset) + " '" + record.data.str() + "'";
        EXPECT_EQ(record.data.text, &stripper.result());
        for (const auto& param : record.params) {
            line += " " + param.name.str();
            if (param.value.start != 0 || param.value.length != 0) {
                line += "=" + param.value.str();
            }
        }
        lines.push_back(line);
    }
    return lines;
}

struct KeptCase {
    std::vector<std::string> kept;
    std::string input;
    std::string result;
    std::vector<std::string> records;
};

class KeptTags : public testing::TestWithParam<KeptCase> {};

TEST_P(KeptTags, WritesBackAndRecords) {
    const KeptCase& c = GetParam();
    HtmlStripper stripper;
    for (const std::string& name : c.kept) {
        stripper.keepTag(name);
    }
    stripper.process(c.input);
    EXPECT_EQ(stripper.result(), c.result);
    EXPECT_EQ(describe(stripper), c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Records, KeptTags,
    testing::Values(
        // the two worked examples
        KeptCase{{"td", "tr"},
                 "<tr><td>a<td>b</tr>",
                 "<tr><td>a<td>b</tr>",
                 {"tr 0-19 '<td>a<td>b'", "td 4-13 'a'", "td 9-19 'b'"}},
        KeptCase{{"td"}, "<table><tr><td x=\"1\">a</table>", "<td x=\"1\">a", {"td 0-11 'a' x=1"}},
        // a closing TABLE ends the open TD, TR and TABLE records at once
        KeptCase{{"table", "tr", "td"},
                 "<table><tr><td>a</table>",
                 "<table><tr><td>a</table>",
                 {"table 0-24 '<tr><td>a'", "tr 7-24 '<td>a'", "td 11-24 'a'"}},
        // TABLE: only its closing tag or the end of input end it
        KeptCase{{"table"},
                 "<table>a<tr>b<td>c</tr>d</table>e",
                 "<table>abcd</table>e",
                 {"table 0-19 'abcd'"}},
        KeptCase{{"table"}, "<table>abc", "<table>abc", {"table 0-10 'abc'"}},
        // TR: ended by TABLE in either form, not by TD
        KeptCase{{"tr"}, "<tr>a<td>b<table>c", "<tr>abc", {"tr 0-6 'ab'"}},
        KeptCase{{"tr"}, "<tr>a</table>b", "<tr>ab", {"tr 0-5 'a'"}},
        // IMG: ended by A, TD, TR or TABLE in either form, its own closing tag, or the end
        KeptCase{{"img"},
                 "<img src=a.png>caption<a href=x>link</a>",
                 "<img src=a.png>captionlink",
                 {"img 0-22 'caption' src=a.png"}},
        KeptCase{{"img"}, "<img>x</td>y", "<img>xy", {"img 0-6 'x'"}},
        KeptCase{{"img"}, "<img>x</IMG>y", "<img>x</IMG>y", {"img 0-12 'x'"}},
        KeptCase{{"img"}, "<img>x<b>y</b>", "<img>xy", {"img 0-7 'xy'"}},
        // the same tag kept twice, and a tag without a closing rule
        KeptCase{{"td"}, "<td>a<td>b", "<td>a<td>b", {"td 0-9 'a'", "td 5-10 'b'"}},
        KeptCase{{"b"}, "<b>x<td>y</b>z", "<b>xy</b>z", {"b 0-9 'xy'"}},
        KeptCase{{"b"}, "<b>x<b>y", "<b>x<b>y", {"b 0-8 'x<b>y'", "b 4-8 'y'"}},
        // one closing tag ends every open record of its name
        KeptCase{{"b"}, "<b>x<b>y</b>z", "<b>x<b>y</b>z", {"b 0-12 'x<b>y'", "b 4-12 'y'"}},
        // closing tags are written back without an open record; letter case of the input kept
        KeptCase{{"b"}, "x</b>y", "x</b>y", {}}, KeptCase{{"b"}, "x</ B >y", "x</B>y", {}},
        KeptCase{{"TD"}, "<td>a</Td>", "<td>a</Td>", {"td 0-10 'a'"}},
        // the rebuilt tag: whitespace before the name dropped, one space before the parameters
        KeptCase{{"td"}, "< td \t a=1  b=2 >x", "<td a=1  b=2 >x", {"td 0-15 'x' a=1 b=2"}},
        // kept tags inside comments are not tags; records are not kept across tags of others
        KeptCase{{"td"}, "<!--<td>-->a<td>b", "a<td>b", {"td 1-6 'b'"}}));

struct ParamCase {
    std::string params;
    std::vector<std::string> expected;  // "name=value", or the name alone when value-less
};

class TagParams : public testing::TestWithParam<ParamCase> {};

TEST_P(TagParams, SplitsNamesAndValues) {
    HtmlStripper stripper;
    stripper.keepTag("td");
    stripper.process("<td " + GetParam().params + ">");
    ASSERT_EQ(stripper.tagRecords().size(), 1U);
    std::vector<std::string> params;
    for (const auto& param : stripper.tagRecords()[0].params) {
        const bool valueless = param.value.start == 0 && param.value.length == 0;
        params.push_back(param.name.str() + (valueless ? "" : "=" + param.value.str()));
    }
    EXPECT_EQ(params, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TagParams,
    testing::Values(
        ParamCase{"a=\"x y\"", {"a=x y"}}, ParamCase{"a='x'", {"a=x"}},
        ParamCase{"a=\"x\"y", {"a=\"x\"y"}},
        // Unbalanced values run to the end and keep their quote. The quote in the
        // first name balances the tag itself, where quotes in names count.
        ParamCase{"q\"=1 a=\"x", {"q\"=1", "a=\"x"}}, ParamCase{"q\"=1 a=\"", {"q\"=1", "a=\""}},
        ParamCase{"q'=1 a=\"x'", {"q'=1", "a=\"x'"}},
        ParamCase{"a=\"it's\" b='y'", {"a=it's", "b=y"}},
        ParamCase{"title='x>y' c=1", {"title=x>y", "c=1"}}, ParamCase{"a = 1", {"a=1"}},
        ParamCase{"a=1   b=2  ", {"a=1", "b=2"}},
        // a name and an unquoted value end at a space, not at a tab
        ParamCase{"a\tb=c", {"a\tb=c"}}, ParamCase{"a=x\ty b=z", {"a=x\ty", "b=z"}},
        // parameters without a value, wherever they stand
        ParamCase{"nowrap", {"nowrap"}}, ParamCase{"nowrap width=5", {"nowrap", "width=5"}},
        ParamCase{"width=5 nowrap", {"width=5", "nowrap"}}, ParamCase{"a b c", {"a", "b", "c"}},
        ParamCase{"a ", {"a"}}, ParamCase{"a=", {"a"}}));

TEST(HtmlStripper, EachProcessStartsClean) {
    HtmlStripper stripper;
    stripper.keepTag("td");
    stripper.keepTag("Td");  // the same entry
    stripper.process("<td>a<script>x");
    ASSERT_EQ(stripper.tagRecords().size(), 1U);
    EXPECT_EQ(stripper.result(), "<td>a");

    stripper.process("b<td>c");
    EXPECT_EQ(stripper.result(), "b<td>c");
    EXPECT_EQ(describe(stripper), (std::vector<std::string>{"td 1-6 'c'"}));

    stripper.process("plain");
    EXPECT_EQ(stripper.result(), "plain");
    EXPECT_TRUE(stripper.tagRecords().empty());
}

TEST(HtmlStripper, AuthorSizedInputAllocatesAtMostOnce) {
    const std::string inputs[] = {
        "Jane <b>Doe</b>",
        "<a href=\"http://www.example.com/users/profile.aspx?id=1234567\">Johnathan Q. Public</a>",
        "Jane Doe <jane.doe.with.a.long.address@example.com>",
        "<span title='a very long title that does not fit a short string'>x</span><!-- c -->",
    };
    for (const std::string& input : inputs) {
        HtmlStripper stripper;
        allocationCount = 0;
        countAllocations = true;
        stripper.process(input);
        countAllocations = false;
        EXPECT_LE(allocationCount.load(), 1) << input;
        EXPECT_GE(stripper.result().capacity(), input.size());

        // A second call reuses the result's storage.
        allocationCount = 0;
        countAllocations = true;
        stripper.process(input);
        countAllocations = false;
        EXPECT_EQ(allocationCount.load(), 0) << input;
    }
}

}  // namespace
