// The text library: letter-case-blind comparison, hex digits, percent encoding, log-safe text and
// the HTTP and ISO 8601 dates.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "textCase.h"
#include "textDates.h"
#include "textEscape.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// Every byte once, in order: what a name from an INI file or a request may hold.
std::string allBytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes += static_cast<char>(b);
    }
    return bytes;
}

// ---- Letter case --------------------------------------------------------------------------------

struct LessCase {
    const char* a;
    const char* b;
    bool less;
};

class LessNoCaseTest : public testing::TestWithParam<LessCase> {};

TEST_P(LessNoCaseTest, OrdersUpperCaseForms) {
    const LessCase& c = GetParam();
    EXPECT_EQ(text::lessNoCase(c.a, c.b), c.less) << '"' << c.a << "\" < \"" << c.b << '"';
}

INSTANTIATE_TEST_SUITE_P(Cases, LessNoCaseTest,
                         testing::Values(LessCase{"abc", "ABC", false},
                                         LessCase{"ABC", "abc", false}, LessCase{"ab", "abc", true},
                                         LessCase{"ABC", "ab", false}, LessCase{"", "a", true},
                                         LessCase{"", "", false}, LessCase{"abd", "ABC", false},
                                         LessCase{"ABC", "abd", true},
                                         // '_' lies between the upper and lower case letters:
                                         // folding to upper case puts it after every letter.
                                         LessCase{"a_", "AZ", false}, LessCase{"AZ", "a_", true},
                                         // 8-bit bytes are not folded and sort after ASCII.
                                         LessCase{"\xe4", "z", false},
                                         LessCase{"Z", "\xc4", true}));

TEST(TextCase, NameMapTreatsCaseVariantsAsOneKey) {
    std::map<std::string, int, text::LessNoCase> names;
    names["XmlCharData"] = 1;
    names["XMLCHARDATA"] = 2;
    names["xmlchardat"] = 3;
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names.find("xmlchardata")->second, 2);
}

struct EqualCase {
    std::string a;
    std::string b;
    bool equal;
};

class EqualsNoCaseTest : public testing::TestWithParam<EqualCase> {};

TEST_P(EqualsNoCaseTest, FoldsAsciiLettersOnly) {
    const EqualCase& c = GetParam();
    EXPECT_EQ(text::equalsNoCase(c.a, c.b), c.equal);
    EXPECT_EQ(text::equalsNoCase(c.b, c.a), c.equal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EqualsNoCaseTest,
    testing::Values(EqualCase{"HttpHeaders", "HTTPheaders", true},
                    EqualCase{"HttpHeaders", "HttpHeader", false}, EqualCase{"", "", true},
                    // Latin-1 letters are not folded, whatever the locale.
                    EqualCase{"\xe4", "\xc4", false},
                    // Bytes 0x20 apart that are no letters: '@' and '`', '[' and '{', '^' and '~'.
                    EqualCase{"@[^", "`{~", false}, EqualCase{"a\0b"s, "A\0B"s, true},
                    EqualCase{"a\0b"s, "a"s, false}));

TEST(TextCase, StartsAndEndsWithNoCase) {
    EXPECT_TRUE(text::endsWithNoCase("body{%/repeat%}", "{%/REPEAT%}"));
    EXPECT_TRUE(text::endsWithNoCase("abc", ""));
    EXPECT_TRUE(text::endsWithNoCase("abc", "ABC"));
    EXPECT_FALSE(text::endsWithNoCase("bc", "abc"));
    EXPECT_FALSE(text::endsWithNoCase("abcx", "abc"));
    EXPECT_TRUE(text::startsWithNoCase("HTTPS://host/", "https://"));
    EXPECT_TRUE(text::startsWithNoCase("File:x", "FILE:"));
    EXPECT_TRUE(text::startsWithNoCase("x", ""));
    EXPECT_FALSE(text::startsWithNoCase("http:", "http://"));
    EXPECT_FALSE(text::startsWithNoCase("xhttp://", "http://"));
}

// ---- Hex digits and percent encoding ----------------------------------------------------------

TEST(TextHex, DigitsOfEveryByteReadBack) {
    for (int b = 0; b < 256; ++b) {
        std::string digits;
        text::appendHexByte(digits, static_cast<unsigned char>(b));
        ASSERT_EQ(digits.size(), 2u);
        EXPECT_EQ(text::hexValue(digits[0]) * 16 + text::hexValue(digits[1]), b) << digits;
        EXPECT_EQ(digits, std::string(1, "0123456789ABCDEF"[b >> 4]) + "0123456789ABCDEF"[b & 15]);
    }
    EXPECT_EQ(text::hexValue('a'), 10);
    EXPECT_EQ(text::hexValue('f'), 15);
    // The neighbours of the digit ranges are no digits.
    for (const char c : {'/', ':', '@', 'G', '`', 'g', ' ', '\0', '\xB0', '\xC1'}) {
        EXPECT_EQ(text::hexValue(c), -1) << static_cast<int>(c);
    }
}

TEST(TextPercent, EncodesAllButUnreservedAndDecodesBack) {
    EXPECT_EQ(text::percentEncode("a b/c%d"), "a%20b%2Fc%25d");
    EXPECT_EQ(text::percentEncode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(text::percentEncode("\xE9+\x7F"), "%E9%2B%7F");
    const std::string bytes = allBytes();
    const std::string encoded = text::percentEncode(bytes);
    EXPECT_EQ(encoded.size(), 66u + 3u * 190u);  // 66 unreserved bytes stay, 190 become %XX
    EXPECT_EQ(text::percentDecode(encoded), bytes);
    EXPECT_EQ(text::percentDecodeStrict(encoded), bytes);
}

struct DecodeCase {
    std::string raw;
    std::string decoded;
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << testing::PrintToString(c.raw);
}

class LenientPercentDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(LenientPercentDecode, DecodesInOnePass) {
    EXPECT_EQ(text::percentDecode(GetParam().raw), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Cases, LenientPercentDecode,
                         testing::Values(DecodeCase{"%41%42", "AB"}, DecodeCase{"%4a%4A", "JJ"},
                                         DecodeCase{"100%", "100%"}, DecodeCase{"%zz", "%zz"},
                                         DecodeCase{"%4", "%4"}, DecodeCase{"%4g", "%4g"},
                                         DecodeCase{"%%41", "%A"}, DecodeCase{"%2541", "%41"},
                                         DecodeCase{"a%00b", "a\0b"s},
                                         DecodeCase{"%FF%e9", "\xFF\xE9"}, DecodeCase{"", ""},
                                         DecodeCase{"plain text", "plain text"},
                                         DecodeCase{"a+b", "a+b"}, DecodeCase{"%41%", "A%"}));

TEST(TextPercent, ZeroBytesCanStayEscaped) {
    using text::ZeroByte;
    EXPECT_EQ(text::percentDecode("a%00b", ZeroByte::keepEscaped), "a%00b");
    EXPECT_EQ(text::percentDecode("%00%41", ZeroByte::keepEscaped), "%00A");
    EXPECT_EQ(text::percentDecode("%2F%20x%", ZeroByte::keepEscaped), "/ x%");
    EXPECT_EQ(text::percentDecode("%001", ZeroByte::keepEscaped), "%001");
}

TEST(TextPercent, StrictDecodingRefusesAnyBrokenEscape) {
    EXPECT_EQ(text::percentDecodeStrict("a%20b%2Fc+d"), "a b/c+d");
    EXPECT_EQ(text::percentDecodeStrict("%00"), std::string(1, '\0'));
    EXPECT_EQ(text::percentDecodeStrict("%2541"), "%41");
    EXPECT_EQ(text::percentDecodeStrict(""), "");
    for (const char* broken : {"%", "%4", "%zz", "a%4g", "%%41", "ok%", "%41%4"}) {
        EXPECT_FALSE(text::percentDecodeStrict(broken)) << broken;
    }
}

// ---- Log-safe text ----------------------------------------------------------------------------

TEST(TextPrintable, EscapesWhatCouldBreakOrForgeALogLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain name 1-2_3~!", "plain name 1-2_3~!"},
        {"a\nb\r", "a\\x0Ab\\x0D"},
        {"say \"hi\"", "say \\x22hi\\x22"},
        {"back\\slash", "back\\x5Cslash"},
        {"\x7F\x80\xFF", "\\x7F\\x80\\xFF"},
        {"\0\x1F "s, "\\x00\\x1F "},
        {"", ""},
    };
    for (const auto& [raw, shown] : cases) {
        EXPECT_EQ(text::printable(raw), shown) << testing::PrintToString(raw);
    }
    // Whatever the input, the line holds only printable ASCII.
    for (const char c : text::printable(allBytes())) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7F && c != '"') << static_cast<int>(c);
    }
}

// ---- Dates --------------------------------------------------------------------------------------

text::TimePoint at(std::int64_t seconds) {
    return text::TimePoint(std::chrono::seconds(seconds));
}

struct DateCase {
    std::string text;
    long long seconds;  // -1: not a date
};

class HttpDateTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(HttpDateTest, ReadsTheThreeFormsOfTheYears1970To9999) {
    const auto parsed = text::parseHttpDate(GetParam().text);
    if (GetParam().seconds < 0) {
        EXPECT_FALSE(parsed) << GetParam().text;
    } else {
        ASSERT_TRUE(parsed) << GetParam().text;
        EXPECT_EQ(parsed->time_since_epoch().count(), GetParam().seconds);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dates, HttpDateTest,
    ::testing::Values(DateCase{"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
                      DateCase{"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
                      DateCase{"Sun Nov  6 08:49:37 1994", 784111777},
                      DateCase{"Thu, 01 Jan 1970 00:00:00 GMT", 0},
                      DateCase{"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
                      DateCase{"Thursday, 01-Jan-70 00:00:00 GMT", 0},
                      // Names ignore letter case; the two-digit year 68 is 2068.
                      DateCase{"SUN, 06 nOV 1994 08:49:37 GMT", 784111777},
                      DateCase{"Sunday, 01-Jan-68 00:00:00 GMT", 3092601600},
                      DateCase{"Tue, 29 Feb 2000 00:00:00 GMT", 951782400},
                      // Outside the years an HTTP date may name: ignored, not an overflow.
                      DateCase{"Sun, 06 Nov 0004 08:49:37 GMT", -1},
                      DateCase{"Wed, 31 Dec 1969 23:59:59 GMT", -1},
                      DateCase{"Sun Nov  6 08:49:37 0004", -1},
                      DateCase{"Sun, 06 Nov 10000 08:49:37 GMT", -1},
                      DateCase{"Wednesday, 31-Dec-69 23:59:59 GMT", -1},
                      // Impossible days and times, missing or extra text.
                      DateCase{"Sun, 31 Feb 1994 08:49:37 GMT", -1},
                      DateCase{"Mon, 29 Feb 1900 08:49:37 GMT", -1},
                      DateCase{"Sun, 06 Nov 1994 24:00:00 GMT", -1},
                      DateCase{"Sun, 06 Nov 1994 08:60:00 GMT", -1},
                      DateCase{"Sun, 06 Xyz 1994 08:49:37 GMT", -1}, DateCase{"06 Nov 1994", -1},
                      DateCase{"Sun, 06 Nov 1994 08:49:37 GMT trailing", -1},
                      DateCase{"Sun, 06 Nov 1994 08:49:37", -1}, DateCase{"", -1}));

TEST(TextDates, HttpDatesRoundTrip) {
    EXPECT_EQ(text::httpDate(std::chrono::system_clock::from_time_t(784111777)),
              "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(text::httpDate(std::chrono::sys_seconds(std::chrono::seconds(253402300799))),
              "Fri, 31 Dec 9999 23:59:59 GMT");
    for (const std::int64_t seconds : {0LL, 951782400LL, 1709251199LL, 4102444799LL, 68256000LL}) {
        const std::chrono::sys_seconds time{std::chrono::seconds(seconds)};
        EXPECT_EQ(text::parseHttpDate(text::httpDate(time)), time) << text::httpDate(time);
    }
}

TEST(TextDates, DatesInBothForms) {
    const struct {
        std::int64_t seconds;
        const char* httpDate;
        const char* isoDate;
        const char* isoBasicDate;
    } cases[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT", "1970-01-01T00:00:00Z", "19700101T000000Z"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT", "2000-02-29T00:00:00Z", "20000229T000000Z"},
        {1709251199, "Thu, 29 Feb 2024 23:59:59 GMT", "2024-02-29T23:59:59Z", "20240229T235959Z"},
        {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT", "2099-12-31T23:59:59Z", "20991231T235959Z"},
        // Before 1970 a fraction still belongs to the second it lies in.
        {-1, "Wed, 31 Dec 1969 23:59:59 GMT", "1969-12-31T23:59:59Z", "19691231T235959Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::httpDate(at(c.seconds) + 999ms), c.httpDate);
        EXPECT_EQ(text::isoDate(at(c.seconds) + 999ms), c.isoDate);
        EXPECT_EQ(text::isoBasicDate(at(c.seconds) + 999ms), c.isoBasicDate);
    }
}

}  // namespace
